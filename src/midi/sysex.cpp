// System Exclusive output: one framed message at a time.
#include "midi/midi.h"

#include <string.h>

static MIDIHDR g_txHeader;

// The driver keeps the header until the message is out; past the last wait,
// or on an interruption, the output is reset so that it gives the header
// back before the message storage on the caller's stack goes away.
static uint16_t ReleaseTxHeader(void)
{
    for (int waits = 0; midiOutUnprepareHeader(g_hMidiOut, &g_txHeader, sizeof g_txHeader) == MIDIERR_STILLPLAYING;
         ++waits) {
        if (waits == RELEASE_WAITS || Interrupted()) {
            midiOutReset(g_hMidiOut);
            midiOutUnprepareHeader(g_hMidiOut, &g_txHeader, sizeof g_txHeader);
            return MIDIERR_STILLPLAYING;
        }
        HandBackRxBuffers();
        Sleep(RELEASE_WAIT_MS);
    }
    return 0;
}

// The receive buffers are queued before the message goes out, so that the
// target's answer to it finds one.
uint16_t SendSysEx(const uint8_t* payload, uint16_t n)
{
    if (n > MAX_SYSEX_PAYLOAD)
        return 0;
    HandBackRxBuffers();
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
