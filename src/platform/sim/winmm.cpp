// The MIDI functions and Sleep over simulated devices.
//
// One lock guards all simulated state. Every call of the program's input
// callback happens on the callback thread, which either follows the wall
// clock (real time) or delivers what the virtual clock has reached.
#include "platform.h"
#include "sim/sim.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

struct MidiPort {
    bool input;
    UINT id;
    bool open;
    bool started;
    MIDIINPROC callback;
    DWORD_PTR instance;
    std::deque<MIDIHDR*> queue;
    MIDIHDR* playing;
    unsigned busyLeft;
};

namespace sim {
namespace {

struct Event {
    Kind kind;
    Bytes bytes;
};

struct State {
    Setup setup;
    std::vector<MidiPort> ins, outs;
    std::multimap<uint64_t, Event> scheduled;
    std::vector<WireEntry> wire;
    std::vector<std::string> calls, faults;
    unsigned prepared = 0, sent = 0;
    uint64_t now = 0;      // virtual clock
    uint64_t horizon = 0;  // while the program sleeps, the time it sleeps until
    bool sleeping = false;
    std::chrono::steady_clock::time_point start;
    std::function<void()> job;  // runs next on the callback thread
    bool busy = false, stopping = false, running = false;
};

std::mutex g_lock;
std::condition_variable g_wake;  // the callback thread has something to do
std::condition_variable g_idle;  // the callback thread has done it
State g_state;
std::thread g_callbackThread;

bool Contains(const std::vector<unsigned>& list, unsigned value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

uint64_t NowLocked()
{
    if (!g_state.setup.realTime)
        return g_state.now;
    auto elapsed = std::chrono::steady_clock::now() - g_state.start;
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

void Call(const char* name, UINT id, MMRESULT result)
{
    char text[64];
    snprintf(text, sizeof text, "%s(%u)=%u", name, id, result);
    g_state.calls.push_back(text);
}

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

// Called with the lock held; calls the callback without it.
void Deliver(std::unique_lock<std::mutex>& lock, uint64_t t, Event& event)
{
    MidiPort* port = StartedInput();
    bool lost = port == nullptr || (event.kind != Kind::Short && port->queue.empty());
    if (g_state.setup.keepWire)
        g_state.wire.push_back({t, false, event.kind, lost, event.bytes});
    if (lost)
        return;
    UINT msg = MIM_DATA;
    DWORD_PTR param = 0;
    if (event.kind == Kind::Short) {
        for (size_t i = 0; i < event.bytes.size() && i < 3; ++i)
            param |= (DWORD_PTR)event.bytes[i] << (8 * i);
    } else {
        MIDIHDR* header = port->queue.front();
        port->queue.pop_front();
        DWORD n = std::min<DWORD>((DWORD)event.bytes.size(), header->dwBufferLength);
        std::copy_n(event.bytes.begin(), n, header->lpData);
        header->dwBytesRecorded = n;
        header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        msg = event.kind == Kind::SysEx ? MIM_LONGDATA : MIM_LONGERROR;
        param = (DWORD_PTR)header;
    }
    MIDIINPROC callback = port->callback;
    DWORD_PTR instance = port->instance;
    lock.unlock();
    callback(port, msg, instance, param, (DWORD_PTR)t);
    lock.lock();
}

void RunCallbackThread()
{
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

// Runs fn on the callback thread, as the MIDI system calls back on a thread
// of its own, and waits until it has run.
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

void Notify(std::unique_lock<std::mutex>& lock, MidiPort* port, UINT msg)
{
    MIDIINPROC callback = port->callback;
    DWORD_PTR instance = port->instance;
    OnCallbackThread(lock, [=] { callback(port, msg, instance, 0, 0); });
}

void Send(const Bytes& bytes, unsigned delayMs, Kind kind)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state.scheduled.insert({NowLocked() + delayMs, Event{kind, bytes}});
    g_wake.notify_all();
}

MidiPort* Port(HMIDIIN handle)
{
    return handle != nullptr && handle->open ? handle : nullptr;
}

}  // namespace

void Start(const Setup& setup)
{
    Stop();
    std::lock_guard<std::mutex> guard(g_lock);
    g_state = State();
    g_state.setup = setup;
    g_state.start = std::chrono::steady_clock::now();
    for (unsigned i = 0; i < setup.inputs.size(); ++i)
        g_state.ins.push_back(MidiPort{true, i, false, false, nullptr, 0, {}, nullptr, 0});
    for (unsigned i = 0; i < setup.outputs.size(); ++i)
        g_state.outs.push_back(MidiPort{false, i, false, false, nullptr, 0, {}, nullptr, 0});
    if (setup.model != nullptr)
        setup.model->send = Send;
    g_state.running = true;
    g_callbackThread = std::thread(RunCallbackThread);
}

void Stop()
{
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (!g_state.running)
            return;
        g_state.stopping = true;
        g_wake.notify_all();
    }
    g_callbackThread.join();
    std::lock_guard<std::mutex> guard(g_lock);
    g_state.running = false;
    g_state.scheduled.clear();
}

uint64_t Now()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return NowLocked();
}

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

std::vector<std::string> Calls()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_state.calls;
}

std::vector<std::string> Faults()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_state.faults;
}

unsigned OpenPorts()
{
    std::lock_guard<std::mutex> guard(g_lock);
    unsigned n = 0;
    for (const MidiPort& port : g_state.ins)
        n += port.open;
    for (const MidiPort& port : g_state.outs)
        n += port.open;
    return n;
}

}  // namespace sim

using sim::g_lock;
using sim::g_state;

void Sleep(DWORD ms)
{
    std::unique_lock<std::mutex> lock(g_lock);
    if (g_state.setup.realTime || !g_state.running) {
        lock.unlock();
        SleepMilliseconds(ms);
        return;
    }
    g_state.horizon = g_state.now + ms;
    g_state.sleeping = true;
    sim::g_wake.notify_all();
    sim::g_idle.wait(lock, [] {
        return !g_state.busy && !g_state.job &&
               (g_state.scheduled.empty() || g_state.scheduled.begin()->first > g_state.horizon);
    });
    g_state.sleeping = false;
    g_state.now = g_state.horizon;
}

UINT midiInGetNumDevs(void)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return (UINT)g_state.ins.size();
}

UINT midiOutGetNumDevs(void)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return (UINT)g_state.outs.size();
}

static MMRESULT CopyName(const std::vector<std::string>& names, UINT id, char* name)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (id >= names.size())
        return MMSYSERR_BADDEVICEID;
    snprintf(name, MAXPNAMELEN, "%s", names[id].c_str());
    return MMSYSERR_NOERROR;
}

MMRESULT midiInGetDevCapsA(UINT id, MIDIINCAPSA* caps, UINT)
{
    return CopyName(g_state.setup.inputs, id, caps->szPname);
}

MMRESULT midiOutGetDevCapsA(UINT id, MIDIOUTCAPSA* caps, UINT)
{
    return CopyName(g_state.setup.outputs, id, caps->szPname);
}

MMRESULT midiInOpen(HMIDIIN* in, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    std::unique_lock<std::mutex> lock(g_lock);
    MMRESULT result = MMSYSERR_NOERROR;
    if (id >= g_state.ins.size())
        result = MMSYSERR_BADDEVICEID;
    else if (g_state.ins[id].open)
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
    sim::Notify(lock, port, MIM_OPEN);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInPrepareHeader(HMIDIIN, MIDIHDR* hdr, UINT)
{
    std::lock_guard<std::mutex> guard(g_lock);
    hdr->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

static MMRESULT Unprepare(MIDIHDR* hdr)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (hdr->dwFlags & MHDR_INQUEUE)
        return MIDIERR_STILLPLAYING;
    hdr->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT midiInUnprepareHeader(HMIDIIN, MIDIHDR* hdr, UINT)
{
    return Unprepare(hdr);
}

MMRESULT midiInAddBuffer(HMIDIIN in, MIDIHDR* hdr, UINT)
{
    std::lock_guard<std::mutex> guard(g_lock);
    MidiPort* port = sim::Port(in);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    if ((hdr->dwFlags & MHDR_PREPARED) == 0)
        return MIDIERR_UNPREPARED;
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
        std::lock_guard<std::mutex> guard(g_lock);
        MidiPort* port = sim::Port(in);
        if (port == nullptr)
            return MMSYSERR_INVALHANDLE;
        MMRESULT result = sim::Contains(g_state.setup.failInStart, port->id) ? MMSYSERR_ERROR : MMSYSERR_NOERROR;
        sim::Call("midiInStart", port->id, result);
        if (result != MMSYSERR_NOERROR)
            return result;
        port->started = true;
        model = g_state.setup.model;
    }
    if (model != nullptr)
        model->InputStarted();
    return MMSYSERR_NOERROR;
}

MMRESULT midiInStop(HMIDIIN in)
{
    std::lock_guard<std::mutex> guard(g_lock);
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
    std::unique_lock<std::mutex> lock(g_lock);
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
    MIDIINPROC callback = port->callback;
    DWORD_PTR instance = port->instance;
    sim::OnCallbackThread(lock, [=] {
        for (MIDIHDR* header : returned)
            callback(port, MIM_LONGDATA, instance, (DWORD_PTR)header, 0);
    });
    return MMSYSERR_NOERROR;
}

MMRESULT midiInClose(HMIDIIN in)
{
    std::unique_lock<std::mutex> lock(g_lock);
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
    sim::Notify(lock, port, MIM_CLOSE);
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutOpen(HMIDIOUT* out, UINT id, DWORD_PTR, DWORD_PTR, DWORD)
{
    std::lock_guard<std::mutex> guard(g_lock);
    MMRESULT result = MMSYSERR_NOERROR;
    if (id >= g_state.outs.size())
        result = MMSYSERR_BADDEVICEID;
    else if (g_state.outs[id].open)
        result = MMSYSERR_ALLOCATED;
    else if (sim::Contains(g_state.setup.failOutOpen, id))
        result = MMSYSERR_NOMEM;
    sim::Call("midiOutOpen", id, result);
    if (result != MMSYSERR_NOERROR)
        return result;
    g_state.outs[id].open = true;
    *out = &g_state.outs[id];
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutPrepareHeader(HMIDIOUT out, MIDIHDR* hdr, UINT)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (sim::Port(out) == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (sim::Contains(g_state.setup.failPrepare, ++g_state.prepared))
        return MMSYSERR_NOMEM;
    hdr->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

// A header stays in play for as many release calls as the setup says, so
// that the program's wait for it can be seen.
MMRESULT midiOutUnprepareHeader(HMIDIOUT out, MIDIHDR* hdr, UINT)
{
    {
        std::lock_guard<std::mutex> guard(g_lock);
        MidiPort* port = sim::Port(out);
        if (port != nullptr && port->playing == hdr) {
            if (port->busyLeft != 0) {
                --port->busyLeft;
                return MIDIERR_STILLPLAYING;
            }
            port->playing = nullptr;
            hdr->dwFlags = (hdr->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        }
    }
    return Unprepare(hdr);
}

MMRESULT midiOutLongMsg(HMIDIOUT out, MIDIHDR* hdr, UINT)
{
    sim::Bytes message;
    sim::Model* model;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        MidiPort* port = sim::Port(out);
        if (port == nullptr)
            return MMSYSERR_INVALHANDLE;
        if ((hdr->dwFlags & MHDR_PREPARED) == 0)
            return MIDIERR_UNPREPARED;
        unsigned number = ++g_state.sent;
        if (sim::Contains(g_state.setup.failSend, number))
            return MIDIERR_NOTREADY;
        message.assign((const uint8_t*)hdr->lpData, (const uint8_t*)hdr->lpData + hdr->dwBufferLength);
        if (g_state.setup.keepWire)
            g_state.wire.push_back({sim::NowLocked(), true, sim::Kind::SysEx, false, message});
        if (number == g_state.setup.busyMessage && g_state.setup.busyTimes != 0) {
            port->playing = hdr;
            port->busyLeft = g_state.setup.busyTimes;
            hdr->dwFlags |= MHDR_INQUEUE;
        } else {
            hdr->dwFlags |= MHDR_DONE;
        }
        model = g_state.setup.model;
    }
    if (model != nullptr)
        model->Received(message);
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutReset(HMIDIOUT out)
{
    std::lock_guard<std::mutex> guard(g_lock);
    MidiPort* port = sim::Port(out);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    sim::Call("midiOutReset", port->id, 0);
    if (port->playing != nullptr) {
        port->playing->dwFlags = (port->playing->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        port->playing = nullptr;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutClose(HMIDIOUT out)
{
    std::lock_guard<std::mutex> guard(g_lock);
    MidiPort* port = sim::Port(out);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    MMRESULT result = port->playing == nullptr ? MMSYSERR_NOERROR : MIDIERR_STILLPLAYING;
    sim::Call("midiOutClose", port->id, result);
    if (result == MMSYSERR_NOERROR)
        port->open = false;
    return result;
}
