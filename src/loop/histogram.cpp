#include "loop/histogram.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace torvane::loop {

std::size_t ErrorHistogram::bucket_of(Nanos v) {
    if (v < kExact) return static_cast<std::size_t>(std::max<Nanos>(v, 0));
    const auto u = static_cast<std::uint64_t>(v);
    const int top = static_cast<int>(std::bit_width(u)) - 1;
    if (top > kTopBit) return kBuckets - 1;
    const int shift = top - 5;
    const auto lead = static_cast<std::size_t>(u >> shift);  // 32..63
    return kExact + static_cast<std::size_t>(top - 6) * kPerOctave + (lead - kPerOctave);
}

Nanos ErrorHistogram::bucket_low(std::size_t b) {
    if (b < kExact) return static_cast<Nanos>(b);
    const std::size_t k = b - kExact;
    const int shift = static_cast<int>(k / kPerOctave) + 1;
    return static_cast<Nanos>((kPerOctave + k % kPerOctave) << shift);
}

Nanos ErrorHistogram::bucket_width(std::size_t b) {
    return b < kExact ? 1 : Nanos{1} << (static_cast<int>((b - kExact) / kPerOctave) + 1);
}

void ErrorHistogram::add(Nanos error) {
    error = std::max<Nanos>(error, 0);
    ++counts_[bucket_of(error)];
    ++count_;
    max_ = std::max(max_, error);
}

Nanos ErrorHistogram::percentile(double q) const {
    if (count_ == 0) return 0;
    const auto rank = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(count_))));
    std::uint64_t seen = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) {
        seen += counts_[b];
        if (seen >= rank) return std::min(max_, bucket_low(b) + bucket_width(b) / 2);
    }
    return max_;
}

}  // namespace torvane::loop
