#include "damiao/frame_kind.hpp"

#include <algorithm>
#include <array>

#include "damiao/driver.hpp"

namespace torvane::damiao {

namespace {

struct Mode {
    std::uint16_t base;
    FrameKind kind;
};
// In the order of their identifier ranges: MIT's base is the motor id itself.
constexpr std::array<Mode, 4> kModes{{{0, FrameKind::Mit},
                                      {kPosVelBase, FrameKind::PosVel},
                                      {kVelBase, FrameKind::Vel},
                                      {kForcePosBase, FrameKind::ForcePos}}};

struct Fixed {
    const Frame8* data;
    FrameKind kind;
};
constexpr std::array<Fixed, 4> kFixed{{{&kCmdEnable, FrameKind::Enable},
                                       {&kCmdDisable, FrameKind::Disable},
                                       {&kCmdSetZero, FrameKind::SetZero},
                                       {&kCmdClearError, FrameKind::ClearError}}};

FrameReading raw(std::optional<std::uint16_t> motor_id = std::nullopt) { return {FrameKind::Raw, motor_id, {}}; }

std::uint16_t addressed(std::span<const std::uint8_t> d) { return static_cast<std::uint16_t>(d[0] | (d[1] << 8)); }

RegisterValue typed(std::uint8_t reg, std::span<const std::uint8_t> d) {
    const auto info = find_register(kRegisters, reg);
    return {info ? info->type : RegisterType::Uint32, register_bits(d)};
}

FrameReading system(std::span<const std::uint8_t> d) {
    if (d.size() != 8) return raw();
    const std::uint16_t motor = addressed(d);
    const std::uint8_t op = d[2], reg = d[3];
    if (op == kOpRefresh) return {FrameKind::Refresh, motor, {}};
    if (op == kOpSave && reg == 0x01) return {FrameKind::Save, motor, {}};
    if (op == kRegRead) return {FrameKind::RegRead, motor, RegisterField{reg, std::nullopt}};
    if (op == kRegWrite) return {FrameKind::RegWrite, motor, RegisterField{reg, typed(reg, d)}};
    return raw();
}

std::optional<FrameReading> answer(std::span<const std::uint8_t> d, const FrameContext& c) {
    if (!c.asked || d.size() != 8 || (d[2] != kRegRead && d[2] != kRegWrite)) return std::nullopt;
    const AskedRegister request{addressed(d), d[2], d[3]};
    if (!c.asked(request)) return std::nullopt;
    return FrameReading{request.op == kRegRead ? FrameKind::RegReply : FrameKind::RegAck, request.motor_id,
                        RegisterField{request.reg, typed(request.reg, d)}};
}

FrameReading state(std::span<const std::uint8_t> d, std::uint16_t motor, const MitLimits& limits) {
    const auto s = decode(limits, d);
    if (!s || s->motor_id != (motor & 0x0F)) return raw(motor);
    return {FrameKind::Feedback, motor, *s};
}

FrameReading command(std::uint16_t id, std::span<const std::uint8_t> d, const FrameContext& c) {
    const auto known = [&](const Mode& m) {
        return c.known && id >= m.base && c.known(static_cast<std::uint16_t>(id - m.base));
    };
    auto mode = std::ranges::find_if(kModes, known);
    if (mode == kModes.end()) {
        const std::size_t range = id >> 8;
        if (range >= kModes.size() || (id & 0xFF) == 0) return raw();
        mode = kModes.begin() + range;
    }
    const auto motor = static_cast<std::uint16_t>(id - mode->base);
    switch (mode->kind) {
        case FrameKind::Mit: {
            if (d.size() != 8) return raw(motor);
            Frame8 f;
            std::ranges::copy(d, f.begin());
            for (const Fixed& x : kFixed)
                if (f == *x.data) return {x.kind, motor, {}};
            return {FrameKind::Mit, motor, decode_setpoint(c.limits, f)};
        }
        case FrameKind::PosVel:
            if (auto v = decode_pos_vel(d)) return {mode->kind, motor, *v};
            break;
        case FrameKind::Vel:
            if (auto v = decode_vel(d)) return {mode->kind, motor, *v};
            break;
        default:
            if (auto v = decode_force_pos(d)) return {mode->kind, motor, *v};
            break;
    }
    return raw(motor);
}

}  // namespace

const char* kind_name(FrameKind kind) {
    switch (kind) {
        case FrameKind::Raw: return "raw";
        case FrameKind::Mit: return "mit";
        case FrameKind::PosVel: return "pos_vel";
        case FrameKind::Vel: return "vel";
        case FrameKind::ForcePos: return "force_pos";
        case FrameKind::Enable: return "enable";
        case FrameKind::Disable: return "disable";
        case FrameKind::SetZero: return "set_zero";
        case FrameKind::ClearError: return "clear_error";
        case FrameKind::Refresh: return "refresh";
        case FrameKind::Save: return "save";
        case FrameKind::RegRead: return "reg_read";
        case FrameKind::RegWrite: return "reg_write";
        case FrameKind::RegReply: return "reg_reply";
        case FrameKind::RegAck: return "reg_ack";
        case FrameKind::Feedback: return "feedback";
        case FrameKind::Error: return "error";
    }
    return "raw";
}

FrameReading read_frame(std::uint32_t id, std::span<const std::uint8_t> data, const FrameContext& context) {
    if (id & kErrorFlag) {
        ErrorFields e{id & CAN_ERR_MASK, {}, can::read_error(id & CAN_ERR_MASK, data)};
        std::copy_n(data.begin(), std::min(data.size(), e.data.size()), e.data.begin());
        return {FrameKind::Error, std::nullopt, e};
    }
    if (id > can::kStandardMax) return raw();
    if (id == kRegisterId) return system(data);
    if (auto a = answer(data, context)) return *a;
    if (context.feedback_of) return state(data, *context.feedback_of, context.limits);
    return command(static_cast<std::uint16_t>(id), data, context);
}

}  // namespace torvane::damiao
