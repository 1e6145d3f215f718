// The built programs, run as a user runs them.
#include "harness.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

TEST(Update, EndsAtOnceWithTheImageStageMessages)
{
    ScratchDir dir;
    ProgramRun run = RunProgram(UPDATE_EXE, dir.path);
    EXPECT_EQ(run.out, std::string(BANNER) + "Error: File '*.kit' is not found.\n\n" + PROMPT);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 1);

    WriteFile("Quellam.kit", "00 04 11 22 CD FF");
    if (access("/dev/snd/seq", F_OK) == 0)
        GTEST_SKIP() << "this machine has a MIDI sequencer";
    run = RunProgram(UPDATE_EXE, dir.path);
    EXPECT_EQ(run.out, std::string(BANNER) + "OK: File 'Quellam.kit' is open.\n" +
                           "Error: Did not find the USB Audio device, please check!\n\n" + PROMPT);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 3);
}

TEST(UpdateSim, FollowsAScenarioAndWritesWhatTheTargetReceived)
{
    ScratchDir dir;
    std::vector<sim::Bytes> records{Record({1, 2, 3}), Record(sim::Bytes(100, 0x42))};
    WriteFile("QUELLAM-1.kit", KitText(records));
    const std::string loopback = " interface \\\\?\\SWD#MIDISRV#MIDIU_LOOP_A_DEFAULT#{e7cce071}\n";
    WriteFile("scenario", "# rehearsal\ntime virtual\ninput Default App Loopback (A)" + loopback +
                              "input Quellam MIDI\noutput Microsoft GS Wavetable Synth\noutput Default App Loopback (A)" +
                              loopback + "output Quellam MIDI\nhandshake - 34\nrecord 2 20 auto\nlog wire.log\n"
                              "received target.bin\n");
    ProgramRun run = RunProgram(UPDATE_SIM_EXE, dir.path, {"UPDATE_SIM_SCENARIO=scenario"});
    EXPECT_EQ(run.out, std::string(BANNER) + "OK: File 'QUELLAM-1.kit' is open.\n" + DEVICES +
                           "\r                        \rTransferring.. - 0% done"
                           "\r                        \rTransferring.. - 6% done"
                           "\nThe CRC of the download file is error!\n"
                           "\r                        \rTransferring.. - 6% done"
                           "\rTransferring.. 100% done.  \nTarget update successfully!\n\n" +
                           PROMPT);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    sim::Bytes image = Concat(records);
    EXPECT_EQ(ReadFile("target.bin"), std::string(image.begin(), image.end()));
    std::string log = ReadFile("wire.log");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3 + 2 + 6 + 6);
    EXPECT_EQ(log.substr(0, 48), "       0 > F0 31 6D 0F 42 58 27 13 F7\n     100 >");
}

// Standard output a pipe whose reader has gone: every write fails, and the
// update of the shipped example, in real time, still runs to its end and
// the exit status is 0.
TEST(BothPrograms, AClosedOutputDoesNotStopTheUpdate)
{
    ScratchDir dir;
    ProgramRun run = RunProgram(UPDATE_EXE, dir.path, {}, true);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "");

    std::string image = ReadFile(EXAMPLES_DIR "/Quellam_demo.kit");
    WriteFile("Quellam.kit", image);
    WriteFile("scenario", "received target.bin\n");
    run = RunProgram(UPDATE_SIM_EXE, dir.path, {"UPDATE_SIM_SCENARIO=scenario"}, true);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    sim::Bytes held;
    for (size_t at = 0; at + 1 < image.size(); at += 3)
        held.push_back((uint8_t)std::stoi(image.substr(at, 2), nullptr, 16));
    EXPECT_EQ(ReadFile("target.bin"), std::string(held.begin(), held.end()));
}

// A bad line, or a scenario that is no small regular file, stops update-sim
// before the run.
TEST(UpdateSim, RefusesABadScenario)
{
    ScratchDir dir;
    WriteFile("scenario", "time virtual\nrecord 0 1A\n");
    ProgramRun run = RunProgram(UPDATE_SIM_EXE, dir.path, {"UPDATE_SIM_SCENARIO=scenario"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "update-sim: scenario: line 2: cannot read 'record 0 1A'\n");
    run = RunProgram(UPDATE_SIM_EXE, dir.path, {"UPDATE_SIM_SCENARIO=/dev/zero"});
    EXPECT_EQ(run.err, "update-sim: /dev/zero: is not a regular file\n");
    WriteFile("scenario", std::string((1 << 20) + 1, '#'));
    run = RunProgram(UPDATE_SIM_EXE, dir.path, {"UPDATE_SIM_SCENARIO=scenario"});
    EXPECT_EQ(run.err, "update-sim: scenario: is larger than 1 MiB\n");
    EXPECT_EQ(run.status, 2);
}

}  // namespace
