#include <sys/prctl.h>
#include <time.h>

#include <cerrno>

#include "loop/timer.hpp"

namespace torvane::loop {

Nanos monotonic_now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return Nanos{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

Nanos MonotonicTimer::now() { return monotonic_now(); }

Sleep MonotonicTimer::sleep_until(Nanos deadline) {
    const timespec ts{static_cast<time_t>(deadline / 1'000'000'000), static_cast<long>(deadline % 1'000'000'000)};
    // Absolute, so that a sleep resumed after a signal keeps its deadline.
    return clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR ? Sleep::Interrupted
                                                                                : Sleep::Reached;
}

void MonotonicTimer::started() { prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); }

}  // namespace torvane::loop
