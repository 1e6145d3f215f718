#include "sim/replay.h"

#include "platform.h"
#include "sim/sim.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace sim {
namespace {

#define MAX_TRACE_BYTES (64 << 20)

// A field as the trace escapes it: a control byte or a backslash as \xNN.
std::string Unescaped(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\\x") == 0 && i + 3 < text.size() && isxdigit((unsigned char)text[i + 2]) &&
            isxdigit((unsigned char)text[i + 3])) {
            out += (char)strtoul(text.substr(i + 2, 2).c_str(), nullptr, 16);
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    for (size_t at = 0, tab; at <= line.size(); at = tab + 1) {
        tab = std::min(line.find('\t', at), line.size());
        fields.push_back(Unescaped(line.substr(at, tab - at)));
    }
    return fields;
}

// "# in 2<TAB>NAME<TAB>PATH", "# args<TAB>...", "# stack service".
bool ReadHead(const std::string& line, Trace* trace)
{
    std::vector<std::string> fields = Fields(line.substr(2));
    if (fields.empty())
        return false;
    if (fields[0] == "args") {
        trace->args.assign(fields.begin() + 1, fields.end());
        return !trace->args.empty();
    }
    if (fields[0].compare(0, 6, "stack ") == 0) {
        trace->setup.service = fields[0] == "stack service";
        return true;
    }
    bool input = fields[0].compare(0, 3, "in ") == 0;
    if (fields.size() != 3 || (!input && fields[0].compare(0, 4, "out ") != 0))
        return fields[0].compare(0, 7, "update ") == 0;
    (input ? trace->setup.inputs : trace->setup.outputs).emplace_back(fields[1], fields[2]);
    return true;
}

bool ReadBytes(std::istringstream& words, Bytes* bytes)
{
    std::string word;
    while (words >> word && word != "..." && word.size() == 2 && isxdigit((unsigned char)word[0]) &&
           isxdigit((unsigned char)word[1]))
        bytes->push_back((uint8_t)strtoul(word.c_str(), nullptr, 16));
    return !bytes->empty() && (*bytes)[0] == 0xF0;
}

// "midiInOpen(1) = 4": another program holds the port; another failure.
bool ReadCall(const std::string& text, Trace* trace)
{
    Setup* setup = &trace->setup;
    char call[16];
    unsigned id, result;
    if (sscanf(text.c_str(), "%15[a-zA-Z](%u) = %u", call, &id, &result) != 3)
        return false;
    std::string name = call;
    const std::vector<Device>& ports = name == "midiOutOpen" ? setup->outputs : setup->inputs;
    if (name != "midiInStart" && id < ports.size())
        trace->opened.push_back(ports[id].name);
    if (result == 0)
        return name == "midiInOpen" || name == "midiInStart" || name == "midiOutOpen";
    if (name == "midiInStart")
        setup->failInStart.push_back(id);
    else if (name == "midiInOpen")
        (result == MMSYSERR_ALLOCATED ? setup->busyIn : setup->failInOpen).push_back(id);
    else if (name == "midiOutOpen")
        (result == MMSYSERR_ALLOCATED ? setup->busyOut : setup->failOutOpen).push_back(id);
    else
        return false;
    return true;
}

// The messages so far that reached the device.
size_t Delivered(const Trace& trace)
{
    auto delivered = [](const TraceEvent& e) { return e.kind == '>'; };
    return (size_t)std::count_if(trace.events.begin(), trace.events.end(), delivered);
}

// "   1234 TEXT": a message, a port call's answer, the image, a port's
// users, the interruption, the status, or a note of no consequence (the
// output's route, a record sent again).
bool ReadEvent(const std::string& line, unsigned number, Trace* trace, unsigned* sends)
{
    size_t digits = line.find_first_not_of(' ');
    size_t end = digits == std::string::npos ? digits : line.find_first_not_of("0123456789", digits);
    if (end == std::string::npos || end == digits || line[end] != ' ')
        return false;
    TraceEvent event{number, strtoull(line.c_str() + digits, nullptr, 10), 0, {}};
    std::string text = line.substr(end + 1);
    std::vector<std::string> fields = Fields(text);
    if (text[0] == '>' || text[0] == '<') {
        std::istringstream words(text.substr(1));
        event.kind = text[0];
        if (!ReadBytes(words, &event.bytes))
            return false;
        bool refused = text.find("(not sent: error ") != std::string::npos;
        bool failed = refused || text.find("(not confirmed") != std::string::npos;
        *sends += event.kind == '>';
        if (event.kind == '>' && failed) {
            event.kind = 'x';
            trace->setup.failSend.push_back(*sends);
        }
        // Under the MIDI service a send is refused, not kept, once the
        // device has left the list.
        if (refused && trace->setup.service && trace->setup.goneAfter < 0)
            trace->setup.goneAfter = (int)Delivered(*trace);
    } else if (text == "interrupted") {
        event.kind = 'i';
        if (Delivered(*trace) == 0)  // before the greeting, perhaps before the ports were open: at its time
            trace->setup.interruptAtMs = (int)event.ms;
    } else if (fields[0] == "image" && fields.size() == 4) {
        trace->image = fields[1];
        trace->imageBytes = strtoull(fields[2].c_str(), nullptr, 10);
        trace->sha256 = fields[3];
        trace->imageLine = number;
    } else if (fields[0] == "users" && fields.size() == 3) {
        unsigned id = (unsigned)atoi(fields[1].c_str() + fields[1].find(' ') + 1) - 1;
        (fields[1].compare(0, 3, "in ") == 0 ? trace->setup.usersIn : trace->setup.usersOut)[id] = fields[2];
    } else if (text.compare(0, 7, "status ") == 0) {
        trace->status = atoi(text.c_str() + 7);
    } else if (text.compare(0, 4, "midi") == 0) {
        return ReadCall(text, trace);
    }
    if (event.kind != 0)
        trace->events.push_back(event);
    return true;
}

// What the program itself says on standard error, between the trace's
// lines: "update: other programs can send to ...".
bool Said(const std::string& line, const Trace& trace)
{
    std::string program = trace.args.empty() ? "update" : trace.args[0];
    program = program.substr(program.find_last_of("/\\") + 1);
    return line.compare(0, 8, "update: ") == 0 || line.compare(0, program.size() + 2, program + ": ") == 0;
}

std::string Hex(const Bytes& bytes)
{
    std::string text;
    char byte[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += byte;
    }
    return text;
}

}  // namespace

bool ReadTrace(const std::string& path, Trace* trace, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = path + ": cannot be read";
        return false;
    }
    trace->path = path;
    trace->setup.inputs.clear();
    trace->setup.outputs.clear();
    unsigned sends = 0;
    std::string line;
    while (trace->status < 0 && std::getline(file, line)) {
        ++trace->lines;
        if (!line.empty() && line.back() == '\r')  // written on Windows
            line.pop_back();
        bool head = line.compare(0, 2, "# ") == 0;
        if (!head && Said(line, *trace))
            continue;
        if (head ? !ReadHead(line, trace) : !ReadEvent(line, trace->lines, trace, &sends)) {
            *error = path + ":" + std::to_string(trace->lines) + ": no line of a trace: " + line.substr(0, 80);
            return false;
        }
    }
    if (trace->args.empty())
        *error = path + ":1: no trace of update: it has no arguments line";
    else if (trace->status < 0)
        *error = path + ":" + std::to_string(trace->lines) +
                 ": the trace is cut short: it ends before the run's status";
    return error->empty();
}

// The program's message is the next the trace has; the replies and the
// interruption that followed it in the trace follow it now: the first 1 ms
// after it, any more as far apart as they were. A reply shows in the trace
// when the program took it, which on real time may be later than it could
// have; coming at once, it is taken at the same point of the run.
void ReplayTarget::Received(const Bytes& message)
{
    const std::vector<TraceEvent>& events = trace_.events;
    while (next_ < events.size() && events[next_].kind != '>')
        ++next_;
    if (next_ == events.size())
        Depart(trace_.lines, "the program sends " + Hex(message) + " after the last message the trace has");
    if (events[next_].bytes != message)
        Depart(events[next_].line, "the program sends " + Hex(message) + " where the trace has " +
                                       Hex(events[next_].bytes));
    ++next_;
    Follow();
}

// Before the first message: a reply that came as soon as the input started.
void ReplayTarget::InputStarted()
{
    if (next_ == 0)
        Follow();
}

void ReplayTarget::Follow()
{
    const std::vector<TraceEvent>& events = trace_.events;
    uint64_t first = 0;
    unsigned delay = 0;
    for (; next_ < events.size() && events[next_].kind != '>'; ++next_) {
        const TraceEvent& event = events[next_];
        if (event.kind == 'x')
            continue;
        first = delay == 0 ? event.ms : first;
        delay = std::max(delay + 1, 1 + (unsigned)(event.ms - first));
        if (event.kind == '<')
            send(event.bytes, delay, Kind::SysEx);
        else
            InterruptAt(Now());
    }
}

void ReplayTarget::Depart(unsigned line, const std::string& how) const
{
    fflush(stdout);
    fprintf(stderr, "update-sim: %s:%u: the run parts from the trace here: %s\n", trace_.path.c_str(), line,
            how.c_str());
    _exit(2);
}

std::string ReplayTarget::Parted(int status) const
{
    const std::vector<TraceEvent>& events = trace_.events;
    std::string at = trace_.path + ":";
    for (size_t i = next_; i < events.size(); ++i)
        if (events[i].kind == '>')
            return at + std::to_string(events[i].line) + ": the run parts from the trace here: the trace has " +
                   Hex(events[i].bytes) + ", which the program does not send";
    if (status != trace_.status)
        return at + std::to_string(trace_.lines) + ": the run ends with status " + std::to_string(status) +
               ", the trace with " + std::to_string(trace_.status);
    return "";
}

}  // namespace sim
