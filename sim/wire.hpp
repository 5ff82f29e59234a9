#pragma once
// How long frames take on a real CAN bus, so that a simulator on vcan (where
// frames take no time at all) answers no sooner than a real bus could carry
// the traffic. One bus, one frame at a time, in the order frames are ready.
//
// Bits per frame, stuff bits counted as the worst case (one per four bits of
// the stuffed span after the first), so the time is never short:
//   classic: stuffed span = 34 (standard id) or 54 (extended) + 8 x data
//            bytes (0 for a remote frame), then 13 bits (CRC delimiter, ACK,
//            end of frame, intermission); an 8-byte standard frame is 135.
//   CAN FD:  arbitration at the nominal rate: 17 (standard) or 36 (extended)
//            bits up to the bit-rate switch plus their stuff bits, and 12
//            after the CRC (ACK, end of frame, intermission); the data phase,
//            at the data rate when the frame switches: 5 + 8 x length bits
//            with their stuff bits, the stuff count (4), the CRC (17, or 21
//            past 16 bytes) with its fixed stuff bits (6 or 7), and the CRC
//            delimiter.

#include <cstdint>

#include "transport/can_frame.hpp"
#include "transport/duration.hpp"

namespace torvane::sim {

using can::MonoNanos;

struct FrameBits {
    std::uint32_t nominal = 0;  // at the nominal bit rate
    std::uint32_t data = 0;     // at the data bit rate of a frame with BRS, else also nominal
    friend constexpr bool operator==(const FrameBits&, const FrameBits&) = default;
};

FrameBits frame_bits(const can::CanFrame& frame, bool remote = false);

class Wire {
public:
    // Off: every frame takes no time.
    Wire() = default;
    // Rates in bit/s; `data_bitrate` is the FD data phase's (0: the nominal).
    Wire(std::uint64_t bitrate, std::uint64_t data_bitrate)
        : nominal_(bitrate), data_(data_bitrate ? data_bitrate : bitrate) {}

    bool on() const { return nominal_ > 0; }
    // Nanoseconds the frame occupies the bus, rounded up.
    MonoNanos duration(const can::CanFrame& frame, bool remote = false) const;
    // When a frame whose sender had it ready at `ready` (never before the
    // last call's) has been carried: it waits for the bus to be free.
    MonoNanos carry(MonoNanos ready, const can::CanFrame& frame, bool remote = false);

private:
    std::uint64_t nominal_ = 0, data_ = 0;
    MonoNanos free_at_ = 0;
};

}  // namespace torvane::sim
