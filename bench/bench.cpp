// Figures for the program's costs: reading and checking the largest image,
// the one sleep that paces the transfer, whole updates in real time
// against a target that acknowledges at once, set against their floor (the
// chunks sent times one measured sleep), and the longest wait for an owed
// answer.
#include "harness.h"
#include "image/image.h"
#include "platform.h"

#include <benchmark/benchmark.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <string>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <thread>

namespace {

std::atomic<uint64_t> g_allocations{0};

using Clock = std::chrono::steady_clock;

// Records of 250 data bytes up to the given image size, the last one cut to
// fit; each differs from the one before.
std::vector<sim::Bytes> Image(size_t size)
{
    std::vector<sim::Bytes> records;
    for (size_t left = size; left >= 6;) {
        size_t data = std::min<size_t>(250, left - 4);
        if (left - (data + 4) < 6 && left - (data + 4) != 0)
            data = left - 4 - 6;
        records.push_back(Record(sim::Bytes(data, (uint8_t)records.size())));
        left -= data + 4;
    }
    return records;
}

size_t Chunks(const std::vector<sim::Bytes>& records)
{
    size_t n = 0;
    for (const sim::Bytes& record : records)
        n += ::Chunks(record);
    return n;
}

double CpuSeconds(const rusage& use)
{
    return (double)use.ru_utime.tv_sec + (double)use.ru_stime.tv_sec +
           ((double)use.ru_utime.tv_usec + (double)use.ru_stime.tv_usec) / 1e6;
}

double CpuSeconds()
{
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return CpuSeconds(use);
}

// The mean of many 1 ms sleeps on this thread, in seconds.
double SleepSeconds()
{
    auto start = Clock::now();
    for (int i = 0; i < 200; ++i)
        Sleep(1);
    return std::chrono::duration<double>(Clock::now() - start).count() / 200;
}

void LoadAndValidate(benchmark::State& state)
{
    ScratchDir dir;
    std::vector<sim::Bytes> records = Image(IMAGE_MAX_COUNT);
    WriteFile("image.kit", KitText(records));
    static FirmwareImage image;
    Capture([&] {  // LoadImage reports the file it opened
        for (auto _ : state) {
            bool good = LoadImage("image.kit", &image) == IMAGE_READ && ValidateImage(&image);
            if (!good || image.count != IMAGE_MAX_COUNT)
                state.SkipWithError("the image did not load");
        }
    });
    state.SetBytesProcessed((int64_t)state.iterations() * IMAGE_MAX_COUNT);
}
BENCHMARK(LoadAndValidate)->Unit(benchmark::kMicrosecond);

// The timer slack that the kernel adds to each sleep, in ns: Linux's
// default of 50 µs, and the 1 ns the program asks for.
void OneMillisecondSleep(benchmark::State& state)
{
    unsigned long before = (unsigned long)prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    prctl(PR_SET_TIMERSLACK, (unsigned long)state.range(0), 0, 0, 0);
    auto start = Clock::now();
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    double mean = std::chrono::duration<double>(Clock::now() - start).count() / (double)state.iterations();
    state.counters["overshoot_us"] = (mean - 0.001) * 1e6;
    prctl(PR_SET_TIMERSLACK, before, 0, 0, 0);
}
BENCHMARK(OneMillisecondSleep)->ArgName("slack_ns")->Arg(50000)->Arg(1)->Unit(benchmark::kMicrosecond);

// With an output that finishes each message complete_ms after it is
// handed over, as a driver that queues may, the floor is that time and the
// pause after it, a chunk.
void WholeUpdate(benchmark::State& state)
{
    std::vector<sim::Bytes> records = Image((size_t)state.range(0));
    size_t chunks = Chunks(records);
    double floor = 0, wall = 0, cpu = 0;
    uint64_t allocations = 0;
    for (auto _ : state) {
        sim::Setup setup;
        setup.realTime = true;
        setup.completeMs = (unsigned)state.range(1);
        sim::Target target;
        state.PauseTiming();
        floor += (double)chunks * ((double)setup.completeMs / 1000 + SleepSeconds());
        state.ResumeTiming();
        double cpuStart = CpuSeconds();
        uint64_t allocationsStart = g_allocations.load();
        auto start = Clock::now();
        std::string out = RunSimulated(records, setup, &target);
        wall += std::chrono::duration<double>(Clock::now() - start).count();
        allocations += g_allocations.load() - allocationsStart;
        cpu += CpuSeconds() - cpuStart;
        if (out.find(SUCCESS) == std::string::npos)
            state.SkipWithError("the update did not succeed");
    }
    state.counters["chunks"] = (double)chunks;
    state.counters["wall_per_floor"] = wall / floor;
    state.counters["cpu_per_wall"] = cpu / wall;
    state.counters["us_per_chunk"] = wall / (double)state.iterations() / (double)chunks * 1e6;
    state.counters["allocs_per_msg"] = (double)allocations / (double)state.iterations() / (double)chunks;
}
BENCHMARK(WholeUpdate)
    ->ArgNames({"bytes", "complete_ms"})
    ->Args({1024, 0})
    ->Args({8192, 0})
    ->Args({65535, 0})
    ->Args({65535, 2})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The wait for an answer still owed that never comes: the target answers
// only the second greeting, so the program waits out its 300 polls for the
// first one's before the first record. On the wire, in real time, that wait
// is the gap between the answer and the record's first chunk.
void OwedAnswerThatNeverComes(benchmark::State& state)
{
    double gap = 0;
    for (auto _ : state) {
        sim::Setup setup;
        setup.realTime = true;
        sim::TargetScript script;
        script.handshake = {sim::Answer{sim::Answer::Silent}, sim::Answer{}};
        sim::Target target(script);
        if (RunSimulated({Record({1, 2})}, setup, &target).find(SUCCESS) == std::string::npos)
            state.SkipWithError("the update did not succeed");
        std::vector<sim::WireEntry> wire = sim::Wire();
        auto answer = std::find_if(wire.begin(), wire.end(), [](const sim::WireEntry& e) { return !e.toDevice; });
        auto record = std::find_if(answer, wire.end(), [](const sim::WireEntry& e) { return e.toDevice; });
        if (record == wire.end())
            state.SkipWithError("no record went out");
        else
            gap += (double)(record->ms - answer->ms);
    }
    state.counters["wait_ms"] = gap / (double)state.iterations();
}
BENCHMARK(OwedAnswerThatNeverComes)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// update-sim as its own process, a whole update of the largest image in
// real time: its peak resident set and its processor time against its wall
// time, as wait4 reports them.
void WholeProgram(benchmark::State& state)
{
    ScratchDir dir;
    WriteFile("Quellam.kit", KitText(Image(IMAGE_MAX_COUNT)));
    rusage use{};
    for (auto _ : state) {
        pid_t pid = fork();
        if (pid == 0) {
            freopen("/dev/null", "w", stdout);
            execl(UPDATE_SIM_EXE, UPDATE_SIM_EXE, (char*)nullptr);
            _exit(127);
        }
        int status = 0;
        auto start = Clock::now();
        wait4(pid, &status, 0, &use);
        double wall = std::chrono::duration<double>(Clock::now() - start).count();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            state.SkipWithError("update-sim failed");
        state.counters["cpu_per_wall"] = CpuSeconds(use) / wall;
    }
    state.counters["peak_rss_kib"] = (double)use.ru_maxrss;
}
BENCHMARK(WholeProgram)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// update-sim --all over N simulated units in real time, each updated with
// the largest image by a run of its own: each unit's seconds (from the
// report) and the whole run's against one update's floor, and the
// processor time of every run, per unit.
void AllAtOnce(benchmark::State& state)
{
    ScratchDir dir;
    std::vector<sim::Bytes> records = Image(IMAGE_MAX_COUNT);
    WriteFile("Quellam.kit", KitText(records));
    std::string scenario;
    for (const char* side : {"input", "output"})
        for (int64_t unit = 1; unit <= state.range(0); ++unit)
            scenario += std::string(side) + " Quellam MIDI 1 interface " + std::to_string(unit) +
                        ":0 #SEQ_HARDWARE serial:" + std::to_string(1000 + unit) + "\n";
    WriteFile("scenario", scenario);
    setenv("UPDATE_SIM_SCENARIO", "scenario", 1);
    rusage use{};
    double floor = (double)Chunks(records) * SleepSeconds(), wall = 0, units = 0, slowest = 0;
    for (auto _ : state) {
        remove("report");
        pid_t pid = fork();
        if (pid == 0) {
            freopen("/dev/null", "w", stdout);
            execl(UPDATE_SIM_EXE, UPDATE_SIM_EXE, "--all", "--no-pause", "--report", "report", (char*)nullptr);
            _exit(127);
        }
        int status = 0;
        auto start = Clock::now();
        wait4(pid, &status, 0, &use);
        wall += std::chrono::duration<double>(Clock::now() - start).count();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            state.SkipWithError("update-sim --all failed");
        std::string report = ReadFile("report");
        for (size_t at = 0; (at = report.find("\"seconds\":", at)) != std::string::npos; ++at) {
            double seconds = std::stod(report.substr(at + 10));
            units += seconds;
            slowest = std::max(slowest, seconds);
        }
    }
    unsetenv("UPDATE_SIM_SCENARIO");
    double runs = (double)state.iterations(), n = (double)state.range(0);
    state.counters["unit_per_floor"] = units / runs / n / floor;
    state.counters["slowest_per_floor"] = slowest / floor;
    state.counters["all_per_floor"] = wall / runs / floor;
    state.counters["cpu_s_per_unit"] = CpuSeconds(use) / n;
}
BENCHMARK(AllAtOnce)->ArgName("units")->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(16)->Iterations(1)->Unit(
    benchmark::kMillisecond)->UseRealTime();

}  // namespace

void* operator new(size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    free(p);
}

void operator delete(void* p, size_t) noexcept
{
    free(p);
}

int main(int argc, char** argv)
{
    if (freopen("/dev/null", "r", stdin) == nullptr)
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
