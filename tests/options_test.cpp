// The command line over the simulated platform: what each option does, and
// that help, the version, the list, a check and a wrong command line touch
// no port.
#include "app/run.h"
#include "common/printable.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <stdio.h>

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
        {{"--help"}, "run again.\nWith --all, the worst of the units'.\n"},
        {{"/?"}, "the worst of the units'.\n"},
        {{"--version"}, "update 0.2\n"},
        {{"--list"}, "in 1: Quellam MIDI\nout 1: Quellam MIDI\n"},
        {{"-l", "--port", "x"}, "out 1: Quellam MIDI\n"},
        {{"--units"}, "1\tQuellam MIDI\n"},
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
        {"--port="}, {"-p", ""}, {"-p", "A", "--port=B"}, {"-a", "-p", "A"}, {"-r", "a", "--report=b"}, {"--report="},
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
                              "nothing after it is part of the image.\nThe image holds 1 record, 6 bytes; every "
                              "checksum holds.\n"))
        << run.out;
    EXPECT_EQ(run.status, 0);
}

// What --port chooses: a number is only ever an input's number in the
// list; a unit's lasting name and a port's id choose that unit's or port's
// input and output; a name that fits several ports, or none, lists the
// candidates, each with the word after --port that chooses it, and sends
// nothing; following that word updates the port it stands beside.
TEST(Options, APortChosenByNumberLastingNameIdOrName)
{
    const sim::Device synth{"Microsoft GS Wavetable Synth"};
    sim::Setup two, outs, noIds, units, win11, shared, digits, pedals;
    two.inputs = {{"Quellam MIDI", "20:0 #SEQ_HARDWARE"}, {"Quellam MIDI", "24:0 #SEQ_HARDWARE"}};
    two.outputs = {synth, {"Quellam MIDI", "20:0 #SEQ_HARDWARE"}, {"Quellam MIDI", "24:0 #SEQ_HARDWARE"}};
    // A second output of the target's name: --port 2 once chose input 2.
    outs.inputs = {{"Quellam MIDI", "20:0 #SEQ_HARDWARE"}, {"Keyboard", "24:0 #SEQ_HARDWARE"}};
    outs.outputs = {{"Quellam MIDI", "20:0 #SEQ_HARDWARE"}, {"2- Quellam MIDI", "20:1 #SEQ_HARDWARE"},
                    {"Keyboard", "24:0 #SEQ_HARDWARE"}};
    noIds.inputs = {"Quellam MIDI", "Keyboard"};
    noIds.outputs = {"Quellam MIDI", "2- Quellam MIDI", "Keyboard"};
    // Two units of one name, whose serial numbers are not their inputs'
    // numbers; "Midi Through Port-0" holds the digit 0.
    const std::string a = "24:0 #SEQ_HARDWARE usb:usb-dummy_hcd.1-1 serial:0002",
                      b = "28:0 #SEQ_HARDWARE usb:usb-dummy_hcd.0-1 serial:0001";
    units.inputs = {{"Midi Through Port-0", "14:0 #SEQ_THROUGH"}, {"Quellam MIDI 1", a}, {"Quellam MIDI 1", b}};
    units.outputs = units.inputs;
    const std::string usb = R"(\\?\SWD#MIDISRV#MIDIU_KS_BIDI_16925_OUTPIN.0_INPIN.2#{e7cce071})";
    win11.inputs = {{"Quellam MIDI", usb}, {"Synth Input", ""}};
    win11.outputs = {synth, {"Quellam MIDI", usb}};
    const std::string byPath = "--port=" + usb;
    shared.usersIn[0] = "a2j (client 129)";
    // A browser on macOS gives its ports ids of digits.
    digits.inputs = {{"Quellam MIDI", "586923498"}, {"Quellam MIDI", "1234"}};
    digits.outputs = digits.inputs;
    pedals.inputs = {"Quellam MIDI", "Pedals"};  // an input with no output: no word chooses it
    const struct {
        sim::Setup setup;
        std::vector<const char*> args;
        int status;
        std::string in, out;  // the ports opened, or the end of the output
    } cases[] = {
        {two, {"--port", "2"}, 0, "midiInOpen(1)=0", "midiOutOpen(2)=0"},
        {two, {"-p", "24:0"}, 0, "midiInOpen(1)=0", "midiOutOpen(2)=0"},
        {two, {"-p", "quellam"}, 3, "",
         "Error: 2 MIDI inputs match 'quellam'; choose one with the --port beside it:\n"
         "in 1: Quellam MIDI [20:0 #SEQ_HARDWARE]  (--port 20:0)\nin 2: Quellam MIDI [24:0 #SEQ_HARDWARE]  (--port 24:0)\n\n"},
        {two, {"-p", "24:1"}, 3, "", "in 2: Quellam MIDI [24:0 #SEQ_HARDWARE]  (--port 24:0)\n\n"},
        {two, {"-p", "3"}, 3, "", "Error: There is no MIDI input 3. 'update --list' shows the inputs and their numbers.\n\n"},
        {outs, {"-p", "quellam"}, 3, "",
         "Error: 2 MIDI outputs match 'quellam'; choose one with the --port beside it:\n"
         "out 1: Quellam MIDI [20:0 #SEQ_HARDWARE]  (--port 20:0)\n"
         "out 2: 2- Quellam MIDI [20:1 #SEQ_HARDWARE]  (--port cannot choose it: no input goes with it here)\n\n"},
        {outs, {"-p", "20:0"}, 0, "midiInOpen(0)=0", "midiOutOpen(0)=0"},
        {noIds, {"-p", "quellam"}, 3, "",
         "out 2: 2- Quellam MIDI  (--port cannot choose it here: the system tells no id of it)\n\n"},
        {units, {"-p", "0"}, 3, "", "Error: There is no MIDI input 0. 'update --list' shows the inputs and their numbers.\n\n"},
        {units, {"-p", "serial:0001"}, 0, "midiInOpen(2)=0", "midiOutOpen(2)=0"},
        // The rehearsal target is behind its own ports, not behind Midi Through.
        {units, {"-p", "1"}, 4, "midiInOpen(0)=0", "\nFailed: Target is not responding.\n\n"},
        {units, {"-p", "usb:usb-dummy_hcd.1-1"}, 0, "midiInOpen(1)=0", "midiOutOpen(1)=0"},
        {units, {"-p", "0001"}, 3, "", "in 3: Quellam MIDI 1 [" + b + "]  (--port serial:0001)\n\n"},
        {units, {}, 3, "",
         "USB audiol devices!\n\nOr choose one with the --port beside it:\nin 2: Quellam MIDI 1 [" + a +
             "]  (--port serial:0002)\nin 3: Quellam MIDI 1 [" + b + "]  (--port serial:0001)\n\n"},
        {units, {"--units"}, 0, "", "serial:0002\tQuellam MIDI 1\nserial:0001\tQuellam MIDI 1\n"},
        {shared, {"--list"}, 0, "", "in 1: Quellam MIDI (in use by a2j (client 129))\nout 1: Quellam MIDI\n"},
        {digits, {"-p", "1234"}, 0, "midiInOpen(1)=0", "midiOutOpen(1)=0"},
        {digits, {"-p", "1"}, 0, "midiInOpen(0)=0", "midiOutOpen(0)=0"},
        {digits, {"--units"}, 0, "", "586923498\tQuellam MIDI\n1234\tQuellam MIDI\n"},
        {pedals, {"--units"}, 0, "", "1\tQuellam MIDI\n"},
        // Windows 11 with an input it cannot recognise: two inputs count, and
        // the user chooses the target's by its interface path or its name.
        {win11, {}, 3, "", "in 1: Quellam MIDI [" + usb + "]  (--port '" + usb +
             "')\nin 2: Synth Input  (--port cannot choose it: no output goes with it here)\n\n"},
        {win11, {byPath.c_str()}, 0, "midiInOpen(0)=0", "midiOutOpen(1)=0"},
        {win11, {"--port=Quellam MIDI"}, 0, "midiInOpen(0)=0", "midiOutOpen(1)=0"},
    };
    for (const auto& c : cases) {
        Command run = Launch(c.args, c.setup);
        std::string what = c.args.empty() ? "no --port" : c.args.back();
        EXPECT_EQ(run.status, c.status) << what;
        if (c.in.empty()) {
            EXPECT_EQ(run.calls, std::vector<std::string>{}) << what;
        }
        if (c.status == 0 && c.in.empty()) {
            EXPECT_EQ(run.out, c.out) << what;
        } else if (c.status == 0) {
            ASSERT_GE(run.calls.size(), 3u) << what;
            EXPECT_EQ(run.calls[0], c.in) << what;
            EXPECT_EQ(run.calls[2], c.out) << what;
            EXPECT_EQ(run.held.size(), 14u) << what;
        } else {
            EXPECT_TRUE(Ends(run.out, c.out + PROMPT)) << what << ": " << run.out;
        }
    }
    // No unit to list tells a script by its status.
    sim::Setup none;
    none.inputs.clear();
    Command empty = Launch({"--units"}, none);
    EXPECT_EQ(empty.status, 3);
    EXPECT_EQ(empty.out, "");
}

// What a POSIX shell passes on when text is typed after a command.
std::string Typed(const std::string& text)
{
    FILE* shell = popen(("printf %s " + text).c_str(), "r");
    std::string word;
    for (int c; shell != nullptr && (c = fgetc(shell)) != EOF;)
        word += (char)c;
    EXPECT_EQ(shell != nullptr ? pclose(shell) : -1, 0) << text;
    return word;
}

// Every word printed after --port reaches the program as it was when the
// line is typed into a shell: the advice for one of two units of one name
// whose interface paths hold '&' chooses that unit, and words a shell
// would take apart come through whole. cmd.exe and PowerShell have no
// quoting for some characters: a word with one is not offered.
TEST(Options, AdviceTypedIntoAShellChoosesItsUnit)
{
    const std::string path = R"(\\?\usb#vid_0499&pid_1509&mi_01#7&2b4b6ec3&0&000)", tail = R"(#{6994ad04}\global)";
    sim::Setup units;
    units.inputs = {{"Quellam MIDI", path + "1" + tail}, {"Quellam MIDI", path + "2" + tail}};
    units.outputs = units.inputs;
    std::string advice = Launch({}, units).out;
    size_t at = advice.find("(--port ", advice.find("in 2: "));
    ASSERT_NE(at, std::string::npos) << advice;
    std::string typed = advice.substr(at + 8, advice.find(")\n", at) - at - 8), word = Typed(typed);
    EXPECT_EQ(word, path + "2" + tail);
    Command chosen = Launch({"--port", word.c_str()}, units);
    ASSERT_GE(chosen.calls.size(), 3u);
    EXPECT_EQ(chosen.calls[0], "midiInOpen(1)=0");
    EXPECT_EQ(chosen.calls[2], "midiOutOpen(1)=0");
    EXPECT_NE(Launch({"--units"}, units).out.find("\n" + typed + "\tQuellam MIDI\n"), std::string::npos);
    for (const char* text : {"serial:0001", "a'b", "x y", "$HOME", "*", "a\\b", "(a);b|c", "\xC3\xA9"})
        EXPECT_EQ(Typed(QuotedForShell(text, false)), text);
    for (const char* text : {"a\"b", "50%", "$x", "a`b", "path\\", "a\tb"})
        EXPECT_EQ(QuotedForShell(text, true), nullptr) << text;
}

}  // namespace
