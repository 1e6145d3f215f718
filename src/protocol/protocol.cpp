#include "protocol/protocol.h"

#include "common/texts.h"
#include "midi/midi.h"

#include <stdio.h>
#include <string.h>

#define MSG_NOT_RESPONDING "\nFailed: Target is not responding.\n\n"
#define MSG_COMPLETE "\rTransferring.. 100%% done.  \nTarget update successfully!\n"

const uint8_t HANDSHAKE_BODY[HANDSHAKE_LENGTH] = {0x31, 0x6D, 0x0F, 0x42, 0x58, 0x27, 0x13};

// Each glyph shows for two attempts in a row.
static const char SPINNER[] = "--\\\\||//";
#define SPINNER_STEPS (sizeof SPINNER - 1)

static const struct {
    uint8_t status;
    const char* text;
} REFUSALS[] = {
    {UPD_ERR_CRC, "\nThe CRC of the download file is error!\n"},
    {UPD_ERR_DAMAGED, "\nThe download file has been damaged!\n"},
    {UPD_ERR_DAMAGED2, "\nThe download file has been damaged!\n"},
    {UPD_ERR_VERIFY, "\nThe download file verifies error!\n"},
    {UPD_ERR_ERASE, "\nThe MCU erases error!\n"},
};

void ByteToHex(uint8_t value, char* out)
{
    static const char DIGITS[] = "0123456789ABCDEF";
    out[0] = DIGITS[value >> 4];
    out[1] = DIGITS[value & 0x0F];
}

// Messages carry no sequence number: a message sent more than once may be
// answered once for each sending, late. Before anything else goes out,
// the answers still owed are waited for, a while, and dropped, so that none
// is taken for the next message's. A reply overwritten before it was taken
// counts as owed, so the wait can be longer than needed, never shorter.
static void DropOwedReplies(int owed)
{
    for (int passes = OWED_POLLS; owed > 0 && passes != 0 && !Interrupted(); --passes) {
        if (DropReply())
            --owed;
        else
            Sleep(1);
    }
}

int Handshake(TargetCode targetCode)
{
    uint8_t body[HANDSHAKE_LENGTH];
    memcpy(body, HANDSHAKE_BODY, sizeof body);
    for (uint16_t tries = HANDSHAKE_TRIES; --tries != 0;) {
        bool sent = SendSysEx(body, sizeof body) == 0;
        if (Interrupted())
            return ENDED_BY_SIGNAL;
        if (!sent) {
            printf(MSG_OUT_MISSING);
            return EXIT_NO_DEVICE;
        }
        WaitUntilSent();
        WaitForReply(HANDSHAKE_POLLS);
        if (Interrupted())
            return ENDED_BY_SIGNAL;
        uint8_t status;
        if (!TakeReply(&status))
            continue;
        if (status == targetCode) {
            DropOwedReplies(HANDSHAKE_TRIES - tries - 1);  // every greeting but the one answered
            return 0;
        }
        if (status == UPD_RESETTING)
            printf("Please wait the system reset and retry again!\n\n");
        else
            printf("Error: The device and the upgrade file is not matched!\n\n");
        return EXIT_NO_TARGET;
    }
    printf(MSG_NOT_RESPONDING);
    return EXIT_NO_TARGET;
}

// Sends one record as chunks of hexadecimal text, with a pause after each;
// an interruption stops it.
// The target cannot answer a record before its last chunk, so a reply still
// waiting then belongs to an earlier message (a late or repeated answer)
// and is dropped: taken for this record's, it could skip a record never
// stored. When the record has gone out before, it counts as an answer of
// this record's.
static bool SendRecord(ImageRecord record, unsigned number, unsigned attempt, int* answers)
{
    char text[2 * CHUNK_BYTES];
    if (attempt > 1)
        TraceRecordAgain(number, attempt);
    for (uint16_t sent = 0; sent < record.size;) {
        uint16_t k = record.size - sent < CHUNK_BYTES ? (uint16_t)(record.size - sent) : (uint16_t)CHUNK_BYTES;
        for (uint16_t i = 0; i < k; ++i)
            ByteToHex(record.bytes[sent + i], text + 2 * (size_t)i);
        if (sent + k == record.size && DropReply() && attempt > 1)
            ++*answers;
        if (Interrupted() || SendSysEx((const uint8_t*)text, (uint16_t)(2 * k)) != 0)
            return false;
        Sleep(1);
        sent = (uint16_t)(sent + k);
    }
    return true;
}

static void PrintRefusal(uint8_t status)
{
    for (size_t i = 0; i < sizeof REFUSALS / sizeof REFUSALS[0]; ++i)
        if (REFUSALS[i].status == status)
            printf("%s", REFUSALS[i].text);
}

// The bytes acknowledged so far are the offset of the current record, so the
// percentage shown never reaches 100 before the completion line. A record
// has gone out failures + 1 times when it is accepted.
int TransferImage(const FirmwareImage* image)
{
    uint16_t position = 0;
    unsigned number = 1;  // of the current record
    uint8_t failures = 0;
    int answers = 0;  // of the current record, refusals included
    size_t spin = 0;
    while (position < image->count) {
        ImageRecord record = RecordAt(image, position);
        int percent = (int)((uint32_t)position * 100 / image->count);
        printf("\r                        \rTransferring.. %c %d%% done", SPINNER[spin], percent);
        spin = (spin + 1) % SPINNER_STEPS;
        fflush(stdout);
        bool sent = SendRecord(record, number, failures + 1u, &answers);
        if (Interrupted())
            return ENDED_BY_SIGNAL;
        if (!sent) {
            printf("\n" MSG_OUT_MISSING);
            return EXIT_TRANSFER_FAILED;
        }
        WaitUntilSent();
        WaitForReply(percent < ACK_LATE_PERCENT ? ACK_POLLS : ACK_POLLS_LATE);
        if (Interrupted())
            return ENDED_BY_SIGNAL;
        uint8_t status;
        bool replied = TakeReply(&status);
        answers += replied;
        if (replied && status == UPD_BLOCK_OK) {
            position = (uint16_t)(position + record.size);
            ++number;
            if (position < image->count)
                DropOwedReplies(failures + 1 - answers);
            failures = 0;
            answers = 0;
            continue;
        }
        if (++failures == MAX_BLOCK_FAILURES) {
            printf(replied ? "\nError in updating.\n" : MSG_NOT_RESPONDING);
            return EXIT_TRANSFER_FAILED;
        }
        spin = (spin + SPINNER_STEPS - 1) % SPINNER_STEPS;
        if (replied && status == UPD_DONE_RESTART) {
            printf(MSG_COMPLETE "\nThe System is restart, please wait!\n\n");
            return EXIT_DONE;
        }
        if (replied)
            PrintRefusal(status);
    }
    printf(MSG_COMPLETE "\n");
    return EXIT_DONE;
}
