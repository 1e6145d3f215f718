// Scenario files: the devices, the failures and the target's answers of one
// simulated run, a line each. docs/simulator.md has the format.
#pragma once

#include "sim/sim.h"
#include "sim/target.h"

#include <string>

namespace sim {

struct Scenario {
    Setup setup;
    TargetScript script;
    std::string logPath;       // the wire log, written after the run
    std::string receivedPath;  // the records the target accepted
    unsigned pace = 0;         // bytes a second that target-sim reads, 0: at once
    bool split = false;        // target-sim cuts its answers up on the sequencer
    unsigned ports = 1;        // ports target-sim offers on the sequencer
};

// The scenario of a run without a file: one device named like the target,
// which accepts every good record, in real time.
Scenario DefaultScenario();

// Reads text over the default scenario; on a bad line gives its number and
// what is wrong with it.
bool ParseScenario(const std::string& text, Scenario* scenario, std::string* error);
// The same for a file; the error then names the file.
bool ReadScenarioFile(const char* path, Scenario* scenario, std::string* error);

}  // namespace sim
