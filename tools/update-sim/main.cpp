// update-sim: the update program over the simulated platform, for rehearsals,
// demonstrations and black-box tests, with the same options. The scenario
// file named by UPDATE_SIM_SCENARIO sets the devices, the failures and the
// target's answers.
#include "app/run.h"
#include "platform.h"
#include "sim/scenario.h"

#include <stdio.h>
#include <stdlib.h>

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

int main(int argc, char** argv)
{
    PrepareConsole();
    CatchInterruptions();
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
