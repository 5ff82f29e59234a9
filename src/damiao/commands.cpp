#include "damiao/commands.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace torvane::damiao {

namespace {

void put_f32(Frame8& out, std::size_t at, float v) {
    const auto bits = std::bit_cast<std::uint32_t>(v);
    for (std::size_t i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

void put_u16(Frame8& out, std::size_t at, std::uint16_t v) {
    out[at] = static_cast<std::uint8_t>(v);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

float get_f32(std::span<const std::uint8_t> d, std::size_t at) {
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < 4; ++i) bits |= std::uint32_t{d[at + i]} << (8 * i);
    return std::bit_cast<float>(bits);
}

std::uint16_t get_u16(std::span<const std::uint8_t> d, std::size_t at) {
    return static_cast<std::uint16_t>(d[at] | (d[at + 1] << 8));
}

}  // namespace

Frame8 encode(const PosVelCommand& c) {
    Frame8 out{};
    put_f32(out, 0, c.q);
    put_f32(out, 4, c.dq);
    return out;
}

Frame8 encode(const VelCommand& c) {
    Frame8 out{};
    put_f32(out, 0, c.dq);
    return out;
}

std::uint16_t force_pos_code(float value, float scale) {
    if (std::isnan(value)) return 0;
    return static_cast<std::uint16_t>(std::clamp(value * scale, 0.0f, float{kForcePosCodeMax}));
}

Frame8 encode(const ForcePosCommand& c) {
    Frame8 out{};
    put_f32(out, 0, c.q);
    put_u16(out, 4, force_pos_code(c.v_limit, kForcePosVelScale));
    put_u16(out, 6, force_pos_code(c.i_limit, kForcePosCurrentScale));
    return out;
}

std::optional<PosVelCommand> decode_pos_vel(std::span<const std::uint8_t> d) {
    if (d.size() < 8) return std::nullopt;
    return PosVelCommand{get_f32(d, 0), get_f32(d, 4)};
}

std::optional<VelCommand> decode_vel(std::span<const std::uint8_t> d) {
    if (d.size() < 4) return std::nullopt;
    return VelCommand{get_f32(d, 0)};
}

std::optional<ForcePosCommand> decode_force_pos(std::span<const std::uint8_t> d) {
    if (d.size() < 8) return std::nullopt;
    return ForcePosCommand{get_f32(d, 0), get_u16(d, 4) / kForcePosVelScale,
                           get_u16(d, 6) / kForcePosCurrentScale};
}

Frame8 system_request(std::uint16_t motor_id, std::uint8_t op, std::uint8_t arg) {
    return {static_cast<std::uint8_t>(motor_id), static_cast<std::uint8_t>(motor_id >> 8), op, arg, 0, 0, 0, 0};
}

}  // namespace torvane::damiao
