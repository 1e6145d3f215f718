// Opening and closing the target's ports, which the device stages choose.
#include "midi/midi.h"

#include "common/ending.h"
#include "common/printable.h"
#include "common/texts.h"

#include <stdio.h>
#include <string.h>

#define MSG_PORT_BUSY                                                                                          \
    "The port is in use by another program: close the programs that use MIDI (a music program, a browser tab " \
    "that was given MIDI access) and run update again.\n\n"

HMIDIOUT g_hMidiOut;

// Only the main thread opens and closes, so the open flags are its own, and
// the system ids of the ports last opened or tried.
static HMIDIIN g_hMidiIn;
static uint8_t g_inOpen;
static uint8_t g_outOpen;
static UINT g_inId = NO_PORT, g_outId;
static char g_outPortId[256], g_outName[MAXPNAMELEN];

UINT ChosenInput(void)
{
    return g_inId;
}

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

// The system's answer, traced.
static const char* PortUsers(bool input, UINT id)
{
    char port[16];
    const char* users = MidiPortUsers(input, id);
    snprintf(port, sizeof port, "%s %u", input ? "in" : "out", id + 1);
    if (users != NULL)
        TraceFields("users", port, users, NULL);
    return users;
}

// Windows tells a port another program has open as allocated; Linux a
// raw MIDI device that is busy.
bool TellOpenFailure(bool input, uint16_t result)
{
    PrintEnding(input ? MSG_IN_MISSING : MSG_OUT_MISSING);
    if (result != MMSYSERR_ALLOCATED)
        return false;
    printf(MSG_PORT_BUSY);
    const char* users = PortUsers(input, input ? g_inId : g_outId);
    if (users != NULL)
        printf("In use by: %s.\n\n", Printable(users));
    return false;
}

// A deliberate use of standard error, as the trace's: standard output is
// the same whoever else is connected.
bool BothPortsOpen(void)
{
    char name[MAXPNAMELEN];
    TraceNote(MidiOutputRoute());
    const char* users = PortUsers(false, g_outId);
    if (users == NULL)
        return true;
    PortName(false, g_outId, name);
    fprintf(stderr, "update: other programs can send to %s", Printable(name));
    fprintf(stderr, " while it is updated: %s. If the update fails, close them and run update again.%s\n",
            Printable(users),
            strstr(users, "PipeWire") != NULL
                ? " PipeWire's MIDI bridge is connected to every port while any program uses MIDI through PipeWire."
                : "");
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
    g_inId = id;
    MMRESULT result = midiInOpen(&g_hMidiIn, id, (DWORD_PTR)MidiInCallback, 0, CALLBACK_FUNCTION);
    TraceCall("midiInOpen", id, result);
    if ((uint16_t)result != 0)
        return (uint16_t)result;
    PortName(true, id, name);
    printf("MIDI IN DEVICE: %s\r\n", Printable(name));
    QueueRxBuffers(g_hMidiIn);
    g_inOpen = 1;
    result = midiInStart(g_hMidiIn);
    TraceCall("midiInStart", id, result);
    return (uint16_t)result;
}

uint16_t OpenOutputPort(UINT id, char name[MAXPNAMELEN])
{
    name[0] = '\0';
    g_outId = id;
    MMRESULT result = midiOutOpen(&g_hMidiOut, id, 0, 0, CALLBACK_NULL);
    TraceCall("midiOutOpen", id, result);
    if ((uint16_t)result != 0)
        return (uint16_t)result;
    PortName(false, id, name);
    printf("MIDI OUT DEVICE: %s\r\n", Printable(name));
    g_outOpen = 1;
    snprintf(g_outPortId, sizeof g_outPortId, "%s", PortId(false, id));
    memcpy(g_outName, name, MAXPNAMELEN);
    return 0;
}

bool OutputListed(void)
{
    char name[MAXPNAMELEN];
    UINT ports = midiOutGetNumDevs();
    for (UINT id = 0; id < ports && *g_outPortId != '\0'; ++id)
        if (strcmp(PortId(false, id), g_outPortId) == 0)
            return true;
    if (*g_outPortId != '\0' || g_outId >= ports)
        return false;
    PortName(false, g_outId, name);
    return strcmp(name, g_outName) == 0;
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
