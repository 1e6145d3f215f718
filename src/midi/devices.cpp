// The device view: the system's MIDI ports that are devices, in the
// system's order.
//
// A MIDI service may list software endpoints of its own as ports: loopback
// pairs, app-to-app ports and diagnostic ports. They are not devices, as
// the system synthesizer is not, and a user cannot unplug them; counted,
// they would refuse every such computer and could be opened in place of
// the target. Their device interface paths name them. On Linux the ALSA
// provider tells the kind of each sequencer port the same way: only a
// device's port counts, not a sound card's synthesizer that cannot be
// read, a through port or a program's port. A port the system cannot tell
// about (the query unsupported, as on older systems) is a device, as
// before.
#include "midi/midi.h"

#include "common/ascii.h"
#include "common/printable.h"

#include <stdio.h>
#include <string.h>

#define INTERFACE_CHARS 256

static const struct {
    const char* marker;
    const char* reason;
} LEFT_OUT[] = {
    {"#MIDIU_LOOP_", "a loopback endpoint of the MIDI service"},
    {"#MIDIU_BLOOP", "a loopback endpoint of the MIDI service"},
    {"#MIDIU_APP", "an app-to-app endpoint of the MIDI service"},
    {"#MIDIU_DIAG_", "a diagnostic endpoint of the MIDI service"},
    {"#SEQ_SYNTH", "a synthesizer"},
    {"#SEQ_THROUGH", "a through port"},
    {"#SEQ_PROGRAM", "a program's port"},
};

// The query takes a device id in place of a handle.
static MMRESULT QueryPort(bool input, UINT id, UINT msg, DWORD_PTR param1, DWORD_PTR param2)
{
    if (input)
        return midiInMessage((HMIDIIN)(uintptr_t)id, msg, param1, param2);
    return midiOutMessage((HMIDIOUT)(uintptr_t)id, msg, param1, param2);
}

// The port's device interface path, its characters past ASCII shown as
// '?'; empty when the system cannot tell.
static const char* InterfacePath(bool input, UINT id)
{
    static WCHAR wide[INTERFACE_CHARS];
    static char path[INTERFACE_CHARS];
    DWORD size = 0;
    path[0] = '\0';
    if (QueryPort(input, id, DRV_QUERYDEVICEINTERFACESIZE, (DWORD_PTR)&size, 0) != MMSYSERR_NOERROR || size == 0 ||
        size > sizeof wide)
        return path;
    memset(wide, 0, sizeof wide);
    if (QueryPort(input, id, DRV_QUERYDEVICEINTERFACE, (DWORD_PTR)wide, size) != MMSYSERR_NOERROR)
        return path;
    for (size_t i = 0; i < INTERFACE_CHARS; ++i)
        path[i] = wide[i] < 0x80 ? (char)wide[i] : '?';
    path[INTERFACE_CHARS - 1] = '\0';
    return path;
}

const char* WhyNotADevice(bool input, UINT id)
{
    const char* path = InterfacePath(input, id);
    for (const auto& kind : LEFT_OUT)
        if (ContainsFolded(path, kind.marker))
            return kind.reason;
    return NULL;
}

void PrintMidiPort(bool input, UINT id)
{
    char name[MAXPNAMELEN];
    PortName(input, id, name);
    printf("%s %u: %s", input ? "in" : "out", id + 1, Printable(name));
    const char* why = WhyNotADevice(input, id);
    const char* path = InterfacePath(input, id);
    if (*path != '\0')
        printf(" [%s]", Printable(path));
    if (why == NULL && BeginsWithFolded(name, "Microsoft GS") && !input)
        why = "the system synthesizer";
    else if (why == NULL && BeginsWithFolded(name, "Microsoft"))
        why = "passed over for its maker's name";
    printf(why != NULL ? " (not counted: %s)\n" : "\n", why);
}

void ListMidiPorts(void)
{
    const char* problem = MidiSystemProblem();
    if (problem != NULL)
        printf("%s", problem);
    UINT ins = midiInGetNumDevs(), outs = midiOutGetNumDevs();
    if (ins + outs == 0)
        printf("No MIDI input or output is listed.\n");
    for (UINT id = 0; id < ins; ++id)
        PrintMidiPort(true, id);
    for (UINT id = 0; id < outs; ++id)
        PrintMidiPort(false, id);
}

// Gives the system id of the view's index-th port, or the system's count
// when the view has no such port, and the size of the view.
static UINT WalkPorts(bool input, UINT index, UINT* viewSize)
{
    UINT ports = input ? midiInGetNumDevs() : midiOutGetNumDevs();
    UINT found = ports;
    *viewSize = 0;
    for (UINT id = 0; id < ports; ++id) {
        if (WhyNotADevice(input, id) != NULL)
            continue;
        if (*viewSize == index)
            found = id;
        ++*viewSize;
    }
    return found;
}

UINT CountMidiIns(void)
{
    UINT size;
    WalkPorts(true, 0, &size);
    return size;
}

UINT CountMidiOuts(void)
{
    UINT size;
    WalkPorts(false, 0, &size);
    return size;
}

UINT MidiInId(UINT index)
{
    UINT size;
    return WalkPorts(true, index, &size);
}

UINT MidiOutId(UINT index)
{
    UINT size;
    return WalkPorts(false, index, &size);
}
