#pragma once
// The commands that carry values, as rows of numbers: each kind's fields in
// row order, and the state a tick writes back per motor. Argument checks,
// row buffers, messages and the column names Python code reads all come
// from here, so a kind's shape is written once.

#include <array>
#include <cstddef>
#include <span>
#include <utility>
#include <variant>

#include "damiao/commands.hpp"
#include "damiao/mit.hpp"

namespace torvane::damiao {

enum class CommandKind { Mit, PosVel, Vel, ForcePos };

struct CommandShape {
    CommandKind kind;
    const char* call;   // the tick that sends it
    const char* items;  // what a sequence of them is called in messages
    std::span<const char* const> fields;
};

inline constexpr const char* kMitFields[] = {"q", "dq", "kp", "kd", "tau"};
inline constexpr const char* kPosVelFields[] = {"q", "dq"};
inline constexpr const char* kVelFields[] = {"dq"};
inline constexpr const char* kForcePosFields[] = {"q", "v_limit", "i_limit"};

inline constexpr std::array<CommandShape, 4> kCommandShapes{{
    {CommandKind::Mit, "mit_control", "setpoints", kMitFields},
    {CommandKind::PosVel, "pos_vel", "pairs", kPosVelFields},
    {CommandKind::Vel, "vel", "velocities", kVelFields},
    {CommandKind::ForcePos, "force_pos", "triples", kForcePosFields},
}};
static_assert([] {
    for (std::size_t i = 0; i < kCommandShapes.size(); ++i)
        if (std::to_underlying(kCommandShapes[i].kind) != static_cast<int>(i)) return false;
    return true;
}(), "kCommandShapes is in CommandKind's order");

constexpr const CommandShape& shape_of(CommandKind kind) { return kCommandShapes[std::to_underlying(kind)]; }
constexpr std::size_t width_of(CommandKind kind) { return shape_of(kind).fields.size(); }
inline constexpr std::size_t kMaxCommandWidth = std::size(kMitFields);

// One command of any kind, typed, carried from its row through limiting to
// encoding. The alternatives are in CommandKind's order.
using AnyCommand = std::variant<MitSetpoint, PosVelCommand, VelCommand, ForcePosCommand>;
static_assert(std::variant_size_v<AnyCommand> == kCommandShapes.size());

constexpr CommandKind kind_of(const AnyCommand& c) { return static_cast<CommandKind>(c.index()); }

// `row` holds width_of(kind) values in the kind's field order.
AnyCommand command_from_row(CommandKind kind, std::span<const float> row);

// A motor's state as a row: MotorState's fields, the status code last.
inline constexpr const char* kStateColumns[] = {"position", "velocity", "torque", "t_mos", "t_rotor", "status"};
inline constexpr std::size_t kStateWidth = std::size(kStateColumns);

}  // namespace torvane::damiao
