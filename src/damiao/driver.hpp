#pragma once
// One motor on a borrowed bus: the one-frame commands, MIT control, register
// access and the control-mode check. Holds configuration only.

#include <cstdint>
#include <expected>

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

struct Damiao {
    std::uint16_t motor_id = 0;
    std::uint16_t master_id = 0;
    MitLimits limits{};
    can::Duration timeout = can::Duration::from_millis(20);
    std::span<const RegisterInfo> registers = kRegisters;

    Result<MotorState> cmd_motor_id(can::CanTransport& bus, const Frame8& data) const;
    Result<MotorState> enable(can::CanTransport& bus) const { return cmd_motor_id(bus, kCmdEnable); }
    Result<MotorState> disable(can::CanTransport& bus) const { return cmd_motor_id(bus, kCmdDisable); }
    Result<MotorState> set_zero(can::CanTransport& bus) const { return cmd_motor_id(bus, kCmdSetZero); }
    Result<MotorState> clear_error(can::CanTransport& bus) const { return cmd_motor_id(bus, kCmdClearError); }
    Result<MotorState> mit_control(can::CanTransport& bus, const MitSetpoint& sp) const;

    Result<RegisterValue> read_register(can::CanTransport& bus, std::uint8_t reg) const;
    Result<void> write_register(can::CanTransport& bus, std::uint8_t reg, RegisterValue value) const;
    Result<void> ensure_control_mode(can::CanTransport& bus, std::uint8_t mode) const;
};

// Whether a frame is the reply to a read of `reg`: 8 bytes, 0x33, reg.
bool is_register_reply(std::span<const std::uint8_t> data, std::uint8_t reg);

Frame8 register_request(std::uint16_t motor_id, std::uint8_t op, std::uint8_t reg, std::uint32_t value);

}  // namespace torvane::damiao
