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

// What the device stage does with the ports, and what --list says it does:
// a run against a target that never answers, so the handshake gives up
// after its last try; every port is closed again by the end, and none is
// opened where the count of inputs ends the run.
const std::string LOOP_A = R"(\\?\SWD#MIDISRV#MIDIU_LOOP_A_DEFAULT#{e7cce071-3c03-423f-88d3-f1045d02552b})";
const std::string LOOP_B = R"(\\?\swd#mmdevapi#midiu_loop_b_default_0_0#{6dc23320-ab33-4ce4-80d4-bbb3ebbf2814})";
const std::string APP = R"(\\?\SWD#MIDISRV#MIDIU_APP_7F2A#{e7cce071-3c03-423f-88d3-f1045d02552b})";
const std::string USB = R"(\\?\SWD#MIDISRV#MIDIU_KS_BIDI_16925_OUTPIN.0_INPIN.2#{e7cce071-3c03-423f-88d3-f1045d02552b})";
const std::string SILENT = "\nFailed: Target is not responding.\n\n";
const std::string TWO = "Error:Does your computer have identified 2 USB audiol devices, Please remove the other USB "
                        "audiol devices!\n\nOr choose one with the --port beside it:\n";

TEST(DeviceStage, OpensThePortsTheListSaysItWill)
{
    const sim::Device synth{"Microsoft GS Wavetable Synth"}, through{"Midi Through Port-0", "14:0 #SEQ_THROUGH"};
    const struct {
        std::vector<sim::Device> inputs, outputs;
        std::string run, list;  // after the image stage; the list where it tells something
    } cases[] = {
        {{"Quellam MIDI"}, {synth, "Quellam MIDI"}, DEVICES + SILENT,
         "in 1: Quellam MIDI\nout 1: Microsoft GS Wavetable Synth (passed over: the system synthesizer)\n"
         "out 2: Quellam MIDI\n"},
        {{"Quellam MIDI"}, {"Quellam MIDI", synth}, DEVICES + SILENT, ""},
        {{"Quellam MIDI"}, {"MICROSOFT MIDI Mapper", "Quellam MIDI"},
         "MIDI IN DEVICE: Quellam MIDI\r\nMIDI OUT DEVICE: MICROSOFT MIDI Mapper\r\nMIDI OUT DEVICE: Quellam MIDI\r\n" +
             SILENT,
         "in 1: Quellam MIDI\nout 1: MICROSOFT MIDI Mapper (passed over when opened, for its maker's name)\n"
         "out 2: Quellam MIDI\n"},
        {{"Quellam MIDI"}, {"microsoft thing"},
         "MIDI IN DEVICE: Quellam MIDI\r\nMIDI OUT DEVICE: microsoft thing\r\n" + OUT_MISSING, ""},
        {{"Microsoft In"}, {"Quellam MIDI"}, "MIDI IN DEVICE: Microsoft In\r\n" + IN_MISSING,
         "in 1: Microsoft In (counted; passed over when opened, for its maker's name)\nout 1: Quellam MIDI\n"},
        {{"Microsoft Thing", "Quellam MIDI"}, {"Quellam MIDI"},
         TWO + "in 1: Microsoft Thing (counted; passed over when opened, for its maker's name)  (--port cannot choose it: "
               "no output goes with it here)\nin 2: Quellam MIDI  (--port 2)\n\n",
         ""},
        // A device's name is printed with its control characters as '?'.
        {{"Evil\x1b]0;x\x07\xC2\x9B MIDI"}, {"Evil\x1b]0;x\x07\xC2\x9B MIDI"},
         "MIDI IN DEVICE: Evil?]0;x?? MIDI\r\nMIDI OUT DEVICE: Evil?]0;x?? MIDI\r\n" + SILENT,
         "in 1: Evil?]0;x?? MIDI\nout 1: Evil?]0;x?? MIDI\n"},
        // A Windows 11 computer lists the MIDI service's own endpoints beside
        // the devices; a port whose interface the system cannot tell counts.
        {{{"Default App Loopback (A)", LOOP_A}, {"Default App Loopback (B)", LOOP_B}, {"Chat", APP}, {"Quellam MIDI", USB}},
         {synth, {"Default App Loopback (A)", LOOP_A}, {"Chat", APP}, {"Quellam MIDI", USB}}, DEVICES + SILENT,
         "in 1: Default App Loopback (A) [" + LOOP_A + "] (not counted: a loopback endpoint of the MIDI service)\n"
         "in 2: Default App Loopback (B) [" + LOOP_B + "] (not counted: a loopback endpoint of the MIDI service)\n"
         "in 3: Chat [" + APP + "] (not counted: an app-to-app endpoint of the MIDI service)\n"
         "in 4: Quellam MIDI [" + USB + "]\n"
         "out 1: Microsoft GS Wavetable Synth (passed over: the system synthesizer)\n"
         "out 2: Default App Loopback (A) [" + LOOP_A + "] (not counted: a loopback endpoint of the MIDI service)\n"
         "out 3: Chat [" + APP + "] (not counted: an app-to-app endpoint of the MIDI service)\n"
         "out 4: Quellam MIDI [" + USB + "]\n"},
        {{{"Default App Loopback (A)", LOOP_A}}, {"Quellam MIDI"},
         "Error: Did not find the USB Audio device, please check!\n\n", ""},
        // Its loopback pair is left out by name too, whatever path a driver
        // layer tells for it.
        {{"Default App Loopback (B)", "Quellam MIDI"}, {"Quellam MIDI"}, DEVICES + SILENT,
         "in 1: Default App Loopback (B) (not counted: a loopback endpoint of the MIDI service)\nin 2: Quellam MIDI\n"
         "out 1: Quellam MIDI\n"},
        {{{"Default App Loopback (A)", LOOP_A}, {"Quellam MIDI", USB}, {"Keyboard", ""}}, {"Quellam MIDI"},
         TWO + "in 2: Quellam MIDI [" + USB + "]  (--port '" + USB + "')\nin 3: Keyboard  (--port cannot choose it: no output goes "
               "with it here)\n\n",
         ""},
        // On Linux the provider tells each sequencer port's kind.
        {{through, {"FLUID Synth", "128:0 #SEQ_PROGRAM"}, {"Quellam MIDI", "20:0 #SEQ_HARDWARE"}},
         {{"OPL3 FM Port", "17:0 #SEQ_SYNTH"}, through, {"Quellam MIDI", "20:0 #SEQ_HARDWARE"}}, DEVICES + SILENT,
         "in 1: Midi Through Port-0 [14:0 #SEQ_THROUGH] (not counted: a through port)\n"
         "in 2: FLUID Synth [128:0 #SEQ_PROGRAM] (not counted: a program's port)\n"
         "in 3: Quellam MIDI [20:0 #SEQ_HARDWARE]\n"
         "out 1: OPL3 FM Port [17:0 #SEQ_SYNTH] (not counted: a synthesizer)\n"
         "out 2: Midi Through Port-0 [14:0 #SEQ_THROUGH] (not counted: a through port)\n"
         "out 3: Quellam MIDI [20:0 #SEQ_HARDWARE]\n"},
    };
    for (const auto& c : cases) {
        sim::Setup setup;
        setup.inputs = c.inputs;
        setup.outputs = c.outputs;
        sim::Target silent({{sim::Answer{sim::Answer::Silent}}, {}, 0x34, false, 0});
        EXPECT_EQ(RunSimulated({Record({1})}, setup, &silent), IMAGE_OK + c.run + PROMPT);
        if (c.run.find("DEVICE:") == std::string::npos) {
            EXPECT_EQ(sim::Calls(), Calls{}) << c.run;
        }
        EXPECT_EQ(sim::OpenPorts(), 0u);
        EXPECT_EQ(sim::Faults(), Calls{});
        sim::Start(setup);
        std::string list = Capture([] { ListMidiPorts(); });
        sim::Stop();
        if (!c.list.empty()) {
            EXPECT_EQ(list, c.list);
        }
    }
}

// The transport on its own, both ports open, and a device that sends what
// a test has it send.
struct Device : sim::Model {
    void Received(const sim::Bytes&) override {}
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
    Device device;
};

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
