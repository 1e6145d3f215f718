// The ReplyMailbox: the input callback that fills it on the MIDI system's
// thread, and its three uses on the main thread: wait for anything, wait
// for a reply, take a reply.
#include "midi/midi.h"

std::atomic<uint32_t> g_rxCount{0};
std::atomic<bool> g_rxReturned{false};

static uint32_t PackReply(uint16_t count, uint8_t status)
{
    return (uint32_t)count | (uint32_t)status << 16;
}

static int16_t CountOf(uint32_t reply)
{
    return (int16_t)(uint16_t)(reply & 0xFFFFu);
}

// Runs on the MIDI system's thread and makes no MIDI call: it publishes a
// completed message and says the buffer has come back. A malformed message
// returns the buffer too, without reaching the mailbox, so that it cannot
// stop further replies; a buffer that comes back empty (the input being
// reset) carries no message.
void CALLBACK MidiInCallback(HMIDIIN in, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2)
{
    (void)in;
    (void)instance;
    (void)param2;
    if (msg != MIM_LONGDATA && msg != MIM_LONGERROR)
        return;
    const MIDIHDR* header = (const MIDIHDR*)param1;
    DWORD count = header->dwBytesRecorded < RX_BUFFER_SIZE ? header->dwBytesRecorded : RX_BUFFER_SIZE;
    if (msg == MIM_LONGDATA && count != 0) {
        uint8_t status = count > 1 ? (uint8_t)header->lpData[1] : 0;
        g_rxCount.store(PackReply((uint16_t)count, status), std::memory_order_release);
    }
    g_rxReturned.store(true, std::memory_order_release);
}

int16_t ReplyCount(void)
{
    return CountOf(g_rxCount.load(std::memory_order_acquire));
}

static void WaitForCountAbove(int16_t least, int polls)
{
    for (; polls != 0; --polls) {
        HandBackRxBuffer();
        if (ReplyCount() > least)
            return;
        Sleep(1);
    }
}

void WaitForAnything(int polls)
{
    WaitForCountAbove(0, polls);
}

// A 1-byte message does not end this wait.
void WaitForReply(int polls)
{
    WaitForCountAbove(1, polls);
}

bool TakeReply(uint8_t* status)
{
    HandBackRxBuffer();
    uint32_t reply = g_rxCount.load(std::memory_order_acquire);
    while (CountOf(reply) > 1) {
        if (g_rxCount.compare_exchange_weak(reply, 0, std::memory_order_acquire)) {
            *status = (uint8_t)(reply >> 16);
            return true;
        }
    }
    return false;
}
