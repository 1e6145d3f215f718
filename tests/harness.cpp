#include "harness.h"

#include "app/run.h"
#include "midi/midi.h"
#include "protocol/protocol.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

const char* const BANNER = "TELVARIN Update V0.2 -> Quellam System\n";
const char* const PROMPT = "Press any key to continue . . . \n";
const char* const DEVICES = "MIDI IN DEVICE: Quellam MIDI\r\nMIDI OUT DEVICE: Quellam MIDI\r\n";
const char* const SUCCESS = "Target update successfully!\n\nPress";

unsigned CountEndings(const std::string& out)
{
    static const char* const ENDINGS[] = {
        SUCCESS,
        "The System is restart, please wait!\n\n",
        "before it had the whole image. Run update again once it has restarted.\n\n",
        "\nError in updating.\n",
        "\nFailed: Target is not responding.\n\n",
        "Error: The MIDI Out of device is missing!\n\n",
        "Error: The device and the upgrade file is not matched!\n\n",
        "Please wait the system reset and retry again!\n\n",
    };
    unsigned n = 0;
    for (const char* ending : ENDINGS)
        for (size_t at = out.find(ending); at != std::string::npos; at = out.find(ending, at + 1))
            ++n;
    return n;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string Capture(const std::function<void()>& body)
{
    char path[] = "/tmp/update-out-XXXXXX";
    int fd = mkstemp(path);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    body();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    std::string out = ReadFile(path);
    unlink(path);
    return out;
}

ScratchDir::ScratchDir()
{
    char name[] = "/tmp/update-dir-XXXXXX";
    path = mkdtemp(name);
    previous = std::filesystem::current_path();
    std::filesystem::current_path(path);
}

ScratchDir::~ScratchDir()
{
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(path);
}

void WriteFile(const std::string& name, const std::string& bytes)
{
    std::ofstream(name, std::ios::binary) << bytes;
}

sim::Bytes Record(const sim::Bytes& data)
{
    unsigned length = (unsigned)data.size() + 2;
    uint16_t sum = 0;
    for (uint8_t byte : data)
        sum = (uint16_t)(sum + byte);
    uint16_t check = (uint16_t)(0u - sum);
    sim::Bytes record{(uint8_t)(length >> 8), (uint8_t)length};
    record.reserve(length + 2);
    record.insert(record.end(), data.begin(), data.end());
    record.insert(record.end(), {(uint8_t)check, (uint8_t)(check >> 8)});
    return record;
}

unsigned Chunks(const sim::Bytes& record)
{
    return (unsigned)(record.size() + CHUNK_BYTES - 1) / CHUNK_BYTES;
}

sim::Bytes Concat(const std::vector<sim::Bytes>& records)
{
    sim::Bytes all;
    for (const sim::Bytes& record : records)
        all.insert(all.end(), record.begin(), record.end());
    return all;
}

std::string KitText(const std::vector<sim::Bytes>& records)
{
    std::string text;
    char digits[4];
    for (const sim::Bytes& record : records) {
        for (uint8_t byte : record) {
            snprintf(digits, sizeof digits, "%02X ", byte);
            text += digits;
        }
        text += "\n";
    }
    return text;
}

std::string RunSimulated(const std::vector<sim::Bytes>& records, sim::Setup setup, sim::Model* target, int* status)
{
    ScratchDir dir;
    WriteFile("Quellam.kit", KitText(records));
    setup.model = target;
    sim::Start(setup);
    g_rxCount.store(0);  // as at the start of a process
    int ended = -1;
    std::string out = Capture([&ended] {
        RunOptions options{nullptr, nullptr, nullptr, true, false};
        ended = RunUpdate(&options);
    });
    if (status != nullptr)
        *status = ended;
    sim::Stop();
    return out;
}

ProgramRun RunProgram(const std::string& exe, const std::string& dir, const std::vector<std::string>& env,
                      const std::vector<std::string>& args, bool closedOutput)
{
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::string outPath = dir + "/.stdout", errPath = dir + "/.stderr";
    int unread[2];  // its reading end is closed before the program starts
    if (closedOutput && (pipe(unread) != 0 || close(unread[0]) != 0))
        return ProgramRun{-1, "", "no pipe"};
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        int out = closedOutput ? unread[1] : open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = closedOutput ? unread[1] : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        close(0);
        for (const std::string& setting : env) {
            size_t equals = setting.find('=');
            setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
        }
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    if (closedOutput)
        close(unread[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    int ended = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    ProgramRun run{ended, ReadFile(outPath), ReadFile(errPath)};
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    return run;
}
