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

// Standard output and error a pipe whose reader has gone: every write
// fails, the trace's too, and the update of the shipped example, in real
// time, still runs to its end and the exit status is 0.
TEST(BothPrograms, AClosedOutputDoesNotStopTheUpdate)
{
    ScratchDir dir;
    ProgramRun run = RunProgram(UPDATE_EXE, dir.path, {}, {"-v"}, true);
    EXPECT_EQ(run.status, 1);

    std::string image = ReadFile(EXAMPLES_DIR "/Quellam_demo.kit");
    WriteFile("Quellam.kit", image);
    WriteFile("scenario", "received target.bin\n");
    run = RunProgram(UPDATE_SIM_EXE, dir.path, {"UPDATE_SIM_SCENARIO=scenario"}, {"-v"}, true);
    EXPECT_EQ(run.status, 0);
    sim::Bytes held;
    for (size_t at = 0; at + 1 < image.size(); at += 3)
        held.push_back((uint8_t)std::stoi(image.substr(at, 2), nullptr, 16));
    EXPECT_EQ(ReadFile("target.bin"), std::string(held.begin(), held.end()));
}

// A scenario sets the devices (a Windows 11 layout), the answers and the
// files written. --verbose traces on standard error what went to the
// target, as the wire log has it, and what the program made of each answer
// it took; standard output is the same as without it, and the same with
// another program connected to the device's port, which standard error
// names before the greeting. The target answers
// the second greeting, and the program waits out the answer owed to the
// first; the first record's answer comes 60 ms late, after its wait, so the
// record goes out again, the late answer accepts it and the second
// sending's is dropped; the second record is refused once.
TEST(UpdateSim, FollowsAScenarioAndTracesTheWire)
{
    ScratchDir dir;
    std::vector<sim::Bytes> records{Record({1, 2, 3}), Record({4})};
    WriteFile("QUELLAM-1.kit", KitText(records));
    const std::string loopback = " interface \\\\?\\SWD#MIDISRV#MIDIU_LOOP_A_DEFAULT#{e7cce071}\n";
    WriteFile("scenario", "# rehearsal\ntime virtual\ninput Default App Loopback (A)" + loopback +
                              "input Quellam MIDI\noutput Microsoft GS Wavetable Synth\noutput Default App Loopback (A)" +
                              loopback + "output Quellam MIDI\nhandshake - 34\nrecord 1 1A@60\nrecord 2 20 auto\n"
                              "shared out 2 PipeWire-RT-Event (client 130)\nlog wire.log\nreceived target.bin\n");
    const std::string others = "update: other programs can send to Quellam MIDI while it is updated: "
                               "PipeWire-RT-Event (client 130). If the update fails, close them and run update "
                               "again. PipeWire's MIDI bridge is connected to every port while any program uses "
                               "MIDI through PipeWire.\n";
    ProgramRun plain = RunProgram(UPDATE_SIM_EXE, dir.path, {"UPDATE_SIM_SCENARIO=scenario"});
    std::string p = "\r                        \rTransferring.. - ";
    EXPECT_EQ(plain.out, std::string(BANNER) + "OK: File 'QUELLAM-1.kit' is open.\n" + DEVICES + p + "0% done" + p +
                             "0% done" + p + "58% done\nThe CRC of the download file is error!\n" + p + "58% done" +
                             "\rTransferring.. 100% done.  \nTarget update successfully!\n\n" + PROMPT);
    EXPECT_EQ(plain.err, others);
    EXPECT_EQ(plain.status, 0);
    sim::Bytes image = Concat(records);
    EXPECT_EQ(ReadFile("target.bin"), std::string(image.begin(), image.end()));

    ProgramRun traced = RunProgram(UPDATE_SIM_EXE, dir.path, {"UPDATE_SIM_SCENARIO=scenario"}, {"--verbose"});
    EXPECT_EQ(traced.out, plain.out);
    EXPECT_EQ(traced.status, 0);
    const std::string loopbackPath = "\\x5C\\x5C?\\x5CSWD#MIDISRV#MIDIU_LOOP_A_DEFAULT#{e7cce071}\n";
    EXPECT_EQ(traced.err, "# update 0.2 trace, on Linux\n# args\tupdate-sim\t--verbose\n# stack unknown\n"
                          "# in 1\tDefault App Loopback (A)\t" + loopbackPath + "# in 2\tQuellam MIDI\t\n"
                          "# out 1\tMicrosoft GS Wavetable Synth\t\n# out 2\tDefault App Loopback (A)\t" + loopbackPath +
                          "# out 3\tQuellam MIDI\t\n"
                          "       0 image\tQUELLAM-1.kit\t38\ta92769c0e9ed8fbafe21a985a5aa37bdb07a95b649a1df705e8532fe66f0835c\n"
                          "       0 midiInOpen(1) = 0\n       0 midiInStart(1) = 0\n       0 midiOutOpen(2) = 0\n"
                          "       0 users\tout 3\tPipeWire-RT-Event (client 130)\n" + others +
                          "       0 > F0 31 6D 0F 42 58 27 13 F7\n"
                          "     100 > F0 31 6D 0F 42 58 27 13 F7\n"
                          "     101 < F0 34 F7\n"
                          "     401 > F0 30 30 30 35 30 31 30 32 30 33 46 41 46 46 F7\n"
                          "     452 record 1 again, attempt 2\n"
                          "     452 > F0 30 30 30 35 30 31 30 32 30 33 46 41 46 46 F7\n"
                          "     461 < F0 1A F7\n"
                          "     512 < F0 1A F7  (dropped: owed to an earlier sending)\n"
                          "     512 > F0 30 30 30 33 30 34 46 43 46 46 F7\n"
                          "     513 < F0 20 F7\n"
                          "     513 record 2 again, attempt 2\n"
                          "     513 > F0 30 30 30 33 30 34 46 43 46 46 F7\n"
                          "     514 < F0 1A F7\n"
                          "     514 status 0\n");
    auto sent = [](const std::string& text) {
        std::string lines;
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            lines += text.compare(at, 7, "update:") != 0 && text.compare(at + 9, 1, ">") == 0
                         ? text.substr(at, end + 1 - at) : "";
        return lines;
    };
    EXPECT_EQ(sent(traced.err), sent(ReadFile("wire.log")));
    WriteFile("trace", traced.err);
    ProgramRun replayed = RunProgram(UPDATE_SIM_EXE, dir.path, {}, {"--replay", "trace"});
    EXPECT_EQ(replayed.out, plain.out);
    EXPECT_EQ(replayed.status, 0) << replayed.err;
}

// A bad line, or a scenario that is no small regular file, stops update-sim
// before the run.
TEST(UpdateSim, RefusesABadScenario)
{
    ScratchDir dir;
    WriteFile("bad", "time virtual\nrecord 0 1A\n");
    WriteFile("large", std::string((1 << 20) + 1, '#'));
    const std::pair<std::string, std::string> cases[] = {
        {"bad", "bad: line 2: cannot read 'record 0 1A'"},
        {"/dev/zero", "/dev/zero: is not a regular file"},
        {"large", "large: is larger than 1 MiB"},
    };
    for (const auto& c : cases) {
        ProgramRun run = RunProgram(UPDATE_SIM_EXE, dir.path, {"UPDATE_SIM_SCENARIO=" + c.first});
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "update-sim: " + c.second + "\n");
    }
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
    // While the answer owed to the first of two greetings is waited out,
    // before any record's data went out.
    WriteFile("scenario", "time virtual\nhandshake - 34\ninterrupt at 250\n");
    run = RunProgram(UPDATE_SIM_EXE, dir.path, {"UPDATE_SIM_SCENARIO=scenario"});
    EXPECT_EQ(run.status, 128 + SIGINT);
    EXPECT_EQ(run.out, std::string(BANNER) + "OK: File 'Quellam.kit' is open.\n" + DEVICES +
                           "\r                        \rTransferring.. - 0% done\n"
                           "Interrupted: nothing was written to the target.\n\n");
}

// update-sim on a pseudo-terminal, as a user runs it, in real time, and
// Ctrl-C (SIGINT) once the key prompt has put the terminal in raw mode: it
// ends the wait with the ending's own status and the terminal back in its
// canonical mode with echo. Every wait is bounded: 30 s in all.
TEST(UpdateSim, CtrlCAtTheKeyPromptLeavesTheTerminalAsItWas)
{
    ScratchDir dir;
    WriteFile("Quellam.kit", ReadFile(EXAMPLES_DIR "/Quellam_demo.kit"));
    WriteFile("scenario", "time real\n");
    int master = -1, status = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (chdir(dir.path.c_str()) == 0 && setenv("UPDATE_SIM_SCENARIO", "scenario", 1) == 0)
            execl(UPDATE_SIM_EXE, UPDATE_SIM_EXE, (char*)nullptr);
        _exit(127);
    }
    std::string out;
    bool sent = false, rawSeen = false;
    struct termios mode;
    for (int polls = 0; polls < 300 && waitpid(pid, &status, WNOHANG) == 0; ++polls) {
        struct pollfd ready = {master, POLLIN, 0};
        char data[4096];
        ssize_t n = poll(&ready, 1, 100) > 0 ? read(master, data, sizeof data) : 0;
        out.append(data, n > 0 ? (size_t)n : 0);
        rawSeen |= tcgetattr(master, &mode) == 0 && (mode.c_lflag & ICANON) == 0;
        if (!sent && rawSeen && out.find("Press any key to continue . . . ") != std::string::npos)
            sent = kill(pid, SIGINT) == 0;
    }
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(rawSeen);
    EXPECT_TRUE(tcgetattr(master, &mode) == 0 && (mode.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO));
    close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(out.substr(out.size() - 33), "\nPress any key to continue . . . ");
}

}  // namespace
