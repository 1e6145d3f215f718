// The simulated output as a device's raw MIDI buffer: 4,096 bytes, passed
// on to the target at the drain rate, which hears each message only once
// its last byte has passed. The buffer's room is told as the kernel tells
// it, in the text of /proc/asound/cardN/midiD.
//
// Written directly, the buffer takes what fits and the rest waits, as a
// raw device does. Held by the sequencer's bridge for another program, it
// takes a message in pieces of 32 bytes, as the bridge copies it, and
// drops a piece that does not fit while reporting success; so the output
// first waits, as the ALSA provider does, until the room the kernel tells
// holds the whole message and a margin, or, where the room is not told,
// for the pace the ALSA provider keeps by the device's answers.
#include "sim/state.h"

#include <stdio.h>

#define BUFFER_BYTES 4096u
#define BRIDGE_PIECE 32
#define PROC_PATH "/proc/asound/card1/midi0"

namespace sim {
namespace {

std::string ProcText(const MidiPort* port)
{
    char text[256];
    snprintf(text, sizeof text,
             "Quellam MIDI\n\nOutput 0\n  Tx bytes     : 0\n  Owner PID    : 1\n  Mode         : native\n"
             "  Buffer size  : %u\n  Avail        : %zu\n",
             BUFFER_BYTES, BUFFER_BYTES - port->buffer.size());
    return text;
}

// Whether the held buffer takes bytes now, by the room /proc tells.
bool HeldHasRoom(MidiPort* port, DWORD bytes)
{
    RawmidiUse use;
    if (g_state.setup.roomUntold)
        return TakePace(&port->pace, NowLocked() * 1000u, bytes);
    return ParseRawmidiProc(ProcText(port).c_str(), true, 0, &use) && use.avail >= (long)bytes + HELD_ROOM_MARGIN;
}

}  // namespace

void HandOver(MidiPort* port)
{
    MIDIHDR* hdr = port->playing;
    const uint8_t* bytes = (const uint8_t*)hdr->lpData;
    DWORD left = hdr->dwBufferLength - port->handed;
    if (g_state.setup.held && !HeldHasRoom(port, left))
        return;
    for (DWORD i = port->handed; i < hdr->dwBufferLength && (g_state.setup.held || port->buffer.size() < BUFFER_BYTES);) {
        DWORD piece = g_state.setup.held ? std::min<DWORD>(BRIDGE_PIECE, hdr->dwBufferLength - i) : 1;
        if (port->buffer.size() + piece <= BUFFER_BYTES)
            port->buffer.insert(port->buffer.end(), bytes + i, bytes + i + piece);
        else if (g_state.setup.keepWire)
            g_state.wire.push_back({NowLocked(), true, Kind::SysEx, true, Bytes(bytes + i, bytes + i + piece)});
        i += piece;
        port->handed = i;
    }
    if (port->handed == hdr->dwBufferLength) {
        hdr->dwFlags = (hdr->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        port->playing = nullptr;
    }
}

// A message ends at F7; one whose end was dropped ends where the next
// begins. An empty buffer earns no credit.
void Drain(MidiPort* port, std::vector<Bytes>* heard)
{
    uint64_t now = NowLocked();
    size_t first = heard->size();
    port->carry += (now - std::min(port->drainedTo, now)) * g_state.setup.drainRate;
    port->drainedTo = now;
    for (; port->carry >= 1000 && !port->buffer.empty(); port->carry -= 1000) {
        uint8_t byte = port->buffer.front();
        port->buffer.pop_front();
        if (byte == 0xF0 && !port->arriving.empty())
            heard->push_back(std::move(port->arriving));
        port->arriving.resize(byte == 0xF0 ? 0 : port->arriving.size());
        port->arriving.push_back(byte);
        if (byte == 0xF7) {
            heard->push_back(std::move(port->arriving));
            port->arriving.clear();
        }
    }
    if (port->buffer.empty())
        port->carry = 0;
    for (size_t i = first; i < heard->size() && g_state.setup.keepWire; ++i)
        g_state.wire.push_back({now, true, Kind::SysEx, false, (*heard)[i]});
    if (!port->target)  // what passed on reached no target
        heard->resize(first);
}

void Hear(const std::vector<Bytes>& heard)
{
    Model* model;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        model = g_state.setup.model;
    }
    for (const Bytes& message : heard)
        if (model != nullptr)
            model->Received(message);
}

}  // namespace sim

const char* MidiOutputRoute(void)
{
    std::lock_guard<std::mutex> guard(sim::g_lock);
    if (sim::g_state.setup.drainRate == 0)
        return nullptr;
    RawmidiUse use{1, BUFFER_BYTES, BUFFER_BYTES};
    Route route = sim::g_state.setup.held ? ROUTE_HELD : ROUTE_RAW;
    return DescribeRoute(route, "hw:1,0,0", PROC_PATH, sim::g_state.setup.roomUntold ? nullptr : &use);
}

void MidiOutputHeard(void)
{
    std::lock_guard<std::mutex> guard(sim::g_lock);
    for (MidiPort& port : sim::g_state.outs)
        HearPace(&port.pace, sim::NowLocked() * 1000u);
}

DWORD MidiOutputHeld(void)
{
    std::lock_guard<std::mutex> guard(sim::g_lock);
    for (MidiPort& port : sim::g_state.outs)
        if (port.open && sim::g_state.setup.drainRate != 0)
            return sim::g_state.setup.roomUntold ? PaceHeld(&port.pace, sim::NowLocked() * 1000u)
                                                 : (DWORD)port.buffer.size();
    return 0;
}
