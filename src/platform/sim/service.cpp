// Windows' MIDI service between the program and the device, as its winmm
// layer behaves: a long message is written into the service's buffer, and
// midiOutLongMsg returns once the device has taken it, done. A device that
// has not taken it within the time-out fails the send, but the message
// stays in the buffer and reaches the device when it takes it; later sends
// are queued as well and fail at once, until the device takes something
// again. A send that finds no room waits a second for it, then is dropped
// with the same error. Another program may send to the device meanwhile;
// its messages take their place in the same buffer.
#include "sim/state.h"

#define ROOM_WAIT_MS 1000

namespace sim {
namespace {

// The device takes the next message at once, except the one after the
// first acceptAfter of the program's, which takes it acceptMs.
uint64_t TakenAt(const Queued& queued)
{
    const Setup& setup = g_state.setup;
    bool slow = queued.number != 0 && g_state.reached == setup.acceptAfter;
    return queued.queuedAt + (slow ? setup.acceptMs : 0);
}

void QueueOthers()
{
    const Setup& setup = g_state.setup;
    for (uint64_t now = NowLocked(); setup.othersEveryMs != 0 && g_state.othersAt <= now;
         g_state.othersAt += setup.othersEveryMs) {
        g_state.serviceQueue.push_back({setup.othersSend, g_state.othersAt, 0});
        g_state.serviceBytes += setup.othersSend.size();
    }
}

// The device takes what it takes by now, heard without the lock.
void Take(std::unique_lock<std::mutex>& lock)
{
    std::vector<Bytes> heard;
    ServiceTake(&heard);
    lock.unlock();
    Hear(heard);
    lock.lock();
}

// The caller's thread blocks a while, without the lock.
void Block(std::unique_lock<std::mutex>& lock, void (*pause)())
{
    lock.unlock();
    pause();
    lock.lock();
}

}  // namespace

bool Gone()
{
    return g_state.setup.goneAfter >= 0 && g_state.reached >= (unsigned)g_state.setup.goneAfter;
}

// Once gone, the device's open ports leave the system's list.
void Reached()
{
    ++g_state.reached;
    if (!Gone())
        return;
    for (MidiPort& port : g_state.ins)
        port.gone |= port.open;
    for (MidiPort& port : g_state.outs)
        port.gone |= port.open;
    g_state.serviceQueue.clear();
}

void ServiceTake(std::vector<Bytes>* heard)
{
    QueueOthers();
    uint64_t now = NowLocked();
    while (!g_state.serviceQueue.empty() && !Gone() && TakenAt(g_state.serviceQueue.front()) <= now) {
        Queued queued = std::move(g_state.serviceQueue.front());
        g_state.serviceQueue.pop_front();
        g_state.serviceBytes -= queued.bytes.size();
        g_state.stalled = false;
        if (g_state.setup.keepWire)
            g_state.wire.push_back({now, true, Kind::SysEx, false, queued.bytes});
        if (TargetOutputOpen())
            heard->push_back(std::move(queued.bytes));
        if (queued.number != 0) {
            g_state.takenCount = queued.number;
            Reached();
        }
    }
}

MMRESULT ServiceSend(std::unique_lock<std::mutex>& lock, MIDIHDR* hdr, void (*pause)())
{
    Bytes message((const uint8_t*)hdr->lpData, (const uint8_t*)hdr->lpData + hdr->dwBufferLength);
    for (uint64_t start = NowLocked(); Take(lock), g_state.serviceBytes + message.size() > g_state.setup.serviceBuffer;
         Block(lock, pause)) {
        if (NowLocked() - start >= ROOM_WAIT_MS || Gone()) {
            if (g_state.setup.keepWire)
                g_state.wire.push_back({NowLocked(), true, Kind::SysEx, true, message});
            return MMSYSERR_ERROR;
        }
    }
    if (Gone())
        return MMSYSERR_ERROR;
    uint64_t number = ++g_state.queuedCount;
    g_state.serviceBytes += message.size();
    g_state.serviceQueue.push_back({std::move(message), NowLocked(), number});
    for (uint64_t start = NowLocked(); Take(lock), g_state.takenCount < number; Block(lock, pause)) {
        if (g_state.stalled || NowLocked() - start >= g_state.setup.serviceTimeoutMs) {
            g_state.stalled = true;
            return MMSYSERR_ERROR;
        }
    }
    hdr->dwFlags |= MHDR_DONE;
    return MMSYSERR_NOERROR;
}

}  // namespace sim

MidiStack GetMidiStack(void)
{
    std::lock_guard<std::mutex> guard(sim::g_lock);
    return sim::g_state.setup.service ? MIDI_STACK_SERVICE : MIDI_STACK_UNKNOWN;
}
