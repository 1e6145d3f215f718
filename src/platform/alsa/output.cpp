// The output. A message is done only once the device's side has taken all
// of it, as on Windows: midiOutLongMsg hands over what can be taken now and
// keeps the rest, and midiOutUnprepareHeader hands over more and answers
// MIDIERR_STILLPLAYING until nothing is left, so the program's release wait
// paces the sending to the device. No call blocks.
//
// A device's driver (a kernel client) is written through the raw MIDI
// device behind its port: the sequencer's bridge to it drops what does not
// fit its buffer and still reports success, while the raw device takes
// what fits and says how much. A program's port (a userland client) is
// written through the sequencer once the reader's queue has room for the
// whole message: an event refused for want of room would make the reader's
// next read drop its whole queue. Each message is addressed to the
// device's port itself, so that a device that has gone (unplugged) fails
// the send.
#include "alsa/alsa.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>

#define EVENT_CELL_BYTES 28

static MidiPort g_out;
static snd_rawmidi_t* g_raw;  // the raw MIDI output of a device's driver
static MIDIHDR* g_pending;    // the message being handed over ...
static DWORD g_handed;        // ... and how much of it has gone

// A driver's ports are its raw MIDI devices' subdevices, 32 to a device.
static snd_rawmidi_t* OpenRawOutput(const Device* device)
{
    char name[32];
    snd_rawmidi_t* raw = NULL;
    if (device->card < 0)
        return NULL;
    snprintf(name, sizeof name, "hw:%d,%d,%d", device->card, device->port / 32, device->port % 32);
    if (snd_rawmidi_open(NULL, &raw, name, SND_RAWMIDI_NONBLOCK) < 0)
        return NULL;
    return raw;
}

// Through the sequencer the output needs a port of its own, subscribed to
// the device's: a driver opens its hardware for a subscriber only.
static bool OpenSequencerOutput(void)
{
    g_out.seq = MainClient();
    if (g_out.seq == NULL)
        return false;
    g_out.port = snd_seq_create_simple_port(g_out.seq, "update output", IN_CAPS,
                                            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (g_out.port < 0)
        return false;
    if (snd_seq_connect_to(g_out.seq, g_out.port, g_out.device.client, g_out.device.port) < 0) {
        snd_seq_delete_simple_port(g_out.seq, g_out.port);
        return false;
    }
    return true;
}

MMRESULT midiOutOpen(HMIDIOUT* out, UINT id, DWORD_PTR, DWORD_PTR, DWORD)
{
    if (g_out.open)
        return MMSYSERR_ALLOCATED;
    if (!FindDevice(OUT_CAPS, id, &g_out.device))
        return MMSYSERR_BADDEVICEID;
    g_raw = OpenRawOutput(&g_out.device);
    if (g_raw == NULL && !OpenSequencerOutput())
        return MMSYSERR_ERROR;
    g_pending = NULL;
    g_out.open = true;
    *out = &g_out;
    return MMSYSERR_NOERROR;
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

// Hands over what the device's side takes now; an error once it has gone.
static MMRESULT HandOver(void)
{
    DWORD left = g_pending->dwBufferLength - g_handed;
    if (g_raw == NULL && !ReaderHasRoom(left))
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
