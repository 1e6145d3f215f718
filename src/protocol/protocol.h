// The update protocol: a handshake that identifies the target, then the
// image record by record as hexadecimal text, each record acknowledged.
#pragma once

#include "common/status.h"
#include "image/image.h"

#include <stdint.h>

#define HANDSHAKE_LENGTH 7
#define HANDSHAKE_TRIES 20
#define HANDSHAKE_POLLS 100
#define CHUNK_BYTES 23
#define MAX_BLOCK_FAILURES 20
#define ACK_POLLS 50
#define ACK_POLLS_LATE 200
#define ACK_LATE_PERCENT 85
#define OWED_POLLS 300
#define QUEUED_POLLS 5000         // after a message the MIDI service kept unconfirmed
#define QUEUED_OWED_POLLS 60000  // for every answer to a record so sent

// Status values the target answers with.
enum {
    UPD_RESETTING = 0x15,
    UPD_BLOCK_OK = 0x1A,
    UPD_ERR_CRC = 0x20,
    UPD_ERR_DAMAGED = 0x21,
    UPD_ERR_DAMAGED2 = 0x22,
    UPD_ERR_VERIFY = 0x24,
    UPD_ERR_ERASE = 0x25,
    UPD_DONE_RESTART = 0x77,
};

extern const uint8_t HANDSHAKE_BODY[HANDSHAKE_LENGTH];

// Writes value as two upper-case hexadecimal digits, high nibble first.
void ByteToHex(uint8_t value, char* out);

// Both ports open. Returns 0 when the target answered with targetCode;
// otherwise prints the ending's message and returns its exit status, or
// ENDED_BY_SIGNAL, with nothing printed, on an interruption.
int Handshake(TargetCode targetCode);

// Sends the validated image, prints how the transfer ended and returns the
// exit status of that ending, or ENDED_BY_SIGNAL as the handshake does.
int TransferImage(const FirmwareImage* image);
// How many records the last transfer sent more than once.
unsigned RecordsSentAgain(void);
