#pragma once
// The status nibble of a feedback frame (MotorState::error): what each code
// means, once for the host, the simulator and the Python layers.

#include <array>
#include <cstdint>
#include <optional>

namespace torvane::damiao {

struct StatusInfo {
    std::uint8_t code;
    const char* name;
    bool is_fault;  // latched: the motor stops driving until cleared
};

inline constexpr std::array<StatusInfo, 9> kStatuses{{
    {0x0, "DISABLED", false},
    {0x1, "ENABLED", false},
    {0x8, "OVERVOLTAGE", true},
    {0x9, "UNDERVOLTAGE", true},
    {0xA, "OVERCURRENT", true},
    {0xB, "MOS_OVERTEMP", true},
    {0xC, "ROTOR_OVERTEMP", true},
    {0xD, "COMM_LOST", true},
    {0xE, "OVERLOAD", true},
}};

inline constexpr std::uint8_t kStatusDisabled = 0x0;
inline constexpr std::uint8_t kStatusEnabled = 0x1;

constexpr std::optional<StatusInfo> find_status(std::uint32_t code) {
    for (const StatusInfo& s : kStatuses)
        if (s.code == code) return s;
    return std::nullopt;
}

}  // namespace torvane::damiao
