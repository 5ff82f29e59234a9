#pragma once
// Durations and deadlines on the monotonic clock.

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <limits>

namespace torvane::can {

struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;  // 0..999'999'999

    static constexpr Duration from_millis(std::uint64_t ms) {
        return {ms / 1000, static_cast<std::uint32_t>((ms % 1000) * 1'000'000)};
    }
    friend constexpr bool operator==(const Duration&, const Duration&) = default;
};

// A reading of CLOCK_MONOTONIC in whole nanoseconds, signed so that a
// difference can go negative.
using MonoNanos = __int128;

inline MonoNanos mono_now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<MonoNanos>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

inline MonoNanos to_nanos(Duration d) {
    return static_cast<MonoNanos>(d.secs) * 1'000'000'000 + d.nanos;
}

// Remaining time as a Duration; callers check `left >= 0` first. Any wait
// a caller sets fits 64 bits, whose division by a constant is a multiply;
// the 128-bit one is a library call that showed in the exchange's profile.
inline Duration from_nanos(MonoNanos left) {
    constexpr MonoNanos kMax64 = std::numeric_limits<std::int64_t>::max();
    if (left <= kMax64) {
        const auto n = static_cast<std::uint64_t>(left);
        return {n / 1'000'000'000, static_cast<std::uint32_t>(n % 1'000'000'000)};
    }
    return {static_cast<std::uint64_t>(left / 1'000'000'000),
            static_cast<std::uint32_t>(left % 1'000'000'000)};
}

// The whole of `d`, resumed after signals.
inline void sleep_for(Duration d) {
    timespec ts{static_cast<time_t>(d.secs), static_cast<long>(d.nanos)};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
    }
}

// A wait for ppoll and clock_nanosleep: seconds capped at time_t,
// nanoseconds exact.
inline timespec to_timespec(Duration d) {
    using secs_t = decltype(timespec{}.tv_sec);
    constexpr auto kMaxSecs = static_cast<std::uint64_t>(std::numeric_limits<secs_t>::max());
    return {static_cast<secs_t>(d.secs > kMaxSecs ? kMaxSecs : d.secs), static_cast<long>(d.nanos)};
}

}  // namespace torvane::can
