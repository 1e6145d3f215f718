// System Exclusive output, and the input callback that fills the mailbox.
#include "midi/midi.h"

#include <string.h>

std::atomic<uint32_t> g_rxReply{0};

static MIDIHDR g_txHeader;

static uint32_t PackReply(uint16_t count, uint8_t status)
{
    return (uint32_t)count | (uint32_t)status << 16;
}

static int16_t CountOf(uint32_t reply)
{
    return (int16_t)(uint16_t)(reply & 0xFFFFu);
}

// The driver keeps the header until the message is out; past the last wait
// the output is reset so that it gives the header back before the message
// storage on the caller's stack goes away.
static uint16_t ReleaseTxHeader(void)
{
    for (int waits = 0; midiOutUnprepareHeader(g_hMidiOut, &g_txHeader, sizeof g_txHeader) == MIDIERR_STILLPLAYING;
         ++waits) {
        if (waits == RELEASE_WAITS) {
            midiOutReset(g_hMidiOut);
            midiOutUnprepareHeader(g_hMidiOut, &g_txHeader, sizeof g_txHeader);
            return MIDIERR_STILLPLAYING;
        }
        Sleep(RELEASE_WAIT_MS);
    }
    return 0;
}

uint16_t SendSysEx(const uint8_t* payload, uint16_t n)
{
    if (n > MAX_SYSEX_PAYLOAD)
        return 0;
    uint8_t message[MAX_SYSEX_PAYLOAD + 2];
    message[0] = 0xF0;
    memcpy(message + 1, payload, n);
    message[n + 1] = 0xF7;
    memset(&g_txHeader, 0, sizeof g_txHeader);
    g_txHeader.lpData = (LPSTR)message;
    g_txHeader.dwBufferLength = n + 2u;
    MMRESULT result = midiOutPrepareHeader(g_hMidiOut, &g_txHeader, sizeof g_txHeader);
    if ((uint16_t)result != 0)
        return (uint16_t)result;
    result = midiOutLongMsg(g_hMidiOut, &g_txHeader, sizeof g_txHeader);
    if ((uint16_t)result != 0) {
        midiOutUnprepareHeader(g_hMidiOut, &g_txHeader, sizeof g_txHeader);
        return (uint16_t)result;
    }
    return ReleaseTxHeader();
}

// Runs on the MIDI system's thread. Every returned buffer is queued again
// while the input is open, so that a malformed message cannot stop further
// replies; only completed messages reach the mailbox. A buffer that comes
// back empty (the input being reset) carries no message.
void CALLBACK MidiInCallback(HMIDIIN in, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2)
{
    (void)instance;
    (void)param2;
    if (msg != MIM_LONGDATA && msg != MIM_LONGERROR)
        return;
    MIDIHDR* header = (MIDIHDR*)param1;
    DWORD count = header->dwBytesRecorded < RX_BUFFER_SIZE ? header->dwBytesRecorded : RX_BUFFER_SIZE;
    if (msg == MIM_LONGDATA && count != 0) {
        uint8_t status = count > 1 ? (uint8_t)header->lpData[1] : 0;
        g_rxReply.store(PackReply((uint16_t)count, status), std::memory_order_release);
    }
    if (g_inOpen.load() != 0) {
        midiInUnprepareHeader(in, header, sizeof *header);
        midiInPrepareHeader(in, header, sizeof *header);
        midiInAddBuffer(in, header, sizeof *header);
    }
}

int16_t PeekReplyCount(void)
{
    return CountOf(g_rxReply.load(std::memory_order_acquire));
}

bool TakeReply(uint8_t* status)
{
    uint32_t reply = g_rxReply.load(std::memory_order_acquire);
    while (CountOf(reply) > 1) {
        if (g_rxReply.compare_exchange_weak(reply, 0, std::memory_order_acquire)) {
            *status = (uint8_t)(reply >> 16);
            return true;
        }
    }
    return false;
}
