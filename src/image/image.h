// The firmware image: its text encoding, discovery, loading and record check.
//
// An image is records laid end to end. A record is a 16-bit big-endian length
// L, L - 2 data bytes and a 16-bit little-endian checksum that brings the sum
// of the data bytes to zero modulo 65,536.
#pragma once

#include "common/texts.h"

#include <stddef.h>
#include <stdint.h>

#define IMAGE_STORAGE 131072
#define IMAGE_MAX_COUNT 65535
#define IMAGE_PATH_SIZE 4096
#define IMAGE_TEXT_CAP (16u << 20)  // bytes of text, far more than any image needs

// How reading the text ended: at its end, at a byte that cannot begin a
// field (stopByte, stopAt bytes into the file), with more fields than an
// image holds, at a read error, or past IMAGE_TEXT_CAP bytes.
enum TextEnd { TEXT_WHOLE, TEXT_STOPPED, TEXT_TOO_LONG, TEXT_READ_ERROR, TEXT_OVER_CAP };

struct FirmwareImage {
    uint8_t bytes[IMAGE_STORAGE];
    uint16_t count;
    uint8_t textEnd;
    uint8_t stopByte;
    uint64_t stopAt;
    char file[IMAGE_PATH_SIZE];  // as it was opened, for the report
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
    uint64_t read;  // text bytes looked at before the current block
};

void StartImageText(ImageParser* parser, FirmwareImage* image);
// Returns false once reading has ended; later blocks are not looked at.
bool ReadImageText(ImageParser* parser, FirmwareImage* image, const uint8_t* text, size_t n);
// Ends the text; returns false if it held more fields than an image can.
bool FinishImageText(ImageParser* parser, FirmwareImage* image);

// How the image stage ended: the image read, or why not; each but the
// first has printed its message.
enum ImageEnd { IMAGE_READ, IMAGE_NOT_FOUND, IMAGE_NOT_NAMED, IMAGE_REFUSED };

// The image stage up to the record check: the file named (or, with named
// NULL, the first *.kit file of the current directory), whose name tells in
// *targetCode the handshake status that a target of the image's type
// answers with, read into image.
ImageEnd ReadImageFile(const char* named, TargetCode* targetCode, FirmwareImage* image);
// Reads the text of the file at path into image.
ImageEnd LoadImage(const char* path, FirmwareImage* image);

// The first record that is wrong, and how: its length field below 2, a
// record that runs past the end of the image, or a checksum that does not
// bring the sum to zero (offBy, the sum it brings).
enum RecordFault { RECORD_OK, RECORD_SHORT, RECORD_PAST_END, RECORD_CHECKSUM };
struct RecordCheck {
    uint32_t records;  // the records that hold, before any wrong one
    uint32_t offset;   // where the wrong one begins
    uint8_t fault;
    uint16_t offBy;
};

bool CheckRecords(const FirmwareImage* image, RecordCheck* check);
// The records all hold, and there is at least one: an image that holds
// none would update nothing.
bool ValidateImage(const FirmwareImage* image);
// For a user who asked for a check: what the image holds, or which record
// is wrong and how, and where reading stopped before the file's end.
// Returns whether the image would be sent.
bool ReportImage(const FirmwareImage* image);
