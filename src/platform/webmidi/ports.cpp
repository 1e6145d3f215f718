// The ports and the output over Web MIDI. The browser tells no interface
// path, so every port counts as a device and the page lets the user choose
// one. A message is done once send() has taken it; a port that has gone
// (unplugged) fails the send, as a missing device does on Windows.
#include "webmidi/webmidi.h"

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

MMRESULT midiInMessage(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR)
{
    return MMSYSERR_NOTSUPPORTED;
}

MMRESULT midiOutMessage(HMIDIOUT, UINT, DWORD_PTR, DWORD_PTR)
{
    return MMSYSERR_NOTSUPPORTED;
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
