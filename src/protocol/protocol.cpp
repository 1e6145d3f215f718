#include "protocol/protocol.h"

#include "common/ending.h"
#include "common/texts.h"
#include "midi/midi.h"

#include <stdio.h>
#include <string.h>

#define MSG_NOT_RESPONDING "\nFailed: Target is not responding.\n\n"
#define MSG_COMPLETE "\rTransferring.. 100%% done.  \n"
#define MSG_SUCCESS "Target update successfully!\n"

const uint8_t HANDSHAKE_BODY[HANDSHAKE_LENGTH] = {0x31, 0x6D, 0x0F, 0x42, 0x58, 0x27, 0x13};

static unsigned g_recordsAgain;

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

unsigned RecordsSentAgain(void)
{
    return g_recordsAgain;
}

void ByteToHex(uint8_t value, char* out)
{
    static const char DIGITS[] = "0123456789ABCDEF";
    out[0] = DIGITS[value >> 4];
    out[1] = DIGITS[value & 0x0F];
}

// Messages carry no sequence number: a message sent more than once may be
// answered once for each sending, late. Before anything else goes out,
// the answers still owed are waited for, up to polls, and dropped, so that
// none is taken for the next message's; gives how many never came. A reply
// overwritten before it was taken counts as owed, so the wait can be longer
// than needed, never shorter.
static int DropOwedReplies(int owed, int polls)
{
    for (; owed > 0 && polls != 0 && !Interrupted(); --polls) {
        if (DropReply())
            --owed;
        else
            Sleep(1);
    }
    return owed;
}

// Every greeting but the one answered is owed an answer. A message the MIDI
// service kept unconfirmed reaches the device when it takes it, however
// late, and before anything sent after it: so a greeting's late answer can
// only be taken for a record's, as a refusal.
int Handshake(TargetCode targetCode)
{
    uint8_t body[HANDSHAKE_LENGTH];
    memcpy(body, HANDSHAKE_BODY, sizeof body);
    bool queued = false;
    fflush(stdout);  // the ports' names, for whoever reads the output through a pipe
    for (uint16_t tries = HANDSHAKE_TRIES; --tries != 0;) {
        uint16_t result = SendSysEx(body, sizeof body);
        if (Interrupted())
            return ENDED_BY_SIGNAL;
        if (result != 0 && result != SEND_QUEUED) {
            PrintEnding(MSG_OUT_MISSING);
            return EXIT_NO_DEVICE;
        }
        queued |= result == SEND_QUEUED;
        WaitUntilSent();
        WaitForReply(queued ? QUEUED_POLLS : HANDSHAKE_POLLS);
        if (Interrupted())
            return ENDED_BY_SIGNAL;
        uint8_t status;
        if (!TakeReply(&status))
            continue;
        if (status == targetCode) {
            DropOwedReplies(HANDSHAKE_TRIES - tries - 1, queued ? QUEUED_POLLS : OWED_POLLS);
            return 0;
        }
        if (status == UPD_RESETTING)
            PrintEnding("Please wait the system reset and retry again!\n\n");
        else
            PrintEnding("Error: The device and the upgrade file is not matched!\n\n");
        return EXIT_NO_TARGET;
    }
    PrintEnding(MSG_NOT_RESPONDING);
    return EXIT_NO_TARGET;
}

// Sends one record as chunks of hexadecimal text, with a pause after each;
// an interruption stops it.
// The target cannot answer a record before its last chunk, so a reply still
// waiting then belongs to an earlier message (a late or repeated answer)
// and is dropped: taken for this record's, it could skip a record never
// stored. When the record has gone out before, it counts as an answer of
// this record's. A chunk the MIDI service keeps unconfirmed is on its way,
// so the rest follow it: the device gets the whole record.
static bool SendRecord(ImageRecord record, unsigned number, unsigned attempt, int* answers, bool* queued)
{
    char text[2 * CHUNK_BYTES];
    if (attempt > 1)
        TraceRecordAgain(number, attempt);
    g_recordsAgain += attempt == 2;
    for (uint16_t sent = 0; sent < record.size;) {
        uint16_t k = record.size - sent < CHUNK_BYTES ? (uint16_t)(record.size - sent) : (uint16_t)CHUNK_BYTES;
        for (uint16_t i = 0; i < k; ++i)
            ByteToHex(record.bytes[sent + i], text + 2 * (size_t)i);
        if (sent + k == record.size && DropReply() && attempt > 1)
            ++*answers;
        if (Interrupted())
            return false;
        uint16_t result = SendSysEx((const uint8_t*)text, (uint16_t)(2 * k));
        if (result != 0 && result != SEND_QUEUED)
            return false;
        *queued |= result == SEND_QUEUED;
        Sleep(1);
        sent = (uint16_t)(sent + k);
    }
    return true;
}

// The target restarts once it has the image. One that restarts before the
// last record was sent cannot hold the image it was given.
static int TellRestart(unsigned number, bool last)
{
    if (last) {
        printf(MSG_COMPLETE);
        printf(MSG_SUCCESS);
        PrintEnding("\nThe System is restart, please wait!\n\n");
        return EXIT_DONE;
    }
    printf("\nThe System is restart, please wait!\n");
    PrintEnding("Failed: the target restarted after record %u, before it had the whole image. Run update again "
                "once it has restarted.\n\n",
                number);
    return EXIT_TRANSFER_FAILED;
}

static void PrintRefusal(uint8_t status)
{
    for (size_t i = 0; i < sizeof REFUSALS / sizeof REFUSALS[0]; ++i)
        if (REFUSALS[i].status == status)
            printf("%s", REFUSALS[i].text);
}

// The bytes acknowledged so far are the offset of the current record, so the
// percentage shown never reaches 100 before the completion line. A record
// has gone out failures + 1 times when it is accepted. Where the MIDI
// service kept a sending unconfirmed, its answer comes whenever the device
// takes it, and an earlier sending's late acceptance could be taken for
// the next record's: the transfer goes on only once every sending is
// answered, and gives up after QUEUED_OWED_POLLS.
int TransferImage(const FirmwareImage* image)
{
    uint16_t position = 0;
    unsigned number = 1;  // of the current record
    uint8_t failures = 0;
    int answers = 0;      // of the current record, refusals included
    bool queued = false;  // a sending of it the MIDI service kept unconfirmed
    size_t spin = 0;
    g_recordsAgain = 0;
    while (position < image->count) {
        ImageRecord record = RecordAt(image, position);
        int percent = (int)((uint32_t)position * 100 / image->count);
        printf("\r                        \rTransferring.. %c %d%% done", SPINNER[spin], percent);
        spin = (spin + 1) % SPINNER_STEPS;
        fflush(stdout);
        bool sent = SendRecord(record, number, failures + 1u, &answers, &queued);
        if (Interrupted())
            return ENDED_BY_SIGNAL;
        if (!sent) {
            PrintEnding("\n" MSG_OUT_MISSING);
            return EXIT_TRANSFER_FAILED;
        }
        WaitUntilSent();
        WaitForReply(queued ? QUEUED_POLLS : percent < ACK_LATE_PERCENT ? ACK_POLLS : ACK_POLLS_LATE);
        if (Interrupted())
            return ENDED_BY_SIGNAL;
        uint8_t status;
        bool replied = TakeReply(&status);
        answers += replied;
        if (replied && status == UPD_BLOCK_OK) {
            position = (uint16_t)(position + record.size);
            ++number;
            int owed = position < image->count ? failures + 1 - answers : 0;
            if (DropOwedReplies(owed, queued ? QUEUED_OWED_POLLS : OWED_POLLS) > 0 && queued) {
                PrintEnding(MSG_NOT_RESPONDING);
                return EXIT_TRANSFER_FAILED;
            }
            failures = 0;
            answers = 0;
            queued = false;
            continue;
        }
        if (++failures == MAX_BLOCK_FAILURES) {
            PrintEnding(replied ? "\nError in updating.\n" : MSG_NOT_RESPONDING);
            return EXIT_TRANSFER_FAILED;
        }
        spin = (spin + SPINNER_STEPS - 1) % SPINNER_STEPS;
        if (replied && status == UPD_DONE_RESTART)
            return TellRestart(number, position + record.size == image->count);
        if (replied)
            PrintRefusal(status);
    }
    printf(MSG_COMPLETE);
    PrintEnding(MSG_SUCCESS "\n");
    return EXIT_DONE;
}
