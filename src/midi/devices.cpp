// The device view: the system's MIDI ports that are devices, in the
// system's order, and the name rules by which the device stage passes over
// a port it counts.
//
// A MIDI service may list software endpoints of its own as ports: loopback
// pairs, app-to-app ports and diagnostic ports. They are not devices, as
// the system synthesizer is not, and a user cannot unplug them; counted,
// they would refuse every such computer and could be opened in place of
// the target. Their device interface paths name them. On Linux the ALSA
// provider tells the kind of each sequencer port the same way: only a
// device's port counts, not a sound card's synthesizer that cannot be
// read, a through port or a program's port; in a browser the Web MIDI
// provider tells the software ports it knows by name. A port the system
// cannot tell about (the query unsupported, as on older systems) is a
// device, as before.
#include "midi/midi.h"

#include "common/ascii.h"
#include "common/printable.h"

#include <stdio.h>
#include <string.h>

#define INTERFACE_CHARS 256
#define SYNTH_PREFIX "Microsoft GS"
#define MAKER_PREFIX "Microsoft"
static const char* const LOOPBACK_NAMES[] = {"Default App Loopback", "Default Basic App Loopback"};

static const struct {
    const char* marker;
    const char* reason;
} LEFT_OUT[] = {
    {"#MIDIU_LOOP_", "a loopback endpoint of the MIDI service"},
    {"#MIDIU_BLOOP", "a loopback endpoint of the MIDI service"},
    {"#MIDIU_APP", "an app-to-app endpoint of the MIDI service"},
    {"#MIDIU_DIAG_", "a diagnostic endpoint of the MIDI service"},
    {"#LOOPBACK", "a loopback port"},
    {"#SEQ_SYNTH", "a synthesizer"},
    {"#SEQ_THROUGH", "a through port"},
    {"#SEQ_PROGRAM", "a program's port"},
};

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

bool IsSystemSynthesizer(const char* name)
{
    return BeginsWithFolded(name, SYNTH_PREFIX);
}

bool IsPassedOverByName(const char* name)
{
    return BeginsWithFolded(name, MAKER_PREFIX);
}

// The query takes a device id in place of a handle.
static MMRESULT QueryPort(bool input, UINT id, UINT msg, DWORD_PTR param1, DWORD_PTR param2)
{
    if (input)
        return midiInMessage((HMIDIIN)(uintptr_t)id, msg, param1, param2);
    return midiOutMessage((HMIDIOUT)(uintptr_t)id, msg, param1, param2);
}

// The port's device interface path, its characters past ASCII shown as
// '?'; empty when the system cannot tell.
const char* InterfacePath(bool input, UINT id)
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

// Windows 11's MIDI service names its loopback ports so whatever path a
// driver layer tells for them.
const char* WhyNotADevice(bool input, UINT id)
{
    char name[MAXPNAMELEN];
    const char* path = InterfacePath(input, id);
    for (const auto& kind : LEFT_OUT)
        if (ContainsFolded(path, kind.marker))
            return kind.reason;
    PortName(input, id, name);
    for (const char* loopback : LOOPBACK_NAMES)
        if (BeginsWithFolded(name, loopback))
            return LEFT_OUT[0].reason;
    return NULL;
}

// A provider that tells a port's kind writes it after the id, as " #KIND",
// and a USB unit's lasting names after that, a word each.
const char* PortId(bool input, UINT id)
{
    static char portId[INTERFACE_CHARS];
    const char* path = InterfacePath(input, id);
    const char* kind = strstr(path, " #");
    size_t n = kind != NULL ? (size_t)(kind - path) : strlen(path);
    memcpy(portId, path, n);
    portId[n] = '\0';
    return portId;
}

const char* LastingNames(bool input, UINT id)
{
    const char* kind = strstr(InterfacePath(input, id), " #");
    const char* names = kind != NULL ? strchr(kind + 1, ' ') : NULL;
    return names != NULL ? names + 1 : "";
}

// A whole word of them, byte for byte.
bool HasLastingName(bool input, UINT id, const char* name)
{
    const char* names = LastingNames(input, id);
    size_t n = strlen(name);
    for (const char* at = names; n != 0 && (at = strstr(at, name)) != NULL; at += n)
        if ((at[n] == ' ' || at[n] == '\0') && (at == names || at[-1] == ' '))
            return true;
    return false;
}

// What the device stage does with the port: leaves it out of the view, or
// passes over it for its name (an input only once it has counted it); and
// which other programs use it, where the system tells. The line is left
// open.
void PrintMidiPort(bool input, UINT id)
{
    char name[MAXPNAMELEN];
    PortName(input, id, name);
    printf("%s %u: %s", input ? "in" : "out", id + 1, Printable(name));
    const char* path = InterfacePath(input, id);
    if (*path != '\0')
        printf(" [%s]", Printable(path));
    const char* why = WhyNotADevice(input, id);
    if (why != NULL)
        printf(" (not counted: %s)", why);
    else if (!input && IsSystemSynthesizer(name))
        printf(" (passed over: the system synthesizer)");
    else if (IsPassedOverByName(name))
        printf(input ? " (counted; passed over when opened, for its maker's name)"
                     : " (passed over when opened, for its maker's name)");
    const char* users = MidiPortUsers(input, id);
    if (users != NULL)
        printf(" (in use by %s)", Printable(users));
}

const char* DescribeMidiStack(void)
{
    switch (GetMidiStack()) {
    case MIDI_STACK_SERVICE:
        return "MIDI goes through Windows' MIDI service (winmm's driver is wdmaud2.drv).";
    case MIDI_STACK_CLASSIC:
        return "MIDI goes through Windows' classic driver model.";
    default:
        return NULL;
    }
}

void ListMidiPorts(void)
{
    const char* problem = MidiSystemProblem();
    const char* stack = DescribeMidiStack();
    if (problem != NULL)
        printf("%s", problem);
    if (stack != NULL)
        printf("%s\n", stack);
    UINT ins = midiInGetNumDevs(), outs = midiOutGetNumDevs();
    if (ins + outs == 0)
        printf("No MIDI input or output is listed.\n");
    for (UINT id = 0; id < ins + outs; ++id) {
        PrintMidiPort(id < ins, id < ins ? id : id - ins);
        printf("\n");
    }
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
