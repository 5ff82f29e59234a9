#pragma once
// Physics against the wall clock: fixed steps that follow it and never run
// ahead of it, and the figures that tell a user whether they keep up. No
// clock of its own: time is passed in.

#include <cstdint>
#include <string>

#include "transport/duration.hpp"

namespace torvane::sim {

using can::MonoNanos;

// Step n ends at start + n x step: advancing to t takes the steps that end by
// t, so the model's time is never past the clock's. A call takes at most
// `most_per_call` of them; the rest wait, and the model's time lags.
class StepClock {
public:
    StepClock(MonoNanos start, MonoNanos step, std::uint64_t most_per_call);

    // The steps to take now to come up to `now`, no more than a call may take.
    std::uint64_t due(MonoNanos now) const;
    void took(std::uint64_t steps) { done_ += steps; }

    MonoNanos start() const { return start_; }
    MonoNanos step() const { return step_; }
    std::uint64_t steps() const { return done_; }
    // The model's time since start.
    MonoNanos simulated() const { return static_cast<MonoNanos>(done_) * step_; }
    // How far the model's time is behind `now`, less the part of a step not yet due.
    MonoNanos behind(MonoNanos now) const;

private:
    MonoNanos start_, step_;
    std::uint64_t most_;
    std::uint64_t done_ = 0;
};

// Where the physics stood at one moment: wall time and model time since
// start, the steps taken and the processor time they took.
struct PaceSample {
    MonoNanos wall = 0;
    MonoNanos simulated = 0;
    std::uint64_t steps = 0;
    MonoNanos busy = 0;
};

// Between two samples.
struct Pace {
    double factor = 0;        // model time gained per second of wall time: 1 keeps up
    double behind_s = 0;      // model time behind wall time at the later sample
    double us_per_step = 0;   // processor time per step
    double core_share = 0;    // processor time per second of wall time
};

Pace pace_between(const PaceSample& from, const PaceSample& to);

// "real-time factor 0.93 (behind the clock by 1.2 s), 4.1 us per 1 ms step,
// 0.4% of a core"
std::string describe(const Pace& pace, MonoNanos step);
// "1 ms", "0.5 ms"
std::string step_text(MonoNanos step);

}  // namespace torvane::sim
