// The simulated input and the clock: the callback thread that delivers what
// the device sends, Sleep over virtual or real time, and the midiIn
// functions.
//
// On virtual time the callback thread delivers only while the program
// sleeps, and Sleep returns once everything due by its end has been
// delivered and its callback has returned.
#include "sim/state.h"

#include <signal.h>
#include <string.h>

#include <algorithm>
#include <thread>

namespace sim {

namespace {

std::thread g_callbackThread;
thread_local bool t_inCallback = false;

bool Due(uint64_t t)
{
    return g_state.setup.realTime ? t <= NowLocked() : g_state.sleeping && t <= g_state.horizon;
}

MidiPort* StartedInput()
{
    for (MidiPort& port : g_state.ins)
        if (port.open && port.started)
            return &port;
    return nullptr;
}

// Under the MIDI service a message that finds no buffer waits for one, at
// its start 1 ms, in its middle 10 ms; then it is dropped.
bool WaitForBuffer(uint64_t t, Event& event)
{
    if (!g_state.setup.service || event.waitedMs == (event.rest ? 10u : 1u))
        return false;
    ++event.waitedMs;
    g_state.scheduled.insert({t + 1, std::move(event)});
    return true;
}

// A System Exclusive message fills the queued buffers in turn, each coming
// back done, as long as it lasts; what finds no buffer is lost, under the
// service once it has waited. The wire marks a message lost only when it
// found none at all.
void Deliver(std::unique_lock<std::mutex>& lock, uint64_t t, Event& event)
{
    MidiPort* port = StartedInput();
    if (port != nullptr && !port->target)  // the target answers behind its own port only
        port = nullptr;
    bool lost = port == nullptr || (event.kind != Kind::Short && port->queue.empty());
    if (lost && port != nullptr && WaitForBuffer(t, event))
        return;
    if (g_state.setup.keepWire && !event.rest)
        g_state.wire.push_back({t, false, event.kind, lost, event.bytes});
    if (lost)
        return;
    if (event.kind == Kind::Short) {
        DWORD_PTR param = 0;
        for (size_t i = 0; i < event.bytes.size() && i < 3; ++i)
            param |= (DWORD_PTR)event.bytes[i] << (8 * i);
        lock.unlock();
        CallBack(port, MIM_DATA, param, (DWORD_PTR)t);
        lock.lock();
        return;
    }
    size_t done = 0;
    do {
        MIDIHDR* header = port->queue.front();
        port->queue.pop_front();
        DWORD n = std::min<DWORD>((DWORD)(event.bytes.size() - done), header->dwBufferLength);
        std::copy_n(event.bytes.begin() + (long)done, n, header->lpData);
        header->dwBytesRecorded = n;
        header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        done += n;
        lock.unlock();
        CallBack(port, event.kind == Kind::SysEx ? MIM_LONGDATA : MIM_LONGERROR, (DWORD_PTR)header, (DWORD_PTR)t);
        lock.lock();
    } while (done < event.bytes.size() && port->started && !port->queue.empty());
    if (done < event.bytes.size() && port->started) {
        Event rest{event.kind, Bytes(event.bytes.begin() + (long)done, event.bytes.end()), true, 0};
        WaitForBuffer(t, rest);
    }
}

void RunCallbackThread()
{
    BlockInterruptions();
    std::unique_lock<std::mutex> lock(g_lock);
    for (;;) {
        if (g_state.stopping)
            return;
        if (g_state.job) {
            std::function<void()> job = std::move(g_state.job);
            g_state.job = nullptr;
            g_state.busy = true;
            lock.unlock();
            job();
            lock.lock();
        } else if (!g_state.scheduled.empty() && Due(g_state.scheduled.begin()->first)) {
            auto first = g_state.scheduled.begin();
            uint64_t t = first->first;
            Event event = std::move(first->second);
            g_state.scheduled.erase(first);
            g_state.busy = true;
            Deliver(lock, t, event);
        } else if (g_state.setup.realTime && !g_state.scheduled.empty()) {
            auto due = g_state.start + std::chrono::milliseconds(g_state.scheduled.begin()->first);
            g_wake.wait_until(lock, due);
            continue;
        } else {
            g_wake.wait(lock);
            continue;
        }
        g_state.busy = false;
        g_idle.notify_all();
    }
}

void Notify(std::unique_lock<std::mutex>& lock, MidiPort* port, UINT msg)
{
    OnCallbackThread(lock, [=] { CallBack(port, msg, 0, 0); });
}

}  // namespace

Entry::Entry(const char* name) : lock(g_lock)
{
    if (t_inCallback)
        g_state.faults.push_back(std::string(name) + " called inside the input callback");
}

void CallBack(MidiPort* port, UINT msg, DWORD_PTR param1, DWORD_PTR param2)
{
    t_inCallback = true;
    port->callback(port, msg, port->instance, param1, param2);
    t_inCallback = false;
}

void OnCallbackThread(std::unique_lock<std::mutex>& lock, const std::function<void()>& fn)
{
    bool done = false;
    g_idle.wait(lock, [] { return !g_state.job; });
    // cppcheck-suppress danglingLifetime ; the wait below outlasts the job
    g_state.job = [&fn, &done] {
        fn();
        std::lock_guard<std::mutex> guard(g_lock);
        done = true;
    };
    g_wake.notify_all();
    g_idle.wait(lock, [&done] { return done; });
}

void StartCallbackThread()
{
    g_callbackThread = std::thread(RunCallbackThread);
}

void StopCallbackThread()
{
    g_callbackThread.join();
}

// The MIDI service hands a real-time byte inside a System Exclusive message
// on as a short message of its own, and ends the message at any other
// status byte, as malformed; what follows is a message of its own.
void Send(const Bytes& bytes, unsigned delayMs, Kind kind)
{
    std::lock_guard<std::mutex> guard(g_lock);
    uint64_t t = NowLocked() + delayMs;
    Bytes message;
    for (uint8_t byte : bytes) {
        bool inside = g_state.setup.service && kind == Kind::SysEx && !message.empty();
        if (inside && byte >= 0xF8) {
            g_state.scheduled.insert({t, Event{Kind::Short, {byte}}});
            continue;
        }
        if (inside && byte >= 0x80 && byte != 0xF7) {
            g_state.scheduled.insert({t, Event{Kind::Malformed, std::move(message)}});
            message.clear();
            kind = byte == 0xF0 ? Kind::SysEx : Kind::Short;
        }
        message.push_back(byte);
    }
    g_state.scheduled.insert({t, Event{kind, std::move(message)}});
    g_wake.notify_all();
}

}  // namespace sim

using sim::g_state;

// An output with a drain passes its buffer on meanwhile, and under the
// MIDI service the device takes what it is ready for.
void Sleep(DWORD ms)
{
    std::unique_lock<std::mutex> lock(sim::g_lock);
    if (g_state.setup.realTime || !g_state.running) {
        lock.unlock();
        SleepMilliseconds(ms);
        lock.lock();
    } else {
        g_state.horizon = g_state.now + ms;
        g_state.sleeping = true;
        auto idle = [] {
            return !g_state.busy && !g_state.job &&
                   (g_state.scheduled.empty() || g_state.scheduled.begin()->first > g_state.horizon);
        };
        if (!idle()) {  // the callback thread has something to deliver by then
            sim::g_wake.notify_all();
            sim::g_idle.wait(lock, idle);
        }
        g_state.sleeping = false;
        g_state.now = g_state.horizon;
    }
    std::vector<sim::Bytes> heard;
    for (MidiPort& port : g_state.outs)
        if (port.open && g_state.setup.drainRate != 0)
            sim::Drain(&port, &heard);
    if (g_state.setup.service)
        sim::ServiceTake(&heard);
    bool interrupt = g_state.setup.interruptAtMs >= 0 && sim::NowLocked() >= (uint64_t)g_state.setup.interruptAtMs;
    if (interrupt)
        g_state.setup.interruptAtMs = -1;
    lock.unlock();
    sim::Hear(heard);
    if (interrupt)  // as a user pressing Ctrl-C would, once
        raise(SIGINT);
}

DWORD GetTickCount(void)
{
    return (DWORD)sim::Now();
}

MMRESULT midiInOpen(HMIDIIN* in, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    sim::Entry entry("midiInOpen");
    MMRESULT result = MMSYSERR_NOERROR;
    if (id >= g_state.ins.size())
        result = MMSYSERR_BADDEVICEID;
    else if (g_state.ins[id].open || sim::Contains(g_state.setup.busyIn, id))
        result = MMSYSERR_ALLOCATED;
    else if (sim::Contains(g_state.setup.failInOpen, id) || flags != CALLBACK_FUNCTION)
        result = MMSYSERR_NOMEM;
    sim::Call("midiInOpen", id, result);
    if (result != MMSYSERR_NOERROR)
        return result;
    MidiPort* port = &g_state.ins[id];
    port->open = true;
    port->started = false;
    port->callback = (MIDIINPROC)callback;
    port->instance = instance;
    *in = port;
    sim::Notify(entry.lock, port, MIM_OPEN);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInPrepareHeader(HMIDIIN, MIDIHDR* hdr, UINT)
{
    sim::Entry entry("midiInPrepareHeader");
    hdr->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT midiInUnprepareHeader(HMIDIIN, MIDIHDR* hdr, UINT)
{
    sim::Entry entry("midiInUnprepareHeader");
    return sim::Unprepare(hdr);
}

MMRESULT midiInAddBuffer(HMIDIIN in, MIDIHDR* hdr, UINT)
{
    sim::Entry entry("midiInAddBuffer");
    MidiPort* port = sim::Port(in);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    if ((hdr->dwFlags & MHDR_PREPARED) == 0)
        return MIDIERR_UNPREPARED;
    if (sim::Contains(g_state.setup.failAdd, ++g_state.added))
        return MMSYSERR_NOMEM;
    for (const MidiPort& other : g_state.ins)
        if (std::find(other.queue.begin(), other.queue.end(), hdr) != other.queue.end())
            g_state.faults.push_back("a buffer queued twice");
    hdr->dwFlags = (hdr->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    hdr->dwBytesRecorded = 0;
    port->queue.push_back(hdr);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInStart(HMIDIIN in)
{
    sim::Model* model;
    {
        sim::Entry entry("midiInStart");
        MidiPort* port = sim::Port(in);
        if (port == nullptr)
            return MMSYSERR_INVALHANDLE;
        MMRESULT result = sim::Contains(g_state.setup.failInStart, port->id) ? MMSYSERR_ERROR : MMSYSERR_NOERROR;
        sim::Call("midiInStart", port->id, result);
        if (result != MMSYSERR_NOERROR)
            return result;
        port->started = true;
        model = port->target ? g_state.setup.model : nullptr;
    }
    if (model != nullptr)
        model->InputStarted();
    return MMSYSERR_NOERROR;
}

MMRESULT midiInStop(HMIDIIN in)
{
    sim::Entry entry("midiInStop");
    MidiPort* port = sim::Port(in);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    sim::Call("midiInStop", port->id, 0);
    port->started = false;
    return MMSYSERR_NOERROR;
}

// Every queued buffer comes back empty, through the callback.
MMRESULT midiInReset(HMIDIIN in)
{
    sim::Entry entry("midiInReset");
    MidiPort* port = sim::Port(in);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    sim::Call("midiInReset", port->id, 0);
    port->started = false;
    std::deque<MIDIHDR*> returned;
    returned.swap(port->queue);
    for (MIDIHDR* header : returned) {
        header->dwBytesRecorded = 0;
        header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    }
    sim::OnCallbackThread(entry.lock, [=] {
        for (MIDIHDR* header : returned)
            sim::CallBack(port, MIM_LONGDATA, (DWORD_PTR)header, 0);
    });
    return MMSYSERR_NOERROR;
}

MMRESULT midiInClose(HMIDIIN in)
{
    sim::Entry entry("midiInClose");
    MidiPort* port = sim::Port(in);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    MMRESULT result = port->queue.empty() ? MMSYSERR_NOERROR : MIDIERR_STILLPLAYING;
    sim::Call("midiInClose", port->id, result);
    if (result != MMSYSERR_NOERROR) {
        g_state.faults.push_back("an input closed with its buffer queued");
        return result;
    }
    port->open = false;
    port->started = false;
    sim::Notify(entry.lock, port, MIM_CLOSE);
    return MMSYSERR_NOERROR;
}
