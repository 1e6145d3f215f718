// The input over the sequencer: a client of its own, subscribed to the
// device's port, and a reader thread that reassembles System Exclusive
// events into the queued buffers.
//
// g_inLock guards the queue, the started and assembling flags, and the
// headers' flags. It is never held while the program's callback runs, and
// no function releases a lock that its caller holds: the buffers that come
// back are collected under the lock and announced after it.
#include "alsa/alsa.h"

#include <poll.h>
#include <pthread.h>
#include <string.h>

#include <algorithm>
#include <atomic>

#define MAX_QUEUED 4
#define READER_POLL_MS 50

struct Returned {
    MIDIHDR* header;
    UINT msg;
};

static MidiPort g_in;
static MIDIINPROC g_callback;
static DWORD_PTR g_instance;
static pthread_t g_reader;
static bool g_reading;  // the reader thread runs; the main thread's own
static std::atomic<bool> g_stopReading;

static pthread_mutex_t g_inLock = PTHREAD_MUTEX_INITIALIZER;
static MIDIHDR* g_queue[MAX_QUEUED];
static int g_queued;
static bool g_started;
static bool g_assembling;  // the first queued buffer holds part of a message

// With the lock held: the first queued buffer leaves the queue, done.
static MIDIHDR* Dequeue(void)
{
    MIDIHDR* header = g_queue[0];
    --g_queued;
    std::copy(g_queue + 1, g_queue + 1 + g_queued, g_queue);
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    g_assembling = false;
    return header;
}

static void Announce(const Returned* returned, int n)
{
    for (int i = 0; i < n; ++i)
        g_callback((HMIDIIN)&g_in, returned[i].msg, g_instance, (DWORD_PTR)returned[i].header, 0);
}

// With the lock held. The sequencer may cut one message into several
// events: the first begins with F0 and the last ends with F7. A message cut
// short by the next one's F0 comes back malformed; one longer than a buffer
// goes on in the next, as Windows delivers it, and what finds no buffer is
// lost.
static int Assemble(const uint8_t* data, size_t n, Returned* returned)
{
    int k = 0;
    if (!g_started || n == 0)
        return 0;
    bool ends = data[n - 1] == 0xF7;
    if (g_queued != 0 && g_assembling && data[0] == 0xF0)
        returned[k++] = Returned{Dequeue(), MIM_LONGERROR};
    while (g_queued != 0) {
        MIDIHDR* header = g_queue[0];
        size_t take = std::min<size_t>(n, header->dwBufferLength - header->dwBytesRecorded);
        memcpy(header->lpData + header->dwBytesRecorded, data, take);
        header->dwBytesRecorded += (DWORD)take;
        g_assembling = true;
        data += take;
        n -= take;
        if (header->dwBytesRecorded == header->dwBufferLength || (n == 0 && ends))
            returned[k++] = Returned{Dequeue(), MIM_LONGDATA};
        if (n == 0)
            break;
    }
    return k;
}

static void TakeSysEx(const uint8_t* data, size_t n)
{
    Returned returned[MAX_QUEUED + 1];
    pthread_mutex_lock(&g_inLock);
    int k = Assemble(data, n, returned);
    pthread_mutex_unlock(&g_inLock);
    Announce(returned, k);
}

static void* ReadInput(void*)
{
    struct pollfd fds[4];
    int count = snd_seq_poll_descriptors(g_in.seq, fds, 4, POLLIN);
    while (!g_stopReading.load()) {
        if (poll(fds, (nfds_t)count, READER_POLL_MS) <= 0)
            continue;
        snd_seq_event_t* event;
        while (snd_seq_event_input(g_in.seq, &event) >= 0)
            if (event->type == SND_SEQ_EVENT_SYSEX)
                TakeSysEx((const uint8_t*)event->data.ext.ptr, event->data.ext.len);
    }
    return NULL;
}

// No callback runs once this returns.
static void StopReader(void)
{
    if (!g_reading)
        return;
    g_stopReading.store(true);
    pthread_join(g_reader, NULL);
    g_reading = false;
}

MMRESULT midiInOpen(HMIDIIN* in, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD)
{
    if (g_in.open)
        return MMSYSERR_ALLOCATED;
    if (!FindDevice(IN_CAPS, id, &g_in.device))
        return MMSYSERR_BADDEVICEID;
    if ((g_in.seq = OpenClient("update input", SND_SEQ_NONBLOCK)) == NULL)
        return MMSYSERR_ERROR;
    g_in.port = snd_seq_create_simple_port(g_in.seq, "update input", OUT_CAPS,
                                           SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    g_callback = (MIDIINPROC)callback;
    g_instance = instance;
    g_queued = 0;
    g_started = g_assembling = false;
    g_stopReading.store(false);
    if (g_in.port < 0 || snd_seq_connect_from(g_in.seq, g_in.port, g_in.device.client, g_in.device.port) < 0 ||
        pthread_create(&g_reader, NULL, ReadInput, NULL) != 0) {
        snd_seq_close(g_in.seq);
        return MMSYSERR_ERROR;
    }
    g_reading = true;
    g_in.open = true;
    *in = &g_in;
    return MMSYSERR_NOERROR;
}

MMRESULT midiInPrepareHeader(HMIDIIN, MIDIHDR* hdr, UINT)
{
    pthread_mutex_lock(&g_inLock);
    hdr->dwFlags |= MHDR_PREPARED;
    pthread_mutex_unlock(&g_inLock);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInUnprepareHeader(HMIDIIN, MIDIHDR* hdr, UINT)
{
    pthread_mutex_lock(&g_inLock);
    MMRESULT result = MIDIERR_STILLPLAYING;
    if ((hdr->dwFlags & MHDR_INQUEUE) == 0) {
        hdr->dwFlags &= ~MHDR_PREPARED;
        result = MMSYSERR_NOERROR;
    }
    pthread_mutex_unlock(&g_inLock);
    return result;
}

MMRESULT midiInAddBuffer(HMIDIIN, MIDIHDR* hdr, UINT)
{
    pthread_mutex_lock(&g_inLock);
    MMRESULT result = MIDIERR_UNPREPARED;
    if ((hdr->dwFlags & MHDR_PREPARED) != 0)
        result = g_queued < MAX_QUEUED ? MMSYSERR_NOERROR : MMSYSERR_NOMEM;
    if (result == MMSYSERR_NOERROR) {
        hdr->dwFlags = (hdr->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
        hdr->dwBytesRecorded = 0;
        g_queue[g_queued++] = hdr;
    }
    pthread_mutex_unlock(&g_inLock);
    return result;
}

static MMRESULT SetStarted(bool started)
{
    pthread_mutex_lock(&g_inLock);
    g_started = started;
    pthread_mutex_unlock(&g_inLock);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInStart(HMIDIIN)
{
    return SetStarted(true);
}

MMRESULT midiInStop(HMIDIIN)
{
    return SetStarted(false);
}

// Every queued buffer comes back empty, through the callback.
MMRESULT midiInReset(HMIDIIN)
{
    Returned returned[MAX_QUEUED];
    int k = 0;
    pthread_mutex_lock(&g_inLock);
    g_started = false;
    while (g_queued != 0) {
        returned[k] = Returned{Dequeue(), MIM_LONGDATA};
        returned[k++].header->dwBytesRecorded = 0;
    }
    pthread_mutex_unlock(&g_inLock);
    Announce(returned, k);
    return MMSYSERR_NOERROR;
}

// The reader thread ends whatever the callback did; a buffer still queued
// then makes the close refuse, as Windows does, until the input is reset.
MMRESULT midiInClose(HMIDIIN)
{
    if (!g_in.open)
        return MMSYSERR_INVALHANDLE;
    StopReader();
    pthread_mutex_lock(&g_inLock);
    bool queued = g_queued != 0;
    pthread_mutex_unlock(&g_inLock);
    if (queued)
        return MIDIERR_STILLPLAYING;
    snd_seq_close(g_in.seq);
    g_in.open = false;
    return MMSYSERR_NOERROR;
}
