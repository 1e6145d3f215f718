// Whole updates against a target that misbehaves at random: answers lost,
// dropped, refused with any status, late, repeated, replaced by a 1-byte
// message or longer than the receive buffer, an output that fails at some
// message, finishes each later or passes it on through a device's buffer,
// an input that refuses a receive buffer, images of random record sizes;
// an eighth of them under Windows' MIDI service, whose sends time out while
// the device takes nothing, and whose device may go away. Each schedule
// comes from its own seed; UPDATE_SOAK_SEED and UPDATE_SOAK_RUNS replay one.
//
// A schedule either repeats answers, each copy before the next attempt is
// complete, or answers every message at most once but late, past the
// program's wait and up to 300 ms after the message, in the handshake and
// across records. A message carries no
// sequence number, so the program can tell an answer from the one before
// only by counting them; a repeat that comes later than the next attempt
// would defeat that count.
#include "harness.h"
#include "protocol/protocol.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <random>

namespace {

using sim::Answer;

struct Schedule {
    std::vector<sim::Bytes> records;
    sim::Setup setup;
    sim::TargetScript script;
};

const unsigned LATE_MS = 300;

// One attempt's answer. wait is the program's acknowledgement wait for the
// message, chunks the fewest chunks of the record and the one after it.
Answer Fault(std::mt19937_64& random, unsigned wait, unsigned chunks, bool late)
{
    Answer answer;
    switch (random() % 9) {
    case 0: answer.type = Answer::Silent; break;
    case 1: answer.type = Answer::Lost; break;
    case 2: answer = Answer{Answer::Status, (uint8_t)random()}; break;
    case 3: answer.delayMs = (int)(random() % (wait + 2)); break;  // up to the last poll
    case 4: answer.delayMs = (int)(wait + 1 + random() % (late ? LATE_MS - wait : chunks)); break;  // after it
    case 5:
        if (late) {  // a refusal or an acceptance, on time or late
            answer = Answer{Answer::Status, random() % 2 ? (uint8_t)UPD_BLOCK_OK : (uint8_t)random()};
            answer.delayMs = (int)(random() % (LATE_MS + 1));
            break;
        }
        answer.copies = 2 + (unsigned)(random() % 2);
        answer.apartMs = (unsigned)(random() % ((chunks - 1) / (answer.copies - 1) + 1));
        break;
    case 6: answer.type = Answer::Noise; break;
    case 7:
        answer = Answer{Answer::Status, random() % 2 ? (uint8_t)UPD_BLOCK_OK : (uint8_t)random()};
        answer.length = 201 + (unsigned)(random() % 300);
        break;
    default: break;  // as the target would answer, at once
    }
    return answer;
}

sim::Bytes RandomData(std::mt19937_64& random)
{
    sim::Bytes data(1 + random() % (random() % 8 ? 60 : 400));
    for (uint8_t& byte : data)
        byte = (uint8_t)random();
    return data;
}

Schedule Draw(uint64_t seed)
{
    std::mt19937_64 random(seed);
    Schedule s;
    size_t total = 0, count = 1 + random() % 10;
    while (s.records.size() < count) {
        sim::Bytes record = Record(RandomData(random));
        if (s.records.empty() || record != s.records.back()) {
            s.records.push_back(record);
            total += record.size();
        }
    }
    bool late = random() % 2;
    for (unsigned n = (unsigned)(random() % 4 ? 0 : random() % 6); n != 0; --n) {
        Answer answer{random() % 2 ? Answer::Silent : Answer::Noise};
        if (late && random() % 2)
            answer = Answer{Answer::Auto, 0, 3, (int)(HANDSHAKE_POLLS + 1 + random() % (LATE_MS - HANDSHAKE_POLLS))};
        s.script.handshake.push_back(answer);
    }
    s.script.handshake.push_back(Answer{});
    s.script.noise = random() % 8 == 0;
    size_t position = 0, messages = 1;
    for (size_t i = 0; i < count; ++i) {
        unsigned wait = position * 100 / total < ACK_LATE_PERCENT ? ACK_POLLS : ACK_POLLS_LATE;
        unsigned chunks = std::min(Chunks(s.records[i]), Chunks(s.records[std::min(i + 1, count - 1)]));
        std::vector<Answer>& answers = s.script.records[(unsigned)i + 1];
        for (unsigned n = (unsigned)(random() % 5 ? random() % 3 : random() % 22); n != 0; --n)
            answers.push_back(Fault(random, wait, chunks, late));
        answers.push_back(Answer{});
        position += s.records[i].size();
        messages += Chunks(s.records[i]);
    }
    // Now and then a record the target never accepts, so the program must
    // give up on it.
    if (random() % 10 == 0) {
        std::vector<Answer>& answers = s.script.records[1 + (unsigned)(random() % count)];
        answers.assign(MAX_BLOCK_FAILURES + 5, Answer{Answer::Silent});
        for (Answer& answer : answers)
            if (random() % 2)
                answer = Answer{Answer::Status, (uint8_t)(0x20 + random() % 6)};
    }
    if (random() % 10 == 0)
        s.setup.failSend = {1 + (unsigned)(random() % (messages + 4))};
    if (random() % 4 == 0)  // an output that finishes each message later, while answers arrive
        s.setup.completeMs = 1 + (unsigned)(random() % 3);
    if (random() % 8 == 0) {  // a device's buffer that passes messages on later, written directly or held
        s.setup.drainRate = 31250 * (1 + (unsigned)(random() % 4));
        s.setup.held = random() % 2;
    }
    if (random() % 8 == 0)  // an input that refuses a receive buffer now and then
        s.setup.failAdd = {1 + (unsigned)(random() % (count + 6)), 1 + (unsigned)(random() % (count + 6))};
    // Windows' MIDI service, and a device that stops taking messages a
    // while. Two sendings the service kept reach the device back to back,
    // so a repeated answer would come after the next sending: there every
    // answer comes once, if late.
    if (random() % 8 == 0) {
        for (auto& record : s.script.records)
            for (Answer& answer : record.second)
                answer.copies = 1;
        s.setup = sim::Setup{};
        s.setup.service = true;
        s.setup.serviceTimeoutMs = random() % 2 ? 1000 : 4000;
        s.setup.acceptAfter = (unsigned)(random() % (messages + 2));
        s.setup.acceptMs = (unsigned)(random() % 12000);
        if (random() % 8 == 0)
            s.setup.goneAfter = (int)(random() % (messages + 2));
    }
    return s;
}

// The longest run of attempts of one record, read back from the wire: a
// record is the hexadecimal text of the messages after the greeting, up to
// the length its first two bytes give.
unsigned MostAttempts()
{
    unsigned most = 0, run = 0;
    sim::Bytes record, previous;
    for (const sim::WireEntry& entry : sim::Wire()) {
        if (!entry.toDevice || entry.bytes.size() < 3 || entry.bytes[2] == 0x6D)  // the greeting
            continue;
        for (size_t i = 1; i + 2 < entry.bytes.size(); i += 2)
            record.push_back((uint8_t)std::stoi(std::string(entry.bytes.begin() + (long)i,
                                                             entry.bytes.begin() + (long)i + 2), nullptr, 16));
        if (record.size() < 2 || record.size() < record[0] * 256u + record[1] + 2u)
            continue;
        run = record == previous ? run + 1 : 1;
        most = std::max(most, run);
        previous = record;
        record.clear();
    }
    return most;
}

uint64_t Setting(const char* name, uint64_t otherwise)
{
    const char* value = getenv(name);
    return value != nullptr && *value != '\0' ? strtoull(value, nullptr, 10) : otherwise;
}

TEST(FaultSoak, EveryScheduleEndsOnceAndClaimsSuccessOnlyForTheWholeImage)
{
    uint64_t first = Setting("UPDATE_SOAK_SEED", 1);
    uint64_t runs = Setting("UPDATE_SOAK_RUNS", 10000);
    printf("fault soak: UPDATE_SOAK_SEED=%llu UPDATE_SOAK_RUNS=%llu\n", (unsigned long long)first,
           (unsigned long long)runs);
    unsigned successes = 0;
    for (uint64_t seed = first; seed != first + runs; ++seed) {
        SCOPED_TRACE("replay with UPDATE_SOAK_SEED=" + std::to_string(seed) + " UPDATE_SOAK_RUNS=1");
        Schedule s = Draw(seed);
        sim::Target target(s.script);
        int status = -1;
        std::string out = RunSimulated(s.records, s.setup, &target, &status);
        ASSERT_EQ(CountEndings(out), 1u) << out;
        ASSERT_EQ(out.substr(out.size() - strlen(PROMPT)), PROMPT);
        bool success = out.find("Target update successfully!\n") != std::string::npos;
        ASSERT_EQ(status == 0, success) << status;
        // Whatever the ending, the target holds the image from its start,
        // the whole of it after a success.
        sim::Bytes image = Concat(s.records), held = target.Held();
        ASSERT_TRUE(held.size() <= image.size() && std::equal(held.begin(), held.end(), image.begin()))
            << out << sim::FormatWire();
        if (success) {
            ASSERT_EQ(held, image) << out << sim::FormatWire();
        }
        successes += success;
        ASSERT_LE(MostAttempts(), 20u);  // the limit a user is promised, not the constant
        ASSERT_EQ(sim::OpenPorts(), 0u);
        ASSERT_EQ(sim::Faults(), std::vector<std::string>{});
    }
    printf("fault soak: %llu schedules, %u ended in success\n", (unsigned long long)runs, successes);
}

}  // namespace
