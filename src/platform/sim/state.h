// The simulated platform's state, shared by its devices (devices.cpp), its
// input and clock (input.cpp) and its output and wire log (output.cpp).
//
// One lock guards all of it. Every MIDI function takes the lock through an
// Entry; the program's input callback always runs without it, on the
// callback thread.
#pragma once

#include "platform.h"
#include "provider.h"
#include "sim/sim.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

struct MidiPort {
    bool input;
    UINT id;
    bool open;
    bool started;
    MIDIINPROC callback;
    DWORD_PTR instance;
    std::deque<MIDIHDR*> queue;
    MIDIHDR* playing;  // the output's message not yet done ...
    uint64_t doneAt;   // ... until this time, or ...
    DWORD handed;      // ... until all of it is in the device's buffer
    // With a drain: the device's buffer, passed on to the target at the
    // drain rate, up to drainedTo ms and carry thousandths of a byte; what
    // the target has heard of the message under way; and the pace where
    // the held buffer's room is not told.
    std::deque<uint8_t> buffer;
    uint64_t drainedTo, carry;
    sim::Bytes arriving;
    Pace pace;
    bool gone;    // unplugged: no longer listed
    bool target;  // the target is behind it
};

namespace sim {

// rest: the rest of a message that ran out of buffers; waitedMs: how long
// the service has waited for a buffer for it.
struct Event {
    Kind kind;
    Bytes bytes;
    bool rest = false;
    unsigned waitedMs = 0;
};

// A message in the service's buffer, not yet taken by the device.
struct Queued {
    Bytes bytes;
    uint64_t queuedAt;
    uint64_t number;  // of the program's messages, 0 for another program's
};

struct State {
    Setup setup;
    std::vector<MidiPort> ins, outs;
    std::multimap<uint64_t, Event> scheduled;
    std::vector<WireEntry> wire;
    std::vector<std::string> calls, faults;
    unsigned prepared = 0, sent = 0, added = 0;
    std::deque<Queued> serviceQueue;
    size_t serviceBytes = 0;
    uint64_t queuedCount = 0, takenCount = 0;  // the program's messages queued and taken
    unsigned reached = 0;  // the program's messages the device has taken
    bool stalled = false;  // a send timed out and the device has taken nothing since
    uint64_t othersAt = 0;  // when another program sends next
    uint64_t now = 0;      // virtual clock
    uint64_t horizon = 0;  // while the program sleeps, the time it sleeps until
    bool sleeping = false;
    std::chrono::steady_clock::time_point start;
    std::function<void()> job;  // runs next on the callback thread
    bool busy = false, stopping = false, running = false;
};

extern std::mutex g_lock;
extern std::condition_variable g_wake;  // the callback thread has something to do
extern std::condition_variable g_idle;  // the callback thread has done it
extern State g_state;

// Takes the lock for a MIDI function, and notes a call made from inside the
// program's input callback as a fault: Windows forbids any MIDI call there.
struct Entry {
    explicit Entry(const char* name);
    std::unique_lock<std::mutex> lock;
};

// With the lock held.
bool Contains(const std::vector<unsigned>& list, unsigned value);
bool TargetOutputOpen();
uint64_t NowLocked();
void Call(const char* name, UINT id, MMRESULT result);
MidiPort* Port(MidiPort* handle);  // null unless open
MMRESULT Unprepare(MIDIHDR* hdr);

// Runs fn on the callback thread, as the MIDI system calls back on a thread
// of its own, and waits until it has run; the lock is released meanwhile.
void OnCallbackThread(std::unique_lock<std::mutex>& lock, const std::function<void()>& fn);
// Calls the program's callback for port, marked as inside it.
void CallBack(MidiPort* port, UINT msg, DWORD_PTR param1, DWORD_PTR param2);
// What the device sends arrives after delayMs: the model's send.
void Send(const Bytes& bytes, unsigned delayMs, Kind kind);

// The output's device buffer (drain.cpp), with the lock held: hands over
// what the buffer takes of the playing message; passes the buffer on up
// to now, giving the messages the target has heard whole, to be given to
// the model once the lock is released.
void HandOver(MidiPort* port);
void Drain(MidiPort* port, std::vector<Bytes>* heard);
void Hear(const std::vector<Bytes>& heard);  // without the lock

// The MIDI service (service.cpp). ServiceSend is midiOutLongMsg under it,
// with the lock held on entry and on return; it releases it while it waits
// for the device, a pause at a time. ServiceTake, with the lock held, gives the device what it
// takes by now, to be heard once the lock is released; Reached counts the
// program's messages that reached the device on either stack.
MMRESULT ServiceSend(std::unique_lock<std::mutex>& lock, MIDIHDR* hdr, void (*pause)());
void ServiceTake(std::vector<Bytes>* heard);
void Reached();
bool Gone();
void StartCallbackThread();
void StopCallbackThread();

}  // namespace sim
