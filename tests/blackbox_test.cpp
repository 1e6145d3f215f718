// The built programs, run as a user runs them.
#include "harness.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
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

const std::string PART = "\nInterrupted: the target may hold part of the image. Run update again to complete it.\n\n";

// Interrupted in the transfer, or before it, the run says what the target
// may hold, closes the ports, does not wait for a key and ends as the
// signal ends a program, so that a script around it stops too.
TEST(UpdateSim, AnInterruptionEndsTheRunAndSaysWhatTheTargetMayHold)
{
    ScratchDir dir;
    WriteFile("Quellam.kit", ReadFile(EXAMPLES_DIR "/Quellam_demo.kit"));
    WriteFile("scenario", "time virtual\ninterrupt 3\n");
    ProgramRun run = RunProgram(UPDATE_SIM_EXE, dir.path, {"UPDATE_SIM_SCENARIO=scenario"});
    EXPECT_EQ(run.status, 128 + SIGINT);
    EXPECT_EQ(run.out.substr(run.out.size() - PART.size()), PART);
    EXPECT_NE(run.out.find("Transferring.. \\ 2% done" + PART), std::string::npos);
    WriteFile("scenario", "time virtual\ninterrupt 0\n");
    run = RunProgram(UPDATE_SIM_EXE, dir.path, {"UPDATE_SIM_SCENARIO=scenario"});
    EXPECT_EQ(run.status, 128 + SIGINT);
    EXPECT_EQ(run.out, std::string(BANNER) + "OK: File 'Quellam.kit' is open.\n" + DEVICES +
                           "Interrupted: nothing was written to the target.\n\n");
}

// update-sim on a pseudo-terminal, as a user runs it, in real time: SIGINT
// once the output holds after, and then (when raw) once the key wait has put
// the terminal in raw mode. Every wait is bounded: 30 s in all.
struct TerminalRun {
    std::string out;
    int status = -1;
    bool rawSeen = false, restored = false;
};

TerminalRun RunOnTerminal(const std::string& dir, const std::string& after, bool raw)
{
    TerminalRun run;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (chdir(dir.c_str()) == 0 && setenv("UPDATE_SIM_SCENARIO", "scenario", 1) == 0)
            execl(UPDATE_SIM_EXE, UPDATE_SIM_EXE, (char*)nullptr);
        _exit(127);
    }
    bool sent = false;
    struct termios mode;
    for (int polls = 0; polls < 300 && waitpid(pid, &run.status, WNOHANG) == 0; ++polls) {
        struct pollfd out = {master, POLLIN, 0};
        char data[4096];
        ssize_t n = poll(&out, 1, 100) > 0 ? read(master, data, sizeof data) : 0;
        run.out.append(data, n > 0 ? (size_t)n : 0);
        run.rawSeen |= tcgetattr(master, &mode) == 0 && (mode.c_lflag & ICANON) == 0;
        if (!sent && run.out.find(after) != std::string::npos && (!raw || run.rawSeen))
            sent = kill(pid, SIGINT) == 0;
    }
    if (waitpid(pid, &run.status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &run.status, 0);
    }
    run.restored = tcgetattr(master, &mode) == 0 && (mode.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO);
    close(master);
    return run;
}

// Ctrl-C at the key prompt ends the wait with the ending's own status and
// the terminal back in its canonical mode with echo; during the transfer
// it ends the run as the signal would, with the message.
TEST(UpdateSim, CtrlCOnATerminalLeavesItAsItWas)
{
    ScratchDir dir;
    WriteFile("Quellam.kit", ReadFile(EXAMPLES_DIR "/Quellam_demo.kit"));
    WriteFile("scenario", "time real\n");
    TerminalRun run = RunOnTerminal(dir.path, "Press any key to continue . . . ", true);
    EXPECT_TRUE(run.rawSeen);
    EXPECT_TRUE(run.restored);
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.status;
    EXPECT_EQ(run.out.substr(run.out.size() - 33), "\nPress any key to continue . . . ");

    WriteFile("scenario", "time real\ndelay 40\n");
    run = RunOnTerminal(dir.path, "Transferring.. ", false);
    EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGINT) << run.status;
    EXPECT_NE(run.out.find("\r\nInterrupted: the target may hold part of the image."), std::string::npos) << run.out;
    EXPECT_TRUE(run.restored);
}

}  // namespace
