#include "image/image.h"

#include "common/ascii.h"
#include "common/printable.h"

#include "platform.h"

#include <stdio.h>
#include <string.h>

#define IMAGE_PATTERN "*.kit"
#define MSG_NOT_FOUND "Error: File '%s' is not found.\n\n"
#define TARGET_PREFIX "Quellam"
#define TARGET_QUELLAM 0x34

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

bool NameImageFile(const char* path, TargetCode* targetCode)
{
    *targetCode = 0;
    if (!BeginsWithFolded(BaseName(path), TARGET_PREFIX)) {
        printf("Error: The fit file is not found.\n\n");
        return false;
    }
    *targetCode = TARGET_QUELLAM;
    return true;
}

bool FindImageFile(char* name, size_t size, TargetCode* targetCode)
{
    *targetCode = 0;
    if (!FindFirstMatch(IMAGE_PATTERN, name, size)) {
        printf(MSG_NOT_FOUND, IMAGE_PATTERN);
        return false;
    }
    return NameImageFile(name, targetCode);
}

// Only a regular file is an image: a FIFO, a socket, a device or a
// directory is refused as a file that cannot be opened, and so is one whose
// very first read fails. A read that fails later refuses the image: the
// bytes read so far may end on a record and check. A UTF-8 byte order mark
// at the start, as Windows editors write, is no part of the text.
bool LoadImage(const char* name, FirmwareImage* image)
{
    static uint8_t block[65536];
    FILE* file = OpenRegularFile(name);
    size_t n = file != NULL ? fread(block, 1, sizeof block, file) : 0;
    if (file == NULL || ferror(file)) {
        if (file != NULL)
            fclose(file);
        printf(MSG_NOT_FOUND, Printable(name));
        return false;
    }
    printf("OK: File '%s' is open.\n", Printable(name));
    ImageParser parser;
    StartImageText(&parser, image);
    size_t skip = n >= 3 && memcmp(block, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    parser.read = skip;
    uint64_t read = n;
    for (n -= skip; n != 0 && ReadImageText(&parser, image, block + skip, n); read += n, skip = 0) {
        n = fread(block, 1, sizeof block, file);
        if (read + n > IMAGE_TEXT_CAP) {
            image->textEnd = TEXT_OVER_CAP;
            break;
        }
    }
    if (ferror(file))
        image->textEnd = TEXT_READ_ERROR;
    fclose(file);
    bool whole = image->textEnd != TEXT_READ_ERROR && image->textEnd != TEXT_OVER_CAP;
    if (!FinishImageText(&parser, image) || !whole) {
        printf(MSG_BAD_IMAGE);
        return false;
    }
    return true;
}

ImageRecord RecordAt(const FirmwareImage* image, uint32_t position)
{
    const uint8_t* bytes = image->bytes + position;
    uint16_t length = (uint16_t)(bytes[0] * 256u + bytes[1]);
    return ImageRecord{bytes, length, (uint16_t)(length + 2u)};
}

// Every record must lie inside the bytes read and leave room for its
// checksum, so the walk always moves forward and never leaves the image.
bool CheckRecords(const FirmwareImage* image, RecordCheck* check)
{
    memset(check, 0, sizeof *check);
    for (uint32_t p = 0; p < image->count; ++check->records) {
        check->offset = p;
        ImageRecord record = RecordAt(image, p);
        if (image->count - p >= 2 && record.length < 2)
            check->fault = RECORD_SHORT;
        else if (image->count - p < 4 || p + record.length + 2 > image->count)
            check->fault = RECORD_PAST_END;
        if (check->fault != RECORD_OK)
            return false;
        uint16_t sum = 0;
        for (uint32_t i = 2; i < record.length; ++i)
            sum = (uint16_t)(sum + record.bytes[i]);
        check->offBy = (uint16_t)(sum + record.bytes[record.length] + record.bytes[record.length + 1] * 256u);
        if (check->offBy != 0) {
            check->fault = RECORD_CHECKSUM;
            return false;
        }
        p += record.length + 2u;
    }
    return true;
}

bool ValidateImage(const FirmwareImage* image)
{
    RecordCheck check;
    return image->count != 0 && CheckRecords(image, &check);
}

static void ReportText(const FirmwareImage* image)
{
    if (image->textEnd == TEXT_TOO_LONG)
        printf("The image holds more than 65,535 bytes.\n");
    if (image->textEnd == TEXT_READ_ERROR)
        printf("The file could not be read to its end.\n");
    if (image->textEnd == TEXT_OVER_CAP)
        printf("The file is longer than 16 MiB, far more than any image's text.\n");
    if (image->textEnd != TEXT_STOPPED)
        return;
    uint8_t c = image->stopByte;
    printf("Warning: reading stopped at byte %llu of the file, '%c' (0x%02X), which cannot begin a field; "
           "nothing after it is part of the image.\n",
           (unsigned long long)image->stopAt, c >= 0x20 && c < 0x7F ? c : '?', c);
}

bool ReportImage(const FirmwareImage* image)
{
    RecordCheck check;
    ReportText(image);
    if (image->textEnd == TEXT_TOO_LONG || image->textEnd == TEXT_READ_ERROR || image->textEnd == TEXT_OVER_CAP)
        return false;
    bool good = CheckRecords(image, &check);
    unsigned number = check.records + 1, at = check.offset;
    if (!good || image->count == 0)
        printf(MSG_BAD_IMAGE);
    if (check.fault == RECORD_SHORT)
        printf("Record %u, at byte %u of the image: its length field is below 2.\n", number, at);
    if (check.fault == RECORD_PAST_END)
        printf("Record %u, at byte %u of the image: it runs past the end of the image (%u bytes).\n", number, at,
               (unsigned)image->count);
    if (check.fault == RECORD_CHECKSUM)
        printf("Record %u, at byte %u of the image: its checksum is off by 0x%04X.\n", number, at, check.offBy);
    if (good && image->count == 0)
        printf("The image holds no record.\n");
    if (good && image->count != 0)
        printf("The image holds %u records, %u bytes; every checksum holds.\n", check.records,
               (unsigned)image->count);
    return good && image->count != 0;
}
