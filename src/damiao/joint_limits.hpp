#pragma once
// Limits a command cannot cross, applied to its values before encoding: the
// target position into a window and, with max_step, to within that far of
// the motor's last measured position; velocities to plus or minus their
// limit, and a velocity command at a window's edge never further out; the
// gains to at most their bounds; and the torque the command asks of the
// motor (stiffness and damping at its last measured state, plus the
// feed-forward) to plus or minus its bound. What a bug in a controller or a
// learned policy commands stays inside them.

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
    std::optional<float> torque{};    // N·m, either way: what the motor is asked for in all
    std::optional<float> kp{};        // at most
    std::optional<float> kd{};        // at most

    bool has_window() const { return lo > -std::numeric_limits<float>::infinity() || hi < std::numeric_limits<float>::infinity(); }
};

// Where the motor was when it last answered.
struct Measured {
    float position = 0;
    float velocity = 0;
};

// Why a command cannot be limited: nothing is sent for it.
enum class LimitRefusal { NoMeasuredPosition, NotANumber };
const char* to_string(LimitRefusal r);

// Whether the limits need the motor's measured state for this kind of command.
bool needs_state(const JointLimits& l, const MitSetpoint& c);
bool needs_state(const JointLimits& l, const PosVelCommand& c);
bool needs_state(const JointLimits& l, const VelCommand& c);
bool needs_state(const JointLimits& l, const ForcePosCommand& c);

// Each returns whether it changed a value. `measured`: the motor's last
// state, if there is one to go by. A motor outside its window is led back
// at most max_step per command. `t_max` is the motor's peak torque, which
// FORCE_POS's current limit is a share of.
std::expected<bool, LimitRefusal> limit(const JointLimits& l, std::optional<Measured> measured, MitSetpoint& c);
std::expected<bool, LimitRefusal> limit(const JointLimits& l, std::optional<Measured> measured, PosVelCommand& c);
std::expected<bool, LimitRefusal> limit(const JointLimits& l, std::optional<Measured> measured, VelCommand& c);
std::expected<bool, LimitRefusal> limit(const JointLimits& l, std::optional<Measured> measured, ForcePosCommand& c,
                                        float t_max);

// What a MIT command asks of the motor at a measured state, in N·m.
float commanded_torque(const MitSetpoint& c, Measured at);

}  // namespace torvane::damiao
