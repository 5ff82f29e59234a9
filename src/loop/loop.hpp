#pragma once
// A fixed-rate loop: tick n is due at start + n x period on the monotonic
// clock. Deadlines are absolute, so late wake-ups do not add up to drift. A
// tick whose body ends after the next deadline is an overrun: the loop
// counts it and goes on at the first deadline still ahead, rather than
// running the missed ticks late one after the other.

#include <cstdint>
#include <expected>

#include "loop/histogram.hpp"
#include "loop/timer.hpp"

namespace torvane::loop {

enum class LoopError {
    Period,  // not positive
    Spin,    // negative
};

// What a loop has measured so far.
struct Stats {
    std::uint64_t ticks = 0;     // ticks begun
    std::uint64_t overruns = 0;  // bodies that ended after the next deadline
    double p50_us = 0, p99_us = 0, max_us = 0;  // wake-up time minus deadline
    double busy = 0;  // share of the period spent in the body, over all ended bodies
};

class Loop {
public:
    Loop() = default;  // period 0: not made
    static std::expected<Loop, LoopError> make(Nanos period, Nanos spin = 0);

    // The next tick's number n, its deadline start + n x period: after an
    // overrun the numbers of the periods missed are skipped, so n times the
    // period is always the tick's time. The first call begins tick 0 at once and
    // starts the clock; each later one ends the running tick's body and
    // waits for the next deadline: asleep until `spin` before it, then
    // reading the clock until it has come. Interrupted: a signal ended the
    // sleep; calling again waits on for the same deadline.
    std::expected<std::uint64_t, Sleep> next(Timer& timer);

    Stats stats() const;
    Nanos period() const { return period_; }
    Nanos spin() const { return spin_; }
    std::uint64_t ticks() const { return ticks_; }
    bool started() const { return started_; }
    // The deadline of the tick begun last (the start for tick 0).
    Nanos last_deadline() const { return last_deadline_; }
    const ErrorHistogram& errors() const { return errors_; }

private:
    Nanos period_ = 0, spin_ = 0;
    bool started_ = false, waiting_ = false;
    Nanos start_ = 0;
    std::int64_t next_index_ = 0;  // on the grid start + k x period
    Nanos deadline_ = 0, last_deadline_ = 0, last_wake_ = 0;
    std::uint64_t ticks_ = 0, overruns_ = 0, bodies_ = 0;
    Nanos busy_ = 0;
    ErrorHistogram errors_;
};

}  // namespace torvane::loop
