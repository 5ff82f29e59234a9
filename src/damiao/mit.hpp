#pragma once
// The MIT impedance-control codec: limits, setpoints, feedback, and the
// fixed-point packing both ways. All arithmetic is single precision.

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

namespace torvane::damiao {

struct MitLimits {
    float p_max = 12.5f;
    float v_max = 30.0f;
    float kp_max = 500.0f;
    float kd_max = 5.0f;
    float t_max = 10.0f;
};

struct MitSetpoint {
    float q = 0, dq = 0, kp = 0, kd = 0, tau = 0;
};

struct MotorState {
    std::uint8_t motor_id = 0;
    std::uint8_t error = 0;
    float position = 0, velocity = 0, torque = 0;
    std::uint8_t t_mos = 0;
    std::uint8_t t_rotor = 0;
};

struct Preset {
    const char* name;
    MitLimits limits;
};

// In the order the Python class lists them.
inline constexpr std::array<Preset, 15> kPresets{{
    {"dm3507", {12.566f, 50.0f, 500.0f, 5.0f, 5.0f}},
    {"dm4310", {12.5f, 30.0f, 500.0f, 5.0f, 10.0f}},
    {"dm4310p", {12.5f, 50.0f, 500.0f, 5.0f, 10.0f}},
    {"dm4340", {12.5f, 10.0f, 500.0f, 5.0f, 28.0f}},
    {"dm4340p", {12.5f, 10.0f, 500.0f, 5.0f, 28.0f}},
    {"dm6006", {12.5f, 45.0f, 500.0f, 5.0f, 20.0f}},
    {"dm6248p", {12.566f, 20.0f, 500.0f, 5.0f, 120.0f}},
    {"dm8006", {12.5f, 45.0f, 500.0f, 5.0f, 40.0f}},
    {"dm8009", {12.5f, 45.0f, 500.0f, 5.0f, 54.0f}},
    {"dm10010", {12.5f, 20.0f, 500.0f, 5.0f, 200.0f}},
    {"dm10010l", {12.5f, 25.0f, 500.0f, 5.0f, 200.0f}},
    {"dmg6215", {12.5f, 45.0f, 500.0f, 5.0f, 10.0f}},
    {"dmh3510", {12.5f, 280.0f, 500.0f, 5.0f, 1.0f}},
    {"dmh6220", {12.5f, 45.0f, 500.0f, 5.0f, 10.0f}},
    {"dmjh11", {12.5f, 10.0f, 500.0f, 5.0f, 12.0f}},
}};

// The first limit pair that cannot bound a field.
struct InvalidLimits {
    float min = 0, max = 0;
    std::string to_string() const;
};

// Feedback needs 8 bytes; anything shorter cannot be decoded.
struct ShortFeedback {
    std::size_t length = 0;
    std::string to_string() const;
};

using Frame8 = std::array<std::uint8_t, 8>;

std::expected<Frame8, InvalidLimits> encode(const MitLimits& limits, const MitSetpoint& sp);
std::expected<MotorState, ShortFeedback> decode(const MitLimits& limits, std::span<const std::uint8_t> data);

// The motor's side of the same two frames, for the simulator: a command frame
// read back into a setpoint, a state packed into a feedback frame. Values are
// clamped and truncated exactly as `encode` does; limits are trusted.
MitSetpoint decode_setpoint(const MitLimits& limits, const Frame8& data);
Frame8 encode_feedback(const MitLimits& limits, const MotorState& state);

}  // namespace torvane::damiao
