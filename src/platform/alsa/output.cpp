// The output over the sequencer: a port subscribed to the device's, and each
// message addressed to the device's port itself rather than to the
// subscribers, so that a device that has gone (unplugged) fails the send.
#include "alsa/alsa.h"

static MidiPort g_out;

MMRESULT midiOutOpen(HMIDIOUT* out, UINT id, DWORD_PTR, DWORD_PTR, DWORD)
{
    if (g_out.open)
        return MMSYSERR_ALLOCATED;
    if (!FindDevice(OUT_CAPS, id, &g_out.device))
        return MMSYSERR_BADDEVICEID;
    g_out.seq = MainClient();
    g_out.port = snd_seq_create_simple_port(g_out.seq, "update output", IN_CAPS,
                                            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (g_out.port < 0)
        return MMSYSERR_ERROR;
    // A device's driver opens its hardware for a subscriber only.
    if (snd_seq_connect_to(g_out.seq, g_out.port, g_out.device.client, g_out.device.port) < 0) {
        snd_seq_delete_simple_port(g_out.seq, g_out.port);
        return MMSYSERR_ERROR;
    }
    g_out.open = true;
    *out = &g_out;
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

// The message goes out as one event, delivered at once to the device's
// port: when the call returns, the header is done. The sequencer refuses
// delivery to a port or client that no longer exists.
MMRESULT midiOutLongMsg(HMIDIOUT, MIDIHDR* hdr, UINT)
{
    if ((hdr->dwFlags & MHDR_PREPARED) == 0)
        return MIDIERR_UNPREPARED;
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    snd_seq_ev_set_source(&event, g_out.port);
    snd_seq_ev_set_dest(&event, g_out.device.client, g_out.device.port);
    snd_seq_ev_set_direct(&event);
    snd_seq_ev_set_sysex(&event, hdr->dwBufferLength, hdr->lpData);
    if (snd_seq_event_output_direct(g_out.seq, &event) < 0)
        return MIDIERR_NOTREADY;
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
