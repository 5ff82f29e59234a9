#pragma once
// The frames of the three other control modes and of the one-byte system
// requests on 0x7FF, both ways: the host builds them, the simulator reads
// them back. Multi-byte fields are little-endian.

#include <cstdint>
#include <optional>
#include <span>

#include "damiao/mit.hpp"

namespace torvane::damiao {

// Command identifiers are these plus the motor id.
inline constexpr std::uint16_t kPosVelBase = 0x100;
inline constexpr std::uint16_t kVelBase = 0x200;
inline constexpr std::uint16_t kForcePosBase = 0x300;

// Byte 2 of a request on 0x7FF.
inline constexpr std::uint8_t kOpRefresh = 0xCC;
inline constexpr std::uint8_t kOpSave = 0xAA;

// The FORCE_POS limits travel as fixed point: 0..100 rad/s in hundredths,
// 0..1 of peak current in ten-thousandths.
inline constexpr float kForcePosVelScale = 100.0f;
inline constexpr float kForcePosCurrentScale = 10000.0f;
inline constexpr std::uint16_t kForcePosCodeMax = 10000;

// What the host sends a motor: 8 bytes on a standard identifier. Every
// operation has one (MIT, the three modes, the one-frame commands, refresh),
// so that it can run alone or as one member of a group exchange.
struct Command {
    std::uint16_t id = 0;  // 11 bits
    Frame8 data{};
    friend bool operator==(const Command&, const Command&) = default;
};

struct PosVelCommand {
    float q = 0, dq = 0;  // target position, velocity limit
};

struct VelCommand {
    float dq = 0;
};

struct ForcePosCommand {
    float q = 0;        // target position (rad)
    float v_limit = 0;  // rad/s, 0..100
    float i_limit = 0;  // per unit of peak current, 0..1
};

Frame8 encode(const PosVelCommand& c);
Frame8 encode(const VelCommand& c);  // 8 bytes, the last four zero
Frame8 encode(const ForcePosCommand& c);

// A limit as its code: clamped into 0..kForcePosCodeMax after scaling,
// truncated toward zero, 0 for NaN.
std::uint16_t force_pos_code(float value, float scale);

// The motor's side. Each returns nothing for a payload too short to hold
// the fields (VEL needs 4 bytes, the others 8).
std::optional<PosVelCommand> decode_pos_vel(std::span<const std::uint8_t> data);
std::optional<VelCommand> decode_vel(std::span<const std::uint8_t> data);
std::optional<ForcePosCommand> decode_force_pos(std::span<const std::uint8_t> data);

// A request on 0x7FF addressed to `motor_id`: refresh (0xCC) and save
// (0xAA 0x01) are the two the host sends.
Frame8 system_request(std::uint16_t motor_id, std::uint8_t op, std::uint8_t arg = 0);

}  // namespace torvane::damiao
