// The image stage: finding the image file, checking its name, reading its
// text, and checking its records.
#include "image/image.h"

#include "common/ascii.h"
#include "common/ending.h"
#include "common/printable.h"

#include "platform.h"

#include <stdio.h>
#include <string.h>

#define IMAGE_PATTERN "*.kit"
#define MSG_NOT_FOUND "Error: File '%s' is not found.\n\n"
#define TARGET_PREFIX "Quellam"
#define TARGET_QUELLAM 0x34

static bool TargetOfName(const char* name, TargetCode* targetCode)
{
    *targetCode = BeginsWithFolded(name, TARGET_PREFIX) ? TARGET_QUELLAM : 0;
    return *targetCode != 0;
}

// A file the user named: its base name tells the target's type.
static bool NameImageFile(const char* path, TargetCode* targetCode)
{
    if (TargetOfName(BaseName(path), targetCode))
        return true;
    PrintEnding("Error: '%s' is not an image's name: it must begin with \"" TARGET_PREFIX
                "\", which names the device it is for.\n\n",
                Printable(BaseName(path)));
    return false;
}

// Only the first match is looked at, whatever its name.
static ImageEnd FindImageFile(char* name, size_t size, TargetCode* targetCode)
{
    if (!FindFirstMatch(IMAGE_PATTERN, name, size)) {
        PrintEnding(MSG_NOT_FOUND, IMAGE_PATTERN);
        return IMAGE_NOT_FOUND;
    }
    if (TargetOfName(name, targetCode))
        return IMAGE_READ;
    PrintEnding("Error: The fit file is not found.\n\n");
    return IMAGE_NOT_NAMED;
}

// Only a regular file is an image: a FIFO, a socket, a device or a
// directory is refused as a file that cannot be opened, and so is one whose
// very first read fails. A read that fails later refuses the image: the
// bytes read so far may end on a record and check. A UTF-8 byte order mark
// at the start, as Windows editors write, is no part of the text.
ImageEnd LoadImage(const char* name, FirmwareImage* image)
{
    static uint8_t block[65536];
    FILE* file = OpenRegularFile(name);
    size_t n = file != NULL ? fread(block, 1, sizeof block, file) : 0;
    if (file == NULL || ferror(file)) {
        if (file != NULL)
            fclose(file);
        PrintEnding(MSG_NOT_FOUND, Printable(name));
        return IMAGE_NOT_FOUND;
    }
    printf("OK: File '%s' is open.\n", Printable(name));
    snprintf(image->file, sizeof image->file, "%s", name);
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
        PrintEnding(MSG_BAD_IMAGE);
        return IMAGE_REFUSED;
    }
    return IMAGE_READ;
}

ImageEnd ReadImageFile(const char* named, TargetCode* targetCode, FirmwareImage* image)
{
    char found[PATH_BUFFER_SIZE];
    if (named != NULL)
        return NameImageFile(named, targetCode) ? LoadImage(named, image) : IMAGE_NOT_NAMED;
    ImageEnd end = FindImageFile(found, sizeof found, targetCode);
    return end == IMAGE_READ ? LoadImage(found, image) : end;
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
        printf("The image holds %u record%s, %u bytes; every checksum holds.\n", check.records,
               check.records == 1 ? "" : "s", (unsigned)image->count);
    return good && image->count != 0;
}
