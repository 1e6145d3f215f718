// A whole run on virtual time against a target whose every answer comes from
// the input: any bytes, any length, any delay, complete or malformed, or
// none. Every run must end with exactly one of the program's endings, close
// both ports and use the driver correctly.
#include "harness.h"

#include <stdlib.h>

namespace {

struct FuzzedTarget : sim::Model {
    const uint8_t* data;
    size_t n, used = 0;

    uint8_t Next() { return used < n ? data[used++] : 0xFF; }

    void Received(const sim::Bytes&) override
    {
        uint8_t how = Next();
        if (how == 0xFF)
            return;
        sim::Bytes reply(how % 8 == 7 ? 250 : how % 5, 0);
        for (uint8_t& byte : reply)
            byte = Next();
        if (!reply.empty())
            reply[0] = 0xF0;
        send(reply, Next() * 2u, how & 0x80 ? sim::Kind::Malformed : sim::Kind::SysEx);
    }
};

const std::vector<sim::Bytes> RECORDS = {Record({0x11, 0x22}), Record(sim::Bytes(30, 0x5A)), Record({0x01})};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return freopen("/dev/null", "r", stdin) == nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t n)
{
    FuzzedTarget target;
    target.data = data;
    target.n = n;
    std::string out = RunSimulated(RECORDS, sim::Setup{}, &target);
    if (CountEndings(out) != 1 || sim::OpenPorts() != 0 || !sim::Faults().empty())
        abort();
    return 0;
}
