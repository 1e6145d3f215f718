// Choosing and opening the ports, sending messages and taking replies.
#include "harness.h"
#include "midi/midi.h"
#include "protocol/protocol.h"

#include <gtest/gtest.h>

namespace {

using Calls = std::vector<std::string>;

const std::string IMAGE_OK = std::string(BANNER) + "OK: File 'Quellam.kit' is open.\n";
const std::string OUT_MISSING = "Error: The MIDI Out of device is missing!\n\n";
const std::string IN_MISSING = "Error: The MIDI In of device is missing!\n\n";

// A target that never answers: the handshake gives up after its last try.
struct DeviceStage {
    std::string out;
    Calls calls;
};

DeviceStage RunDeviceStage(sim::Setup setup)
{
    sim::Target silent({{sim::Answer{sim::Answer::Silent}}, {}, 0x34, false, 0});
    DeviceStage stage;
    stage.out = RunSimulated({}, setup, &silent);
    stage.calls = sim::Calls();
    EXPECT_EQ(sim::OpenPorts(), 0u);
    EXPECT_EQ(sim::Faults(), Calls{});
    return stage;
}

const std::string SILENT = "\nFailed: Target is not responding.\n\n";

Calls Opened(unsigned in, unsigned out)
{
    std::string i = std::to_string(in), o = std::to_string(out);
    return {"midiInOpen(" + i + ")=0", "midiInStart(" + i + ")=0", "midiOutOpen(" + o + ")=0"};
}

Calls Closed(unsigned in, unsigned out)
{
    std::string i = std::to_string(in), o = std::to_string(out);
    return {"midiInStop(" + i + ")=0", "midiInReset(" + i + ")=0", "midiInClose(" + i + ")=0",
            "midiOutReset(" + o + ")=0", "midiOutClose(" + o + ")=0"};
}

Calls Join(Calls a, const Calls& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(DeviceStage, InsistsOnExactlyOneInput)
{
    sim::Setup none;
    none.inputs.clear();
    DeviceStage stage = RunDeviceStage(none);
    EXPECT_EQ(stage.out, IMAGE_OK + "Error: Did not find the USB Audio device, please check!\n\n" + PROMPT);
    EXPECT_EQ(stage.calls, Calls{});

    sim::Setup two;
    two.inputs = {"Quellam MIDI", "Keyboard"};
    stage = RunDeviceStage(two);
    EXPECT_EQ(stage.out, IMAGE_OK +
                             "Error:Does your computer have identified 2 USB audiol devices, Please remove the other "
                             "USB audiol devices!\n\n" +
                             PROMPT);
    EXPECT_EQ(stage.calls, Calls{});
}

TEST(DeviceStage, PassesOverTheSystemSynthesizer)
{
    sim::Setup setup;
    setup.outputs = {"Microsoft GS Wavetable Synth", "Quellam MIDI"};
    DeviceStage stage = RunDeviceStage(setup);
    EXPECT_EQ(stage.out, IMAGE_OK + DEVICES + SILENT + PROMPT);
    EXPECT_EQ(stage.calls, Join(Opened(0, 1), Closed(0, 1)));

    setup.outputs = {"Quellam MIDI", "Microsoft GS Wavetable Synth"};
    EXPECT_EQ(RunDeviceStage(setup).calls, Join(Opened(0, 0), Closed(0, 0)));
}

TEST(DeviceStage, ClosesAPortPassedOverForItsNameAtOnce)
{
    sim::Setup setup;
    setup.outputs = {"MICROSOFT MIDI Mapper", "Quellam MIDI"};
    DeviceStage stage = RunDeviceStage(setup);
    EXPECT_EQ(stage.out, IMAGE_OK + "MIDI IN DEVICE: Quellam MIDI\r\nMIDI OUT DEVICE: MICROSOFT MIDI Mapper\r\n" +
                             "MIDI OUT DEVICE: Quellam MIDI\r\n" + SILENT + PROMPT);
    EXPECT_EQ(stage.calls,
              Join(Calls{"midiInOpen(0)=0", "midiInStart(0)=0", "midiOutOpen(0)=0", "midiOutReset(0)=0",
                         "midiOutClose(0)=0", "midiOutOpen(1)=0"},
                   Closed(0, 1)));

    setup.outputs = {"microsoft thing"};
    stage = RunDeviceStage(setup);
    EXPECT_EQ(stage.out, IMAGE_OK + "MIDI IN DEVICE: Quellam MIDI\r\nMIDI OUT DEVICE: microsoft thing\r\n" +
                             OUT_MISSING + PROMPT);
    EXPECT_EQ(stage.calls.back(), "midiInClose(0)=0");

    setup = sim::Setup();
    setup.inputs = {"Microsoft In"};
    stage = RunDeviceStage(setup);
    EXPECT_EQ(stage.out, IMAGE_OK + "MIDI IN DEVICE: Microsoft In\r\n" + IN_MISSING + PROMPT);
    EXPECT_EQ(stage.calls, (Calls{"midiInOpen(0)=0", "midiInStart(0)=0", "midiInStop(0)=0", "midiInReset(0)=0",
                                  "midiInClose(0)=0", "midiInOpen(1)=2"}));
}

TEST(DeviceStage, ReportsPortsThatCannotBeOpenedAndClosesWhatWasOpened)
{
    sim::Setup setup;
    setup.failInOpen = {0};
    DeviceStage stage = RunDeviceStage(setup);
    EXPECT_EQ(stage.out, IMAGE_OK + IN_MISSING + PROMPT);
    EXPECT_EQ(stage.calls, Calls{"midiInOpen(0)=7"});

    setup = sim::Setup();
    setup.failInStart = {0};
    stage = RunDeviceStage(setup);
    EXPECT_EQ(stage.out, IMAGE_OK + "MIDI IN DEVICE: Quellam MIDI\r\n" + IN_MISSING + PROMPT);
    EXPECT_EQ(stage.calls, (Calls{"midiInOpen(0)=0", "midiInStart(0)=1", "midiInStop(0)=0", "midiInReset(0)=0",
                                  "midiInClose(0)=0"}));

    setup = sim::Setup();
    setup.outputs.clear();
    stage = RunDeviceStage(setup);
    EXPECT_EQ(stage.out, IMAGE_OK + "MIDI IN DEVICE: Quellam MIDI\r\n" + OUT_MISSING + PROMPT);
    EXPECT_EQ(stage.calls, (Calls{"midiInOpen(0)=0", "midiInStart(0)=0", "midiOutOpen(0)=2", "midiInStop(0)=0",
                                  "midiInReset(0)=0", "midiInClose(0)=0"}));
}

// The transport on its own, both ports open, a model that records what
// reaches the device.
struct Recorder : sim::Model {
    void Received(const sim::Bytes& message) override { messages.push_back(message); }
    std::vector<sim::Bytes> messages;
};

class Transport : public testing::Test {
protected:
    void Open(sim::Setup setup = {})
    {
        setup.model = &device;
        sim::Start(setup);
        Capture([] { ASSERT_TRUE(OpenTargetPorts()); });
        g_rxReply.store(0);
    }
    void TearDown() override
    {
        CloseMidiIn();
        CloseMidiOut();
        sim::Stop();
        EXPECT_EQ(sim::OpenPorts(), 0u);
        EXPECT_EQ(sim::Faults(), Calls{});
    }
    Recorder device;
};

TEST_F(Transport, FramesPayloadsOfUpTo46Bytes)
{
    Open();
    sim::Bytes payload(47, 0x41);
    EXPECT_EQ(SendSysEx(HANDSHAKE_BODY, 7), 0);
    EXPECT_EQ(SendSysEx(payload.data(), 46), 0);
    EXPECT_EQ(SendSysEx(payload.data(), 47), 0);
    ASSERT_EQ(device.messages.size(), 2u);
    EXPECT_EQ(device.messages[0], (sim::Bytes{0xF0, 0x31, 0x6D, 0x0F, 0x42, 0x58, 0x27, 0x13, 0xF7}));
    sim::Bytes framed(48, 0x41);
    framed.front() = 0xF0;
    framed.back() = 0xF7;
    EXPECT_EQ(device.messages[1], framed);
}

TEST_F(Transport, ReportsOutputFailures)
{
    sim::Setup setup;
    setup.failPrepare = {1};
    setup.failSend = {1};  // the first message that reaches the output
    Open(setup);
    EXPECT_EQ(SendSysEx(HANDSHAKE_BODY, 7), MMSYSERR_NOMEM);
    EXPECT_EQ(SendSysEx(HANDSHAKE_BODY, 7), MIDIERR_NOTREADY);
    EXPECT_EQ(SendSysEx(HANDSHAKE_BODY, 7), 0);
    EXPECT_EQ(device.messages.size(), 1u);
}

TEST_F(Transport, WaitsForTheOutputToReleaseEachMessage)
{
    sim::Setup setup;
    setup.busyMessage = 1;
    setup.busyTimes = 100;
    Open(setup);
    uint64_t start = sim::Now();
    EXPECT_EQ(SendSysEx(HANDSHAKE_BODY, 7), 0);
    EXPECT_EQ(sim::Now() - start, 100u * 100);
}

TEST_F(Transport, GivesUpOnAnOutputThatNeverReleasesAndResetsIt)
{
    sim::Setup setup;
    setup.busyMessage = 2;
    setup.busyTimes = 1000000;
    Open(setup);
    EXPECT_EQ(SendSysEx(HANDSHAKE_BODY, 7), 0);
    uint64_t start = sim::Now();
    EXPECT_NE(SendSysEx(HANDSHAKE_BODY, 7), 0);
    EXPECT_EQ(sim::Now() - start, 100u * 100);
    EXPECT_EQ(sim::Calls().back(), "midiOutReset(0)=0");
    EXPECT_EQ(SendSysEx(HANDSHAKE_BODY, 7), 0);  // the output works again
}

TEST_F(Transport, MailboxTakesRepliesOfTwoOrMoreBytes)
{
    Open();
    uint8_t status = 0;
    device.send({0xF7}, 0, sim::Kind::SysEx);
    Sleep(1);
    EXPECT_EQ(PeekReplyCount(), 1);
    EXPECT_FALSE(TakeReply(&status));
    EXPECT_EQ(PeekReplyCount(), 1);  // never taken, never cleared

    device.send({0xF0, 0x1A, 0xF7}, 5, sim::Kind::SysEx);
    Sleep(4);
    EXPECT_EQ(PeekReplyCount(), 1);
    Sleep(1);
    EXPECT_EQ(PeekReplyCount(), 3);
    EXPECT_TRUE(TakeReply(&status));
    EXPECT_EQ(status, 0x1A);
    EXPECT_EQ(PeekReplyCount(), 0);
    EXPECT_FALSE(TakeReply(&status));
}

TEST_F(Transport, MailboxKeepsOnlyTheLatestReply)
{
    Open();
    device.send({0xF0, 0x20, 0xF7}, 0, sim::Kind::SysEx);
    device.send({0xF0, 0x21, 0x00, 0xF7}, 0, sim::Kind::SysEx);
    Sleep(1);
    uint8_t status = 0;
    EXPECT_EQ(PeekReplyCount(), 4);
    EXPECT_TRUE(TakeReply(&status));
    EXPECT_EQ(status, 0x21);
}

TEST_F(Transport, MailboxIgnoresShortAndMalformedMessagesButKeepsReceiving)
{
    Open();
    device.send({0x90, 0x40, 0x7F}, 0, sim::Kind::Short);
    device.send({0xF0, 0x20, 0x20}, 0, sim::Kind::Malformed);
    Sleep(1);
    EXPECT_EQ(PeekReplyCount(), 0);
    device.send({0xF0, 0x1A, 0xF7}, 0, sim::Kind::SysEx);
    Sleep(1);
    uint8_t status = 0;
    EXPECT_TRUE(TakeReply(&status));
    EXPECT_EQ(status, 0x1A);
    for (const sim::WireEntry& entry : sim::Wire())
        EXPECT_FALSE(entry.lost);
}

TEST_F(Transport, MailboxCutsOversizedMessagesAtTheBuffer)
{
    Open();
    sim::Bytes big(1000, 0x00);
    big[0] = 0xF0;
    big[1] = 0x24;
    big.back() = 0xF7;
    device.send(big, 0, sim::Kind::SysEx);
    Sleep(1);
    EXPECT_EQ(PeekReplyCount(), RX_BUFFER_SIZE);
    uint8_t status = 0;
    EXPECT_TRUE(TakeReply(&status));
    EXPECT_EQ(status, 0x24);
    EXPECT_EQ(g_rxBuffer[RX_BUFFER_SIZE - 1], 0x00);
}

}  // namespace
