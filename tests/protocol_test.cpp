// The handshake and the transfer against the target model, on virtual time:
// the whole console output and every message on the wire.
#include "harness.h"
#include "protocol/protocol.h"

#include <gtest/gtest.h>


namespace {

using sim::Answer;
using Lines = std::vector<std::string>;

const std::string START = std::string(BANNER) + "OK: File 'Quellam.kit' is open.\n" + DEVICES;
const std::string COMPLETE = "\rTransferring.. 100% done.  \nTarget update successfully!\n";
const std::string SILENT = "\nFailed: Target is not responding.\n\n";
const sim::Bytes SIX = {0x00, 0x04, 0x11, 0x22, 0xCD, 0xFF};

Answer Status(uint8_t status)
{
    return Answer{Answer::Status, status};
}

const Answer QUIET{Answer::Silent};

std::vector<Answer> Times(unsigned n, Answer answer)
{
    return std::vector<Answer>(n, answer);
}

std::vector<Answer> Then(std::vector<Answer> first, Answer last)
{
    first.push_back(last);
    return first;
}

std::string Progress(char spinner, int percent)
{
    return "\r                        \rTransferring.. " + std::string(1, spinner) + " " + std::to_string(percent) +
           "% done";
}

// The wire, a message a line: "hello" for a handshake, a data chunk as its
// text, anything else as hexadecimal bytes.
Lines Wire()
{
    const sim::Bytes hello{0xF0, 0x31, 0x6D, 0x0F, 0x42, 0x58, 0x27, 0x13, 0xF7};
    Lines lines;
    for (const sim::WireEntry& entry : sim::Wire()) {
        std::string text = std::to_string(entry.ms) + (entry.toDevice ? " > " : " < ");
        if (entry.bytes == hello) {
            text += "hello";
        } else if (entry.toDevice) {
            text.append(entry.bytes.begin() + 1, entry.bytes.end() - 1);
        } else {
            for (uint8_t byte : entry.bytes) {
                char hex[3];
                snprintf(hex, sizeof hex, "%02X", byte);
                text += hex;
            }
        }
        lines.push_back(text);
    }
    return lines;
}

struct Outcome {
    std::string out;
    Lines wire;
};

Outcome Update(const std::vector<sim::Bytes>& records, sim::Target* target, sim::Setup setup = {})
{
    Outcome run;
    run.out = RunSimulated(records, setup, target);
    run.wire = Wire();
    EXPECT_EQ(sim::OpenPorts(), 0u);
    EXPECT_EQ(sim::Faults(), std::vector<std::string>{});
    return run;
}

sim::TargetScript Script(std::vector<Answer> handshake, std::map<unsigned, std::vector<Answer>> records = {})
{
    sim::TargetScript script;
    script.handshake = std::move(handshake);
    script.records = std::move(records);
    return script;
}

// Every ending from the device stage on, with the exit status a script
// reads: 0 updated, 3 no usable port, 4 no target, 5 the transfer failed.
TEST(Endings, EachEndsWithItsExitStatus)
{
    struct Case {
        const char* ending;
        sim::TargetScript script;
        sim::Setup setup;
        int status;
    };
    sim::Setup noInput, twoInputs, failIn, failStart, noOutput, failGreeting, failChunk;
    noInput.inputs.clear();
    twoInputs.inputs = {"Quellam MIDI", "Quellam MIDI"};
    failIn.failInOpen = {0};
    failStart.failInStart = {0};
    noOutput.outputs.clear();
    failGreeting.failPrepare = {1};
    failChunk.failSend = {2};
    const Case cases[] = {
        {"Target update successfully!\n\nPress", {}, {}, 0},
        {"The System is restart", Script({}, {{1, {Status(UPD_DONE_RESTART)}}}), {}, 0},
        {"Did not find the USB Audio device", {}, noInput, 3},
        {"identified 2 USB audiol devices", {}, twoInputs, 3},
        {"OK: File 'Quellam.kit' is open.\nError: The MIDI In of device is missing", {}, failIn, 3},
        {"Quellam MIDI\r\nError: The MIDI In of device is missing", {}, failStart, 3},
        {"Quellam MIDI\r\nError: The MIDI Out of device is missing", {}, noOutput, 3},
        {"Error: The MIDI Out of device is missing", {}, failGreeting, 3},
        {"Failed: Target is not responding", Script({QUIET}), {}, 4},
        {"is not matched", Script({Status(0x35)}), {}, 4},
        {"Please wait the system reset", Script({Status(UPD_RESETTING)}), {}, 4},
        {"\nError: The MIDI Out of device is missing", {}, failChunk, 5},
        {"Failed: Target is not responding", Script({}, {{1, {QUIET}}}), {}, 5},
        {"Error in updating", Script({}, {{1, {Status(UPD_ERR_CRC)}}}), {}, 5},
    };
    for (const Case& c : cases) {
        sim::Target target(c.script);
        int status = -1;
        std::string out = RunSimulated({SIX, Record({1})}, c.setup, &target, &status);
        EXPECT_NE(out.find(c.ending), std::string::npos) << out;
        EXPECT_EQ(status, c.status) << c.ending;
    }
}

// A greeting every 100 ms until the target answers, at most 19. A 1-byte
// message is no answer and ends no wait, even at the instant of the answer.
TEST(Handshake, GreetsUntilTheTargetAnswersAtMost19Times)
{
    sim::Target target(Script({QUIET, QUIET, Status(0x34)}));
    Outcome run = Update({SIX}, &target);
    EXPECT_EQ(run.out, START + Progress('-', 0) + COMPLETE + "\n" + PROMPT);
    EXPECT_EQ(run.wire[3], "200 < F034F7");

    sim::TargetScript script = Script({QUIET});
    script.noise = true;
    sim::Target silent(script);
    run = Update({SIX}, &silent);
    EXPECT_EQ(run.out, START + SILENT + PROMPT);
    Lines expected{"0 > hello", "0 < F7"};
    for (int i = 1; i < 19; ++i)
        expected.push_back(std::to_string(100 * i) + " > hello");
    EXPECT_EQ(run.wire, expected);

    for (int delay : {0, 5}) {
        script = Script({Answer{Answer::Status, 0x34, 3, delay}});
        script.noise = true;
        sim::Target answering(script);
        run = Update({SIX}, &answering);
        EXPECT_EQ(run.out, START + Progress('-', 0) + COMPLETE + "\n" + PROMPT);
        EXPECT_EQ(answering.Held(), SIX);
    }
}

TEST(Transfer, SendsRecordsAsChunksOf23BytesWithAPauseAfterEach)
{
    sim::Target target;
    Outcome run = Update({SIX}, &target);
    EXPECT_EQ(run.out, START + Progress('-', 0) + COMPLETE + "\n" + PROMPT);
    EXPECT_EQ(run.wire, (Lines{"0 > hello", "0 < F034F7", "1 > 00041122CDFF", "1 < F01AF7"}));
    EXPECT_EQ(target.Held(), SIX);

    // 50 bytes: 00 30, 46 times AB, the checksum 46 E1.
    std::string ab(44, 'A');
    for (size_t i = 1; i < ab.size(); i += 2)
        ab[i] = 'B';
    run = Update({Record(sim::Bytes(46, 0xAB))}, &target);
    EXPECT_EQ(run.wire, (Lines{"0 > hello", "0 < F034F7", "1 > 0030" + ab.substr(0, 42), "2 > " + ab + "AB",
                               "3 > ABAB46E1", "3 < F01AF7"}));
}

// The record that starts at 84 percent waits 50 polls for its answer, the
// one at 85 percent 200.
TEST(Transfer, WaitsLongerForRecordsFrom85PercentOn)
{
    for (unsigned before : {849u, 850u}) {
        std::vector<sim::Bytes> records{Record(sim::Bytes(before - 4, 1)), Record(sim::Bytes(1000 - before - 4, 2))};
        sim::Target target(Script({}, {{2, {QUIET, Answer{}}}}));
        Outcome run = Update(records, &target);
        int percent = before == 849 ? 84 : 85;
        EXPECT_EQ(run.out, START + Progress('-', 0) + Progress('-', percent) + Progress('-', percent) + COMPLETE +
                               "\n" + PROMPT);
        // Record 1 takes 37 chunks from 1 ms on; record 2 takes 7 a time.
        unsigned lastChunk = 37 + 7, resent = stoul(run.wire[2 + 37 + 1 + 7].substr(0, 4));
        EXPECT_EQ(resent - lastChunk, before == 849 ? 51u : 201u);
        EXPECT_EQ(target.Held(), Concat(records));
    }
}

TEST(Transfer, PrintsEachRefusalAndSendsTheRecordAgain)
{
    std::vector<Answer> answers;
    for (uint8_t status : {0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x40, 0x15})
        answers.push_back(Status(status));
    answers.push_back(Answer{});
    sim::Target target(Script({}, {{1, answers}}));
    Outcome run = Update({SIX}, &target);
    std::string p = Progress('-', 0);
    EXPECT_EQ(run.out, START + p + "\nThe CRC of the download file is error!\n" + p +
                           "\nThe download file has been damaged!\n" + p + "\nThe download file has been damaged!\n" +
                           p + p + "\nThe download file verifies error!\n" + p + "\nThe MCU erases error!\n" + p + p +
                           p + COMPLETE + "\n" + PROMPT);
    EXPECT_EQ(target.Accepted().size(), 1u);

    sim::Target restarting(Script({}, {{1, {Status(UPD_DONE_RESTART)}}}));
    EXPECT_EQ(Update({SIX, Record({1})}, &restarting).out,
              START + Progress('-', 0) + COMPLETE + "\nThe System is restart, please wait!\n\n" + PROMPT);
}

// The count of failed attempts starts afresh with each record; the 20th in
// a row ends the run, by the kind of the last one whatever its status.
TEST(Transfer, GivesUpOnTheTwentiethFailedAttemptOfARecord)
{
    sim::Target silent(Script({}, {{1, {QUIET}}}));
    Outcome run = Update({SIX}, &silent);
    std::string progress;
    for (int i = 0; i < 20; ++i)
        progress += Progress('-', 0);
    EXPECT_EQ(run.out, START + progress + SILENT + PROMPT);
    EXPECT_EQ(std::count_if(run.wire.begin(), run.wire.end(),
                            [](const std::string& line) { return line.find("> 00041122CDFF") != std::string::npos; }),
              20);

    sim::Target restarting(Script({}, {{1, Then(Times(19, QUIET), Status(UPD_DONE_RESTART))}}));
    EXPECT_EQ(Update({SIX}, &restarting).out, START + progress + "\nError in updating.\n" + PROMPT);

    sim::Target refusing(Script({}, {{0, Then(Times(19, Status(UPD_ERR_CRC)), Answer{})}}));
    run = Update({SIX, Record({0x33, 0x44})}, &refusing);
    EXPECT_EQ(run.out.substr(run.out.size() - COMPLETE.size() - 1 - strlen(PROMPT)), COMPLETE + "\n" + PROMPT);
    EXPECT_EQ(refusing.Accepted().size(), 2u);
}

// A record sent again is owed an answer for each sending. Once it is
// accepted, the answers still owed are waited for and dropped, so that a
// late one is not taken for the next record's.
TEST(Transfer, DropsTheAnswersOwedToARecordSentAgain)
{
    std::vector<sim::Bytes> records{SIX, Record(sim::Bytes(40, 2)), Record(sim::Bytes(40, 3))};
    const std::string second = "> 002A02", third = "> 002A03";
    sim::Target target(Script({}, {{2, {Answer{Answer::Status, UPD_BLOCK_OK, 3, 70}}}, {3, {QUIET, Answer{}}}}));
    Outcome run = Update(records, &target);
    EXPECT_EQ(run.out.substr(run.out.size() - COMPLETE.size() - 1 - strlen(PROMPT)), COMPLETE + "\n" + PROMPT);
    EXPECT_EQ(target.Held(), Concat(records));
    // Record 2 goes out at 2 ms and again at 54 ms; the first answer, at
    // 73 ms, accepts it, and record 3 waits for the second, at 125 ms.
    Lines sends;
    for (const std::string& line : run.wire)
        if (line.find(second) != std::string::npos || line.find(third) != std::string::npos)
            sends.push_back(line);
    EXPECT_EQ(sends, (Lines{"2 " + second + "0202020202020202020202020202020202020202",
                            "54 " + second + "0202020202020202020202020202020202020202",
                            "125 " + third + "0303030303030303030303030303030303030303",
                            "177 " + third + "0303030303030303030303030303030303030303"}));
}

TEST(Transfer, ShowsTheSameGlyphAgainAfterAFailedAttempt)
{
    std::vector<sim::Bytes> records;
    for (uint8_t i = 0; i < 8; ++i)
        records.push_back(Record({0x10, i}));
    sim::Target target(Script({}, {{8, {QUIET, Answer{}}}}));
    Outcome run = Update(records, &target);
    std::string expected = START;
    const char glyphs[] = "--\\\\||///";
    for (int i = 0; i < 9; ++i)
        expected += Progress(glyphs[i], std::min(i, 7) * 6 * 100 / 48);
    EXPECT_EQ(run.out, expected + COMPLETE + "\n" + PROMPT);
}

}  // namespace
