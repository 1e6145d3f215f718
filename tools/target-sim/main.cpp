// target-sim: poses as the target on a real Linux MIDI stack, for rehearsals
// and the guest test, answering the update protocol with the simulated
// platform's target model as the scenario file scripts it ("handshake",
// "record", "delay", "received" and, on the sequencer, "pace", "split" and
// "ports" lines; the others concern the program's side and are ignored).
//
//   target-sim [SCENARIO]                  one duplex hardware port on the
//                                          ALSA sequencer, named by the
//                                          scenario's first "input" line or
//                                          "Quellam MIDI"
//   target-sim --rawmidi DEVICE SCENARIO   behind a raw MIDI device, such as
//                                          the far side of a USB MIDI gadget
//                                          (hw:0,0); ends when it goes away
//   target-sim --clock CLIENT:PORT         not the target: another program
//                                          connected to the device's port,
//                                          sending a MIDI clock every 20 ms
//                                          until it is ended
#include "sim/scenario.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>

namespace {

using Clock = std::chrono::steady_clock;

struct Peer {
    snd_seq_t* seq = nullptr;  // on the sequencer ...
    int port = -1;
    snd_rawmidi_t* in = nullptr;  // ... or behind a raw MIDI device
    snd_rawmidi_t* out = nullptr;
    std::multimap<Clock::time_point, sim::Bytes> due;  // answers not yet sent
    sim::Bytes message;                                // the one coming in
    unsigned pace = 0;                                 // bytes a second read, 0: at once
    bool split = false;                                // answers cut up, with litter
    Clock::time_point readAgain;                       // when pace allows the next read
};

// A device that reads at its own pace, as behind a DIN link, holds little:
// the sequencer queues one message for it, the library one more, and the
// sender must wait for room. Ports past the first ("NAME 2" and on) stand
// for further devices of the same kind.
bool OpenSequencer(Peer* peer, const std::string& name, unsigned ports)
{
    if (snd_seq_open(&peer->seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0)
        return false;
    snd_seq_set_client_name(peer->seq, name.c_str());
    if (peer->pace != 0 &&
        (snd_seq_set_client_pool_input(peer->seq, 3) < 0 || snd_seq_set_input_buffer_size(peer->seq, 128) < 0))
        return false;
    for (unsigned i = 0; i < ports; ++i) {
        std::string portName = i == 0 ? name : name + " " + std::to_string(i + 1);
        int port = snd_seq_create_simple_port(
            peer->seq, portName.c_str(),
            SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_READ |
                SND_SEQ_PORT_CAP_SUBS_WRITE | SND_SEQ_PORT_CAP_DUPLEX,
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE);
        if (port < 0)
            return false;
        peer->port = i == 0 ? port : peer->port;
    }
    printf("target-sim: %s at %d:%d\n", name.c_str(), snd_seq_client_id(peer->seq), peer->port);
    return true;
}

// Each direction on a descriptor of its own: reading must not block, a
// write waits until the device has taken it.
bool OpenRawMidi(Peer* peer, const char* device)
{
    if (snd_rawmidi_open(&peer->in, nullptr, device, SND_RAWMIDI_NONBLOCK) < 0 ||
        snd_rawmidi_open(nullptr, &peer->out, device, 0) < 0)
        return false;
    printf("target-sim: raw MIDI %s\n", device);
    return true;
}

void SendEvent(Peer* peer, snd_seq_event_type_t type, const uint8_t* data, size_t n)
{
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    snd_seq_ev_set_source(&event, peer->port);
    snd_seq_ev_set_subs(&event);
    snd_seq_ev_set_direct(&event);
    if (type == SND_SEQ_EVENT_SYSEX)
        snd_seq_ev_set_sysex(&event, (unsigned)n, const_cast<uint8_t*>(data));
    else
        snd_seq_ev_set_noteon(&event, 0, 60, 100);
    snd_seq_event_output_direct(peer->seq, &event);
}

// Split, an answer comes after litter that is no message: one cut short by
// a note, and the tail of one whose head never came. Then the answer
// itself, in two events.
void SendSplit(Peer* peer, const sim::Bytes& bytes)
{
    const uint8_t cut[] = {0xF0, 0x21}, tail[] = {0x22, 0x22, 0xF7};
    SendEvent(peer, SND_SEQ_EVENT_SYSEX, cut, sizeof cut);
    SendEvent(peer, SND_SEQ_EVENT_NOTEON, nullptr, 0);
    SendEvent(peer, SND_SEQ_EVENT_SYSEX, tail, sizeof tail);
    size_t half = bytes.size() / 2;
    SendEvent(peer, SND_SEQ_EVENT_SYSEX, bytes.data(), half);
    SendEvent(peer, SND_SEQ_EVENT_SYSEX, bytes.data() + half, bytes.size() - half);
}

void Send(Peer* peer, sim::Bytes& bytes)
{
    // No drain: a driver without one of its own makes it a 50 ms sleep.
    if (peer->out != nullptr)
        snd_rawmidi_write(peer->out, bytes.data(), bytes.size());
    else if (peer->split && bytes.size() > 1)
        SendSplit(peer, bytes);
    else
        SendEvent(peer, SND_SEQ_EVENT_SYSEX, bytes.data(), bytes.size());
}

void SendDue(Peer* peer)
{
    while (!peer->due.empty() && peer->due.begin()->first <= Clock::now()) {
        Send(peer, peer->due.begin()->second);
        peer->due.erase(peer->due.begin());
    }
}

int Until(Clock::time_point when)
{
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now());
    return wait.count() < 0 ? 0 : (int)wait.count();
}

// Until the next answer is due, or while the pace holds reading back, until
// the next read.
int PollTimeout(const Peer& peer, bool* reading)
{
    *reading = Clock::now() >= peer.readAgain;
    int timeout = peer.due.empty() ? -1 : Until(peer.due.begin()->first);
    if (!*reading && (timeout < 0 || Until(peer.readAgain) < timeout))
        timeout = Until(peer.readAgain);
    return timeout;
}

void WriteHeld(const std::string& path, const sim::Bytes& held)
{
    if (path.empty())
        return;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write((const char*)held.data(), (std::streamsize)held.size());
}

// Hands every complete System Exclusive message to the target, however the
// bytes were cut on the way: F0 begins a message, F7 ends it, and bytes
// outside a message are not the target's. A real-time byte (a clock from
// another program, say) may come between any two and belongs to no message.
void Feed(Peer* peer, const uint8_t* data, size_t n, sim::Target* target, const std::string& heldPath)
{
    for (size_t i = 0; i < n; ++i) {
        if (data[i] >= 0xF8)
            continue;
        if (data[i] == 0xF0)
            peer->message.clear();
        else if (peer->message.empty())
            continue;
        peer->message.push_back(data[i]);
        if (data[i] != 0xF7)
            continue;
        size_t held = target->Accepted().size();
        target->Received(peer->message);
        peer->message.clear();
        if (target->Accepted().size() != held)
            WriteHeld(heldPath, target->Held());
    }
}

// Reads what has come; false once the device has gone.
bool Read(Peer* peer, sim::Target* target, const std::string& heldPath)
{
    if (peer->in != nullptr) {
        uint8_t data[256];
        ssize_t n;
        while ((n = snd_rawmidi_read(peer->in, data, sizeof data)) > 0)
            Feed(peer, data, (size_t)n, target, heldPath);
        return n == -EAGAIN;
    }
    snd_seq_event_t* event;
    while (Clock::now() >= peer->readAgain && snd_seq_event_input(peer->seq, &event) >= 0) {
        if (event->type != SND_SEQ_EVENT_SYSEX)
            continue;
        Feed(peer, (const uint8_t*)event->data.ext.ptr, event->data.ext.len, target, heldPath);
        if (peer->pace != 0)
            peer->readAgain = Clock::now() + std::chrono::microseconds(event->data.ext.len * 1000000ull / peer->pace);
    }
    return true;
}

int Descriptors(const Peer& peer, struct pollfd* fds, int room)
{
    if (peer.in != nullptr)
        return snd_rawmidi_poll_descriptors(peer.in, fds, (unsigned)room);
    return snd_seq_poll_descriptors(peer.seq, fds, (unsigned)room, POLLIN);
}

// Asked for, on standard output; after a wrong command line, on standard
// error.
int Usage(FILE* to, int status)
{
    fprintf(to, "usage: target-sim [SCENARIO]\n       target-sim --rawmidi DEVICE SCENARIO\n"
                "       target-sim --clock CLIENT:PORT\n"
                "The simulated target on the ALSA sequencer (or on a raw MIDI device), answering as the\n"
                "scenario file says; docs/simulator.md has the format.\n");
    return status;
}

// As a program that drives a device's tempo does: subscribed to its port,
// so that the sequencer's bridge holds the device's raw MIDI output.
int SendClock(const char* address)
{
    snd_seq_t* seq;
    snd_seq_addr_t device;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_OUTPUT, 0) < 0)
        return 1;
    snd_seq_set_client_name(seq, "clock");
    int port = snd_seq_create_simple_port(seq, "clock", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                          SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (port < 0 || snd_seq_parse_address(seq, &device, address) < 0 ||
        snd_seq_connect_to(seq, port, device.client, device.port) < 0) {
        fprintf(stderr, "target-sim: cannot connect to %s\n", address);
        return 1;
    }
    printf("target-sim: a clock to %d:%d\n", device.client, device.port);
    fflush(stdout);
    for (;;) {
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        event.type = SND_SEQ_EVENT_CLOCK;
        snd_seq_ev_set_source(&event, port);
        snd_seq_ev_set_subs(&event);
        snd_seq_ev_set_direct(&event);
        snd_seq_event_output_direct(seq, &event);
        poll(nullptr, 0, 20);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "--clock") == 0)
        return SendClock(argv[2]);
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0))
        return Usage(stdout, 0);
    bool raw = argc > 1 && strcmp(argv[1], "--rawmidi") == 0;
    if (raw ? argc != 4 : argc > 2)
        return Usage(stderr, 2);
    const char* path = argc > 1 ? argv[argc - 1] : nullptr;
    sim::Scenario scenario = sim::DefaultScenario();
    std::string error;
    if (path != nullptr && !sim::ReadScenarioFile(path, &scenario, &error)) {
        fprintf(stderr, "target-sim: %s\n", error.c_str());
        return 2;
    }
    std::string name = scenario.setup.inputs.empty() ? "Quellam MIDI" : scenario.setup.inputs[0].name;
    WriteHeld(scenario.receivedPath, {});
    Peer peer;
    peer.pace = scenario.pace;
    peer.split = scenario.split;
    if (raw ? !OpenRawMidi(&peer, argv[2]) : !OpenSequencer(&peer, name, scenario.ports)) {
        fprintf(stderr, "target-sim: cannot open %s\n", raw ? argv[2] : "the ALSA sequencer");
        return 1;
    }
    fflush(stdout);
    sim::Target target(scenario.script);
    target.send = [&peer](const sim::Bytes& bytes, unsigned delayMs, sim::Kind) {
        peer.due.emplace(Clock::now() + std::chrono::milliseconds(delayMs), bytes);
    };
    struct pollfd fds[8];
    int count = Descriptors(peer, fds, 8);
    for (;;) {
        bool reading;
        int timeout = PollTimeout(peer, &reading);
        poll(fds, reading ? (nfds_t)count : 0, timeout);
        if (!Read(&peer, &target, scenario.receivedPath)) {
            fprintf(stderr, "target-sim: the device has gone\n");
            return 1;
        }
        SendDue(&peer);
    }
}
