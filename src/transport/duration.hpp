#pragma once
// Durations and deadlines on the monotonic clock.

#include <cstdint>
#include <ctime>

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

// Remaining time as a Duration; callers check `left > 0` first.
inline Duration from_nanos(MonoNanos left) {
    return {static_cast<std::uint64_t>(left / 1'000'000'000),
            static_cast<std::uint32_t>(left % 1'000'000'000)};
}

}  // namespace torvane::can
