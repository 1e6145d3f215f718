// Choosing, opening and closing the target's ports.
#include "midi/midi.h"

#include "common/ascii.h"

#include <stdio.h>
#include <string.h>

HMIDIOUT g_hMidiOut;
uint8_t g_rxBuffer[RX_BUFFERS][RX_BUFFER_SIZE];

// Only the main thread opens, closes and hands the buffers back, so the
// open flags are its own.
static HMIDIIN g_hMidiIn;
static uint8_t g_inOpen;
static uint8_t g_outOpen;
static MIDIHDR g_rxHeader[RX_BUFFERS];

#define SYNTH_PREFIX "Microsoft GS"
#define SKIP_PREFIX "Microsoft"

// A failed query leaves the name empty.
static void ReadInName(UINT id, MIDIINCAPSA* caps)
{
    memset(caps, 0, sizeof *caps);
    midiInGetDevCapsA(id, caps, sizeof *caps);
    caps->szPname[sizeof caps->szPname - 1] = '\0';
}

static void ReadOutName(UINT id, MIDIOUTCAPSA* caps)
{
    memset(caps, 0, sizeof *caps);
    midiOutGetDevCapsA(id, caps, sizeof *caps);
    caps->szPname[sizeof caps->szPname - 1] = '\0';
}

// The buffers are no longer handed back once the flag is clear; stopping
// and resetting the input returns every one, so that each can be
// unprepared and the port closed without the driver refusing.
static void ShutMidiIn(void)
{
    g_inOpen = 0;
    midiInStop(g_hMidiIn);
    midiInReset(g_hMidiIn);
    for (MIDIHDR& header : g_rxHeader)
        midiInUnprepareHeader(g_hMidiIn, &header, sizeof header);
    midiInClose(g_hMidiIn);
}

// A header's dwUser is its buffer's number, which the callback reports back.
static void QueueRxBuffers(void)
{
    g_rxReturned.store(0);
    for (unsigned i = 0; i < RX_BUFFERS; ++i) {
        MIDIHDR* header = &g_rxHeader[i];
        memset(header, 0, sizeof *header);
        header->lpData = (LPSTR)g_rxBuffer[i];
        header->dwBufferLength = RX_BUFFER_SIZE;
        header->dwUser = i;
        midiInPrepareHeader(g_hMidiIn, header, sizeof *header);
        midiInAddBuffer(g_hMidiIn, header, sizeof *header);
    }
}

static void ShutMidiOut(void)
{
    g_outOpen = 0;
    midiOutReset(g_hMidiOut);
    midiOutClose(g_hMidiOut);
}

bool OpenTargetPorts(void)
{
    uint16_t inputs = (uint16_t)CountMidiIns();
    if (inputs == 0) {
        printf("Error: Did not find the USB Audio device, please check!\n\n");
        return false;
    }
    if (inputs > 1) {
        printf("Error:Does your computer have identified %d USB audiol devices, Please remove the other USB audiol "
               "devices!\n\n",
               inputs);
        return false;
    }
    UINT firstOut = SelectOutputStart();
    if (OpenMidiIn(0) != 0) {
        printf("Error: The MIDI In of device is missing!\n\n");
        return false;
    }
    if (OpenMidiOut(firstOut) != 0) {
        printf("Error: The MIDI Out of device is missing!\n\n");
        return false;
    }
    return true;
}

UINT SelectOutputStart(void)
{
    if ((uint16_t)CountMidiOuts() <= 1)
        return 0;
    MIDIOUTCAPSA caps;
    ReadOutName(MidiOutId(0), &caps);
    return BeginsWithFolded(caps.szPname, SYNTH_PREFIX) ? 1 : 0;
}

// A port whose name begins with the system's maker is shown, closed again
// at once and passed over for the next index.
uint16_t OpenMidiIn(UINT deviceId)
{
    for (;; ++deviceId) {
        UINT id = MidiInId(deviceId);
        MMRESULT result = midiInOpen(&g_hMidiIn, id, (DWORD_PTR)MidiInCallback, 0, CALLBACK_FUNCTION);
        if ((uint16_t)result != 0)
            return (uint16_t)result;
        MIDIINCAPSA caps;
        ReadInName(id, &caps);
        printf("MIDI IN DEVICE: %s\r\n", caps.szPname);
        QueueRxBuffers();
        g_inOpen = 1;
        result = midiInStart(g_hMidiIn);
        if (!BeginsWithFolded(caps.szPname, SKIP_PREFIX))
            return (uint16_t)result;
        ShutMidiIn();
    }
}

uint16_t OpenMidiOut(UINT deviceId)
{
    for (;; ++deviceId) {
        UINT id = MidiOutId(deviceId);
        MMRESULT result = midiOutOpen(&g_hMidiOut, id, 0, 0, CALLBACK_NULL);
        if ((uint16_t)result != 0)
            return (uint16_t)result;
        MIDIOUTCAPSA caps;
        ReadOutName(id, &caps);
        printf("MIDI OUT DEVICE: %s\r\n", caps.szPname);
        g_outOpen = 1;
        if (!BeginsWithFolded(caps.szPname, SKIP_PREFIX))
            return 0;
        ShutMidiOut();
    }
}

void HandBackRxBuffers(void)
{
    if (g_inOpen == 0)
        return;
    uint32_t returned = g_rxReturned.exchange(0, std::memory_order_acquire);
    for (unsigned i = 0; i < RX_BUFFERS; ++i) {
        if ((returned & 1u << i) == 0)
            continue;
        if ((g_rxHeader[i].dwFlags & MHDR_PREPARED) == 0)
            midiInPrepareHeader(g_hMidiIn, &g_rxHeader[i], sizeof g_rxHeader[i]);
        midiInAddBuffer(g_hMidiIn, &g_rxHeader[i], sizeof g_rxHeader[i]);
    }
}

int CloseMidiIn(void)
{
    if (g_inOpen == 0)
        return 0;
    ShutMidiIn();
    return 1;
}

int CloseMidiOut(void)
{
    if (g_outOpen == 0)
        return 0;
    ShutMidiOut();
    return 1;
}
