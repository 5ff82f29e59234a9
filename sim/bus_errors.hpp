#pragma once
// The error frames dmsim plays on a bus, laid out as a controller's driver
// delivers them (linux/can/error.h), by the names bus health counts them
// under, plus the two controller states a warning or passive frame reports.

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "transport/can_frame.hpp"

namespace torvane::sim {

// Every class of can::kErrorClasses, then "error-warning" and "error-passive".
std::span<const std::string_view> bus_error_kinds();
// "tx-timeout, lost-arbitration, ..." for messages.
std::string bus_error_kind_names();
// Identifier: the kind's class bit (can::CanId::error); 8 data bytes.
std::optional<can::CanFrame> bus_error_frame(std::string_view kind);

}  // namespace torvane::sim
