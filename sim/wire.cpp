#include "sim/wire.hpp"

#include <algorithm>

#include "transport/socketcan_backend.hpp"

namespace torvane::sim {

namespace {

// A span that bit stuffing covers, with its worst-case stuff bits.
constexpr std::uint32_t stuffed(std::uint32_t bits) { return bits + (bits - 1) / 4; }

MonoNanos nanos_for(std::uint32_t bits, std::uint64_t rate) {
    const auto n = static_cast<MonoNanos>(bits) * 1'000'000'000;
    return (n + static_cast<MonoNanos>(rate) - 1) / static_cast<MonoNanos>(rate);
}

}  // namespace

FrameBits frame_bits(const can::CanFrame& frame, bool remote) {
    const bool ext = frame.id.is_extended();
    if (!frame.fd) {
        const auto len = static_cast<std::uint32_t>(remote ? 0 : std::min(frame.size(), can::kClassicMaxLen));
        return {stuffed((ext ? 54u : 34u) + 8 * len) + 13, 0};
    }
    const auto len = static_cast<std::uint32_t>(can::fd_wire_len(std::min(frame.size(), can::kFdMaxLen)));
    const std::uint32_t crc = len > 16 ? 21 : 17, fixed_stuff = len > 16 ? 7 : 6;
    return {stuffed(ext ? 36u : 17u) + 12, stuffed(5 + 8 * len) + 4 + crc + fixed_stuff + 1};
}

MonoNanos Wire::duration(const can::CanFrame& frame, bool remote) const {
    if (!on()) return 0;
    const FrameBits b = frame_bits(frame, remote);
    const std::uint64_t data_rate = frame.fd && frame.brs ? data_ : nominal_;
    return nanos_for(b.nominal, nominal_) + (b.data ? nanos_for(b.data, data_rate) : 0);
}

MonoNanos Wire::carry(MonoNanos ready, const can::CanFrame& frame, bool remote) {
    if (!on()) return ready;
    free_at_ = std::max(ready, free_at_) + duration(frame, remote);
    return free_at_;
}

}  // namespace torvane::sim
