// System Exclusive output: one framed message at a time.
#include "midi/midi.h"

#include <string.h>

#define NOTE_QUEUED "(not confirmed: the MIDI service keeps it for the device)"

static MIDIHDR g_txHeader;
static unsigned g_sent;    // messages the output has taken
static unsigned g_queued;  // of them, those the MIDI service kept unconfirmed

// The driver keeps the header until the message is out. It is asked again
// after every 1 ms pause at first, so that a message the driver finishes a
// little later costs about its own time, then after 100 ms pauses up to a
// bound of about 10 s; past that, or on an interruption, the output is reset
// so that it gives the header back before the message storage on the
// caller's stack goes away.
static uint16_t ReleaseTxHeader(void)
{
    for (int asks = 0; midiOutUnprepareHeader(g_hMidiOut, &g_txHeader, sizeof g_txHeader) == MIDIERR_STILLPLAYING;
         ++asks) {
        if (asks == RELEASE_QUICK_ASKS + RELEASE_SLOW_ASKS || Interrupted()) {
            midiOutReset(g_hMidiOut);
            midiOutUnprepareHeader(g_hMidiOut, &g_txHeader, sizeof g_txHeader);
            return MIDIERR_STILLPLAYING;
        }
        HandBackRxBuffers();
        Sleep(asks < RELEASE_QUICK_ASKS ? 1 : RELEASE_SLOW_MS);
    }
    return 0;
}

static uint16_t NotSent(const uint8_t* message, uint16_t n, MMRESULT result)
{
    char note[32];
    snprintf(note, sizeof note, "(not sent: error %u)", (unsigned)result);
    TraceMessage('>', message, n + 2u, n + 2u, note);
    return (uint16_t)result;
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
        return NotSent(message, n, result);
    result = midiOutLongMsg(g_hMidiOut, &g_txHeader, sizeof g_txHeader);
    bool queued = false;
    if ((uint16_t)result != 0) {
        midiOutUnprepareHeader(g_hMidiOut, &g_txHeader, sizeof g_txHeader);
        queued = GetMidiStack() == MIDI_STACK_SERVICE && OutputListed();
        if (!queued)
            return NotSent(message, n, result);
    }
    ++g_sent;
    g_queued += queued;
    TraceMessage('>', message, n + 2u, n + 2u, queued ? NOTE_QUEUED : NULL);
    return queued ? SEND_QUEUED : ReleaseTxHeader();
}

unsigned MessagesSent(void)
{
    return g_sent;
}

unsigned MessagesQueued(void)
{
    return g_queued;
}

// Hands the receive buffers back meanwhile, as every wait does. A reply
// ends it: the device had the message whole.
void WaitUntilSent(void)
{
    for (int polls = SENT_POLLS; polls != 0 && !Interrupted() && MidiOutputHeld() != 0 && ReplyCount() == 0; --polls) {
        HandBackRxBuffers();
        Sleep(1);
    }
}
