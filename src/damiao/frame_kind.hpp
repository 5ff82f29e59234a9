#pragma once
// What one frame on a bus of these motors is, read as a listener reads it:
// from its identifier, its bytes and what the listener has learnt so far
// (which identifier carries whose answers, which motors it has seen, which
// register requests wait for an answer). Nothing here touches a socket.

#include <linux/can.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <variant>

#include "damiao/commands.hpp"
#include "damiao/mit.hpp"
#include "damiao/registers.hpp"
#include "transport/error_frame.hpp"

namespace torvane::damiao {

enum class FrameKind : std::uint8_t {
    Raw,  // none of the motors' frames, or one too short for its kind
    Mit,
    PosVel,
    Vel,
    ForcePos,
    Enable,
    Disable,
    SetZero,
    ClearError,
    Refresh,
    Save,
    RegRead,
    RegWrite,
    RegReply,  // the answer to a RegRead
    RegAck,    // the answer to a RegWrite
    Feedback,
    Error,     // a controller's error frame
};

// "raw", "mit", "pos_vel", ..., "reg_ack", "feedback", "error".
const char* kind_name(FrameKind kind);

// A register request or answer: the register, and its value (typed by the
// register table, Uint32 for a number not in it) unless it is a read.
struct RegisterField {
    std::uint8_t number = 0;
    std::optional<RegisterValue> value;
};

// An error frame: its classes (can::kErrorClasses' bits), its 8 bytes
// (fewer read as zeros) and what they say.
struct ErrorFields {
    std::uint32_t classes = 0;
    std::array<std::uint8_t, 8> data{};
    can::ErrorReading reading;
};

// By kind: MitSetpoint (Mit), the three mode commands, MotorState
// (Feedback), RegisterField (the four register kinds), ErrorFields (Error);
// nothing otherwise.
using FrameValues = std::variant<std::monostate, MitSetpoint, PosVelCommand, VelCommand, ForcePosCommand, MotorState,
                                 RegisterField, ErrorFields>;

struct FrameReading {
    FrameKind kind = FrameKind::Raw;
    std::optional<std::uint16_t> motor_id{};
    FrameValues values{};
};

// A register request seen on the bus and not answered yet.
struct AskedRegister {
    std::uint16_t motor_id = 0;
    std::uint8_t op = 0;  // kRegRead or kRegWrite
    std::uint8_t reg = 0;
    friend bool operator==(const AskedRegister&, const AskedRegister&) = default;
};

// Lookups rather than lists: a listener that saw a scan of every id knows
// thousands of motors and requests, and reads each frame in a few lookups.
struct FrameContext {
    // Those of the motor the frame is for: with feedback_of that motor's,
    // otherwise the motor whose command id is the frame's (MIT commands).
    MitLimits limits{};
    // The motor whose feedback identifier the frame came on, if known.
    std::optional<std::uint16_t> feedback_of{};
    // Whether a motor of this command id is known: an identifier that is one
    // plus a mode's base is read as its command before the plain layout.
    std::function<bool(std::uint16_t)> known{};
    // Whether this request waits for its answer.
    std::function<bool(const AskedRegister&)> asked{};
};

// The error flag of an identifier as a raw socket gives it.
inline constexpr std::uint32_t kErrorFlag = CAN_ERR_FLAG;

// The frame on identifier `id`, in this order: an error frame when `id`
// carries kErrorFlag (its classes in the low 29 bits); a request on 0x7FF;
// an answer to an asked request, on any identifier; with feedback_of,
// that motor's state when the low nibble of byte 0 is its id (a frame shaped
// like a register answer but following no request is a state: a listener
// sees every request); otherwise a command by its identifier. An extended
// identifier (above 0x7FF) is Raw.
FrameReading read_frame(std::uint32_t id, std::span<const std::uint8_t> data, const FrameContext& context);

}  // namespace torvane::damiao
