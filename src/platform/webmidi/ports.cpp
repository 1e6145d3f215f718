// The ports and the output over Web MIDI. The interface query tells a
// port's id, and the kind of the software ports known by name, which the
// device view leaves out; every other port counts as a device. A message is
// done once send() has taken it; a port that has gone (unplugged) fails the
// send, as a missing device does on Windows.
#include "common/ascii.h"
#include "provider.h"
#include "webmidi/webmidi.h"

#include <stdio.h>
#include <string.h>

static struct MidiPort {
    bool open;
} g_out;

UINT midiInGetNumDevs(void)
{
    return (UINT)WebMidiCount(1);
}

UINT midiOutGetNumDevs(void)
{
    return (UINT)WebMidiCount(0);
}

static MMRESULT Caps(int input, UINT id, char* name)
{
    if (id >= (UINT)WebMidiCount(input))
        return MMSYSERR_BADDEVICEID;
    WebMidiName(input, (int)id, name, MAXPNAMELEN);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInGetDevCapsA(UINT id, MIDIINCAPSA* caps, UINT)
{
    return Caps(1, id, caps->szPname);
}

MMRESULT midiOutGetDevCapsA(UINT id, MIDIOUTCAPSA* caps, UINT)
{
    return Caps(0, id, caps->szPname);
}

// Software ports that computers have beside any device, by their names.
static const struct {
    const char* name;
    const char* kind;
} SOFTWARE_PORTS[] = {
    {"Midi Through", "#SEQ_THROUGH"},
    {"IAC Driver", "#LOOPBACK"},
    {"GS Wavetable", "#SEQ_SYNTH"},
    {"Microsoft GS", "#SEQ_SYNTH"},
};

// The path the device view reads: the port's id, and the kind of a
// software port.
static MMRESULT QueryInterface(int input, UINT id, UINT msg, DWORD_PTR param1, DWORD_PTR param2)
{
    char name[MAXPNAMELEN], portId[200], path[256];
    if (id >= (UINT)WebMidiCount(input))
        return MMSYSERR_BADDEVICEID;
    WebMidiName(input, (int)id, name, sizeof name);
    WebMidiId(input, (int)id, portId, sizeof portId);
    const char* kind = "";
    for (const auto& port : SOFTWARE_PORTS)
        if (ContainsFolded(name, port.name))
            kind = port.kind;
    snprintf(path, sizeof path, "%s%s%s", portId, *portId != '\0' && *kind != '\0' ? " " : "", kind);
    return AnswerInterfaceQuery(path, msg, param1, param2);
}

MMRESULT midiInMessage(HMIDIIN device, UINT msg, DWORD_PTR param1, DWORD_PTR param2)
{
    return QueryInterface(1, (UINT)(uintptr_t)device, msg, param1, param2);
}

MMRESULT midiOutMessage(HMIDIOUT device, UINT msg, DWORD_PTR param1, DWORD_PTR param2)
{
    return QueryInterface(0, (UINT)(uintptr_t)device, msg, param1, param2);
}

const char* MidiSystemProblem(void)
{
    static char text[300];
    return WebMidiProblem(text, sizeof text) != 0 ? text : NULL;
}

MMRESULT midiOutOpen(HMIDIOUT* out, UINT id, DWORD_PTR, DWORD_PTR, DWORD)
{
    if (g_out.open)
        return MMSYSERR_ALLOCATED;
    if (id >= (UINT)WebMidiCount(0))
        return MMSYSERR_BADDEVICEID;
    if (WebMidiOpen(0, (int)id) != 0)
        return MMSYSERR_ERROR;
    g_out.open = true;
    *out = (HMIDIOUT)&g_out;
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutPrepareHeader(HMIDIOUT, MIDIHDR* hdr, UINT)
{
    hdr->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT, MIDIHDR* hdr, UINT)
{
    hdr->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutLongMsg(HMIDIOUT, MIDIHDR* hdr, UINT)
{
    if ((hdr->dwFlags & MHDR_PREPARED) == 0)
        return MIDIERR_UNPREPARED;
    if (WebMidiSend(hdr->lpData, (int)hdr->dwBufferLength) != 0)
        return MMSYSERR_ERROR;
    hdr->dwFlags |= MHDR_DONE;
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutReset(HMIDIOUT)
{
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutClose(HMIDIOUT)
{
    WebMidiClose(0);
    g_out.open = false;
    return MMSYSERR_NOERROR;
}

// A browser does not tell how the system reaches its devices.
MidiStack GetMidiStack(void)
{
    return MIDI_STACK_UNKNOWN;
}
