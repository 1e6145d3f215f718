// A run replayed from its trace: what it printed and its status, or where
// the run now parts from the trace.
#include "harness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

ProgramRun Record(const std::string& dir, const std::string& scenario, const std::vector<std::string>& args)
{
    WriteFile("scenario", "time virtual\n" + scenario);
    std::vector<std::string> traced{"-v"};
    traced.insert(traced.end(), args.begin(), args.end());
    ProgramRun run = RunProgram(UPDATE_SIM_EXE, dir, {"UPDATE_SIM_SCENARIO=scenario"}, traced);
    WriteFile("trace", run.err);
    return run;
}

ProgramRun Replay(const std::string& dir)
{
    return RunProgram(UPDATE_SIM_EXE, dir, {}, {"--replay", "trace"});
}

// Refusals, answers late past the wait and one never given, a greeting
// unanswered, the port another program holds, two units of one name, an
// interruption mid-transfer, a send that fails, and Windows' MIDI service
// keeping sends for a slow device: each replayed prints the same and ends
// the same.
TEST(Replay, ATraceReplayedPrintsWhatTheRunPrintedAndEndsAsItDid)
{
    ScratchDir dir;
    WriteFile("Quellam.kit", ReadFile(EXAMPLES_DIR "/Quellam_demo.kit"));
    const std::string two = "input Quellam MIDI\ninput Quellam MIDI\noutput Quellam MIDI\noutput Quellam MIDI\n";
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"record 2 20 20 auto\nrecord 4 1A 77\n", {}},
        {"delay 100\nrecord 5 - auto\n", {}},
        {"handshake - 34\n", {"-n"}},
        {"busy out 0\nusers out 0 cat (process 812)\n", {}},
        {two, {"-p", "quellam"}},
        {two, {"--port=2"}},
        {"interrupt 3\n", {}},
        {"interrupt at 0\n", {}},
        {"fail send 40\n", {"Quellam.kit"}},
        {"service\naccept 1500 after 40\n", {}},
        {"service\ngone after 40\n", {}},
    };
    for (const auto& c : cases) {
        ProgramRun recorded = Record(dir.path, c.first, c.second);
        ProgramRun replayed = Replay(dir.path);
        EXPECT_EQ(replayed.out, recorded.out) << c.first;
        EXPECT_EQ(replayed.status, recorded.status) << c.first << replayed.err;
    }
}

std::string Edited(const std::string& text, size_t line, const std::string& replacement)
{
    std::istringstream in(text);
    std::string out;
    size_t n = 0;
    for (std::string each; std::getline(in, each);)
        out += ++n == line ? replacement : each + "\n";
    return out;
}

// Another image, a message the program does not send, one the trace has
// that the program does not, another status, a line that is no trace's,
// and a trace cut short: each named by its line, status 2.
TEST(Replay, WhereTheRunPartsFromTheTraceTheReplaySaysWhereAndEnds2)
{
    ScratchDir dir;
    WriteFile("Quellam.kit", ReadFile(EXAMPLES_DIR "/Quellam_demo.kit"));
    std::string trace = Record(dir.path, "", {"-n"}).err;
    std::vector<std::string> lines;
    std::istringstream in(trace);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines[9], "       0 > F0 31 6D 0F 42 58 27 13 F7");
    const std::pair<std::string, std::string> cases[] = {
        {Edited(trace, 12, "       1 > F0 30 F7\n"),
         "trace:12: the run parts from the trace here: the program sends F0 30 30"},
        {Edited(trace, 4, "# in 1 Quellam MIDI\n"), "trace:4: no line of a trace: # in 1 Quellam MIDI\n"},
        {Edited(trace, 11, "garbage\n"), "trace:11: no line of a trace: garbage\n"},
        {trace.substr(0, trace.find("\n", trace.size() / 2) + 1), ": the trace is cut short"},
        {Edited(trace, lines.size(), "     300 > F0 31 F7\n     300 status 0\n"),
         "the run parts from the trace here: the trace has F0 31 F7, which the program does not send"},
        {Edited(trace, lines.size(), "     300 status 5\n"), "the run ends with status 0, the trace with 5"},
    };
    for (const auto& c : cases) {
        WriteFile("trace", c.first);
        ProgramRun replayed = Replay(dir.path);
        EXPECT_EQ(replayed.status, 2) << c.second;
        EXPECT_NE(replayed.err.find(c.second), std::string::npos) << replayed.err;
    }
    WriteFile("trace", trace);
    WriteFile("Quellam.kit", ReadFile(EXAMPLES_DIR "/Quellam_demo.kit") + "\n");
    ProgramRun replayed = Replay(dir.path);
    EXPECT_EQ(replayed.status, 2);
    EXPECT_EQ(replayed.out, "");
    EXPECT_NE(replayed.err.find("trace:6: the run parts from the trace here: 'Quellam.kit' here is not the image"),
              std::string::npos)
        << replayed.err;
}

}  // namespace
