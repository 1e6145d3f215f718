// A winmm.dll of the test's own, which update.exe loads under Wine in place
// of Wine's: two units of one kind as Windows 11's MIDI service lists them,
// of one name, whose interface paths hold '&'. Every port opens; every
// message goes out at once, and nothing answers. Each open is told on
// standard error, so that the test sees which unit a command line chose.
#define _WINMM_
#include <windows.h>
#include <mmsystem.h>

#include <stdio.h>
#include <string.h>

#define UNITS 2
#define DRV_QUERYDEVICEINTERFACE 0x080C
#define DRV_QUERYDEVICEINTERFACESIZE 0x080D
#define EXPORT extern "C" __declspec(dllexport)

static const char* const PATHS[UNITS] = {
    "\\\\?\\usb#vid_0499&pid_1509&mi_01#7&2b4b6ec3&0&0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global",
    "\\\\?\\usb#vid_0499&pid_1509&mi_01#7&2b4b6ec3&0&0002#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global",
};
static int g_port = 1;  // a handle is any non-null value

static MMRESULT Opened(const char* what, UINT id, void** handle)
{
    if (id >= UNITS)
        return MMSYSERR_BADDEVICEID;
    fprintf(stderr, "winmm: %s(%u)\n", what, id);
    fflush(stderr);
    *handle = &g_port;
    return MMSYSERR_NOERROR;
}

static MMRESULT QueryInterface(UINT_PTR id, UINT msg, DWORD_PTR param1, DWORD_PTR param2)
{
    if (id >= UNITS)
        return MMSYSERR_BADDEVICEID;
    DWORD size = (DWORD)(strlen(PATHS[id]) + 1) * sizeof(WCHAR);
    if (msg == DRV_QUERYDEVICEINTERFACESIZE) {
        *(DWORD*)param1 = size;
        return MMSYSERR_NOERROR;
    }
    if (msg != DRV_QUERYDEVICEINTERFACE || param2 < size)
        return MMSYSERR_NOTSUPPORTED;
    for (size_t i = 0; i * sizeof(WCHAR) < size; ++i)
        ((WCHAR*)param1)[i] = (WCHAR)PATHS[id][i];
    return MMSYSERR_NOERROR;
}

EXPORT UINT WINAPI midiInGetNumDevs(void) { return UNITS; }
EXPORT UINT WINAPI midiOutGetNumDevs(void) { return UNITS; }

template <typename Caps>
static MMRESULT Named(UINT_PTR id, Caps* caps, UINT size)
{
    if (id >= UNITS || size < sizeof *caps)
        return MMSYSERR_BADDEVICEID;
    memset(caps, 0, sizeof *caps);
    strcpy(caps->szPname, "Quellam MIDI");
    return MMSYSERR_NOERROR;
}

EXPORT MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR id, LPMIDIINCAPSA caps, UINT size) { return Named(id, caps, size); }
EXPORT MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR id, LPMIDIOUTCAPSA caps, UINT size) { return Named(id, caps, size); }

EXPORT MMRESULT WINAPI midiInMessage(HMIDIIN device, UINT msg, DWORD_PTR param1, DWORD_PTR param2)
{
    return QueryInterface((UINT_PTR)device, msg, param1, param2);
}

EXPORT MMRESULT WINAPI midiOutMessage(HMIDIOUT device, UINT msg, DWORD_PTR param1, DWORD_PTR param2)
{
    return QueryInterface((UINT_PTR)device, msg, param1, param2);
}

EXPORT MMRESULT WINAPI midiInOpen(LPHMIDIIN in, UINT id, DWORD_PTR, DWORD_PTR, DWORD)
{
    return Opened("midiInOpen", id, (void**)in);
}

EXPORT MMRESULT WINAPI midiOutOpen(LPHMIDIOUT out, UINT id, DWORD_PTR, DWORD_PTR, DWORD)
{
    return Opened("midiOutOpen", id, (void**)out);
}

static MMRESULT Prepared(LPMIDIHDR hdr, bool prepared)
{
    hdr->dwFlags = prepared ? hdr->dwFlags | MHDR_PREPARED : hdr->dwFlags & ~(DWORD)MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

EXPORT MMRESULT WINAPI midiInPrepareHeader(HMIDIIN, LPMIDIHDR hdr, UINT) { return Prepared(hdr, true); }
EXPORT MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN, LPMIDIHDR hdr, UINT) { return Prepared(hdr, false); }
EXPORT MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT, LPMIDIHDR hdr, UINT) { return Prepared(hdr, true); }
EXPORT MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT, LPMIDIHDR hdr, UINT) { return Prepared(hdr, false); }

EXPORT MMRESULT WINAPI midiOutLongMsg(HMIDIOUT, LPMIDIHDR hdr, UINT)
{
    hdr->dwFlags |= MHDR_DONE;
    return MMSYSERR_NOERROR;
}

EXPORT MMRESULT WINAPI midiInAddBuffer(HMIDIIN, LPMIDIHDR, UINT) { return MMSYSERR_NOERROR; }
EXPORT MMRESULT WINAPI midiInStart(HMIDIIN) { return MMSYSERR_NOERROR; }
EXPORT MMRESULT WINAPI midiInStop(HMIDIIN) { return MMSYSERR_NOERROR; }
EXPORT MMRESULT WINAPI midiInReset(HMIDIIN) { return MMSYSERR_NOERROR; }
EXPORT MMRESULT WINAPI midiInClose(HMIDIIN) { return MMSYSERR_NOERROR; }
EXPORT MMRESULT WINAPI midiOutReset(HMIDIOUT) { return MMSYSERR_NOERROR; }
EXPORT MMRESULT WINAPI midiOutClose(HMIDIOUT) { return MMSYSERR_NOERROR; }
