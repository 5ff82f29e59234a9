#pragma once
// What a group checks and sets on each motor before enabling it: its control
// mode (read, and switched in RAM and verified when asked) and its watchdog
// (TIMEOUT, in RAM, written only where it differs). A failure names the
// motor it happened on.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "damiao/driver.hpp"

namespace torvane::damiao {

// TIMEOUT counts 50 us; the firmware keeps it in 16 bits.
inline constexpr std::uint32_t kWatchdogUnitsPerMs = 20;
inline constexpr std::uint32_t kWatchdogMaxMs = 0xFFFF / kWatchdogUnitsPerMs;

struct EnableSetup {
    std::optional<std::uint8_t> mode;         // the control mode asked for
    bool set_mode = false;                    // switch a motor in another mode, rather than refuse
    std::optional<std::uint32_t> watchdog_ms;  // 1..kWatchdogMaxMs
    bool empty() const { return !mode && !watchdog_ms; }
};

// A motor in another mode than asked, with set_mode off.
struct WrongMode {
    std::size_t index;
    std::uint32_t mode;
};

struct SetupFailure {
    std::size_t index;  // the motor it failed on
    Error error;
};

// Each motor in turn; stops at the first failure. `before[i]` gets the
// TIMEOUT a motor had where this changed it. The motors in another mode
// (set_mode off), none of which was changed.
std::expected<std::vector<WrongMode>, SetupFailure> set_up_for_enable(can::CanTransport& bus,
                                                                      std::span<const Damiao> motors,
                                                                      const EnableSetup& setup,
                                                                      std::span<std::optional<std::uint32_t>> before);

}  // namespace torvane::damiao
