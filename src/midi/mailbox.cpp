// The ReplyMailbox: the input callback that fills it on the MIDI system's
// thread, and its two uses on the main thread: wait for a reply, take a
// reply.
#include "midi/midi.h"

std::atomic<uint32_t> g_rxCount{0};
std::atomic<uint32_t> g_rxReturned{0};

static uint32_t PackReply(uint16_t count, uint8_t status)
{
    return (uint32_t)count | (uint32_t)status << 16;
}

static int16_t CountOf(uint32_t reply)
{
    return (int16_t)(uint16_t)(reply & 0xFFFFu);
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
    if (msg == MIM_LONGDATA && count > 1 && bytes[0] == 0xF0)
        g_rxCount.store(PackReply((uint16_t)count, bytes[1]), std::memory_order_release);
    g_rxReturned.fetch_or(1u << (header->dwUser % RX_BUFFERS), std::memory_order_release);
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

bool TakeReply(uint8_t* status)
{
    HandBackRxBuffers();
    uint32_t reply = g_rxCount.exchange(0, std::memory_order_acquire);
    *status = (uint8_t)(reply >> 16);
    return CountOf(reply) != 0;
}
