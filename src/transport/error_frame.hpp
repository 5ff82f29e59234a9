#pragma once
// A controller's error frame (linux/can/error.h) read: which classes it
// reports, the controller state it says the bus is in, and the same in
// words for people ("bus-off", "controller rx overflow, tx error-passive").

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "transport/can_frame.hpp"

namespace torvane::can {

enum class BusState : std::uint8_t { ErrorActive, ErrorWarning, ErrorPassive, BusOff };

// "error-active", "error-warning", "error-passive", "bus-off".
const char* state_name(BusState state);

// The error classes counted per bus, in the order of their bits in an error
// frame's identifier: class k is bit k. (Bit 9 only says that bytes 6 and 7
// hold the error counters; it is no error of its own.)
inline constexpr std::array<const char*, 9> kErrorClasses{
    "tx-timeout", "lost-arbitration", "controller", "protocol", "transceiver",
    "no-ack",     "bus-off",          "bus-error",  "restarted"};

struct ErrorReading {
    std::uint32_t classes = 0;
    // The controller's state the frame reports, if it reports one.
    std::optional<BusState> state;
    bool bus_off() const { return state == BusState::BusOff; }
};

// An error frame's classes (its identifier without the flag) and bytes
// (fewer than 8 read as zeros).
ErrorReading read_error(std::uint32_t classes, std::span<const std::uint8_t> data);
inline ErrorReading read_error(const CanFrame& f) { return read_error(f.id.value, f.data()); }

// Each class in words, with what its bytes add, joined by "; ".
std::string error_text(std::uint32_t classes, std::span<const std::uint8_t> data);

}  // namespace torvane::can
