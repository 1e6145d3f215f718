// The simulated output and the wire log: every message the program sends
// reaches the device model, and with the log kept, the log, beside what the
// device sent back.
#include "sim/state.h"

#include <stdio.h>

namespace sim {

std::vector<WireEntry> Wire()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_state.wire;
}

std::string FormatWire()
{
    std::string text;
    for (const WireEntry& entry : Wire()) {
        char line[32];
        snprintf(line, sizeof line, "%8llu %s", (unsigned long long)entry.ms, entry.toDevice ? ">" : "<");
        text += line;
        for (uint8_t byte : entry.bytes) {
            snprintf(line, sizeof line, " %02X", byte);
            text += line;
        }
        text += entry.kind == Kind::Malformed ? " (malformed)" : "";
        text += entry.lost ? " (lost)\n" : "\n";
    }
    return text;
}

}  // namespace sim

using sim::g_state;

MMRESULT midiOutOpen(HMIDIOUT* out, UINT id, DWORD_PTR, DWORD_PTR, DWORD)
{
    sim::Entry entry("midiOutOpen");
    MMRESULT result = MMSYSERR_NOERROR;
    if (id >= g_state.outs.size())
        result = MMSYSERR_BADDEVICEID;
    else if (g_state.outs[id].open || sim::Contains(g_state.setup.busyOut, id))
        result = MMSYSERR_ALLOCATED;
    else if (sim::Contains(g_state.setup.failOutOpen, id))
        result = MMSYSERR_NOMEM;
    sim::Call("midiOutOpen", id, result);
    if (result != MMSYSERR_NOERROR)
        return result;
    g_state.outs[id].open = true;
    g_state.outs[id].drainedTo = sim::NowLocked();
    *out = &g_state.outs[id];
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutPrepareHeader(HMIDIOUT out, MIDIHDR* hdr, UINT)
{
    sim::Entry entry("midiOutPrepareHeader");
    if (sim::Port(out) == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (sim::Contains(g_state.setup.failPrepare, ++g_state.prepared))
        return MMSYSERR_NOMEM;
    hdr->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

static void Finish(MidiPort* port)
{
    port->playing->dwFlags = (port->playing->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    port->playing = nullptr;
}

// A message stays in play until its time has come, as with a driver that
// finishes it later, so that the program's wait for it can be seen; with a
// drain, until the device's buffer has taken all of it.
static bool Playing(MidiPort* port)
{
    if (port->playing != nullptr && g_state.setup.drainRate != 0)
        sim::HandOver(port);
    else if (port->playing != nullptr && sim::NowLocked() >= port->doneAt)
        Finish(port);
    return port->playing != nullptr;
}

// Passes the device's buffer on up to now, for the model to hear once the
// lock is released.
static std::vector<sim::Bytes> Pump(MidiPort* port)
{
    std::vector<sim::Bytes> heard;
    if (port != nullptr && g_state.setup.drainRate != 0)
        sim::Drain(port, &heard);
    return heard;
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT out, MIDIHDR* hdr, UINT)
{
    std::vector<sim::Bytes> heard;
    MMRESULT result;
    {
        sim::Entry entry("midiOutUnprepareHeader");
        MidiPort* port = sim::Port(out);
        heard = Pump(port);
        bool playing = port != nullptr && port->playing == hdr && Playing(port);
        result = playing ? (MMRESULT)MIDIERR_STILLPLAYING : sim::Unprepare(hdr);
    }
    sim::Hear(heard);
    return result;
}

MMRESULT midiOutLongMsg(HMIDIOUT out, MIDIHDR* hdr, UINT)
{
    sim::Bytes message;
    sim::Model* model;
    {
        sim::Entry entry("midiOutLongMsg");
        MidiPort* port = sim::Port(out);
        if (port == nullptr)
            return MMSYSERR_INVALHANDLE;
        if ((hdr->dwFlags & MHDR_PREPARED) == 0)
            return MIDIERR_UNPREPARED;
        unsigned number = ++g_state.sent;
        if (sim::Contains(g_state.setup.failSend, number))
            return MIDIERR_NOTREADY;
        if (sim::Gone())
            return MMSYSERR_ERROR;
        if (g_state.setup.service)
            return sim::ServiceSend(entry.lock, hdr, [] { Sleep(1); });
        if (g_state.setup.drainRate != 0) {
            std::vector<sim::Bytes> heard = Pump(port);
            port->playing = hdr;
            port->handed = 0;
            hdr->dwFlags |= MHDR_INQUEUE;
            sim::HandOver(port);
            entry.lock.unlock();
            sim::Hear(heard);
            return MMSYSERR_NOERROR;
        }
        message.assign((const uint8_t*)hdr->lpData, (const uint8_t*)hdr->lpData + hdr->dwBufferLength);
        if (g_state.setup.keepWire)
            g_state.wire.push_back({sim::NowLocked(), true, sim::Kind::SysEx, false, message});
        bool slow = g_state.setup.acceptMs != 0 && g_state.reached == g_state.setup.acceptAfter;
        sim::Reached();
        if (g_state.setup.completeMs != 0 || slow) {
            port->playing = hdr;
            port->doneAt = sim::NowLocked() + (slow ? g_state.setup.acceptMs : g_state.setup.completeMs);
            hdr->dwFlags |= MHDR_INQUEUE;
        } else {
            hdr->dwFlags |= MHDR_DONE;
        }
        model = port->target ? g_state.setup.model : nullptr;
    }
    if (model != nullptr)
        model->Received(message);
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutReset(HMIDIOUT out)
{
    sim::Entry entry("midiOutReset");
    MidiPort* port = sim::Port(out);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    sim::Call("midiOutReset", port->id, 0);
    if (port->playing != nullptr)
        Finish(port);
    port->buffer.clear();
    port->arriving.clear();
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutClose(HMIDIOUT out)
{
    sim::Entry entry("midiOutClose");
    MidiPort* port = sim::Port(out);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    MMRESULT result = Playing(port) ? MIDIERR_STILLPLAYING : MMSYSERR_NOERROR;
    sim::Call("midiOutClose", port->id, result);
    if (result == MMSYSERR_NOERROR)
        port->open = false;
    return result;
}
