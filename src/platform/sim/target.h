// A model of the target's firmware updater: it answers handshakes, rebuilds
// each record from its hexadecimal chunks, checks the record's checksum and
// answers as scripted, keeping every record it accepted. Each handshake
// begins a new image: the protocol carries no record address, so a device
// can only start over, and a second run completes one that was cut off. A record equal
// to the one just accepted is taken as that record sent again after its
// answer went astray, and rewritten in place; so an image for it must not
// repeat a record back to back.
#pragma once

#include "sim/model.h"

#include <map>
#include <vector>

namespace sim {

// Lost: the record is accepted, but its acknowledgement never arrives. A
// record answered 1A or 77 (the target restarts with it) is accepted too.
struct Answer {
    enum Type { Status, Silent, Noise, Auto, Lost } type = Auto;
    uint8_t status = 0;
    unsigned length = 3;  // bytes in the reply, F0 and F7 included
    int delayMs = -1;     // -1: the script's delay
    unsigned copies = 1;  // the reply sent this many times, ...
    unsigned apartMs = 1; // ... this far apart
};

struct TargetScript {
    // Answers to successive handshakes and to successive attempts of a
    // record; the last one repeats. Auto answers a handshake with the
    // target's type and a record by its checksum.
    std::vector<Answer> handshake;
    std::map<unsigned, std::vector<Answer>> records;  // by record number from 1; 0: every record
    uint8_t targetType = 0x34;
    bool noise = false;  // a 1-byte message as soon as the input starts
    unsigned delayMs = 0;
    int interruptAt = -1;  // SIGINT raised when record N begins to arrive; 0: at the first greeting
    bool acrossRuns = false;  // a greeting does not start the answers to each record again
};

class Target : public Model {
public:
    explicit Target(TargetScript script = {});
    void InputStarted() override;
    void Received(const Bytes& message) override;

    const std::vector<Bytes>& Accepted() const { return accepted_; }
    unsigned Handshakes() const { return handshakes_; }
    // Every record accepted, end to end: what the target now holds.
    Bytes Held() const;

private:
    void Reply(const Answer& answer, uint8_t autoStatus);
    void InterruptAt(unsigned record);
    void RecordComplete();

    TargetScript script_;
    std::vector<Bytes> accepted_;
    Bytes pending_;  // the record being rebuilt
    bool damaged_ = false;
    unsigned handshakes_ = 0;
    bool interrupted_ = false;
    std::map<unsigned, unsigned> attempts_;  // by record number
};

}  // namespace sim
