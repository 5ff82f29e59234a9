#pragma once
// Where a loop reads the time and sleeps: CLOCK_MONOTONIC in nanoseconds.
// Tests put a scripted clock in its place.

#include <cstdint>

namespace torvane::loop {

using Nanos = std::int64_t;

enum class Sleep {
    Reached,      // the deadline has come
    Interrupted,  // a signal arrived first
};

class Timer {
public:
    virtual ~Timer() = default;
    virtual Nanos now() = 0;
    // Until `deadline` (absolute), or until a signal arrives.
    virtual Sleep sleep_until(Nanos deadline) = 0;
    // Once, in the thread that runs the loop, when it starts.
    virtual void started() {}
};

// CLOCK_MONOTONIC and clock_nanosleep(TIMER_ABSTIME). Starting sets the
// calling thread's timer slack to 1 ns: at the default 50 µs every sleep
// would end up to that much late.
class MonotonicTimer final : public Timer {
public:
    Nanos now() override;
    Sleep sleep_until(Nanos deadline) override;
    void started() override;
};

Nanos monotonic_now();

}  // namespace torvane::loop
