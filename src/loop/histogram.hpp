#pragma once
// Wake-up errors of a loop: counts in buckets a few percent wide (exact
// below 64 ns), so percentiles cost no allocation per tick, and the exact
// largest value.

#include <array>
#include <cstddef>
#include <cstdint>

#include "loop/timer.hpp"

namespace torvane::loop {

class ErrorHistogram {
public:
    // 32 buckets per power of two above 64 ns; the last one holds everything
    // from about 18 minutes on.
    static constexpr int kExact = 64;
    static constexpr int kPerOctave = 32;
    static constexpr int kTopBit = 40;
    static constexpr std::size_t kBuckets = kExact + (kTopBit - 5) * kPerOctave;

    void add(Nanos error);  // a negative error counts as 0
    std::uint64_t count() const { return count_; }
    Nanos max() const { return max_; }
    // The value below which a share q (0..1] of the errors lie: the middle of
    // its bucket, never more than max(); 0 when empty.
    Nanos percentile(double q) const;

    static std::size_t bucket_of(Nanos v);
    static Nanos bucket_low(std::size_t b);
    static Nanos bucket_width(std::size_t b);

private:
    std::array<std::uint64_t, kBuckets> counts_{};
    std::uint64_t count_ = 0;
    Nanos max_ = 0;
};

}  // namespace torvane::loop
