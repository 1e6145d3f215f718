// The firmware image: its text encoding, discovery, loading and record check.
//
// An image is records laid end to end. A record is a 16-bit big-endian length
// L, L - 2 data bytes and a 16-bit little-endian checksum that brings the sum
// of the data bytes to zero modulo 65,536.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define IMAGE_STORAGE 131072
#define IMAGE_MAX_COUNT 65535

#define MSG_BAD_IMAGE "Error: The upgrade file is error!\n\n"

struct FirmwareImage {
    uint8_t bytes[IMAGE_STORAGE];
    uint16_t count;
};

// One record, seen in place: the length field L at bytes[0] and bytes[1],
// then L - 2 data bytes, then the checksum; size is L + 2 in 16 bits. The
// check and the transfer both see records through it.
struct ImageRecord {
    const uint8_t* bytes;
    uint16_t length;
    uint16_t size;
};

ImageRecord RecordAt(const FirmwareImage* image, uint32_t position);

// The handshake status that a target of the image's type answers with.
typedef uint8_t TargetCode;

// Reads the image text one block at a time. A field is an optional sign that
// counts as one of its two characters, an optional "0x" that does not, and
// hexadecimal digits; white space between fields is skipped. Reading ends at
// the first byte that cannot begin a field.
struct ImageParser {
    uint8_t state;
    uint8_t counted;
    uint8_t value;
    bool negative;
    bool tooLong;
};

void StartImageText(ImageParser* parser, FirmwareImage* image);
// Returns false once reading has ended; later blocks are not looked at.
bool ReadImageText(ImageParser* parser, FirmwareImage* image, const uint8_t* text, size_t n);
// Ends the text; returns false if it held more fields than an image can.
bool FinishImageText(ImageParser* parser, FirmwareImage* image);

// Fills name with the image file's name and *targetCode with the handshake
// status that a target of the image's type answers, or prints why not.
bool FindImageFile(char* name, size_t size, TargetCode* targetCode);
bool LoadImage(const char* name, FirmwareImage* image);
bool ValidateImage(const FirmwareImage* image);
