// Choosing, opening and closing the target's ports.
#include "midi/midi.h"

#include "common/printable.h"
#include "common/texts.h"

#include <stdio.h>

HMIDIOUT g_hMidiOut;

// Only the main thread opens and closes, so the open flags are its own.
static HMIDIIN g_hMidiIn;
static uint8_t g_inOpen;
static uint8_t g_outOpen;

static void ShutMidiIn(void)
{
    g_inOpen = 0;
    WithdrawRxBuffers();
    midiInClose(g_hMidiIn);
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
               "devices!\n\nOr choose one with the --port beside it:\n",
               inputs);
        for (UINT index = 0; index < inputs; ++index)
            PrintChoosablePort(true, MidiInId(index));
        printf("\n");
        return false;
    }
    UINT firstOut = SelectOutputStart();
    if (OpenMidiIn(0) != 0) {
        printf(MSG_IN_MISSING);
        return false;
    }
    if (OpenMidiOut(firstOut) != 0) {
        printf(MSG_OUT_MISSING);
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
    return IsSystemSynthesizer(name) ? 1 : 0;
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
    QueueRxBuffers(g_hMidiIn);
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

// A port passed over for its name is shown, closed again at once and left
// for the next index.
uint16_t OpenMidiIn(UINT deviceId)
{
    for (char name[MAXPNAMELEN];; ++deviceId) {
        uint16_t result = OpenInputPort(MidiInId(deviceId), name);
        if (g_inOpen == 0 || !IsPassedOverByName(name))
            return result;
        ShutMidiIn();
    }
}

uint16_t OpenMidiOut(UINT deviceId)
{
    for (char name[MAXPNAMELEN];; ++deviceId) {
        uint16_t result = OpenOutputPort(MidiOutId(deviceId), name);
        if (result != 0 || !IsPassedOverByName(name))
            return result;
        ShutMidiOut();
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
