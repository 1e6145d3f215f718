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
// The device lines name the ports opened; every port is closed again by
// the end, and no driver call is misused.
struct DeviceStage {
    std::string out;
    Calls calls;
};

DeviceStage RunDeviceStage(sim::Setup setup)
{
    sim::Target silent({{sim::Answer{sim::Answer::Silent}}, {}, 0x34, false, 0});
    DeviceStage stage;
    stage.out = RunSimulated({Record({1})}, setup, &silent);
    stage.calls = sim::Calls();
    EXPECT_EQ(sim::OpenPorts(), 0u);
    EXPECT_EQ(sim::Faults(), Calls{});
    return stage;
}

const std::string SILENT = "\nFailed: Target is not responding.\n\n";

TEST(DeviceStage, PassesOverTheSystemSynthesizer)
{
    sim::Setup setup;
    setup.outputs = {"Microsoft GS Wavetable Synth", "Quellam MIDI"};
    EXPECT_EQ(RunDeviceStage(setup).out, IMAGE_OK + DEVICES + SILENT + PROMPT);
    setup.outputs = {"Quellam MIDI", "Microsoft GS Wavetable Synth"};
    EXPECT_EQ(RunDeviceStage(setup).out, IMAGE_OK + DEVICES + SILENT + PROMPT);

    // A device's name is printed with its control characters as '?'.
    setup.inputs = setup.outputs = {"Evil\x1b]0;x\x07\xC2\x9B MIDI"};
    EXPECT_EQ(RunDeviceStage(setup).out,
              IMAGE_OK + "MIDI IN DEVICE: Evil?]0;x?? MIDI\r\nMIDI OUT DEVICE: Evil?]0;x?? MIDI\r\n" + SILENT + PROMPT);
}

TEST(DeviceStage, ClosesAPortPassedOverForItsNameAtOnce)
{
    sim::Setup setup;
    setup.outputs = {"MICROSOFT MIDI Mapper", "Quellam MIDI"};
    DeviceStage stage = RunDeviceStage(setup);
    EXPECT_EQ(stage.out, IMAGE_OK + "MIDI IN DEVICE: Quellam MIDI\r\nMIDI OUT DEVICE: MICROSOFT MIDI Mapper\r\n" +
                             "MIDI OUT DEVICE: Quellam MIDI\r\n" + SILENT + PROMPT);

    setup.outputs = {"microsoft thing"};
    EXPECT_EQ(RunDeviceStage(setup).out, IMAGE_OK + "MIDI IN DEVICE: Quellam MIDI\r\nMIDI OUT DEVICE: microsoft thing\r\n" +
                                             OUT_MISSING + PROMPT);

    setup = sim::Setup();
    setup.inputs = {"Microsoft In"};
    EXPECT_EQ(RunDeviceStage(setup).out, IMAGE_OK + "MIDI IN DEVICE: Microsoft In\r\n" + IN_MISSING + PROMPT);
}

// A Windows 11 computer lists the MIDI service's own endpoints beside the
// devices; only the devices count, and the names printed are the ports' own.
const std::string LOOP_A = R"(\\?\SWD#MIDISRV#MIDIU_LOOP_A_DEFAULT#{e7cce071-3c03-423f-88d3-f1045d02552b})";
const std::string LOOP_B = R"(\\?\swd#mmdevapi#midiu_loop_b_default_0_0#{6dc23320-ab33-4ce4-80d4-bbb3ebbf2814})";
const std::string APP = R"(\\?\SWD#MIDISRV#MIDIU_APP_7F2A#{e7cce071-3c03-423f-88d3-f1045d02552b})";
const std::string USB = R"(\\?\SWD#MIDISRV#MIDIU_KS_BIDI_16925_OUTPIN.0_INPIN.2#{e7cce071-3c03-423f-88d3-f1045d02552b})";

TEST(DeviceStage, LeavesOutTheSystemsSoftwareEndpoints)
{
    sim::Setup setup;
    setup.inputs = {{"Default App Loopback (A)", LOOP_A}, {"Default App Loopback (B)", LOOP_B}, {"Chat", APP},
                    {"Quellam MIDI", USB}};
    setup.outputs = {"Microsoft GS Wavetable Synth", {"Default App Loopback (A)", LOOP_A},
                     {"Default App Loopback (B)", LOOP_B}, {"Chat", APP}, {"Quellam MIDI", USB}};
    sim::Target target;
    EXPECT_EQ(RunSimulated({Record({1, 2})}, setup, &target),
              IMAGE_OK + DEVICES + "\r                        \rTransferring.. - 0% done" +
                  "\rTransferring.. 100% done.  \nTarget update successfully!\n\n" + PROMPT);
    EXPECT_EQ(sim::Calls()[0], "midiInOpen(3)=0");
    EXPECT_EQ(target.Held(), Record({1, 2}));

    // Exactly one input device, or no port is opened.
    setup.inputs = {{"Default App Loopback (A)", LOOP_A}};
    DeviceStage stage = RunDeviceStage(setup);
    EXPECT_EQ(stage.out, IMAGE_OK + "Error: Did not find the USB Audio device, please check!\n\n" + PROMPT);
    EXPECT_EQ(stage.calls, Calls{});

    // A device whose interface the system cannot tell counts, as before.
    setup.inputs = {{"Default App Loopback (A)", LOOP_A}, {"Quellam MIDI", USB}, {"Keyboard", ""}};
    stage = RunDeviceStage(setup);
    EXPECT_EQ(stage.out, IMAGE_OK +
                             "Error:Does your computer have identified 2 USB audiol devices, Please remove the other "
                             "USB audiol devices!\n\nSee them with 'update --list' and choose one with 'update --port "
                             "NAME'.\n\n" +
                             PROMPT);
    EXPECT_EQ(stage.calls, Calls{});
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
        g_rxCount.store(0);
    }
    void TearDown() override
    {
        CloseMidiIn();
        CloseMidiOut();
        sim::Stop();
        EXPECT_EQ(sim::OpenPorts(), 0u);
        EXPECT_EQ(sim::Faults(), Calls{});
    }
    // What the device sends, delivered while the program sleeps 1 ms.
    void Arrives(const sim::Bytes& bytes, sim::Kind kind = sim::Kind::SysEx)
    {
        device.send(bytes, 0, kind);
        Sleep(1);
    }
    Recorder device;
};

// On Linux the provider tells each sequencer port's kind: a sound card's
// synthesizer, the through port and a program's port are no devices.
TEST_F(Transport, TellsWhyAPortIsNotADevice)
{
    sim::Setup setup;
    const sim::Device through{"Midi Through Port-0", "seq 14:0 #SEQ_THROUGH"};
    const sim::Device target{"Quellam MIDI", "seq 20:0 #SEQ_HARDWARE"};
    setup.inputs = {through, {"FLUID Synth", "seq 128:0 #SEQ_PROGRAM"}, target};
    setup.outputs = {{"OPL3 FM Port", "seq 17:0 #SEQ_SYNTH"}, through, target};
    Open(setup);
    EXPECT_EQ(sim::Calls(), (Calls{"midiInOpen(2)=0", "midiInStart(2)=0", "midiOutOpen(2)=0"}));
    EXPECT_EQ(WhyNotADevice(false, 2), nullptr);
}

// A message the output finishes later is asked after again every 1 ms, so
// that it costs about its own time; one that is never done is reset after
// 100 asks 1 ms apart and 100 more 100 ms apart.
TEST_F(Transport, WaitsForTheOutputToFinishEachMessageButNotForever)
{
    sim::Setup setup;
    setup.completeMs = 2;
    Open(setup);
    uint64_t start = sim::Now();
    EXPECT_EQ(SendSysEx(HANDSHAKE_BODY, 7), 0);
    EXPECT_EQ(sim::Now() - start, 2u);

    sim::Stop();
    setup.completeMs = 3600000;
    Open(setup);
    start = sim::Now();
    EXPECT_NE(SendSysEx(HANDSHAKE_BODY, 7), 0);
    EXPECT_EQ(sim::Now() - start, 100u * 1 + 100u * 100);
    EXPECT_EQ(sim::Calls().back(), "midiOutReset(0)=0");
}

// A 1-byte message is noise: it ends no wait and is never taken. Short and
// malformed messages leave the mailbox alone. A reply longer than a buffer
// goes on in the next, which comes back without replacing the reply.
TEST_F(Transport, MailboxTakesRepliesOnly)
{
    Open();
    uint8_t status = 0;
    Arrives({0xF0, 0x20, 0xF7});
    Arrives({0xF7});
    Arrives({0x90, 0x40, 0x7F}, sim::Kind::Short);
    Arrives({0xF0, 0x21, 0xF7}, sim::Kind::Malformed);
    WaitForReply(50);
    EXPECT_EQ(sim::Now(), 4u);
    EXPECT_TRUE(TakeReply(&status));
    EXPECT_EQ(status, 0x20);
    Arrives({0xF7});
    WaitForReply(50);
    EXPECT_EQ(sim::Now(), 55u);
    EXPECT_FALSE(TakeReply(&status));

    sim::Bytes big(RX_BUFFER_SIZE + 50, 0x00);
    big[0] = 0xF0;
    big[1] = 0x24;
    big[RX_BUFFER_SIZE] = 0x33;
    big.back() = 0xF7;
    device.send(big, 5, sim::Kind::SysEx);
    WaitForReply(50);
    EXPECT_EQ(sim::Now(), 60u);
    EXPECT_EQ(ReplyCount(), RX_BUFFER_SIZE);
    EXPECT_TRUE(TakeReply(&status));
    EXPECT_EQ(status, 0x24);
    WaitForReply(50);
    EXPECT_FALSE(TakeReply(&status));
    EXPECT_EQ(std::count_if(std::begin(g_rxBuffer), std::end(g_rxBuffer),
                            [](const uint8_t* rest) { return rest[0] == 0x33 && rest[49] == 0xF7; }),
              1);
    for (const sim::WireEntry& entry : sim::Wire())
        EXPECT_FALSE(entry.lost);
}

// The callback makes no MIDI call; the buffers come back at the next poll or
// message sent. Messages at one instant fill one buffer each and the latest
// is the reply; one more than there are buffers is lost.
TEST_F(Transport, MailboxKeepsTheLatestOfMessagesAtOneInstant)
{
    Open();
    for (uint8_t status = 0x20; status < 0x20 + RX_BUFFERS + 1; ++status)
        device.send({0xF0, status, 0xF7}, 0, sim::Kind::SysEx);
    Sleep(1);
    std::vector<sim::WireEntry> wire = sim::Wire();
    ASSERT_EQ(wire.size(), RX_BUFFERS + 1u);
    EXPECT_TRUE(wire.back().lost);
    EXPECT_FALSE(wire[RX_BUFFERS - 1].lost);
    uint8_t status = 0;
    EXPECT_TRUE(TakeReply(&status));
    EXPECT_EQ(status, 0x20 + RX_BUFFERS - 1);

    // Every buffer is queued again before the next message goes out.
    ASSERT_EQ(SendSysEx(HANDSHAKE_BODY, 7), 0);
    for (uint8_t n = 0; n < RX_BUFFERS; ++n)
        device.send({0xF7}, 0, sim::Kind::SysEx);
    device.send({0xF0, 0x30, 0xF7}, 0, sim::Kind::SysEx);
    Sleep(1);
    EXPECT_TRUE(sim::Wire().back().lost);
    EXPECT_FALSE(TakeReply(&status));
    WaitForReply(1);
    Arrives({0xF0, 0x31, 0xF7});
    EXPECT_TRUE(TakeReply(&status));
    EXPECT_EQ(status, 0x31);
}

}  // namespace
