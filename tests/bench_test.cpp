// A service bench: every unit updated at once, and the report of each.
#include "harness.h"

#include "image/sha256.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

namespace {

const char* const UNITS =
    "time virtual\n"
    "input Quellam MIDI 1 interface 24:0 #SEQ_HARDWARE usb:usb-dummy_hcd.1-1 serial:0002\n"
    "input Keys \"8\" \\ \xff interface 28:0 #SEQ_HARDWARE serial:0003\n"
    "input Quellam MIDI 1 interface 32:0 #SEQ_HARDWARE usb:usb-dummy_hcd.0-1 serial:0001\n"
    "input Pedals interface 40:0 #SEQ_HARDWARE\n"
    "output Quellam MIDI 1 interface 24:0 #SEQ_HARDWARE usb:usb-dummy_hcd.1-1 serial:0002\n"
    "output Keys \"8\" \\ \xff interface 28:0 #SEQ_HARDWARE serial:0003\n"
    "output Quellam MIDI 1 interface 32:0 #SEQ_HARDWARE usb:usb-dummy_hcd.0-1 serial:0001\n";

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string Sha256Sum(const std::string& file)
{
    char digest[65] = "";
    FILE* pipe = popen(("sha256sum " + file).c_str(), "r");
    EXPECT_TRUE(pipe != nullptr && fscanf(pipe, "%64s", digest) == 1);
    if (pipe != nullptr)
        pclose(pipe);
    return digest;
}

// The digest as sha256sum prints it, the padding's every boundary
// crossed: 55 bytes end a block with the length, 56 need another.
TEST(Bench, TheReportsDigestIsSha256sums)
{
    ScratchDir dir;
    for (size_t size : {0, 1, 55, 56, 63, 64, 65, 119, 120, 1000, 200000}) {
        std::string bytes;
        for (size_t i = 0; i < size; ++i)
            bytes += (char)(i * 7 + size);
        WriteFile("f", bytes);
        uint64_t length = 0;
        char hex[65];
        ASSERT_TRUE(HashFile("f", &length, hex));
        EXPECT_EQ(length, size);
        EXPECT_EQ(hex, Sha256Sum("f")) << size;
    }
}

// The unit the target is not behind fails alone: the others hold the
// image, and the run's status is the worst. The unit no word chooses is
// left out and said so. Each unit's line holds every key, in order, its
// values JSON; a run of one unit appends its own line, and counts the
// record it sent twice.
TEST(Bench, AllUpdatesEveryUnitAndReportsEachOnALineOfItsOwn)
{
    ScratchDir dir;
    WriteFile("Quellam_9.kit", ReadFile(EXAMPLES_DIR "/Quellam_demo.kit"));
    WriteFile("scenario", UNITS);
    ProgramRun run = RunProgram(UPDATE_SIM_EXE, dir.path, {"UPDATE_SIM_SCENARIO=scenario"}, {"-a", "-r", "r.jsonl"});
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.err, "update: in 4: Pedals is left out: no word after --port chooses it here\n");
    EXPECT_NE(run.out.find("Updating 3 units at once:\n"), std::string::npos);
    EXPECT_NE(run.out.find("\nserial:0002  Quellam MIDI 1  status 0      0.3 s  Target update successfully!\n"
                           "serial:0003  Keys \"8\" \\ \xff    status 4      1.9 s  Failed: Target is not responding.\n"
                           "serial:0001  Quellam MIDI 1  status 0      0.3 s  Target update successfully!\n\n"
                           "2 of 3 units hold the whole image.\n\n" +
                           std::string(PROMPT)),
              std::string::npos)
        << run.out;

    WriteFile("scenario", std::string(UNITS) + "record 2 20 auto\n");
    run = RunProgram(UPDATE_SIM_EXE, dir.path, {"UPDATE_SIM_SCENARIO=scenario"},
                     {"--port=serial:0001", "--report=r.jsonl", "-n"});
    EXPECT_EQ(run.status, 0);
    std::vector<std::string> lines = Lines(ReadFile("r.jsonl"));
    ASSERT_EQ(lines.size(), 4u);
    std::sort(lines.begin(), lines.begin() + 3);
    const std::string image = "\"image\":\"Quellam_9.kit\",\"bytes\":18432,\"sha256\":\"" + Sha256Sum("Quellam_9.kit") +
                              "\",\"ending\":\"";
    const char* const tails[] = {
        "\"port\":\"serial:0001\",\"name\":\"Quellam MIDI 1\",\"lasting\":[\"usb:usb-dummy_hcd.0-1\",\"serial:0001\"],",
        "\"port\":\"serial:0002\",\"name\":\"Quellam MIDI 1\",\"lasting\":[\"usb:usb-dummy_hcd.1-1\",\"serial:0002\"],",
        "\"port\":\"serial:0003\",\"name\":\"Keys \\\"8\\\" \\\\ \\ufffd\",\"lasting\":[\"serial:0003\"],",
        "\"port\":\"serial:0001\",\"name\":\"Quellam MIDI 1\",\"lasting\":[\"usb:usb-dummy_hcd.0-1\",\"serial:0001\"],",
    };
    const char* const endings[] = {"Target update successfully!\",\"status\":0,\"seconds\":0.289,\"again\":0}",
                                   "Target update successfully!\",\"status\":0,\"seconds\":0.289,\"again\":0}",
                                   "Failed: Target is not responding.\",\"status\":4,\"seconds\":1.900,\"again\":0}",
                                   "Target update successfully!\",\"status\":0,\"seconds\":0.292,\"again\":1}"};
    for (size_t i = 0; i < lines.size(); ++i) {
        ASSERT_GT(lines[i].size(), 34u);
        EXPECT_EQ(lines[i].substr(0, 12), "{\"began\":\"20");
        EXPECT_EQ(lines[i].substr(29, 3), "Z\",");
        EXPECT_EQ(lines[i].substr(32), std::string(tails[i]) + image + endings[i]);
    }
}

// A report that cannot be appended to ends the run before any port.
// Ctrl-C in every unit's run: each says the unit may hold part of the
// image, on the summary and in its line.
TEST(Bench, ARunEndsBeforeAnyPortWithoutItsReportAndEachUnitTellsItsInterruption)
{
    ScratchDir dir;
    WriteFile("Quellam.kit", ReadFile(EXAMPLES_DIR "/Quellam_demo.kit"));
    WriteFile("scenario", std::string(UNITS) + "interrupt 3\n");
    ProgramRun run = RunProgram(UPDATE_SIM_EXE, dir.path, {"UPDATE_SIM_SCENARIO=scenario"}, {"-a", "-n", "-r", "."});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out,
              std::string(BANNER) + "Error: The report '.' cannot be opened for appending: Is a directory.\n\n");

    run = RunProgram(UPDATE_SIM_EXE, dir.path, {"UPDATE_SIM_SCENARIO=scenario"}, {"--all", "-n", "--report", "r"});
    EXPECT_EQ(run.status, 128 + SIGINT);
    const std::string part = "Interrupted: the target may hold part of the image. Run update again to complete it.";
    EXPECT_NE(run.out.find("serial:0001  Quellam MIDI 1  status 130    0.0 s  " + part + "\n"), std::string::npos)
        << run.out;
    std::vector<std::string> lines = Lines(ReadFile("r"));
    ASSERT_EQ(lines.size(), 3u);
    std::sort(lines.begin(), lines.end());
    for (size_t i = 0; i < 2; ++i)
        EXPECT_NE(lines[i].find("\"ending\":\"" + part + "\",\"status\":130,"), std::string::npos) << lines[i];
}

std::string OnATerminal(const std::string& dir, int* status)
{
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (chdir(dir.c_str()) == 0 && setenv("UPDATE_SIM_SCENARIO", "scenario", 1) == 0 &&
            setenv("TERM", "xterm", 1) == 0)
            execl(UPDATE_SIM_EXE, UPDATE_SIM_EXE, "--all", "--no-pause", (char*)nullptr);
        _exit(127);
    }
    std::string out;
    ssize_t n = 1;
    for (int idle = 0; idle < 150 && n > 0 && out.size() < (1u << 24);) {
        struct pollfd ready = {master, POLLIN, 0};
        char data[4096];
        if (poll(&ready, 1, 100) <= 0) {
            ++idle;
            continue;
        }
        n = read(master, data, sizeof data);
        out.append(data, n > 0 ? (size_t)n : 0);
    }
    // The terminal has closed once every process that wrote to it ended.
    if (n > 0)
        kill(pid, SIGKILL);
    waitpid(pid, status, 0);
    close(master);
    return out;
}

// On a terminal each unit's line is drawn again in place, the cursor moved
// up over the units' lines; where a word is too long for a line of 80
// columns, each unit's line is written once, as it ends, as elsewhere.
// Bounded: 15 s without output each.
TEST(Bench, OnATerminalEachUnitsLineIsDrawnAgainInPlaceWhereItFits)
{
    ScratchDir dir;
    WriteFile("Quellam.kit", ReadFile(EXAMPLES_DIR "/Quellam_demo.kit"));
    WriteFile("scenario", UNITS);
    int status = -1;
    std::string out = OnATerminal(dir.path, &status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 4) << status;
    EXPECT_NE(out.find("\x1b[3A\r\x1b[Kserial:0002  Quellam MIDI 1  "), std::string::npos) << out;

    const std::string word = "serial:" + std::string(60, '7');
    WriteFile("scenario", std::string(UNITS) + "input Quellam MIDI 1 interface 44:0 #SEQ_HARDWARE " + word +
                              "\noutput Quellam MIDI 1 interface 44:0 #SEQ_HARDWARE " + word + "\n");
    out = OnATerminal(dir.path, &status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 4) << status;
    EXPECT_EQ(out.find("\x1b["), std::string::npos) << out;
    EXPECT_NE(out.find("\r\n" + word + "  Quellam MIDI 1  Target update successfully!\r\n"), std::string::npos) << out;
}

}  // namespace
