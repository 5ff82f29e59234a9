#pragma once
// Limits a command cannot cross, applied to its values before encoding: the
// target position into a window and, with max_step, to within that far of
// the motor's last measured position; velocities and feed-forward torque to
// plus or minus their limits. What a bug in a controller or a learned policy
// commands stays inside them.

#include <expected>
#include <limits>
#include <optional>

#include "damiao/commands.hpp"
#include "damiao/mit.hpp"

namespace torvane::damiao {

struct JointLimits {
    float lo = -std::numeric_limits<float>::infinity();
    float hi = std::numeric_limits<float>::infinity();
    std::optional<float> max_step{};  // radians from the last measured position
    std::optional<float> velocity{};  // rad/s, either way
    std::optional<float> torque{};    // N·m, either way
};

// Why a command cannot be limited: nothing is sent for it.
enum class LimitRefusal { NoMeasuredPosition, NotANumber };
const char* to_string(LimitRefusal r);

// Each returns whether it changed a value. `measured` is the motor's last
// measured position, if it has answered. A motor outside its window is led
// back at most max_step per command.
std::expected<bool, LimitRefusal> limit(const JointLimits& l, std::optional<float> measured, MitSetpoint& c);
std::expected<bool, LimitRefusal> limit(const JointLimits& l, std::optional<float> measured, PosVelCommand& c);
std::expected<bool, LimitRefusal> limit(const JointLimits& l, std::optional<float> measured, VelCommand& c);
std::expected<bool, LimitRefusal> limit(const JointLimits& l, std::optional<float> measured, ForcePosCommand& c);

}  // namespace torvane::damiao
