// update-sim: the update program over the simulated platform, for rehearsals,
// demonstrations and black-box tests, with the same options. The scenario
// file named by UPDATE_SIM_SCENARIO sets the devices, the failures and the
// target's answers. update-sim --replay TRACE plays a run that update -v
// traced instead: the ports, the system's answers and the target's as the
// trace has them, with the arguments it has.
#include "app/run.h"
#include "image/sha256.h"
#include "platform.h"
#include "sim/replay.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>

static bool ReadScenario(sim::Scenario* scenario)
{
    const char* path = getenv("UPDATE_SIM_SCENARIO");
    if (path == nullptr || *path == '\0')
        return true;
    std::string error;
    if (sim::ReadScenarioFile(path, scenario, &error))
        return true;
    fprintf(stderr, "update-sim: %s\n", error.c_str());
    return false;
}

static void WriteFile(const std::string& path, const std::string& bytes)
{
    if (path.empty())
        return;
    std::ofstream file(path, std::ios::binary);
    file << bytes;
    if (!file)
        fprintf(stderr, "update-sim: cannot write %s\n", path.c_str());
}

static int Simulate(int argc, char** argv)
{
    sim::Scenario scenario = sim::DefaultScenario();
    if (!ReadScenario(&scenario))
        return 2;
    sim::Target target(scenario.script);
    scenario.setup.model = &target;
    scenario.setup.keepWire = !scenario.logPath.empty();
    sim::Start(scenario.setup);
    int status = RunCommandLine(argc, argv);
    sim::Stop();
    WriteFile(scenario.logPath, sim::FormatWire());
    sim::Bytes held = target.Held();
    WriteFile(scenario.receivedPath, std::string(held.begin(), held.end()));
    return status;
}

// The image here must be the one the run had: the same name, size and
// digest.
static bool SameImage(const sim::Trace& trace)
{
    uint64_t bytes = 0;
    char digest[65] = "";
    if (trace.image.empty() || (HashFile(trace.image.c_str(), &bytes, digest) && bytes == trace.imageBytes &&
                                trace.sha256 == digest))
        return true;
    fprintf(stderr, "update-sim: %s:%u: the run parts from the trace here: '%s' here is not the image the run had "
            "(%llu bytes, SHA-256 %s)\n",
            trace.path.c_str(), trace.imageLine, trace.image.c_str(), (unsigned long long)trace.imageBytes,
            trace.sha256.c_str());
    return false;
}

static int Replay(const char* path)
{
    static sim::Trace trace;
    std::string error;
    if (!sim::ReadTrace(path, &trace, &error)) {
        fprintf(stderr, "update-sim: %s\n", error.c_str());
        return 2;
    }
    if (!SameImage(trace))
        return 2;
    sim::ReplayTarget target(trace);
    trace.setup.model = &target;
    trace.setup.keepWire = false;
    trace.setup.targetNames = trace.opened;
    std::vector<char*> args;
    for (std::string& arg : trace.args)
        args.push_back(&arg[0]);
    sim::Start(trace.setup);
    int status = RunCommandLine((int)args.size(), args.data());
    sim::Stop();
    std::string parted = target.Parted(status);
    if (parted.empty())
        return status;
    fprintf(stderr, "update-sim: %s\n", parted.c_str());
    return 2;
}

int main(int argc, char** argv)
{
    PrepareConsole();
    CatchInterruptions();
    if (argc == 3 && strcmp(argv[1], "--replay") == 0)
        return Replay(argv[2]);
    return Simulate(argc, argv);
}
