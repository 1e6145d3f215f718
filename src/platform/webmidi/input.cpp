// The input over Web MIDI. The browser delivers each System Exclusive
// message whole; it waits in the page until the program's next wait ends,
// then goes to the queued buffers here, on the program's own thread, so no
// lock is needed. A message longer than a buffer goes on in the next, and
// what finds no buffer is lost, as on Windows.
#include "provider.h"
#include "webmidi/webmidi.h"

#include <string.h>

// Past what all the buffers can hold a message is cut: nothing is handed
// back while it is delivered.
#define LONGEST_TAKEN (MAX_QUEUED * 256)

static struct MidiPort {
    bool open;
    bool started;
} g_in;
static MIDIINPROC g_callback;
static DWORD_PTR g_instance;
static RxQueue g_queue;

static void Announce(MIDIHDR* header)
{
    g_callback((HMIDIIN)&g_in, MIM_LONGDATA, g_instance, (DWORD_PTR)header, 0);
}

static void DeliverMessage(const uint8_t* bytes, size_t n)
{
    for (size_t i = 0; i < n && g_queue.count != 0;) {
        MIDIHDR* header = g_queue.headers[0];
        size_t k = header->dwBufferLength - header->dwBytesRecorded;
        k = k < n - i ? k : n - i;
        memcpy(header->lpData + header->dwBytesRecorded, bytes + i, k);
        header->dwBytesRecorded += (DWORD)k;
        i += k;
        Announce(TakeRx(&g_queue));
    }
}

// Delivers the messages received since the last call to the queued
// buffers; what finds no buffer is lost.
static void DeliverInput(void)
{
    static uint8_t message[LONGEST_TAKEN];
    for (int n; (n = WebMidiTake(message, sizeof message)) != 0;) {
        size_t taken = (size_t)n < sizeof message ? (size_t)n : sizeof message;
        if (g_in.started && message[0] == 0xF0)
            DeliverMessage(message, taken);
    }
}

void Sleep(DWORD ms)
{
    WebMidiSleep((int)ms);
    DeliverInput();
}

DWORD GetTickCount(void)
{
    return (DWORD)(uint64_t)WebMidiNow();
}

MMRESULT midiInOpen(HMIDIIN* in, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD)
{
    if (g_in.open)
        return MMSYSERR_ALLOCATED;
    if (id >= (UINT)WebMidiCount(1))
        return MMSYSERR_BADDEVICEID;
    if (WebMidiOpen(1, (int)id) != 0)
        return MMSYSERR_ERROR;
    g_callback = (MIDIINPROC)callback;
    g_instance = instance;
    g_queue.count = 0;
    g_in.started = false;
    g_in.open = true;
    *in = (HMIDIIN)&g_in;
    return MMSYSERR_NOERROR;
}

MMRESULT midiInPrepareHeader(HMIDIIN, MIDIHDR* hdr, UINT)
{
    return PrepareRx(hdr);
}

MMRESULT midiInUnprepareHeader(HMIDIIN, MIDIHDR* hdr, UINT)
{
    return UnprepareRx(hdr);
}

MMRESULT midiInAddBuffer(HMIDIIN, MIDIHDR* hdr, UINT)
{
    return AddRx(&g_queue, hdr);
}

MMRESULT midiInStart(HMIDIIN)
{
    g_in.started = true;
    return MMSYSERR_NOERROR;
}

MMRESULT midiInStop(HMIDIIN)
{
    g_in.started = false;
    return MMSYSERR_NOERROR;
}

// Every queued buffer comes back, empty.
MMRESULT midiInReset(HMIDIIN)
{
    g_in.started = false;
    while (g_queue.count != 0)
        Announce(TakeRx(&g_queue));
    return MMSYSERR_NOERROR;
}

MMRESULT midiInClose(HMIDIIN)
{
    if (g_queue.count != 0)
        return MIDIERR_STILLPLAYING;
    WebMidiClose(1);
    g_in.open = false;
    return MMSYSERR_NOERROR;
}
