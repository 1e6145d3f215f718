// The simulated devices: the platform's state and clock, starting and
// stopping it, the ports' counts, names and interface paths, and the logs
// of calls and faults.
#include "provider.h"
#include "sim/state.h"

#include <ctype.h>
#include <stdio.h>

#include <algorithm>

namespace sim {

std::mutex g_lock;
std::condition_variable g_wake;
std::condition_variable g_idle;
State g_state;

uint64_t NowLocked()
{
    if (!g_state.setup.realTime)
        return g_state.now;
    auto elapsed = std::chrono::steady_clock::now() - g_state.start;
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

uint64_t Now()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return NowLocked();
}

void InterruptAt(uint64_t ms)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state.setup.interruptAtMs = (int)ms;
}

bool Contains(const std::vector<unsigned>& list, unsigned value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

void Call(const char* name, UINT id, MMRESULT result)
{
    char text[64];
    snprintf(text, sizeof text, "%s(%u)=%u", name, id, result);
    g_state.calls.push_back(text);
}

MidiPort* Port(MidiPort* handle)
{
    return handle != nullptr && handle->open ? handle : nullptr;
}

MMRESULT Unprepare(MIDIHDR* hdr)
{
    if (hdr->dwFlags & MHDR_INQUEUE)
        return MIDIERR_STILLPLAYING;
    hdr->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

namespace {

bool HoldsDeviceName(const Device& device)
{
    std::string name = device.name;
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return (char)tolower(c); });
    return name.find("quellam") != std::string::npos;
}

bool TargetBehind(const Setup& setup, const Device& device)
{
    if (!setup.targetNames.empty())
        return std::find(setup.targetNames.begin(), setup.targetNames.end(), device.name) != setup.targetNames.end();
    bool named = std::any_of(setup.inputs.begin(), setup.inputs.end(), HoldsDeviceName) &&
                 std::any_of(setup.outputs.begin(), setup.outputs.end(), HoldsDeviceName);
    return !named || HoldsDeviceName(device);
}

}  // namespace

bool TargetOutputOpen()
{
    for (const MidiPort& port : g_state.outs)
        if (port.open)
            return port.target;
    return false;
}

void Start(const Setup& setup)
{
    Stop();
    std::lock_guard<std::mutex> guard(g_lock);
    g_state = State();
    g_state.setup = setup;
    g_state.start = std::chrono::steady_clock::now();
    g_state.ins.resize(setup.inputs.size());
    g_state.outs.resize(setup.outputs.size());
    for (unsigned i = 0; i < g_state.ins.size() + g_state.outs.size(); ++i) {
        bool input = i < g_state.ins.size();
        MidiPort& port = input ? g_state.ins[i] : g_state.outs[i - g_state.ins.size()];
        port.input = input;
        port.id = input ? i : i - (unsigned)g_state.ins.size();
        port.target = TargetBehind(setup, (input ? setup.inputs : setup.outputs)[port.id]);
    }
    if (setup.model != nullptr)
        setup.model->send = Send;
    g_state.running = true;
    StartCallbackThread();
}

void Stop()
{
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (!g_state.running)
            return;
        g_state.stopping = true;
        g_wake.notify_all();
    }
    StopCallbackThread();
    std::lock_guard<std::mutex> guard(g_lock);
    g_state.running = false;
    g_state.scheduled.clear();
}

std::vector<std::string> Calls()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_state.calls;
}

std::vector<std::string> Faults()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_state.faults;
}

unsigned OpenPorts()
{
    std::lock_guard<std::mutex> guard(g_lock);
    unsigned n = 0;
    for (const MidiPort& port : g_state.ins)
        n += port.open;
    for (const MidiPort& port : g_state.outs)
        n += port.open;
    return n;
}

namespace {

// The system lists every port but those of a device that went away: the
// port listed id-th, or none.
const Device* Listed(bool input, UINT id)
{
    const std::vector<MidiPort>& ports = input ? g_state.ins : g_state.outs;
    for (size_t i = 0; i < ports.size(); ++i)
        if (!ports[i].gone && id-- == 0)
            return &(input ? g_state.setup.inputs : g_state.setup.outputs)[i];
    return nullptr;
}

UINT CountListed(bool input)
{
    UINT n = 0;
    for (const MidiPort& port : input ? g_state.ins : g_state.outs)
        n += !port.gone;
    return n;
}

MMRESULT CopyName(bool input, UINT id, char* name)
{
    const Device* device = Listed(input, id);
    if (device == nullptr)
        return MMSYSERR_BADDEVICEID;
    snprintf(name, MAXPNAMELEN, "%s", device->name.c_str());
    return MMSYSERR_NOERROR;
}

MMRESULT QueryInterface(bool input, DWORD_PTR id, UINT msg, DWORD_PTR param1, DWORD_PTR param2)
{
    const Device* device = id <= UINT32_MAX ? Listed(input, (UINT)id) : nullptr;
    if (device == nullptr)
        return MMSYSERR_BADDEVICEID;
    return AnswerInterfaceQuery(device->interfacePath.c_str(), msg, param1, param2);
}

}  // namespace
}  // namespace sim

using sim::g_state;

UINT midiInGetNumDevs(void)
{
    sim::Entry entry("midiInGetNumDevs");
    return sim::CountListed(true);
}

UINT midiOutGetNumDevs(void)
{
    sim::Entry entry("midiOutGetNumDevs");
    return sim::CountListed(false);
}

MMRESULT midiInGetDevCapsA(UINT id, MIDIINCAPSA* caps, UINT)
{
    sim::Entry entry("midiInGetDevCapsA");
    return sim::CopyName(true, id, caps->szPname);
}

MMRESULT midiOutGetDevCapsA(UINT id, MIDIOUTCAPSA* caps, UINT)
{
    sim::Entry entry("midiOutGetDevCapsA");
    return sim::CopyName(false, id, caps->szPname);
}

MMRESULT midiInMessage(HMIDIIN device, UINT msg, DWORD_PTR param1, DWORD_PTR param2)
{
    sim::Entry entry("midiInMessage");
    return sim::QueryInterface(true, (DWORD_PTR)device, msg, param1, param2);
}

MMRESULT midiOutMessage(HMIDIOUT device, UINT msg, DWORD_PTR param1, DWORD_PTR param2)
{
    sim::Entry entry("midiOutMessage");
    return sim::QueryInterface(false, (DWORD_PTR)device, msg, param1, param2);
}

const char* MidiSystemProblem(void)
{
    return nullptr;
}

const char* MidiPortUsers(bool input, UINT id)
{
    static std::string users;
    sim::Entry entry("MidiPortUsers");
    const std::map<unsigned, std::string>& named = input ? g_state.setup.usersIn : g_state.setup.usersOut;
    auto found = named.find(id);
    users = found != named.end() ? found->second : "";
    return found != named.end() ? users.c_str() : nullptr;
}
