#include "damiao/driver.hpp"

namespace torvane::damiao {

using can::CanFrame;
using can::CanId;

namespace {

CanFrame classic(std::uint16_t id, const Frame8& data) {
    return CanFrame(CanId::standard(id & can::kStandardMax), data);
}

// The mode commands' identifiers: a base plus the motor id, in 11 bits.
std::uint16_t mode_id(std::uint16_t base, std::uint16_t motor_id) {
    return static_cast<std::uint16_t>((std::uint32_t{base} + motor_id) & can::kStandardMax);
}

}  // namespace

CanFrame to_frame(const Command& c, bool fd) {
    return CanFrame(CanId::standard(c.id & can::kStandardMax), c.data, fd, fd);
}

Command Damiao::make_command(const Frame8& data) const {
    return {static_cast<std::uint16_t>(motor_id & can::kStandardMax), data};
}

Result<Command> Damiao::make_mit(const MitSetpoint& sp) const {
    auto bytes = encode(limits, sp);
    if (!bytes) return std::unexpected(Error(bytes.error()));
    return make_command(*bytes);
}

Command Damiao::make_pos_vel(const PosVelCommand& c) const { return {mode_id(kPosVelBase, motor_id), encode(c)}; }
Command Damiao::make_vel(const VelCommand& c) const { return {mode_id(kVelBase, motor_id), encode(c)}; }
Command Damiao::make_force_pos(const ForcePosCommand& c) const {
    return {mode_id(kForcePosBase, motor_id), encode(c)};
}
Command Damiao::make_refresh() const { return {kRegisterId, system_request(motor_id, kOpRefresh)}; }

Result<MotorState> Damiao::run(can::CanTransport& bus, const Command& c) const {
    auto reply = bus.request(classic(c.id, c.data), CanId::standard(master_id & can::kStandardMax), timeout);
    if (!reply) return std::unexpected(Error(reply.error()));
    auto state = decode(limits, reply->data());
    if (!state) return std::unexpected(Error(state.error()));
    return *state;
}

Result<MotorState> Damiao::run_for_state(can::CanTransport& bus, const Command& c) const {
    const CanId feedback = CanId::standard(master_id & can::kStandardMax);
    auto reply = bus.request(
        classic(c.id, c.data),
        [&](const CanFrame& f) { return f.id == feedback && is_state_of(f.data(), motor_id); }, timeout);
    if (!reply) return std::unexpected(Error(reply.error()));
    auto state = decode(limits, reply->data());
    if (!state) return std::unexpected(Error(state.error()));
    return *state;
}

Result<MotorState> Damiao::cmd_motor_id(can::CanTransport& bus, const Frame8& data) const {
    return run(bus, make_command(data));
}

Result<MotorState> Damiao::mit_control(can::CanTransport& bus, const MitSetpoint& sp) const {
    auto c = make_mit(sp);
    if (!c) return std::unexpected(std::move(c.error()));
    return run(bus, *c);
}

Frame8 register_request(std::uint16_t motor_id, std::uint8_t op, std::uint8_t reg, std::uint32_t value) {
    return {static_cast<std::uint8_t>(motor_id), static_cast<std::uint8_t>(motor_id >> 8), op, reg,
            static_cast<std::uint8_t>(value),    static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

bool is_register_reply(std::span<const std::uint8_t> data, std::uint8_t reg) {
    return data.size() == 8 && data[2] == kRegRead && data[3] == reg;
}

bool is_register_answer(std::span<const std::uint8_t> data, std::uint16_t motor_id, std::uint8_t op,
                        std::uint8_t reg) {
    return data.size() == 8 && data[0] == (motor_id & 0xFF) && data[1] == (motor_id >> 8) && data[2] == op &&
           data[3] == reg;
}

bool is_state_of(std::span<const std::uint8_t> d, std::uint16_t motor_id) {
    if (d.size() < 8 || (d[0] & 0x0F) != (motor_id & 0x0F)) return false;
    const bool register_reply = d[0] == (motor_id & 0xFF) && d[1] == (motor_id >> 8) &&
                                (d[2] == kRegRead || d[2] == kRegWrite || d[2] == kOpSave);
    return !register_reply;
}

std::uint32_t register_bits(std::span<const std::uint8_t> d) {
    return d[4] | (std::uint32_t{d[5]} << 8) | (std::uint32_t{d[6]} << 16) | (std::uint32_t{d[7]} << 24);
}

Result<RegisterValue> Damiao::read_register(can::CanTransport& bus, std::uint8_t reg) const {
    const auto info = find_register(registers, reg);
    if (!info) return std::unexpected(Error(Error::NoSuchRegister{reg}));
    auto reply = bus.request(classic(kRegisterId, register_request(motor_id, kRegRead, reg, 0)),
                             [reg](const CanFrame& f) { return is_register_reply(f.data(), reg); }, timeout);
    if (!reply) return std::unexpected(Error(reply.error()));
    return RegisterValue{info->type, register_bits(reply->data())};
}

Result<void> Damiao::write_register(can::CanTransport& bus, std::uint8_t reg, RegisterValue value) const {
    const auto info = find_register(registers, reg);
    if (!info) return std::unexpected(Error(Error::NoSuchRegister{reg}));
    if (info->read_only) return std::unexpected(Error(Error::ReadOnlyRegister{reg}));
    if (auto sent = bus.send(classic(kRegisterId, register_request(motor_id, kRegWrite, reg, value.bits))); !sent)
        return std::unexpected(Error(sent.error()));
    return {};
}

Result<void> Damiao::ensure_control_mode(can::CanTransport& bus, std::uint8_t mode) const {
    auto read_mode = [&]() -> Result<std::uint32_t> {
        auto v = read_register(bus, kRegControlMode);
        if (!v) return std::unexpected(std::move(v.error()));
        if (v->type != RegisterType::Uint32)
            return std::unexpected(Error(Error::TypeMismatch{kRegControlMode, RegisterType::Uint32, v->type}));
        return v->bits;
    };
    auto first = read_mode();
    if (!first) return std::unexpected(std::move(first.error()));
    if (*first == mode) return {};
    if (auto w = write_register(bus, kRegControlMode, RegisterValue::u32(mode)); !w)
        return std::unexpected(std::move(w.error()));
    can::sleep_for(kModeSettle);
    auto second = read_mode();
    if (!second) return std::unexpected(std::move(second.error()));
    if (*second != mode)
        return std::unexpected(Error(Error::ControlModeMismatch{mode, static_cast<std::uint8_t>(*second)}));
    return {};
}

}  // namespace torvane::damiao
