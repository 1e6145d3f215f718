// The simulated platform: virtual MIDI devices behind the program's MIDI
// functions, a device model that answers, and a clock.
//
// On virtual time, Sleep advances a millisecond clock instead of waiting, and
// whatever the device sends is delivered, its callback finished on the
// callback thread, before the Sleep that reaches its time returns. Runs are
// then exact, repeatable and instant, and still cross threads.
#pragma once

#include "sim/model.h"

#include <stdint.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// A port as the system lists it. The interface path is what the system's
// device interface query answers; without one the query is not supported,
// as on systems that cannot tell.
struct Device {
    Device(const char* portName) : name(portName) {}  // NOLINT(google-explicit-constructor): lists of names
    Device(std::string portName, std::string path = "") : name(std::move(portName)), interfacePath(std::move(path)) {}
    std::string name;
    std::string interfacePath;
};

struct Setup {
    std::vector<Device> inputs{"Quellam MIDI"};
    std::vector<Device> outputs{"Quellam MIDI"};
    std::vector<unsigned> failInOpen, failInStart, failOutOpen;  // device indices
    std::vector<unsigned> failPrepare, failSend;                 // messages sent, counted from 1
    std::vector<unsigned> failAdd;                               // receive buffers queued, counted from 1
    std::vector<unsigned> busyIn, busyOut;  // devices another program holds
    // The ports the target is behind: those named so; where none is given,
    // those whose names hold "Quellam" where both sides have one, else all.
    std::vector<std::string> targetNames;
    std::map<unsigned, std::string> usersIn, usersOut;  // other programs connected to a device, as named
    unsigned completeMs = 0;  // each long message is done this long after it is handed over
    unsigned drainRate = 0;   // the output is a device's buffer passed on at this many bytes a second
    bool held = false;        // ... held by the sequencer's bridge for another program ...
    bool roomUntold = false;  // ... whose room is not told
    int interruptAtMs = -1;   // SIGINT is raised once the clock reaches this time
    // Windows' MIDI service between the program and the device (service.cpp).
    bool service = false;
    unsigned serviceTimeoutMs = 1000;  // a send the device has not taken by then fails, still queued
    unsigned serviceBuffer = 65536;    // bytes it holds for the device; a send that finds no room is dropped
    unsigned acceptAfter = 0;          // once this many messages have reached the device ...
    unsigned acceptMs = 0;             // ... it takes this long to take the next
    int goneAfter = -1;                // the device goes away once this many messages have reached it
    Bytes othersSend;                  // another program sends this to the device ...
    unsigned othersEveryMs = 0;        // ... this often, through the service
    bool realTime = false;
    bool keepWire = true;  // keep every message for Wire()
    Model* model = nullptr;
};

struct WireEntry {
    uint64_t ms;
    bool toDevice;
    Kind kind;
    bool lost;  // reached no queued buffer on a started input, or dropped on the way to the device
    Bytes bytes;
};

// Resets the clock, the ports and the logs, and starts the callback thread.
void Start(const Setup& setup);
// Ends the callback thread; everything still scheduled is dropped.
void Stop();

uint64_t Now();
// SIGINT is raised once the clock reaches ms, as setup.interruptAtMs.
void InterruptAt(uint64_t ms);
std::vector<WireEntry> Wire();
std::string FormatWire();
// Opening, starting, stopping, resetting and closing of ports, in order,
// each as "midiInOpen(0)=0" and the like.
std::vector<std::string> Calls();
// Uses of the MIDI functions that a real driver would refuse, that would
// lose a buffer, or that Windows forbids (any MIDI call from inside the
// input callback).
std::vector<std::string> Faults();
unsigned OpenPorts();

}  // namespace sim
