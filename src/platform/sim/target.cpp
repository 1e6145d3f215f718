#include "sim/target.h"

#include <signal.h>

#include <algorithm>

namespace sim {
namespace {

const uint8_t HANDSHAKE[] = {0xF0, 0x31, 0x6D, 0x0F, 0x42, 0x58, 0x27, 0x13, 0xF7};
const uint8_t BLOCK_OK = 0x1A, ERR_CRC = 0x20, ERR_DAMAGED = 0x21, DONE_RESTART = 0x77;

int HexDigit(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

const Answer& Pick(const std::vector<Answer>& answers, unsigned attempt)
{
    return answers[std::min<size_t>(attempt, answers.size() - 1)];
}

bool ChecksumHolds(const Bytes& record, unsigned length)
{
    uint16_t sum = 0;
    for (unsigned i = 2; i < length; ++i)
        sum = (uint16_t)(sum + record[i]);
    return (uint16_t)(sum + record[length] + record[length + 1] * 256u) == 0;
}

}  // namespace

Target::Target(TargetScript script) : script_(std::move(script)) {}

Bytes Target::Held() const
{
    Bytes held;
    for (const Bytes& record : accepted_)
        held.insert(held.end(), record.begin(), record.end());
    return held;
}

void Target::InputStarted()
{
    if (script_.noise)
        send({0xF7}, 0, Kind::SysEx);
}

void Target::Reply(const Answer& answer, uint8_t autoStatus)
{
    unsigned delay = answer.delayMs >= 0 ? (unsigned)answer.delayMs : script_.delayMs;
    if (answer.type == Answer::Silent || answer.type == Answer::Lost)
        return;
    Bytes reply{0xF7};
    if (answer.type != Answer::Noise) {
        reply.assign(std::max(answer.length, 2u), 0x00);
        reply[0] = 0xF0;
        reply[1] = answer.type == Answer::Auto ? autoStatus : answer.status;
        if (reply.size() > 2)
            reply.back() = 0xF7;
    }
    for (unsigned i = 0; i < answer.copies; ++i)
        send(reply, delay + i * answer.apartMs, Kind::SysEx);
}

// As a user pressing Ctrl-C would, once.
void Target::InterruptAt(unsigned record)
{
    if (script_.interruptAt == (int)record && !interrupted_) {
        interrupted_ = true;
        raise(SIGINT);
    }
}

// A real-time byte between messages (another program's clock) is no part
// of a record.
void Target::Received(const Bytes& message)
{
    if (message.size() == 1 && message[0] >= 0xF8)
        return;
    bool greeting = std::equal(message.begin(), message.end(), HANDSHAKE, HANDSHAKE + sizeof HANDSHAKE);
    InterruptAt(greeting ? 0 : pending_.empty() ? (unsigned)accepted_.size() + 1 : 0);
    if (greeting) {  // a new update begins: a new image, every record from the first
        pending_.clear();
        damaged_ = false;
        accepted_.clear();
        if (!script_.acrossRuns)
            attempts_.clear();
        const std::vector<Answer> byType{Answer{}};
        Reply(Pick(script_.handshake.empty() ? byType : script_.handshake, handshakes_++), script_.targetType);
        return;
    }
    if (message.size() < 2 || message.front() != 0xF0 || message.back() != 0xF7 || message.size() % 2 != 0)
        damaged_ = true;
    for (size_t i = 1; i + 2 < message.size(); i += 2) {
        int high = HexDigit(message[i]), low = HexDigit(message[i + 1]);
        damaged_ |= high < 0 || low < 0;
        pending_.push_back((uint8_t)(high * 16 + low));
    }
    if (pending_.size() >= 2 && pending_.size() >= pending_[0] * 256u + pending_[1] + 2u)
        RecordComplete();
}

void Target::RecordComplete()
{
    unsigned length = pending_[0] * 256u + pending_[1];
    bool good = !damaged_ && length >= 2 && pending_.size() == length + 2u && ChecksumHolds(pending_, length);
    uint8_t autoStatus = damaged_ ? ERR_DAMAGED : good ? BLOCK_OK : ERR_CRC;
    // The record last accepted, sent again because its answer went astray,
    // is the same record once more: it is rewritten in place.
    bool again = !accepted_.empty() && pending_ == accepted_.back();
    unsigned number = (unsigned)accepted_.size() + (again ? 0 : 1);
    auto script = script_.records.find(number);
    if (script == script_.records.end())
        script = script_.records.find(0);
    Answer answer = script == script_.records.end() ? Answer{} : Pick(script->second, attempts_[number]++);
    Reply(answer, autoStatus);
    bool accepted = answer.type == Answer::Status ? answer.status == BLOCK_OK || answer.status == DONE_RESTART
                                                  : answer.type == Answer::Lost ||
                                                        (answer.type == Answer::Auto && autoStatus == BLOCK_OK);
    if (accepted && !again)
        accepted_.push_back(pending_);
    pending_.clear();
    damaged_ = false;
}

}  // namespace sim
