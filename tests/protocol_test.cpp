// The handshake and the transfer against the target model, on virtual time:
// the whole console output and every message on the wire.
#include "harness.h"
#include "protocol/protocol.h"

#include <gtest/gtest.h>

#include <ctype.h>

#include <functional>


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
        } else if (entry.toDevice && entry.bytes.size() >= 2) {
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
// reads: 0 updated, 3 no usable port, 4 no target, 5 the transfer failed;
// and where it tells, when the run ends on virtual time: an output that
// finishes each message later is asked after every 1 ms, and one that
// never does is given up on after about 10 s.
TEST(Endings, EachEndsWithItsExitStatus)
{
    struct Case {
        std::string ending;
        sim::TargetScript script;
        sim::Setup setup;
        int status;
        uint64_t endsAt;  // ms, where it tells
    };
    sim::Setup noInput, twoInputs, failIn, failStart, noOutput, failGreeting, failChunk, failAdds, late, never;
    sim::Setup busyIn, busyOut;
    noInput.inputs.clear();
    twoInputs.inputs = {"Quellam MIDI", "Quellam MIDI"};
    failIn.failInOpen = {0};
    failStart.failInStart = {0};
    noOutput.outputs.clear();
    failGreeting.failPrepare = {1};
    failChunk.failSend = {2};
    failAdds.failAdd = {1, 2, 3, 4, 6};  // every buffer at first, and one given back
    late.completeMs = 2;      // each message costs 2 ms and the pause after it: 3 ms a chunk
    never.completeMs = 3600000;  // reset after 100 asks 1 ms apart and 100 more 100 ms apart
    busyIn.busyIn = {0};         // another program has the port, and the system cannot say which
    busyOut.busyOut = {0};
    busyOut.usersOut[0] = "cat (process 812)";
    const std::string busy = "The port is in use by another program: close the programs that use MIDI (a music "
                             "program, a browser tab that was given MIDI access) and run update again.\n\n";
    const Case cases[] = {
        {"Target update successfully!\n\nPress", {}, {}, 0, 0},
        {"Target update successfully!\n\nPress", {}, failAdds, 0, 0},
        {"Target update successfully!\n\nPress", {}, late, 0, 2 + 3 + 3},
        {"The System is restart, please wait!\nFailed: the target restarted after record 1, before it had the whole "
         "image. Run update again once it has restarted.\n\nPress", Script({}, {{1, {Status(UPD_DONE_RESTART)}}}), {}, 5, 0},
        {COMPLETE + "\nThe System is restart, please wait!\n\nPress", Script({}, {{2, {Status(UPD_DONE_RESTART)}}}), {}, 0, 0},
        {"Did not find the USB Audio device", {}, noInput, 3, 0},
        {"identified 2 USB audiol devices", {}, twoInputs, 3, 0},
        {"OK: File 'Quellam.kit' is open.\nError: The MIDI In of device is missing", {}, failIn, 3, 0},
        {"Quellam MIDI\r\nError: The MIDI In of device is missing", {}, failStart, 3, 0},
        {"Quellam MIDI\r\nError: The MIDI Out of device is missing", {}, noOutput, 3, 0},
        {"open.\nError: The MIDI In of device is missing!\n\n" + busy + "Press", {}, busyIn, 3, 0},
        {"MIDI\r\nError: The MIDI Out of device is missing!\n\n" + busy + "In use by: cat (process 812).\n\nPress", {},
         busyOut, 3, 0},
        {"Error: The MIDI Out of device is missing", {}, failGreeting, 3, 0},
        {"Error: The MIDI Out of device is missing", {}, never, 3, 100 * 1 + 100 * 100},
        {"Failed: Target is not responding", Script({QUIET}), {}, 4, 0},
        {"is not matched", Script({Status(0x35)}), {}, 4, 0},
        {"Please wait the system reset", Script({Status(UPD_RESETTING)}), {}, 4, 0},
        {"\nError: The MIDI Out of device is missing", {}, failChunk, 5, 0},
        {"Failed: Target is not responding", Script({}, {{1, {QUIET}}}), {}, 5, 0},
        {"Error in updating", Script({}, {{1, {Status(UPD_ERR_CRC)}}}), {}, 5, 0},
    };
    for (const Case& c : cases) {
        sim::Target target(c.script);
        int status = -1;
        std::string out = RunSimulated({SIX, Record({1})}, c.setup, &target, &status);
        EXPECT_NE(out.find(c.ending), std::string::npos) << out;
        EXPECT_EQ(status, c.status) << c.ending;
        if (c.endsAt != 0) {
            EXPECT_EQ(sim::Now(), c.endsAt) << c.ending;
        }
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

// A device takes RATE bytes a second through the kernel's buffer of 4,096
// bytes, written directly or held by the sequencer's bridge for another
// program, which drops what does not fit; its room told or not. Each
// record's answer wait begins once the buffer has passed the whole record
// on, or, where the room is not told, once a device as slow as 500 bytes a
// second would have, and ends at the answer; so no record goes out twice,
// nothing is dropped and the image arrives at about the device's own pace:
// its text, two characters a byte, at RATE bytes a second. A fast device
// whose room is not told is not held to a slower pace.
TEST(Transfer, KeepsTheDevicesPaceWhereTheSystemHoldsItsMessages)
{
    std::vector<sim::Bytes> records;
    unsigned chunks = 0;
    for (uint8_t i = 0; i < 32; ++i) {
        records.push_back(Record(sim::Bytes(250, i)));
        chunks += Chunks(records.back());
    }
    const struct {
        unsigned rate;
        bool held, untold;
    } routes[] = {{3125, false, false}, {3125, true, false}, {3125, true, true}, {500, true, true},
                  {1000, true, true},   {125000, true, false}, {125000, true, true}};
    uint64_t toldMs = 0;
    for (const auto& r : routes) {
        sim::Setup setup;
        setup.drainRate = r.rate;
        setup.held = r.held;
        setup.roomUntold = r.untold;
        sim::Target target;
        Update(records, &target, setup);
        std::string route = std::to_string(r.rate) + (r.untold ? " untold" : "");
        EXPECT_EQ(target.Held(), Concat(records)) << route;
        std::vector<sim::WireEntry> wire = sim::Wire();
        EXPECT_EQ(std::count_if(wire.begin(), wire.end(), [](const sim::WireEntry& e) { return e.toDevice; }),
                  1 + chunks) << route;
        EXPECT_TRUE(std::none_of(wire.begin(), wire.end(), [](const sim::WireEntry& e) { return e.lost; })) << route;
        const uint64_t floorMs = std::max<uint64_t>(Concat(records).size() * 2 * 1000 / r.rate, chunks);
        EXPECT_LE(wire.back().ms * 10, floorMs * 13) << route;
        if (r.rate == 125000 && !r.untold)
            toldMs = wire.back().ms;
        if (r.rate == 125000 && r.untold) {
            EXPECT_LE(wire.back().ms * 10, toldMs * 13) << route;
        }
    }
}

std::string Repeat(const std::string& text, int n)
{
    std::string all;
    while (n-- > 0)
        all += text;
    return all;
}

// Every attempt redraws the progress line, and the glyph steps back after a
// failed one, so that it shows again. A refusal prints its text and the
// record goes out again; the count of failed attempts starts afresh with
// each record, and the 20th in a row ends the run, by the kind of the last
// one whatever its status. The record that starts at 84 percent waits 50
// polls for its answer, the one at 85 percent 200: so the second record's
// second sending ends at 101 or 251 ms.
TEST(Transfer, ShowsEachAttemptAndEndsAsTheLastSays)
{
    std::vector<Answer> refusals;
    for (uint8_t status : {0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x40, 0x15})
        refusals.push_back(Status(status));
    std::vector<sim::Bytes> eight;
    for (uint8_t i = 0; i < 8; ++i)
        eight.push_back(Record({0x10, i}));
    std::string p = Progress('-', 0), crc = "\nThe CRC of the download file is error!\n", glyphs;
    for (int i = 0; i < 9; ++i)
        glyphs += Progress("--\\\\||///"[i], std::min(i, 7) * 6 * 100 / 48);
    auto at = [](unsigned before) {
        return std::vector<sim::Bytes>{Record(sim::Bytes(before - 4, 1)), Record(sim::Bytes(1000 - before - 4, 2))};
    };
    const struct {
        std::vector<sim::Bytes> records;
        std::map<unsigned, std::vector<Answer>> answers;
        std::string out;
        uint64_t last;  // ms of the last message sent, where it tells
    } cases[] = {
        {{SIX}, {{1, Then(refusals, Answer{})}},
         p + crc + p + "\nThe download file has been damaged!\n" + p + "\nThe download file has been damaged!\n" + p +
             p + "\nThe download file verifies error!\n" + p + "\nThe MCU erases error!\n" + p + p + p + COMPLETE + "\n",
         0},
        {{SIX}, {{1, {Status(UPD_DONE_RESTART)}}}, p + COMPLETE + "\nThe System is restart, please wait!\n\n", 0},
        {eight, {{8, {QUIET, Answer{}}}}, glyphs + COMPLETE + "\n", 0},
        {{SIX}, {{1, {QUIET}}}, Repeat(p, 20) + SILENT, 0},
        {{SIX}, {{1, Then(Times(19, QUIET), Status(UPD_DONE_RESTART))}}, Repeat(p, 20) + "\nError in updating.\n", 0},
        {{SIX, Record({0x33, 0x44})}, {{0, Then(Times(19, Status(UPD_ERR_CRC)), Answer{})}},
         Repeat(p + crc, 19) + p + Repeat(Progress('-', 50) + crc, 19) + Progress('-', 50) + COMPLETE + "\n", 0},
        {at(849), {{2, {QUIET, Answer{}}}}, p + Repeat(Progress('-', 84), 2) + COMPLETE + "\n", 44 + 51 + 6},
        {at(850), {{2, {QUIET, Answer{}}}}, p + Repeat(Progress('-', 85), 2) + COMPLETE + "\n", 44 + 201 + 6},
    };
    for (const auto& c : cases) {
        sim::Target target(Script({}, c.answers));
        Outcome run = Update(c.records, &target);
        EXPECT_EQ(run.out, START + c.out + PROMPT);
        std::vector<sim::WireEntry> wire = sim::Wire();
        if (c.last != 0) {
            EXPECT_EQ(std::find_if(wire.rbegin(), wire.rend(), [](const sim::WireEntry& e) { return e.toDevice; })->ms,
                      c.last);
        }
        if (c.out.find(COMPLETE + "\n") == c.out.size() - COMPLETE.size() - 1) {
            EXPECT_EQ(target.Held(), Concat(c.records));
        }
    }
}

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The demo image's records, as the image stage would read them.
std::vector<sim::Bytes> DemoRecords()
{
    std::vector<sim::Bytes> records;
    std::string text = ReadFile(EXAMPLES_DIR "/Quellam_demo.kit");
    sim::Bytes bytes;
    for (size_t i = 0; i + 1 < text.size(); ++i)
        if (isxdigit((unsigned char)text[i]) && isxdigit((unsigned char)text[i + 1]))
            bytes.push_back((uint8_t)std::stoi(text.substr(i++, 2), nullptr, 16));
    for (size_t at = 0; at + 2 <= bytes.size(); at += bytes[at] * 256u + bytes[at + 1] + 2u)
        records.emplace_back(bytes.begin() + (long)at, bytes.begin() + (long)(at + bytes[at] * 256u + bytes[at + 1] + 2u));
    return records;
}

// Under Windows' MIDI service a device that takes 1.5 s for its 41st
// message times the send out; the message and those after it wait in the
// service's buffer and reach the device in order. The program takes that
// for a message on its way: the record goes on whole, its answer is
// waited for, and the whole image arrives, each record once. Where the
// device has gone, the run ends as a missing device and says how to leave
// the service; so it does on the classic stack, where the slow message
// only takes longer to finish. An answer owed to a sending the service
// kept, that never comes, ends the run: it could come after the next
// record went out and be taken for its answer.
TEST(Transfer, GoesOnWhereTheMidiServiceTimesASlowDeviceOut)
{
    std::vector<sim::Bytes> records = DemoRecords();
    ASSERT_EQ(records.size(), 96u);
    const std::string missing = "\nError: The MIDI Out of device is missing!\n\n";
    for (int stack = 0; stack < 3; ++stack) {
        sim::Setup setup;
        setup.service = stack != 2;
        setup.acceptMs = 1500;
        setup.acceptAfter = 40;
        setup.goneAfter = stack == 1 ? 40 : -1;
        sim::Target target;
        Outcome run = Update(records, &target, setup);
        std::vector<sim::WireEntry> wire = sim::Wire();
        if (stack == 1) {
            EXPECT_NE(run.out.find(missing + "Windows passes MIDI through its MIDI service here"), std::string::npos)
                << run.out;
            EXPECT_LT(target.Held().size(), Concat(records).size());
            continue;
        }
        EXPECT_EQ(target.Held(), Concat(records)) << stack;
        EXPECT_TRUE(EndsWith(run.out, COMPLETE + "\n" + PROMPT)) << stack;
        unsigned chunks = 0;
        for (const sim::Bytes& record : records)
            chunks += Chunks(record);
        EXPECT_EQ(std::count_if(wire.begin(), wire.end(), [](const sim::WireEntry& e) { return e.toDevice; }),
                  1 + chunks) << stack;
    }
    // Another program's messages land between the program's: its clock
    // does no harm; its request, landing inside a record, leaves the
    // target unable to tell records apart, and the run fails as the target
    // stops answering, with the advice to close other programs.
    for (const sim::Bytes& others : {sim::Bytes{0xF8}, sim::Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}}) {
        sim::Setup shared;
        shared.service = true;
        shared.othersSend = others;
        shared.othersEveryMs = 97;
        sim::Target target;
        Outcome run = Update(records, &target, shared);
        bool clock = others.size() == 1;
        EXPECT_EQ(target.Held() == Concat(records), clock);
        EXPECT_EQ(EndsWith(run.out, COMPLETE + "\n" + PROMPT), clock);
        EXPECT_EQ(run.out.find(SILENT + "Windows passes MIDI") != std::string::npos, !clock);
    }
    sim::Setup setup;
    setup.service = true;
    setup.acceptMs = 6000;
    setup.acceptAfter = 1;
    sim::Target target(Script({}, {{1, {Answer{Answer::Lost}, Answer{}}}}));
    Outcome run = Update({SIX, Record({4})}, &target, setup);
    EXPECT_EQ(target.Held(), SIX);
    EXPECT_NE(run.out.find(SILENT + "Windows passes MIDI"), std::string::npos) << run.out;
    EXPECT_EQ(run.wire.back(), "6002 < F01AF7");  // the second record never went out
}

// The service's input: a real-time byte inside a reply comes apart as a
// short message, and a reply that finds no buffer waits only 1 ms for one.
// Six replies at once, and twelve a millisecond apart, each with stray
// real-time bytes, all reach a buffer at the program's pace of handing
// them back.
TEST(Transfer, KeepsEveryAnswerAtItsOwnPaceUnderTheMidiService)
{
    struct Stray : sim::Target {
        using Target::Target;
        void Wrap()
        {
            auto inner = send;
            send = [inner](const sim::Bytes& bytes, unsigned delayMs, sim::Kind kind) {
                sim::Bytes with = bytes;
                if (with.size() > 2)
                    with.insert(with.begin() + 2, 0xF8), with.insert(with.end() - 1, 0xFE);
                inner(with, delayMs, kind);
            };
        }
        void InputStarted() override
        {
            Wrap();
            Target::InputStarted();
        }
    };
    Answer burst = Status(UPD_BLOCK_OK), spaced = Status(UPD_BLOCK_OK);
    burst.copies = 6;
    burst.apartMs = 0;
    spaced.copies = 12;
    sim::Setup setup;
    setup.service = true;
    Stray target(Script({}, {{1, {burst}}, {2, {spaced}}}));
    std::vector<sim::Bytes> records{Record({1, 2, 3}), Record({4}), Record(sim::Bytes(300, 7))};
    Outcome run = Update(records, &target, setup);
    EXPECT_TRUE(EndsWith(run.out, COMPLETE + "\n" + PROMPT)) << run.out;
    EXPECT_EQ(target.Held(), Concat(records));
    std::vector<sim::WireEntry> wire = sim::Wire();
    EXPECT_TRUE(std::none_of(wire.begin(), wire.end(), [](const sim::WireEntry& e) { return e.lost; })) << sim::FormatWire();
    auto count = [&wire](const std::function<bool(const sim::WireEntry&)>& which) {
        return std::count_if(wire.begin(), wire.end(), which);
    };
    EXPECT_EQ(count([](const sim::WireEntry& e) { return e.bytes == sim::Bytes{0xF0, 0x1A, 0xF7}; }), 6 + 12 + 1);
    EXPECT_EQ(count([](const sim::WireEntry& e) { return e.kind == sim::Kind::Short; }), 2 * (1 + 6 + 12 + 1));
}

}  // namespace
