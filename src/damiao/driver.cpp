#include "damiao/driver.hpp"

#include <cerrno>
#include <ctime>

namespace torvane::damiao {

using can::CanFrame;
using can::CanId;

namespace {

CanFrame classic(std::uint16_t id, const Frame8& data) {
    return CanFrame(CanId::standard(id & can::kStandardMax), data);
}

void sleep_for(can::Duration d) {
    timespec ts{static_cast<time_t>(d.secs), static_cast<long>(d.nanos)};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
    }
}

}  // namespace

Result<MotorState> Damiao::cmd_motor_id(can::CanTransport& bus, const Frame8& data) const {
    auto reply = bus.request(classic(motor_id, data), CanId::standard(master_id & can::kStandardMax), timeout);
    if (!reply) return std::unexpected(Error(reply.error()));
    auto state = decode(limits, reply->data());
    if (!state) return std::unexpected(Error(state.error()));
    return *state;
}

Result<MotorState> Damiao::mit_control(can::CanTransport& bus, const MitSetpoint& sp) const {
    auto bytes = encode(limits, sp);
    if (!bytes) return std::unexpected(Error(bytes.error()));
    return cmd_motor_id(bus, *bytes);
}

Frame8 register_request(std::uint16_t motor_id, std::uint8_t op, std::uint8_t reg, std::uint32_t value) {
    return {static_cast<std::uint8_t>(motor_id), static_cast<std::uint8_t>(motor_id >> 8), op, reg,
            static_cast<std::uint8_t>(value),    static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

bool is_register_reply(std::span<const std::uint8_t> data, std::uint8_t reg) {
    return data.size() == 8 && data[2] == kRegRead && data[3] == reg;
}

Result<RegisterValue> Damiao::read_register(can::CanTransport& bus, std::uint8_t reg) const {
    const auto info = find_register(registers, reg);
    if (!info) return std::unexpected(Error(Error::NoSuchRegister{reg}));
    auto reply = bus.request(classic(kRegisterId, register_request(motor_id, kRegRead, reg, 0)),
                             [reg](const CanFrame& f) { return is_register_reply(f.data(), reg); }, timeout);
    if (!reply) return std::unexpected(Error(reply.error()));
    const auto d = reply->data();
    const std::uint32_t v = d[4] | (std::uint32_t{d[5]} << 8) | (std::uint32_t{d[6]} << 16) |
                            (std::uint32_t{d[7]} << 24);
    return RegisterValue{info->type, v};
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
    sleep_for(kModeSettle);
    auto second = read_mode();
    if (!second) return std::unexpected(std::move(second.error()));
    if (*second != mode)
        return std::unexpected(Error(Error::ControlModeMismatch{mode, static_cast<std::uint8_t>(*second)}));
    return {};
}

}  // namespace torvane::damiao
