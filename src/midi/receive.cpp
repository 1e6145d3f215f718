// The receive path: the input's buffers, which the main thread queues and
// hands back, the input callback that fills the ReplyMailbox on the MIDI
// system's thread, and the mailbox's uses on the main thread: wait for a
// reply, take one, drop one.
#include "midi/midi.h"

#include <string.h>

std::atomic<uint64_t> g_rxCount{0};
std::atomic<uint32_t> g_rxReturned{0};
uint8_t g_rxBuffer[RX_BUFFERS][RX_BUFFER_SIZE];

// The main thread's own: the input the buffers are queued on (NULL once
// they are withdrawn), and the buffers out of the queue that it has yet to
// queue again.
static MIDIHDR g_rxHeader[RX_BUFFERS];
static HMIDIIN g_rxIn;
static uint32_t g_rxWaiting;

static int16_t CountOf(uint64_t reply)
{
    return (int16_t)(uint16_t)(reply & 0xFFFFu);
}

static uint8_t ByteOf(uint64_t reply, unsigned i)
{
    return (uint8_t)(reply >> (8 * (i + 1)));
}

// Runs on the MIDI system's thread and makes no MIDI call: it publishes a
// reply and says its buffer has come back. Every other buffer comes back
// without reaching the mailbox: a malformed message, so that it cannot stop
// further replies; noise, so that it neither ends a wait nor replaces a
// reply still unread; the rest of a long message, which is no message of
// its own; and an empty one (the input being reset).
void CALLBACK MidiInCallback(HMIDIIN in, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2)
{
    (void)in;
    (void)instance;
    (void)param2;
    if (msg != MIM_LONGDATA && msg != MIM_LONGERROR)
        return;
    const MIDIHDR* header = (const MIDIHDR*)param1;
    DWORD count = header->dwBytesRecorded < RX_BUFFER_SIZE ? header->dwBytesRecorded : RX_BUFFER_SIZE;
    const uint8_t* bytes = (const uint8_t*)header->lpData;
    if (msg == MIM_LONGDATA && count > 1 && bytes[0] == 0xF0) {
        uint64_t reply = count;
        for (DWORD i = 1; i < count && i <= REPLY_BYTES_KEPT; ++i)
            reply |= (uint64_t)bytes[i] << (8 * (i + 1));
        g_rxCount.store(reply, std::memory_order_release);
    }
    g_rxReturned.fetch_or(1u << (header->dwUser % RX_BUFFERS), std::memory_order_release);
}

// A header's dwUser is its buffer's number, which the callback reports back.
void QueueRxBuffers(HMIDIIN in)
{
    g_rxReturned.store(0);
    for (unsigned i = 0; i < RX_BUFFERS; ++i) {
        MIDIHDR* header = &g_rxHeader[i];
        memset(header, 0, sizeof *header);
        header->lpData = (LPSTR)g_rxBuffer[i];
        header->dwBufferLength = RX_BUFFER_SIZE;
        header->dwUser = i;
    }
    g_rxIn = in;
    g_rxWaiting = (1u << RX_BUFFERS) - 1;
    HandBackRxBuffers();
}

// A buffer leaves the waiting ones only once the input has taken it.
void HandBackRxBuffers(void)
{
    if (g_rxIn == NULL)
        return;
    g_rxWaiting |= g_rxReturned.exchange(0, std::memory_order_acquire);
    for (unsigned i = 0; i < RX_BUFFERS; ++i) {
        MIDIHDR* header = &g_rxHeader[i];
        if ((g_rxWaiting & 1u << i) == 0 ||
            ((header->dwFlags & MHDR_PREPARED) == 0 && (uint16_t)midiInPrepareHeader(g_rxIn, header, sizeof *header)))
            continue;
        if ((uint16_t)midiInAddBuffer(g_rxIn, header, sizeof *header) == 0)
            g_rxWaiting &= ~(1u << i);
    }
}

// Stopping and resetting the input returns every buffer, so that each can
// be unprepared and the port closed without the driver refusing.
void WithdrawRxBuffers(void)
{
    HMIDIIN in = g_rxIn;
    g_rxIn = NULL;
    midiInStop(in);
    midiInReset(in);
    for (MIDIHDR& header : g_rxHeader)
        midiInUnprepareHeader(in, &header, sizeof header);
}

int16_t ReplyCount(void)
{
    return CountOf(g_rxCount.load(std::memory_order_acquire));
}

// An interruption ends the wait.
void WaitForReply(int polls)
{
    for (; polls != 0 && !Interrupted(); --polls) {
        HandBackRxBuffers();
        if (ReplyCount() != 0)
            return;
        Sleep(1);
    }
}

// Takes the reply out of the mailbox and traces it with the bytes kept.
static uint64_t Take(const char* note)
{
    HandBackRxBuffers();
    uint64_t reply = g_rxCount.exchange(0, std::memory_order_acquire);
    unsigned count = (unsigned)CountOf(reply);
    if (count == 0)
        return 0;
    uint8_t bytes[1 + REPLY_BYTES_KEPT] = {0xF0};
    unsigned kept = count - 1 < REPLY_BYTES_KEPT ? count - 1 : REPLY_BYTES_KEPT;
    for (unsigned i = 1; i <= kept; ++i)
        bytes[i] = ByteOf(reply, i);
    TraceMessage('<', bytes, 1 + kept, count, note);
    return reply;
}

// An answer means the device has heard all that went before it.
bool TakeReply(uint8_t* status)
{
    uint64_t reply = Take(NULL);
    *status = ByteOf(reply, 1);
    if (reply != 0)
        MidiOutputHeard();
    return reply != 0;
}

bool DropReply(void)
{
    return Take("(dropped: owed to an earlier sending)") != 0;
}
