#include "sim/scenario.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#define MAX_SCENARIO_BYTES (1 << 20)

namespace sim {
namespace {

bool ParseNumber(const std::string& word, int base, unsigned long max, unsigned long* value)
{
    char* end = nullptr;
    if (word.empty() || word[0] == '-' || word[0] == '+')
        return false;
    *value = strtoul(word.c_str(), &end, base);
    return *end == '\0' && *value <= max;
}

// STATUS[:LENGTH][@DELAY], "-" for silence, "." for a 1-byte message,
// "lost" for an acceptance whose answer never arrives, or "auto"[@DELAY].
bool ParseAnswer(const std::string& word, Answer* answer)
{
    std::string body = word;
    unsigned long n;
    size_t at = body.find('@');
    if (at != std::string::npos) {
        if (!ParseNumber(body.substr(at + 1), 10, 3600000, &n))
            return false;
        answer->delayMs = (int)n;
        body.resize(at);
    }
    if (body == "-" || body == ".") {
        answer->type = body == "-" ? Answer::Silent : Answer::Noise;
        return true;
    }
    if (body == "auto" || body == "lost") {
        answer->type = body == "auto" ? Answer::Auto : Answer::Lost;
        return true;
    }
    size_t colon = body.find(':');
    if (colon != std::string::npos) {
        if (!ParseNumber(body.substr(colon + 1), 10, 4096, &n) || n < 2)
            return false;
        answer->length = (unsigned)n;
        body.resize(colon);
    }
    if (!ParseNumber(body, 16, 0xFF, &n))
        return false;
    answer->type = Answer::Status;
    answer->status = (uint8_t)n;
    return true;
}

bool ParseAnswers(std::istringstream& words, std::vector<Answer>* answers)
{
    answers->clear();
    for (std::string word; words >> word;) {
        Answer answer;
        if (!ParseAnswer(word, &answer))
            return false;
        answers->push_back(answer);
    }
    return !answers->empty();
}

bool ParseFailure(std::istringstream& words, Setup* setup)
{
    std::string what, number;
    unsigned long n;
    if (!(words >> what >> number) || !ParseNumber(number, 10, 1000000, &n))
        return false;
    if (what == "in-open")
        setup->failInOpen.push_back((unsigned)n);
    else if (what == "in-start")
        setup->failInStart.push_back((unsigned)n);
    else if (what == "out-open")
        setup->failOutOpen.push_back((unsigned)n);
    else if (what == "send" && n != 0)
        setup->failSend.push_back((unsigned)n);
    else if (what == "add" && n != 0)
        setup->failAdd.push_back((unsigned)n);
    else
        return false;
    return true;
}

std::string Rest(std::istringstream& words)
{
    std::string rest;
    std::getline(words >> std::ws, rest);
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t' || rest.back() == '\r'))
        rest.pop_back();
    return rest;
}

// NAME, or NAME interface PATH.
bool ParseDevice(std::istringstream& words, std::vector<Device>* devices)
{
    std::string name = Rest(words), path;
    size_t at = name.rfind(" interface ");
    if (at != std::string::npos) {
        path = name.substr(at + 11);
        name.resize(at);
    }
    devices->push_back(Device(name, path));
    return !name.empty() && (at == std::string::npos || !path.empty());
}

// HEX HEX ... every MS: another program's message and how often it sends it.
bool ParseSends(const std::string& text, Setup* setup)
{
    std::istringstream words(text);
    unsigned long n;
    for (std::string word; words >> word && word != "every";) {
        if (!ParseNumber(word, 16, 0xFF, &n))
            return false;
        setup->othersSend.push_back((uint8_t)n);
    }
    std::string every, extra;
    if (!(words >> every) || !ParseNumber(every, 10, 3600000, &n) || n == 0 || (words >> extra))
        return false;
    setup->othersEveryMs = (unsigned)n;
    return !setup->othersSend.empty();
}

// service, service timeout MS, service buffer BYTES, accept MS after K,
// gone after K.
bool ParseService(const std::string& key, std::istringstream& words, Setup* setup)
{
    std::vector<std::string> w;
    for (std::string word; words >> word;)
        w.push_back(word);
    unsigned long n, k;
    if (key == "service" && w.empty())
        return setup->service = true;
    if (key == "service" && w.size() == 2 && (w[0] == "timeout" || w[0] == "buffer") &&
        ParseNumber(w[1], 10, 1u << 24, &n) && n != 0) {
        (w[0] == "timeout" ? setup->serviceTimeoutMs : setup->serviceBuffer) = (unsigned)n;
        return true;
    }
    if (key == "gone" && w.size() == 2 && w[0] == "after" && ParseNumber(w[1], 10, 1000000, &k)) {
        setup->goneAfter = (int)k;
        return true;
    }
    if (key != "accept" || w.size() != 3 || w[1] != "after" || !ParseNumber(w[0], 10, 3600000, &n) ||
        !ParseNumber(w[2], 10, 1000000, &k))
        return false;
    setup->acceptMs = (unsigned)n;
    setup->acceptAfter = (unsigned)k;
    return true;
}

// busy in|out N, shared in|out N NAMES [sends HEX ... every MS].
bool ParseOthers(const std::string& key, std::istringstream& words, Setup* setup)
{
    std::string side, number, word;
    unsigned long n;
    if (!(words >> side >> number) || (side != "in" && side != "out") || !ParseNumber(number, 10, 1000000, &n))
        return false;
    if (key == "busy") {
        (side == "in" ? setup->busyIn : setup->busyOut).push_back((unsigned)n);
        return !(words >> word);
    }
    std::string names = Rest(words);
    size_t sends = names.find(" sends ");
    if (sends != std::string::npos && (side != "out" || !ParseSends(names.substr(sends + 7), setup)))
        return false;
    names.resize(std::min(sends, names.size()));
    (side == "in" ? setup->usersIn : setup->usersOut)[(unsigned)n] = names;
    return !names.empty();
}

// The lines that set the program's side: its devices, their failures, the
// output and the clock.
bool ParseSetupLine(const std::string& key, std::istringstream& words, Scenario* s, bool* devicesGiven)
{
    std::string word;
    unsigned long n;
    if (key == "input" || key == "output") {
        if (!*devicesGiven) {
            s->setup.inputs.clear();
            s->setup.outputs.clear();
            *devicesGiven = true;
        }
        return ParseDevice(words, key == "input" ? &s->setup.inputs : &s->setup.outputs);
    }
    if (key == "fail")
        return ParseFailure(words, &s->setup) && !(words >> word);
    if (key == "busy" || key == "shared")
        return ParseOthers(key, words, &s->setup);
    if (key == "service" || key == "accept" || key == "gone")
        return ParseService(key, words, &s->setup);
    if (key == "target") {
        s->setup.targetNames.push_back(Rest(words));
        return !s->setup.targetNames.back().empty();
    }
    if (key == "held") {
        s->setup.held = true;
        s->setup.roomUntold = (words >> word) && word == "untold";
        return (s->setup.roomUntold || word.empty()) && !(words >> word);
    }
    if (key == "complete" || key == "drain") {
        if (!(words >> word) || !ParseNumber(word, 10, 3600000, &n) || (words >> word))
            return false;
        (key == "complete" ? s->setup.completeMs : s->setup.drainRate) = (unsigned)n;
        return true;
    }
    if (key == "time") {
        if (!(words >> word) || (word != "virtual" && word != "real") || (words >> word))
            return false;
        s->setup.realTime = word == "real";
        return true;
    }
    return false;
}

// The lines that script the target, and target-sim's own.
bool ParseTargetLine(const std::string& key, std::istringstream& words, Scenario* s)
{
    std::string word;
    unsigned long n;
    if (key == "handshake")
        return ParseAnswers(words, &s->script.handshake);
    if (key == "record") {
        if (!(words >> word))
            return false;
        if (word == "*")
            n = 0;
        else if (!ParseNumber(word, 10, 65535, &n) || n == 0)
            return false;
        return ParseAnswers(words, &s->script.records[(unsigned)n]);
    }
    if (key == "noise" || key == "split" || key == "across-runs") {
        (key == "noise" ? s->script.noise : key == "split" ? s->split : s->script.acrossRuns) = true;
        return !(words >> word);
    }
    if (key == "interrupt" && words.str().find(" at ") != std::string::npos) {
        words >> word;  // at
        if (!(words >> word) || !ParseNumber(word, 10, 3600000, &n) || (words >> word))
            return false;
        s->setup.interruptAtMs = (int)n;
        return true;
    }
    if (key == "interrupt" || key == "delay" || key == "pace" || key == "ports") {
        unsigned long most = key == "interrupt" ? 65535 : key == "delay" ? 3600000 : 1000000;
        if (!(words >> word) || !ParseNumber(word, 10, most, &n) || (words >> word))
            return false;
        if (key == "interrupt")
            s->script.interruptAt = (int)n;
        else
            (key == "delay" ? s->script.delayMs : key == "pace" ? s->pace : s->ports) = (unsigned)n;
        return key == "interrupt" || key == "delay" || (n != 0 && (key == "pace" || n <= 250));
    }
    if (key == "log" || key == "received") {
        std::string path = Rest(words);
        (key == "log" ? s->logPath : s->receivedPath) = path;
        return !path.empty();
    }
    return false;
}

bool ParseLine(const std::string& line, Scenario* s, bool* devicesGiven)
{
    std::istringstream words(line);
    std::string key;
    if (!(words >> key) || key[0] == '#')
        return true;
    std::istringstream again(line);
    again >> key;
    return ParseSetupLine(key, words, s, devicesGiven) || ParseTargetLine(key, again, s);
}

}  // namespace

Scenario DefaultScenario()
{
    Scenario scenario;
    scenario.setup.realTime = true;
    return scenario;
}

bool ParseScenario(const std::string& text, Scenario* scenario, std::string* error)
{
    std::istringstream lines(text);
    bool devicesGiven = false;
    unsigned number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        if (!ParseLine(line, scenario, &devicesGiven)) {
            *error = "line " + std::to_string(number) + ": cannot read '" + line + "'";
            return false;
        }
    }
    if (scenario->setup.held && scenario->setup.drainRate == 0) {
        *error = "held needs a drain line: the buffer it holds";
        return false;
    }
    return true;
}

// A scenario is a small regular file: a FIFO or a device would never end.
bool ReadScenarioFile(const char* path, Scenario* scenario, std::string* error)
{
    struct stat info;
    bool regular = stat(path, &info) == 0 && S_ISREG(info.st_mode);
    *error = !regular ? "is not a regular file" : info.st_size > MAX_SCENARIO_BYTES ? "is larger than 1 MiB" : "";
    bool read = error->empty();
    if (read) {
        std::ifstream file(path, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        *error = "cannot be read";
        read = file && ParseScenario(text.str(), scenario, error);
    }
    *error = std::string(path) + ": " + *error;
    return read;
}

}  // namespace sim
