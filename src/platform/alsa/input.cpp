// The input over the sequencer: a client of its own, subscribed to the
// device's port, and a reader thread that reassembles System Exclusive
// events into the queued buffers.
//
// g_inLock guards the queue, the started and assembling flags, and the
// headers' flags. It is never held while the program's callback runs, and
// no function releases a lock that its caller holds: the buffers that come
// back are collected under the lock and announced after it.
#include "alsa/alsa.h"
#include "provider.h"

#include <poll.h>
#include <pthread.h>
#include <string.h>

#include <atomic>

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
static RxQueue g_queue;
static bool g_started;
static bool g_assembling;  // a message has begun and not yet ended

static void Announce(const Returned* returned, int n)
{
    for (int i = 0; i < n; ++i)
        g_callback((HMIDIIN)&g_in, returned[i].msg, g_instance, (DWORD_PTR)returned[i].header, 0);
}

// With the lock held: the buffer that holds the message so far comes back,
// if it holds any of it.
static int Release(UINT msg, Returned* returned)
{
    if (g_queue.count == 0 || g_queue.headers[0]->dwBytesRecorded == 0)
        return 0;
    *returned = Returned{TakeRx(&g_queue), msg};
    return 1;
}

// With the lock held: one byte of a System Exclusive event; gives the
// buffers that come back. A message begins with F0 and ends with F7, and
// the sequencer may cut it into several events. Real-time bytes may sit
// inside it and are passed over; any other status byte cuts it short, and
// it comes back malformed, as on Windows. Bytes of a message not seen from
// its start are dropped. A message longer than a buffer goes on in the
// next, and what finds no buffer is lost.
static int TakeByte(uint8_t byte, Returned* returned)
{
    int k = 0;
    if (byte >= 0xF8 || (!g_assembling && byte != 0xF0))
        return 0;
    if (byte == 0xF0 || (byte & 0x80 && byte != 0xF7)) {
        k = g_assembling ? Release(MIM_LONGERROR, returned) : 0;
        g_assembling = byte == 0xF0;
        if (!g_assembling)
            return k;
    }
    if (g_queue.count == 0) {
        g_assembling = byte != 0xF7;
        return k;
    }
    MIDIHDR* header = g_queue.headers[0];
    header->lpData[header->dwBytesRecorded++] = (char)byte;
    if (byte == 0xF7 || header->dwBytesRecorded == header->dwBufferLength)
        returned[k++] = Returned{TakeRx(&g_queue), MIM_LONGDATA};
    g_assembling = byte != 0xF7;
    return k;
}

static void TakeSysEx(const uint8_t* data, size_t n)
{
    Returned returned[MAX_QUEUED];
    int k = 0;
    pthread_mutex_lock(&g_inLock);
    for (size_t i = 0; g_started && i < n; ++i)
        k += TakeByte(data[i], returned + k);
    pthread_mutex_unlock(&g_inLock);
    Announce(returned, k);
}

// A channel or system common message cuts short a message under way.
static void TakeOther(const snd_seq_event_t* event)
{
    bool status = (event->type >= SND_SEQ_EVENT_NOTE && event->type <= SND_SEQ_EVENT_QFRAME) ||
                  event->type == SND_SEQ_EVENT_TUNE_REQUEST;
    Returned returned[1];
    int k = 0;
    pthread_mutex_lock(&g_inLock);
    if (status && g_assembling && g_started) {
        k = Release(MIM_LONGERROR, returned);
        g_assembling = false;
    }
    pthread_mutex_unlock(&g_inLock);
    Announce(returned, k);
}

static void* ReadInput(void*)
{
    BlockInterruptions();
    struct pollfd fds[4];
    int count = snd_seq_poll_descriptors(g_in.seq, fds, 4, POLLIN);
    while (!g_stopReading.load()) {
        if (poll(fds, (nfds_t)count, READER_POLL_MS) <= 0)
            continue;
        snd_seq_event_t* event;
        while (snd_seq_event_input(g_in.seq, &event) >= 0) {
            if (event->type == SND_SEQ_EVENT_SYSEX)
                TakeSysEx((const uint8_t*)event->data.ext.ptr, event->data.ext.len);
            else
                TakeOther(event);
        }
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
    g_queue.count = 0;
    g_started = g_assembling = false;
    g_stopReading.store(false);
    // A driver's raw MIDI input that another program has open cannot be
    // subscribed to: the port is busy.
    int connected = g_in.port < 0 ? g_in.port
                                  : snd_seq_connect_from(g_in.seq, g_in.port, g_in.device.client, g_in.device.port);
    if (connected < 0 || pthread_create(&g_reader, NULL, ReadInput, NULL) != 0) {
        snd_seq_close(g_in.seq);
        return IsBusy(connected) ? MMSYSERR_ALLOCATED : MMSYSERR_ERROR;
    }
    g_reading = true;
    g_in.open = true;
    *in = &g_in;
    return MMSYSERR_NOERROR;
}

MMRESULT midiInPrepareHeader(HMIDIIN, MIDIHDR* hdr, UINT)
{
    pthread_mutex_lock(&g_inLock);
    MMRESULT result = PrepareRx(hdr);
    pthread_mutex_unlock(&g_inLock);
    return result;
}

MMRESULT midiInUnprepareHeader(HMIDIIN, MIDIHDR* hdr, UINT)
{
    pthread_mutex_lock(&g_inLock);
    MMRESULT result = UnprepareRx(hdr);
    pthread_mutex_unlock(&g_inLock);
    return result;
}

MMRESULT midiInAddBuffer(HMIDIIN, MIDIHDR* hdr, UINT)
{
    pthread_mutex_lock(&g_inLock);
    MMRESULT result = AddRx(&g_queue, hdr);
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
    g_started = g_assembling = false;
    while (g_queue.count != 0) {
        returned[k] = Returned{TakeRx(&g_queue), MIM_LONGDATA};
        returned[k++].header->dwBytesRecorded = 0;
    }
    pthread_mutex_unlock(&g_inLock);
    Announce(returned, k);
    return MMSYSERR_NOERROR;
}

// A buffer still queued makes the close refuse, as Windows does, until the
// input is reset; the input then goes on working. Otherwise the reader
// thread ends, and no callback runs after the close.
MMRESULT midiInClose(HMIDIIN)
{
    if (!g_in.open)
        return MMSYSERR_INVALHANDLE;
    pthread_mutex_lock(&g_inLock);
    bool queued = g_queue.count != 0;
    pthread_mutex_unlock(&g_inLock);
    if (queued)
        return MIDIERR_STILLPLAYING;
    StopReader();
    snd_seq_close(g_in.seq);
    g_in.open = false;
    return MMSYSERR_NOERROR;
}
