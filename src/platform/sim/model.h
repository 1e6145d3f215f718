// What stands on the far side of the target's ports: a model of the device
// that hears every message the program sends and may answer.
#pragma once

#include <stdint.h>

#include <functional>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

// How a message from the device reaches the program: as a complete System
// Exclusive message, as one the input reports malformed, or as a short one.
enum class Kind { SysEx, Malformed, Short };

class Model {
public:
    virtual ~Model() = default;
    // The program's input has started receiving.
    virtual void InputStarted() {}
    // A message the program sent, framing included.
    virtual void Received(const Bytes& message) = 0;

    // Set by whoever hosts the model: sends bytes to the program after
    // delayMs milliseconds.
    std::function<void(const Bytes& bytes, unsigned delayMs, Kind kind)> send;
};

}  // namespace sim
