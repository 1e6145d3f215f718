// The image's text: one byte per field of at most two hexadecimal digits,
// read a block at a time, so that a field may be cut anywhere between two
// blocks.
#include "image/image.h"

#include <string.h>

enum {
    FIELD_START,   // skipping white space before a field
    AFTER_SIGN,    // a sign, which counts as one character, and no digit yet
    AFTER_ZERO,    // a '0' that is either a digit or the start of "0x"
    AFTER_PREFIX,  // "0x", which does not count, and no digit yet
    IN_DIGITS,     // one counted character, room for one more
    TEXT_ENDED,
};

// Every byte of the text is looked up, so the digit values are a table.
struct HexTable {
    int8_t value[256];
};

static constexpr HexTable MakeHexTable()
{
    HexTable table{};
    for (int c = 0; c < 256; ++c)
        table.value[c] = (int8_t)(c >= '0' && c <= '9'   ? c - '0'
                                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                         : -1);
    return table;
}

static constexpr HexTable HEX = MakeHexTable();

static int HexValue(uint8_t c)
{
    return HEX.value[c];
}

static bool IsSpace(uint8_t c)
{
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

static void StoreField(ImageParser* p, FirmwareImage* image)
{
    if (image->count == IMAGE_MAX_COUNT) {
        p->tooLong = true;
        p->state = TEXT_ENDED;
        return;
    }
    image->bytes[image->count++] = (uint8_t)(p->negative ? 0u - p->value : p->value);
    p->state = FIELD_START;
}

// Takes one digit; the field is complete after its second counted character.
static void AddDigit(ImageParser* p, FirmwareImage* image, int digit)
{
    p->value = (uint8_t)(p->value * 16 + digit);
    if (++p->counted == 2)
        StoreField(p, image);
    else
        p->state = IN_DIGITS;
}

static void BeginField(ImageParser* p, FirmwareImage* image, uint8_t c)
{
    p->counted = 0;
    p->value = 0;
    p->negative = c == '-';
    if (c == '+' || c == '-') {
        p->counted = 1;
        p->state = AFTER_SIGN;
    } else if (c == '0') {
        p->state = AFTER_ZERO;
    } else if (HexValue(c) >= 0) {
        AddDigit(p, image, HexValue(c));
    } else if (!IsSpace(c)) {
        p->state = TEXT_ENDED;
    }
}

static void ReadByte(ImageParser* p, FirmwareImage* image, uint8_t c)
{
    int digit = HexValue(c);
    switch (p->state) {
    case FIELD_START:
        BeginField(p, image, c);
        break;
    case AFTER_SIGN:
        if (c == '0')
            p->state = AFTER_ZERO;
        else if (digit >= 0)
            AddDigit(p, image, digit);
        else
            p->state = TEXT_ENDED;
        break;
    case AFTER_ZERO:
        if (c == 'x' || c == 'X') {
            p->state = AFTER_PREFIX;
            break;
        }
        AddDigit(p, image, 0);
        ReadByte(p, image, c);
        break;
    case AFTER_PREFIX:
        if (digit >= 0)
            AddDigit(p, image, digit);
        else
            p->state = TEXT_ENDED;
        break;
    case IN_DIGITS:
        if (digit >= 0) {
            AddDigit(p, image, digit);
        } else {
            StoreField(p, image);
            ReadByte(p, image, c);
        }
        break;
    }
}

void StartImageText(ImageParser* parser, FirmwareImage* image)
{
    memset(parser, 0, sizeof *parser);
    parser->state = FIELD_START;
    image->count = 0;
    image->textEnd = TEXT_WHOLE;
}

bool ReadImageText(ImageParser* parser, FirmwareImage* image, const uint8_t* text, size_t n)
{
    for (size_t i = 0; i < n && parser->state != TEXT_ENDED;) {
        // Most fields are two digits: such a field is a byte at once.
        if (parser->state == FIELD_START && i + 1 < n && HexValue(text[i]) >= 0 && HexValue(text[i + 1]) >= 0 &&
            image->count < IMAGE_MAX_COUNT) {
            image->bytes[image->count++] = (uint8_t)(HexValue(text[i]) * 16 + HexValue(text[i + 1]));
            i += 2;
            continue;
        }
        ReadByte(parser, image, text[i++]);
        if (parser->state == TEXT_ENDED && !parser->tooLong) {
            image->textEnd = TEXT_STOPPED;
            image->stopByte = text[i - 1];
            image->stopAt = parser->read + i - 1;
        }
    }
    parser->read += n;
    return parser->state != TEXT_ENDED;
}

bool FinishImageText(ImageParser* parser, FirmwareImage* image)
{
    if (parser->state == AFTER_ZERO)
        AddDigit(parser, image, 0);
    if (parser->state == IN_DIGITS)
        StoreField(parser, image);
    parser->state = TEXT_ENDED;
    if (parser->tooLong)
        image->textEnd = TEXT_TOO_LONG;
    return !parser->tooLong;
}
