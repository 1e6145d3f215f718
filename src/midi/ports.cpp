// Choosing, opening and closing the target's ports.
#include "midi/midi.h"

#include "common/ascii.h"
#include "common/printable.h"

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
void PortName(bool input, UINT id, char name[MAXPNAMELEN])
{
    MIDIINCAPSA in;
    MIDIOUTCAPSA out;
    memset(&in, 0, sizeof in);
    memset(&out, 0, sizeof out);
    if (input)
        midiInGetDevCapsA(id, &in, sizeof in);
    else
        midiOutGetDevCapsA(id, &out, sizeof out);
    memcpy(name, input ? in.szPname : out.szPname, MAXPNAMELEN);
    name[MAXPNAMELEN - 1] = '\0';
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
               "devices!\n\n"
               "See them with 'update --list' and choose one with 'update --port NAME'.\n\n",
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
    char name[MAXPNAMELEN];
    PortName(false, MidiOutId(0), name);
    return BeginsWithFolded(name, SYNTH_PREFIX) ? 1 : 0;
}

// Opens the system's input id, names it, queues the buffers and starts it.
uint16_t OpenInputPort(UINT id, char name[MAXPNAMELEN])
{
    name[0] = '\0';
    MMRESULT result = midiInOpen(&g_hMidiIn, id, (DWORD_PTR)MidiInCallback, 0, CALLBACK_FUNCTION);
    if ((uint16_t)result != 0)
        return (uint16_t)result;
    PortName(true, id, name);
    printf("MIDI IN DEVICE: %s\r\n", Printable(name));
    QueueRxBuffers();
    g_inOpen = 1;
    return (uint16_t)midiInStart(g_hMidiIn);
}

uint16_t OpenOutputPort(UINT id, char name[MAXPNAMELEN])
{
    name[0] = '\0';
    MMRESULT result = midiOutOpen(&g_hMidiOut, id, 0, 0, CALLBACK_NULL);
    if ((uint16_t)result != 0)
        return (uint16_t)result;
    PortName(false, id, name);
    printf("MIDI OUT DEVICE: %s\r\n", Printable(name));
    g_outOpen = 1;
    return 0;
}

// A port whose name begins with the system's maker is shown, closed again
// at once and passed over for the next index.
uint16_t OpenMidiIn(UINT deviceId)
{
    for (char name[MAXPNAMELEN];; ++deviceId) {
        uint16_t result = OpenInputPort(MidiInId(deviceId), name);
        if (g_inOpen == 0 || !BeginsWithFolded(name, SKIP_PREFIX))
            return result;
        ShutMidiIn();
    }
}

uint16_t OpenMidiOut(UINT deviceId)
{
    for (char name[MAXPNAMELEN];; ++deviceId) {
        uint16_t result = OpenOutputPort(MidiOutId(deviceId), name);
        if (result != 0 || !BeginsWithFolded(name, SKIP_PREFIX))
            return result;
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
