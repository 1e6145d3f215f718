// target-sim: poses as the target on the ALSA sequencer, for rehearsals on a
// real Linux MIDI stack. It offers one duplex hardware MIDI port, named by the
// scenario's first "input" line or "Quellam MIDI", and answers the update
// protocol with the simulated platform's target model, as the scenario file
// given as its argument scripts it ("handshake", "record", "delay" and
// "received" lines; the others concern the program's side and are ignored).
#include "sim/scenario.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>

namespace {

using Clock = std::chrono::steady_clock;

struct Peer {
    snd_seq_t* seq = nullptr;
    int port = -1;
    std::multimap<Clock::time_point, sim::Bytes> due;  // answers not yet sent
};

bool ReadScenario(const char* path, sim::Scenario* scenario)
{
    std::string error;
    if (sim::ReadScenarioFile(path, scenario, &error))
        return true;
    fprintf(stderr, "target-sim: %s\n", error.c_str());
    return false;
}

bool OpenPeer(Peer* peer, const std::string& name)
{
    if (snd_seq_open(&peer->seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0)
        return false;
    snd_seq_set_client_name(peer->seq, name.c_str());
    peer->port = snd_seq_create_simple_port(
        peer->seq, name.c_str(),
        SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_SUBS_WRITE |
            SND_SEQ_PORT_CAP_DUPLEX,
        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE);
    return peer->port >= 0;
}

void Send(Peer* peer, sim::Bytes& bytes)
{
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    snd_seq_ev_set_source(&event, peer->port);
    snd_seq_ev_set_subs(&event);
    snd_seq_ev_set_direct(&event);
    snd_seq_ev_set_sysex(&event, (unsigned)bytes.size(), bytes.data());
    snd_seq_event_output_direct(peer->seq, &event);
}

void SendDue(Peer* peer)
{
    while (!peer->due.empty() && peer->due.begin()->first <= Clock::now()) {
        Send(peer, peer->due.begin()->second);
        peer->due.erase(peer->due.begin());
    }
}

int PollTimeout(const Peer& peer)
{
    if (peer.due.empty())
        return -1;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(peer.due.begin()->first - Clock::now());
    return wait.count() < 0 ? 0 : (int)wait.count();
}

void WriteHeld(const std::string& path, const sim::Bytes& held)
{
    if (path.empty())
        return;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write((const char*)held.data(), (std::streamsize)held.size());
}

// Hands every complete System Exclusive message to the target, however the
// sequencer cut it into events.
void ReadMessages(Peer* peer, sim::Bytes* message, sim::Target* target, const std::string& heldPath)
{
    snd_seq_event_t* event;
    while (snd_seq_event_input(peer->seq, &event) >= 0) {
        if (event->type != SND_SEQ_EVENT_SYSEX)
            continue;
        const uint8_t* data = (const uint8_t*)event->data.ext.ptr;
        message->insert(message->end(), data, data + event->data.ext.len);
        if (message->empty() || message->back() != 0xF7)
            continue;
        size_t held = target->Accepted().size();
        target->Received(*message);
        message->clear();
        if (target->Accepted().size() != held)
            WriteHeld(heldPath, target->Held());
    }
}

}  // namespace

int main(int argc, char** argv)
{
    sim::Scenario scenario = sim::DefaultScenario();
    if (argc > 2) {
        fprintf(stderr, "usage: target-sim [SCENARIO]\n");
        return 2;
    }
    if (argc == 2 && !ReadScenario(argv[1], &scenario))
        return 2;
    std::string name = scenario.setup.inputs.empty() ? "Quellam MIDI" : scenario.setup.inputs[0].name;
    Peer peer;
    if (!OpenPeer(&peer, name)) {
        fprintf(stderr, "target-sim: cannot open the ALSA sequencer\n");
        return 1;
    }
    sim::Target target(scenario.script);
    target.send = [&peer](const sim::Bytes& bytes, unsigned delayMs, sim::Kind) {
        peer.due.emplace(Clock::now() + std::chrono::milliseconds(delayMs), bytes);
    };
    WriteHeld(scenario.receivedPath, {});
    printf("target-sim: %s at %d:%d\n", name.c_str(), snd_seq_client_id(peer.seq), peer.port);
    fflush(stdout);

    int count = snd_seq_poll_descriptors_count(peer.seq, POLLIN);
    struct pollfd fds[8];
    count = snd_seq_poll_descriptors(peer.seq, fds, (unsigned)std::min(count, 8), POLLIN);
    sim::Bytes message;
    for (;;) {
        poll(fds, (nfds_t)count, PollTimeout(peer));
        ReadMessages(&peer, &message, &target, scenario.receivedPath);
        SendDue(&peer);
    }
}
