// The MIDI functions the program uses, over the ALSA sequencer.
//
// Devices are the sequencer's hardware ports, in client and port order; the
// system client, "Midi Through", software synthesizers and this program's own
// clients are not hardware and do not count. Each open input has a client of
// its own and a reader thread that reassembles System Exclusive events into
// the queued buffers and calls the input callback.
#include "platform.h"

#include <alsa/asoundlib.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>

#include <algorithm>
#include <atomic>

#define MAX_DEVICES 32
#define MAX_QUEUED 4
#define READER_POLL_MS 50

struct Device {
    int client;
    int port;
    char name[MAXPNAMELEN];
};

struct MidiPort {
    snd_seq_t* seq;
    int port;
    bool open;
    // Input only.
    MIDIINPROC callback;
    DWORD_PTR instance;
    pthread_t reader;
    bool started;
    MIDIHDR* queue[MAX_QUEUED];
    int queued;
    bool assembling;
};

static snd_seq_t* g_seq;  // listing devices, and the output's client
static MidiPort g_in;
static MidiPort g_out;
static pthread_mutex_t g_inLock = PTHREAD_MUTEX_INITIALIZER;  // the input's queue and state
static std::atomic<bool> g_inStopping;

static void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

static snd_seq_t* OpenClient(const char* name, int mode)
{
    snd_lib_error_set_handler(IgnoreAlsaError);
    snd_seq_t* seq = NULL;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, mode) < 0)
        return NULL;
    snd_seq_set_client_name(seq, name);
    return seq;
}

// Lists the hardware ports with both capabilities; no sequencer, no devices.
static int ListDevices(unsigned caps, Device* list)
{
    if (g_seq == NULL && (g_seq = OpenClient("update", 0)) == NULL)
        return 0;
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    int n = 0;
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(g_seq, client) >= 0) {
        int id = snd_seq_client_info_get_client(client);
        if (id == SND_SEQ_CLIENT_SYSTEM || id == snd_seq_client_id(g_seq))
            continue;
        snd_seq_port_info_set_client(port, id);
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(g_seq, port) >= 0 && n < MAX_DEVICES) {
            if ((snd_seq_port_info_get_capability(port) & caps) != caps ||
                (snd_seq_port_info_get_type(port) & SND_SEQ_PORT_TYPE_HARDWARE) == 0)
                continue;
            list[n].client = id;
            list[n].port = snd_seq_port_info_get_port(port);
            snprintf(list[n].name, sizeof list[n].name, "%s", snd_seq_port_info_get_name(port));
            ++n;
        }
    }
    return n;
}

static const unsigned IN_CAPS = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
static const unsigned OUT_CAPS = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

static bool FindDevice(unsigned caps, UINT id, Device* device)
{
    Device list[MAX_DEVICES];
    if (id >= (UINT)ListDevices(caps, list))
        return false;
    *device = list[id];
    return true;
}

static MMRESULT CopyName(unsigned caps, UINT id, char* name)
{
    Device device;
    if (!FindDevice(caps, id, &device))
        return MMSYSERR_BADDEVICEID;
    memcpy(name, device.name, MAXPNAMELEN);
    return MMSYSERR_NOERROR;
}

UINT midiInGetNumDevs(void)
{
    Device list[MAX_DEVICES];
    return (UINT)ListDevices(IN_CAPS, list);
}

UINT midiOutGetNumDevs(void)
{
    Device list[MAX_DEVICES];
    return (UINT)ListDevices(OUT_CAPS, list);
}

MMRESULT midiInGetDevCapsA(UINT id, MIDIINCAPSA* caps, UINT)
{
    return CopyName(IN_CAPS, id, caps->szPname);
}

MMRESULT midiOutGetDevCapsA(UINT id, MIDIOUTCAPSA* caps, UINT)
{
    return CopyName(OUT_CAPS, id, caps->szPname);
}

// Called with the lock held; the callback runs without it, since it queues
// the buffer again.
static void ReturnBuffer(UINT msg)
{
    MIDIHDR* header = g_in.queue[0];
    --g_in.queued;
    std::copy(g_in.queue + 1, g_in.queue + 1 + g_in.queued, g_in.queue);
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    g_in.assembling = false;
    pthread_mutex_unlock(&g_inLock);
    g_in.callback((HMIDIIN)&g_in, msg, g_in.instance, (DWORD_PTR)header, 0);
    pthread_mutex_lock(&g_inLock);
}

// The sequencer may cut one message into several events: the first begins
// with F0 and the last ends with F7. A message that overruns the buffer is
// cut at its end.
static void TakeSysEx(const uint8_t* data, size_t n)
{
    pthread_mutex_lock(&g_inLock);
    if (g_in.started && g_in.queued != 0 && n != 0 && data[0] == 0xF0 && g_in.assembling)
        ReturnBuffer(MIM_LONGERROR);
    if (g_in.started && g_in.queued != 0) {
        MIDIHDR* header = g_in.queue[0];
        if (!g_in.assembling)
            header->dwBytesRecorded = 0;
        size_t room = header->dwBufferLength - header->dwBytesRecorded;
        size_t take = n < room ? n : room;
        memcpy(header->lpData + header->dwBytesRecorded, data, take);
        header->dwBytesRecorded += (DWORD)take;
        g_in.assembling = true;
        if (n != 0 && data[n - 1] == 0xF7)
            ReturnBuffer(MIM_LONGDATA);
    }
    pthread_mutex_unlock(&g_inLock);
}

static void* ReadInput(void*)
{
    int count = snd_seq_poll_descriptors_count(g_in.seq, POLLIN);
    struct pollfd fds[4];
    if (count > 4)
        count = 4;
    snd_seq_poll_descriptors(g_in.seq, fds, (unsigned)count, POLLIN);
    while (!g_inStopping.load()) {
        if (poll(fds, (nfds_t)count, READER_POLL_MS) <= 0)
            continue;
        snd_seq_event_t* event;
        while (snd_seq_event_input(g_in.seq, &event) >= 0)
            if (event->type == SND_SEQ_EVENT_SYSEX)
                TakeSysEx((const uint8_t*)event->data.ext.ptr, event->data.ext.len);
    }
    return NULL;
}

MMRESULT midiInOpen(HMIDIIN* in, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD)
{
    Device device;
    if (g_in.open)
        return MMSYSERR_ALLOCATED;
    if (!FindDevice(IN_CAPS, id, &device))
        return MMSYSERR_BADDEVICEID;
    if ((g_in.seq = OpenClient("update input", SND_SEQ_NONBLOCK)) == NULL)
        return MMSYSERR_ERROR;
    g_in.port = snd_seq_create_simple_port(g_in.seq, "update input", OUT_CAPS,
                                           SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    g_in.callback = (MIDIINPROC)callback;
    g_in.instance = instance;
    g_in.started = false;
    g_in.queued = 0;
    g_in.assembling = false;
    g_inStopping.store(false);
    if (g_in.port < 0 || snd_seq_connect_from(g_in.seq, g_in.port, device.client, device.port) < 0 ||
        pthread_create(&g_in.reader, NULL, ReadInput, NULL) != 0) {
        snd_seq_close(g_in.seq);
        return MMSYSERR_ERROR;
    }
    g_in.open = true;
    *in = (HMIDIIN)&g_in;
    return MMSYSERR_NOERROR;
}

static MMRESULT Prepare(MIDIHDR* hdr)
{
    hdr->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

static MMRESULT Unprepare(MIDIHDR* hdr)
{
    if (hdr->dwFlags & MHDR_INQUEUE)
        return MIDIERR_STILLPLAYING;
    hdr->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT midiInPrepareHeader(HMIDIIN, MIDIHDR* hdr, UINT)
{
    return Prepare(hdr);
}

MMRESULT midiInUnprepareHeader(HMIDIIN, MIDIHDR* hdr, UINT)
{
    return Unprepare(hdr);
}

MMRESULT midiInAddBuffer(HMIDIIN, MIDIHDR* hdr, UINT)
{
    if ((hdr->dwFlags & MHDR_PREPARED) == 0)
        return MIDIERR_UNPREPARED;
    pthread_mutex_lock(&g_inLock);
    MMRESULT result = MMSYSERR_NOMEM;
    if (g_in.queued < MAX_QUEUED) {
        hdr->dwFlags = (hdr->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
        hdr->dwBytesRecorded = 0;
        g_in.queue[g_in.queued++] = hdr;
        result = MMSYSERR_NOERROR;
    }
    pthread_mutex_unlock(&g_inLock);
    return result;
}

static MMRESULT SetStarted(bool started)
{
    pthread_mutex_lock(&g_inLock);
    g_in.started = started;
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

// Every queued buffer comes back, as done, through the callback.
MMRESULT midiInReset(HMIDIIN)
{
    pthread_mutex_lock(&g_inLock);
    g_in.started = false;
    while (g_in.queued != 0)
        ReturnBuffer(MIM_LONGDATA);
    pthread_mutex_unlock(&g_inLock);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInClose(HMIDIIN)
{
    if (!g_in.open)
        return MMSYSERR_INVALHANDLE;
    if (g_in.queued != 0)
        return MIDIERR_STILLPLAYING;
    g_inStopping.store(true);
    pthread_join(g_in.reader, NULL);
    snd_seq_close(g_in.seq);
    g_in.open = false;
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutOpen(HMIDIOUT* out, UINT id, DWORD_PTR, DWORD_PTR, DWORD)
{
    Device device;
    if (g_out.open)
        return MMSYSERR_ALLOCATED;
    if (!FindDevice(OUT_CAPS, id, &device))
        return MMSYSERR_BADDEVICEID;
    g_out.port = snd_seq_create_simple_port(g_seq, "update output", IN_CAPS,
                                            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (g_out.port < 0)
        return MMSYSERR_ERROR;
    if (snd_seq_connect_to(g_seq, g_out.port, device.client, device.port) < 0) {
        snd_seq_delete_simple_port(g_seq, g_out.port);
        return MMSYSERR_ERROR;
    }
    g_out.seq = g_seq;
    g_out.open = true;
    *out = (HMIDIOUT)&g_out;
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutPrepareHeader(HMIDIOUT, MIDIHDR* hdr, UINT)
{
    return Prepare(hdr);
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT, MIDIHDR* hdr, UINT)
{
    return Unprepare(hdr);
}

// The message goes out directly as one event and the output is drained, so
// the header is done when the call returns.
MMRESULT midiOutLongMsg(HMIDIOUT, MIDIHDR* hdr, UINT)
{
    if ((hdr->dwFlags & MHDR_PREPARED) == 0)
        return MIDIERR_UNPREPARED;
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    snd_seq_ev_set_source(&event, g_out.port);
    snd_seq_ev_set_subs(&event);
    snd_seq_ev_set_direct(&event);
    snd_seq_ev_set_sysex(&event, hdr->dwBufferLength, hdr->lpData);
    if (snd_seq_event_output_direct(g_out.seq, &event) < 0)
        return MIDIERR_NOTREADY;
    snd_seq_drain_output(g_out.seq);
    hdr->dwFlags |= MHDR_DONE;
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutReset(HMIDIOUT)
{
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutClose(HMIDIOUT)
{
    if (!g_out.open)
        return MMSYSERR_INVALHANDLE;
    snd_seq_delete_simple_port(g_out.seq, g_out.port);
    g_out.open = false;
    return MMSYSERR_NOERROR;
}

// The sequencer cannot tell a device's interface: every port is a device.
MMRESULT midiInMessage(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR)
{
    return MMSYSERR_NOTSUPPORTED;
}

MMRESULT midiOutMessage(HMIDIOUT, UINT, DWORD_PTR, DWORD_PTR)
{
    return MMSYSERR_NOTSUPPORTED;
}
