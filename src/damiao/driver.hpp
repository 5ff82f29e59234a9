#pragma once
// One motor on a borrowed bus: every command it takes, alone or made for a
// group, register access and the control-mode check. Holds configuration only.

#include <cstdint>
#include <expected>

#include "damiao/commands.hpp"
#include "damiao/error.hpp"
#include "damiao/mit.hpp"
#include "damiao/registers.hpp"
#include "transport/transport.hpp"

namespace torvane::damiao {

template <typename T>
using Result = std::expected<T, Error>;

inline constexpr std::uint16_t kRegisterId = 0x7FF;
inline constexpr std::uint8_t kRegRead = 0x33;
inline constexpr std::uint8_t kRegWrite = 0x55;

inline constexpr Frame8 kCmdEnable{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};
inline constexpr Frame8 kCmdDisable{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD};
inline constexpr Frame8 kCmdSetZero{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE};
inline constexpr Frame8 kCmdClearError{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB};

// The pause between writing the control mode and reading it back.
inline constexpr can::Duration kModeSettle{0, 100'000'000};
// How long the bus stays quiet after a save: the motor writes its flash and
// answers nothing meanwhile.
inline constexpr can::Duration kFlashWrite{0, 30'000'000};

// MIT gains are scaled by these fixed ranges; no register holds them.
inline constexpr float kFirmwareKpMax = 500.0f;
inline constexpr float kFirmwareKdMax = 5.0f;

enum class Verify : bool { No, Yes };

struct Damiao {
    std::uint16_t motor_id = 0;
    std::uint16_t master_id = 0;
    MitLimits limits{};
    can::Duration timeout = can::Duration::from_millis(20);
    std::span<const RegisterInfo> registers = kRegisters;

    // Commands, to run alone (`run`) or in a group exchange. make_command
    // puts any 8 bytes on the command identifier (motor_id).
    Command make_command(const Frame8& data) const;
    Result<Command> make_mit(const MitSetpoint& sp) const;  // InvalidLimits
    Command make_pos_vel(const PosVelCommand& c) const;
    Command make_vel(const VelCommand& c) const;
    Command make_force_pos(const ForcePosCommand& c) const;  // limits clamped, NaN as 0
    Command make_refresh() const;

    // One command out, the feedback on master_id back, decoded with `limits`.
    Result<MotorState> run(can::CanTransport& bus, const Command& c) const;
    // The same, taking only a frame that is this motor's state (is_state_of):
    // a register reply on master_id is neither a state nor an answer.
    Result<MotorState> run_for_state(can::CanTransport& bus, const Command& c) const;

    Result<MotorState> cmd_motor_id(can::CanTransport& bus, const Frame8& data) const;
    Result<MotorState> enable(can::CanTransport& bus) const { return cmd_motor_id(bus, kCmdEnable); }
    Result<MotorState> disable(can::CanTransport& bus) const { return cmd_motor_id(bus, kCmdDisable); }
    Result<MotorState> set_zero(can::CanTransport& bus) const { return cmd_motor_id(bus, kCmdSetZero); }
    Result<MotorState> clear_error(can::CanTransport& bus) const { return cmd_motor_id(bus, kCmdClearError); }
    Result<MotorState> mit_control(can::CanTransport& bus, const MitSetpoint& sp) const;
    Result<MotorState> pos_vel_control(can::CanTransport& bus, const PosVelCommand& c) const {
        return run(bus, make_pos_vel(c));
    }
    Result<MotorState> vel_control(can::CanTransport& bus, const VelCommand& c) const { return run(bus, make_vel(c)); }
    Result<MotorState> force_pos_control(can::CanTransport& bus, const ForcePosCommand& c) const {
        return run(bus, make_force_pos(c));
    }
    // The state, nothing moved.
    Result<MotorState> refresh(can::CanTransport& bus) const { return run(bus, make_refresh()); }

    // The first register access: the reply is the first register reply of
    // that number from any motor, and a write is sent unchecked and not
    // awaited. ensure_control_mode is built on these two.
    Result<RegisterValue> read_register(can::CanTransport& bus, std::uint8_t reg) const;
    Result<void> write_register(can::CanTransport& bus, std::uint8_t reg, RegisterValue value) const;
    Result<void> ensure_control_mode(can::CanTransport& bus, std::uint8_t mode) const;

    // Typed access, answered by this motor only (is_register_answer). The
    // value's type must be the table's. A write waits for the motor's
    // acknowledgement so that it cannot pass for a later command's feedback,
    // but succeeds without one; Verify::Yes reads the value back.
    Result<RegisterValue> get_register(can::CanTransport& bus, std::uint8_t reg) const;
    Result<void> set_register(can::CanTransport& bus, std::uint8_t reg, RegisterValue value, Verify verify) const;

    // PMAX, VMAX and TMAX (registers 21-23) with the firmware's fixed gain ranges.
    Result<MitLimits> read_limits(can::CanTransport& bus) const;

    // Disables the motor (its answer is required), sends the save and keeps
    // the bus quiet for kFlashWrite. The save itself is not answered.
    Result<void> save_parameters(can::CanTransport& bus) const;
};

// The classic frame of a command, or with `fd` a CAN FD frame with bit-rate switch.
can::CanFrame to_frame(const Command& c, bool fd = false);

// Whether a frame is the reply to a read of `reg`: 8 bytes, 0x33, reg.
bool is_register_reply(std::span<const std::uint8_t> data, std::uint8_t reg);

// Whether a frame is `motor_id`'s answer to a register request `op`
// (kRegRead or kRegWrite) of `reg`: 8 bytes, the motor id in bytes 0-1
// (little-endian), op, reg. The identifier it came on does not matter.
bool is_register_answer(std::span<const std::uint8_t> data, std::uint16_t motor_id, std::uint8_t op,
                        std::uint8_t reg);

// Whether a frame on a motor's feedback identifier is its state: 8 bytes,
// the low nibble of byte 0 the motor's id, and not a register reply (bytes
// 0-1 the motor's id, byte 2 a register operation: 0x33, 0x55 or 0xAA). A
// reply of another program's register access comes on the same identifier.
bool is_state_of(std::span<const std::uint8_t> data, std::uint16_t motor_id);

// Bytes 4-7 of a register answer, little-endian.
std::uint32_t register_bits(std::span<const std::uint8_t> data);

Frame8 register_request(std::uint16_t motor_id, std::uint8_t op, std::uint8_t reg, std::uint32_t value);

}  // namespace torvane::damiao
