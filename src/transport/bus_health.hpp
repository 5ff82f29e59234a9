#pragma once
// Per interface, what the process has seen of the bus: frames each way,
// replies that came too late, frames that were nobody's reply, waits for
// room in the transmit queue, error frames by class and the controller's
// last state. One record per interface name, shared by every socket of the
// process on it. Relaxed atomics: a reader takes no lock, a writer pays one
// add per counter it touches, and a reading is not one instant of them all.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "transport/error_frame.hpp"

namespace torvane::can {

struct HealthCounts {
    std::uint64_t frames_out = 0;
    std::uint64_t frames_in = 0;    // error frames aside
    std::uint64_t stale = 0;        // replies of an earlier tick, dropped by the next
    std::uint64_t unsolicited = 0;  // frames that were no motor's reply
    std::uint64_t tx_waits = 0;     // waits for room in a full transmit queue
    std::array<std::uint64_t, kErrorClasses.size()> error_frames{};  // by class, kErrorClasses' order
    BusState state = BusState::ErrorActive;
};

class BusHealth {
public:
    explicit BusHealth(std::string iface) : iface_(std::move(iface)) {}

    const std::string& iface() const { return iface_; }

    void add_out(std::uint64_t n) { add(frames_out_, n); }
    void add_in(std::uint64_t n) { add(frames_in_, n); }
    void add_stale(std::uint64_t n) { add(stale_, n); }
    void add_unsolicited(std::uint64_t n) { add(unsolicited_, n); }
    void add_tx_waits(std::uint64_t n) { add(tx_waits_, n); }

    // Counts the frame's classes and keeps the state it reports.
    ErrorReading note_error(const CanFrame& f);

    HealthCounts read() const;
    // The counters back to zero; the state stays the controller's last word.
    void reset();

private:
    using Counter = std::atomic<std::uint64_t>;
    static void add(Counter& c, std::uint64_t n) { c.fetch_add(n, std::memory_order_relaxed); }

    std::string iface_;
    Counter frames_out_{0}, frames_in_{0}, stale_{0}, unsolicited_{0}, tx_waits_{0};
    std::array<Counter, kErrorClasses.size()> errors_{};
    std::atomic<BusState> state_{BusState::ErrorActive};
};

// The one record of the interface named `iface`, made on first use and kept
// for the process.
std::shared_ptr<BusHealth> bus_health(std::string_view iface);

}  // namespace torvane::can
