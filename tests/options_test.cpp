// The command line over the simulated platform: what each option does, and
// that help, the version, the list, a check and a wrong command line touch
// no port.
#include "app/run.h"
#include "harness.h"

#include <gtest/gtest.h>

namespace {

const std::string GOOD = "00 04 11 22 CD FF 00 06 01 02 03 04 F6 FF\n";  // 2 records, 14 bytes

struct Command {
    std::string out;
    int status;
    std::vector<std::string> calls;
    sim::Bytes held;
};

// The program started with args in a directory holding image as Quellam.kit.
Command Launch(std::vector<const char*> args, sim::Setup setup = {}, const std::string& image = GOOD)
{
    ScratchDir dir;
    WriteFile("Quellam.kit", image);
    sim::Target target;
    setup.model = &target;
    sim::Start(setup);
    args.insert(args.begin(), "update");
    Command run{"", -1, {}, {}};
    run.out = Capture([&] { run.status = RunCommandLine((int)args.size(), const_cast<char**>(args.data())); });
    sim::Stop();
    run.calls = sim::Calls();
    run.held = target.Held();
    EXPECT_EQ(sim::OpenPorts(), 0u);
    return run;
}

bool Ends(const std::string& out, const std::string& tail)
{
    return out.size() >= tail.size() && out.compare(out.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(Options, HelpVersionListAndCheckTouchNoPort)
{
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{"--help"}, "5 the transfer failed: the target may hold part of the image, run again.\n"},
        {{"/?"}, "run again.\n"},
        {{"--version"}, "update 0.2\n"},
        {{"--list"}, "in 1: Quellam MIDI\nout 1: Quellam MIDI\n"},
        {{"-l", "--port", "x"}, "out 1: Quellam MIDI\n"},
        {{"--check"}, "The image holds 2 records, 14 bytes; every checksum holds.\n"},
        {{"-cn"}, "every checksum holds.\n"},
    };
    for (const auto& c : cases) {
        Command run = Launch(c.first);
        EXPECT_TRUE(Ends(run.out, c.second)) << c.first[0] << ": " << run.out;
        EXPECT_EQ(run.status, 0) << c.first[0];
        EXPECT_EQ(run.calls, std::vector<std::string>{}) << c.first[0];
    }
}

TEST(Options, AWrongCommandLineExits2AndDoesNothing)
{
    const std::vector<const char*> cases[] = {
        {"--bogus"}, {"-x"},       {"--port"},      {"-p"}, {"--help=yes"}, {"Quellam.kit", "Other.kit"}, {"-i", "a", "b"},
        {"--port="}, {"-p", ""}, {"-p", "A", "--port=B"},
    };
    for (const auto& args : cases) {
        Command run = Launch(args);
        EXPECT_EQ(run.status, 2) << args[0];
        EXPECT_EQ(run.out, "") << args[0];
        EXPECT_EQ(run.calls, std::vector<std::string>{}) << args[0];
    }
}

// A check names the first wrong record, where it begins and how it is
// wrong, and warns of text past a byte that ends the reading.
TEST(Options, ACheckNamesTheWrongRecord)
{
    const std::pair<std::string, std::string> cases[] = {
        {"00 04 11 22 CD FF 00 06 01 02 03 04 F7 FF",
         "Record 2, at byte 6 of the image: its checksum is off by 0x0001.\n"},
        {"00 04 11 22 CD FF 00 09 01 02", "Record 2, at byte 6 of the image: it runs past the end of the image (10 bytes).\n"},
        {"00 01 11", "Record 1, at byte 0 of the image: its length field is below 2.\n"},
        {"", "Error: The upgrade file is error!\n\nThe image holds no record.\n"},
    };
    for (const auto& c : cases) {
        Command run = Launch({"--check"}, {}, c.first);
        EXPECT_TRUE(Ends(run.out, c.second)) << run.out;
        EXPECT_EQ(run.status, 1);
    }
    Command run = Launch({"--check"}, {}, "00 04 11 22 CD FF ; 00 06");
    EXPECT_TRUE(Ends(run.out, "Warning: reading stopped at byte 18 of the file, ';' (0x3B), which cannot begin a field; "
                              "nothing after it is part of the image.\nThe image holds 1 records, 6 bytes; every "
                              "checksum holds.\n"))
        << run.out;
    EXPECT_EQ(run.status, 0);
}

// Two devices of one kind: the number from the list, or the id the system
// tells, tells them apart; a name that fits both, or none, lists the
// candidates and sends nothing.
TEST(Options, APortChosenByNumberIdOrName)
{
    sim::Setup two;
    two.inputs = {{"Quellam MIDI", "20:0 #SEQ_HARDWARE"}, {"Quellam MIDI", "24:0 #SEQ_HARDWARE"}};
    two.outputs = {"Microsoft GS Wavetable Synth", {"Quellam MIDI", "20:0 #SEQ_HARDWARE"},
                   {"Quellam MIDI", "24:0 #SEQ_HARDWARE"}};
    for (const char* port : {"2", "24:0"}) {
        Command run = Launch({"--port", port}, two);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.calls[0], "midiInOpen(1)=0");
        EXPECT_EQ(run.calls[2], "midiOutOpen(2)=0");
        EXPECT_EQ(run.held.size(), 14u);
    }

    Command run = Launch({"-p", "quellam"}, two);
    EXPECT_EQ(run.out, std::string(BANNER) + "OK: File 'Quellam.kit' is open.\n" +
                           "Error: 2 MIDI inputs match 'quellam'; choose one by its number:\n"
                           "in 1: Quellam MIDI [20:0 #SEQ_HARDWARE]\nin 2: Quellam MIDI [24:0 #SEQ_HARDWARE]\n\n" +
                           PROMPT);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.calls, std::vector<std::string>{});
    for (const char* port : {"3", "24:1", "24"}) {
        run = Launch({"-p", port}, two);
        EXPECT_EQ(run.status, 3);
        EXPECT_NE(run.out.find("No MIDI input matches '" + std::string(port) + "'. The MIDI inputs are:\nin 1:"),
                  std::string::npos);
    }

    // Windows 11 with an input it cannot recognise: two inputs count, and the
    // user chooses the target's by its name or its interface path.
    sim::Setup win11;
    const std::string usb = R"(\\?\SWD#MIDISRV#MIDIU_KS_BIDI_16925_OUTPIN.0_INPIN.2#{e7cce071})";
    win11.inputs = {{"Quellam MIDI", usb}, {"Synth Input", ""}};
    win11.outputs = {"Microsoft GS Wavetable Synth", {"Quellam MIDI", usb}};
    EXPECT_TRUE(Ends(Launch({}, win11).out, "choose one with 'update --port NAME'.\n\n" + std::string(PROMPT)));
    for (const std::string& port : {std::string("--port=Quellam MIDI"), "--port=" + usb}) {
        run = Launch({port.c_str()}, win11);
        EXPECT_EQ(run.status, 0) << port;
        EXPECT_EQ(run.calls[2], "midiOutOpen(1)=0");
    }
}

}  // namespace
