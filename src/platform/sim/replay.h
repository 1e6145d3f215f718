// A run replayed from its trace (update --verbose): the ports as the
// system listed them, its answers to the port calls, and the target
// answering as it did, each reply after the message it followed; on
// virtual time. Where the program sends what the trace does not have, the
// replay parts from it, at that line of the trace.
#pragma once

#include "sim/scenario.h"

#include <string>
#include <vector>

namespace sim {

struct TraceEvent {
    unsigned line;
    uint64_t ms;
    char kind;  // '>' sent, 'x' a send the system failed, '<' a reply taken, 'i' the interruption
    Bytes bytes;
};

struct Trace {
    std::string path;
    std::vector<std::string> args;  // the program's name first
    Setup setup;                    // ports, port calls' answers, stack
    std::string image, sha256;      // the image as opened, and its digest
    uint64_t imageBytes = 0;
    unsigned imageLine = 0;
    std::vector<TraceEvent> events;
    int status = -1;
    unsigned lines = 0;
    std::vector<std::string> opened;  // the names of the ports the run opened
};

// Reads a trace; a line that is none of a trace's, or a trace that ends
// before the run's status, gives its line number and what is wrong.
bool ReadTrace(const std::string& path, Trace* trace, std::string* error);

// The target as the trace tells it. Where the program departs from the
// trace, Parted says where and how; the run is stopped there.
class ReplayTarget : public Model {
public:
    explicit ReplayTarget(const Trace& trace) : trace_(trace) {}
    void InputStarted() override;
    void Received(const Bytes& message) override;
    // After the run: where it parted from the trace, or "".
    std::string Parted(int status) const;

private:
    void Follow();
    [[noreturn]] void Depart(unsigned line, const std::string& how) const;

    const Trace& trace_;
    size_t next_ = 0;  // the event the program's next message should be
};

}  // namespace sim
