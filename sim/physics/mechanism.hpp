#pragma once
// What the motors drive when dmsim runs a physics model: the simulator steps
// it with the clock and the event loop reports on it; the engine behind it
// stays out of both.

#include <span>
#include <string>
#include <vector>

#include "sim/motor_model.hpp"
#include "sim/physics/pace.hpp"

namespace torvane::sim {

class Mechanism {
public:
    virtual ~Mechanism() = default;

    // Steps the model toward `now` (never past it), motors[i] driving the
    // joint bound to motor i, and leaves each motor its joint's state.
    virtual void advance(MonoNanos now, std::span<MotorModel> motors) = 0;
    // Steps that were due but left for a later advance().
    virtual bool lagging(MonoNanos now) const = 0;
    virtual PaceSample progress(MonoNanos now) const = 0;
    virtual MonoNanos step() const = 0;
    // For the ready line: "model FILE, N joints bound, step 1 ms".
    virtual std::string summary() const = 0;
    // What went wrong since the last call and what was done about it.
    virtual std::vector<std::string> take_notes() = 0;
};

}  // namespace torvane::sim
