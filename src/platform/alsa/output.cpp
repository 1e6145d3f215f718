// The output. A message is done only once the device's side has taken all
// of it, as on Windows: midiOutLongMsg hands over what can be taken now and
// keeps the rest, and midiOutUnprepareHeader hands over more and answers
// MIDIERR_STILLPLAYING until nothing is left, so the program's release wait
// paces the sending to the device. No call blocks.
//
// A device's driver (a kernel client) is written through the raw MIDI
// device behind its port, which takes what fits and says how much. A
// program's port (a userland client) is written through the sequencer once
// the reader's queue has room for the whole message: an event refused for
// want of room would make the reader's next read drop its whole queue.
// Where another program is connected to the device's port, the sequencer's
// bridge holds the raw device and the output goes through it; the bridge
// drops what does not fit the device's buffer and still reports success,
// so each message waits for room by what the kernel tells in /proc, or,
// where it tells nothing, by the device's answers and a DIN device's pace
// (provider.h). Each message is addressed to the device's port itself, so
// that a device that has gone (unplugged) fails the send.
#include "alsa/alsa.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <time.h>

#define EVENT_CELL_BYTES 28

static MidiPort g_out;
static snd_rawmidi_t* g_raw;  // the raw MIDI output of a device's driver
static MIDIHDR* g_pending;    // the message being handed over ...
static DWORD g_handed;        // ... and how much of it has gone
static bool g_held;           // the bridge holds the raw device for another program ...
static bool g_roomTold;       // ... and /proc tells its room, or else ...
static Pace g_pace;           // ... the pace since the device's last answer
static char g_route[300];

static uint64_t NowUs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000u + (uint64_t)now.tv_nsec / 1000u;
}

// A driver's ports are its raw MIDI devices' subdevices, 32 to a device.
static int OpenRawOutput(const Device* device, char* name, size_t size)
{
    snprintf(name, size, "hw:%d,%d,%d", device->card, device->port / 32, device->port % 32);
    return device->card < 0 ? -ENODEV : snd_rawmidi_open(NULL, &g_raw, name, SND_RAWMIDI_NONBLOCK);
}

// Through the sequencer the output needs a port of its own, subscribed to
// the device's: a driver opens its hardware for a subscriber only.
static int OpenSequencerOutput(void)
{
    g_out.seq = MainClient();
    if (g_out.seq == NULL)
        return -ENODEV;
    g_out.port = snd_seq_create_simple_port(g_out.seq, "update output", IN_CAPS,
                                            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (g_out.port < 0)
        return g_out.port;
    int result = snd_seq_connect_to(g_out.seq, g_out.port, g_out.device.client, g_out.device.port);
    if (result < 0)
        snd_seq_delete_simple_port(g_out.seq, g_out.port);
    return result;
}

// A raw device that another program has open directly is no more open to
// the bridge: the port is busy.
static MMRESULT OpenOutputRoute(void)
{
    char device[32], proc[64] = "";
    RawmidiUse use;
    g_raw = NULL;
    int raw = OpenRawOutput(&g_out.device, device, sizeof device);
    if (raw >= 0) {
        snprintf(g_route, sizeof g_route, "%s", DescribeRoute(ROUTE_RAW, device, NULL, NULL));
        return MMSYSERR_NOERROR;
    }
    int sequencer = OpenSequencerOutput();
    if (sequencer < 0)
        return IsBusy(raw) || IsBusy(sequencer) ? MMSYSERR_ALLOCATED : MMSYSERR_ERROR;
    g_held = IsBusy(raw);
    g_roomTold = g_held && RawmidiUseOf(&g_out.device, true, &use, proc, sizeof proc) && use.bufferSize > 0;
    g_pace = Pace{0, 0};
    snprintf(g_route, sizeof g_route, "%s",
             DescribeRoute(g_held ? ROUTE_HELD : ROUTE_PROGRAM, device, proc, g_roomTold ? &use : NULL));
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutOpen(HMIDIOUT* out, UINT id, DWORD_PTR, DWORD_PTR, DWORD)
{
    if (g_out.open)
        return MMSYSERR_ALLOCATED;
    if (!FindDevice(OUT_CAPS, id, &g_out.device))
        return MMSYSERR_BADDEVICEID;
    g_held = false;
    MMRESULT result = OpenOutputRoute();
    if (result != MMSYSERR_NOERROR)
        return result;
    g_pending = NULL;
    g_out.open = true;
    *out = &g_out;
    return MMSYSERR_NOERROR;
}

const char* MidiOutputRoute(void)
{
    return g_out.open ? g_route : NULL;
}

MMRESULT midiOutPrepareHeader(HMIDIOUT, MIDIHDR* hdr, UINT)
{
    hdr->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

// A System Exclusive event takes a cell, and its bytes further cells.
static bool ReaderHasRoom(DWORD bytes)
{
    struct pollfd fd;
    if (!g_out.device.userland || snd_seq_poll_descriptors(g_out.seq, &fd, 1, POLLOUT) != 1)
        return true;
    int room = ReaderRoom(fd.fd, g_out.device.client);
    return room < 0 || (DWORD)room >= 1 + (bytes + EVENT_CELL_BYTES - 1) / EVENT_CELL_BYTES;
}

// The held device's buffer takes the whole message now; a room that can no
// longer be read is paced from then on.
static bool HeldHasRoom(DWORD bytes)
{
    char proc[64];
    RawmidiUse use;
    if (g_roomTold && RawmidiUseOf(&g_out.device, true, &use, proc, sizeof proc) && use.bufferSize > 0)
        return use.avail >= (long)bytes + HELD_ROOM_MARGIN;
    g_roomTold = false;
    return TakePace(&g_pace, NowUs(), bytes);
}

void MidiOutputHeard(void)
{
    HearPace(&g_pace, NowUs());
}

// What the device has yet to take: the raw device's buffer, the held one's
// by /proc or the pace; a program reads at its own pace.
DWORD MidiOutputHeld(void)
{
    char proc[64];
    RawmidiUse use;
    if (!g_out.open)
        return 0;
    if (g_raw != NULL) {
        snd_rawmidi_status_t* status;
        snd_rawmidi_params_t* params;
        snd_rawmidi_status_alloca(&status);
        snd_rawmidi_params_alloca(&params);
        if (snd_rawmidi_status(g_raw, status) < 0 || snd_rawmidi_params_current(g_raw, params) < 0)
            return 0;
        return (DWORD)(snd_rawmidi_params_get_buffer_size(params) - snd_rawmidi_status_get_avail(status));
    }
    if (g_held && g_roomTold && RawmidiUseOf(&g_out.device, true, &use, proc, sizeof proc) && use.bufferSize > 0)
        return (DWORD)(use.bufferSize - use.avail);
    return g_held ? PaceHeld(&g_pace, NowUs()) : 0;
}

// Hands over what the device's side takes now; an error once it has gone.
static MMRESULT HandOver(void)
{
    DWORD left = g_pending->dwBufferLength - g_handed;
    if (g_raw == NULL && !(g_held ? HeldHasRoom(left) : ReaderHasRoom(left)))
        return MMSYSERR_NOERROR;
    if (g_raw != NULL) {
        ssize_t n = snd_rawmidi_write(g_raw, g_pending->lpData + g_handed, left);
        if (n < 0 && n != -EAGAIN)
            return MIDIERR_NOTREADY;
        g_handed += n > 0 ? (DWORD)n : 0;
    } else {
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        snd_seq_ev_set_source(&event, g_out.port);
        snd_seq_ev_set_dest(&event, g_out.device.client, g_out.device.port);
        snd_seq_ev_set_direct(&event);
        snd_seq_ev_set_sysex(&event, left, g_pending->lpData + g_handed);
        int result = snd_seq_event_output_direct(g_out.seq, &event);
        if (result < 0 && result != -EAGAIN)
            return MIDIERR_NOTREADY;
        g_handed += result >= 0 ? left : 0;
    }
    if (g_handed == g_pending->dwBufferLength) {
        g_pending->dwFlags |= MHDR_DONE;
        g_pending = NULL;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutLongMsg(HMIDIOUT, MIDIHDR* hdr, UINT)
{
    if ((hdr->dwFlags & MHDR_PREPARED) == 0)
        return MIDIERR_UNPREPARED;
    if (g_pending != NULL)
        return MIDIERR_NOTREADY;
    hdr->dwFlags &= ~MHDR_DONE;
    g_pending = hdr;
    g_handed = 0;
    MMRESULT result = HandOver();
    if (result != MMSYSERR_NOERROR)
        g_pending = NULL;
    return result;
}

// A message the device's side stops taking midway is let go: the device
// has gone, and the next message fails at once.
MMRESULT midiOutUnprepareHeader(HMIDIOUT, MIDIHDR* hdr, UINT)
{
    if (hdr == g_pending && HandOver() != MMSYSERR_NOERROR)
        g_pending = NULL;
    if (hdr == g_pending)
        return MIDIERR_STILLPLAYING;
    hdr->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

// What has not gone yet is dropped, and the message comes back done.
MMRESULT midiOutReset(HMIDIOUT)
{
    if (g_raw != NULL)
        snd_rawmidi_drop(g_raw);
    if (g_pending != NULL)
        g_pending->dwFlags |= MHDR_DONE;
    g_pending = NULL;
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutClose(HMIDIOUT)
{
    if (!g_out.open)
        return MMSYSERR_INVALHANDLE;
    if (g_raw != NULL)
        snd_rawmidi_close(g_raw);
    else
        snd_seq_delete_simple_port(g_out.seq, g_out.port);
    g_raw = NULL;
    g_out.open = false;
    return MMSYSERR_NOERROR;
}
