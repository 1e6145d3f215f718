// What the tests share: captured output, scratch directories, images built
// from records, and runs of the built programs.
#pragma once

#include "sim/sim.h"
#include "sim/target.h"

#include <functional>
#include <string>
#include <vector>

// Standard output written while body runs.
std::string Capture(const std::function<void()>& body);

// A fresh directory that is the current one for the object's lifetime.
struct ScratchDir {
    ScratchDir();
    ~ScratchDir();
    std::string path;
    std::string previous;
};

void WriteFile(const std::string& name, const std::string& bytes);
std::string ReadFile(const std::string& path);

// A record: the length field, the data and the checksum that makes it good.
sim::Bytes Record(const sim::Bytes& data);
sim::Bytes Concat(const std::vector<sim::Bytes>& records);
// The messages the program sends a record in.
unsigned Chunks(const sim::Bytes& record);
// Bytes as the image file's text, two digits a byte, a line a record.
std::string KitText(const std::vector<sim::Bytes>& records);

// The whole console output of one update run on the simulated platform,
// the target answering as scripted, in a directory holding the image; its
// exit status in *status if asked.
std::string RunSimulated(const std::vector<sim::Bytes>& records, sim::Setup setup, sim::Model* target,
                         int* status = nullptr);

// The console text of each ending, as the program prints it.
extern const char* const BANNER;
extern const char* const PROMPT;
extern const char* const DEVICES;  // both ports of the default simulated target
extern const char* const SUCCESS;  // the ending of a complete update

// How many of the endings from the handshake on the output holds: a run
// prints exactly one.
unsigned CountEndings(const std::string& out);

struct ProgramRun {
    int status;  // 128 + the signal's number for a program a signal ended
    std::string out, err;
};
// Runs exe with args in dir, with standard input closed and the given
// environment added; with closedOutput, standard output and error are a
// pipe that nobody reads.
ProgramRun RunProgram(const std::string& exe, const std::string& dir, const std::vector<std::string>& env = {},
                      const std::vector<std::string>& args = {}, bool closedOutput = false);
