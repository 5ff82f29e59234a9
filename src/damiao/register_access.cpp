// The typed register access of a motor, its limits from the registers, and
// saving them to flash.

#include "damiao/driver.hpp"

namespace torvane::damiao {

namespace {

can::CanFrame register_frame(std::uint16_t motor_id, std::uint8_t op, std::uint8_t reg, std::uint32_t bits) {
    return to_frame({kRegisterId, register_request(motor_id, op, reg, bits)});
}

}  // namespace

Result<RegisterValue> Damiao::get_register(can::CanTransport& bus, std::uint8_t reg) const {
    const auto info = find_register(registers, reg);
    if (!info) return std::unexpected(Error(Error::NoSuchRegister{reg}));
    auto reply = bus.request(register_frame(motor_id, kRegRead, reg, 0),
                             [&](const can::CanFrame& f) { return is_register_answer(f.data(), motor_id, kRegRead, reg); },
                             timeout);
    if (!reply) return std::unexpected(Error(reply.error()));
    return RegisterValue{info->type, register_bits(reply->data())};
}

Result<void> Damiao::set_register(can::CanTransport& bus, std::uint8_t reg, RegisterValue value,
                                  Verify verify) const {
    const auto info = find_register(registers, reg);
    if (!info) return std::unexpected(Error(Error::NoSuchRegister{reg}));
    if (info->read_only) return std::unexpected(Error(Error::ReadOnlyRegister{reg}));
    if (value.type != info->type) return std::unexpected(Error(Error::TypeMismatch{reg, info->type, value.type}));
    auto ack = bus.request(register_frame(motor_id, kRegWrite, reg, value.bits),
                           [&](const can::CanFrame& f) { return is_register_answer(f.data(), motor_id, kRegWrite, reg); },
                           timeout);
    if (!ack && ack.error().kind != can::TransportError::Kind::Timeout) return std::unexpected(Error(ack.error()));
    if (verify == Verify::No) return {};
    auto back = get_register(bus, reg);
    if (!back) return std::unexpected(std::move(back.error()));
    if (back->bits != value.bits)
        return std::unexpected(Error(Error::RegisterNotVerified{reg, info->type, value.bits, back->bits}));
    return {};
}

Result<MitLimits> Damiao::read_limits(can::CanTransport& bus) const {
    float values[3];
    const std::uint8_t regs[3] = {kRegPMax, kRegVMax, kRegTMax};
    for (int i = 0; i < 3; ++i) {
        auto v = get_register(bus, regs[i]);
        if (!v) return std::unexpected(std::move(v.error()));
        if (v->type != RegisterType::Float)
            return std::unexpected(Error(Error::TypeMismatch{regs[i], RegisterType::Float, v->type}));
        values[i] = v->as_float();
    }
    return MitLimits{values[0], values[1], kFirmwareKpMax, kFirmwareKdMax, values[2]};
}

Result<void> Damiao::save_parameters(can::CanTransport& bus) const {
    if (auto off = disable(bus); !off) return std::unexpected(std::move(off.error()));
    if (auto sent = bus.send(to_frame(Command{kRegisterId, system_request(motor_id, kOpSave, 0x01)})); !sent)
        return std::unexpected(Error(sent.error()));
    can::sleep_for(kFlashWrite);
    return {};
}

}  // namespace torvane::damiao
