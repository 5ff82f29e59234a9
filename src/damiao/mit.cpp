#include "damiao/mit.hpp"

#include <cmath>
#include <optional>

#include "damiao/float_text.hpp"

namespace torvane::damiao {

namespace {

// Truncate toward zero; NaN (and anything not representable) gives 0.
std::uint32_t to_code(float x) {
    if (!(x >= 0.0f) || !(x < 4294967296.0f)) return x >= 4294967296.0f ? 0xFFFFFFFFu : 0u;
    return static_cast<std::uint32_t>(x);
}

float clamp(float x, float lo, float hi) {
    if (x < lo) return lo;
    if (x > hi) return hi;
    return x;  // NaN stays NaN
}

bool bad_pair(float lo, float hi) { return std::isnan(lo) || std::isnan(hi) || lo > hi; }

std::uint32_t symmetric(float x, float m, float k) {
    x = clamp(x, -m, m);
    const float sum = x + m;
    const float prod = sum * k;
    return to_code(prod / (m + m));
}

std::uint32_t one_sided(float x, float m) {
    x = clamp(x, 0.0f, m);
    const float prod = x * 4095.0f;
    return to_code(prod / m);
}

float unscale(std::uint32_t code, float m, float k) {
    const float span = m + m;
    const float prod = static_cast<float>(code) * span;
    const float quot = prod / k;
    return quot - m;
}

float unscale_one_sided(std::uint32_t code, float m) {
    const float prod = static_cast<float>(code) * m;
    return prod / 4095.0f;
}

}  // namespace

std::string InvalidLimits::to_string() const {
    return "min > max, or either was NaN. min = " + float_text_with_fraction(min) +
           ", max = " + float_text_with_fraction(max);
}

std::string ShortFeedback::to_string() const {
    return "feedback frame too short to decode: " + std::to_string(length) + " bytes, expected 8";
}

std::expected<Frame8, InvalidLimits> encode(const MitLimits& l, const MitSetpoint& sp) {
    const std::pair<float, float> pairs[] = {
        {-l.p_max, l.p_max}, {-l.v_max, l.v_max}, {0.0f, l.kp_max}, {0.0f, l.kd_max}, {-l.t_max, l.t_max}};
    for (auto [lo, hi] : pairs)
        if (bad_pair(lo, hi)) return std::unexpected(InvalidLimits{lo, hi});

    const std::uint32_t p = symmetric(sp.q, l.p_max, 65535.0f) & 0xFFFF;
    const std::uint32_t v = symmetric(sp.dq, l.v_max, 4095.0f) & 0xFFF;
    const std::uint32_t kp = one_sided(sp.kp, l.kp_max) & 0xFFF;
    const std::uint32_t kd = one_sided(sp.kd, l.kd_max) & 0xFFF;
    const std::uint32_t t = symmetric(sp.tau, l.t_max, 4095.0f) & 0xFFF;
    return Frame8{
        static_cast<std::uint8_t>(p >> 8),
        static_cast<std::uint8_t>(p),
        static_cast<std::uint8_t>(v >> 4),
        static_cast<std::uint8_t>(((v & 0xF) << 4) | (kp >> 8)),
        static_cast<std::uint8_t>(kp),
        static_cast<std::uint8_t>(kd >> 4),
        static_cast<std::uint8_t>(((kd & 0xF) << 4) | (t >> 8)),
        static_cast<std::uint8_t>(t),
    };
}

std::expected<MotorState, ShortFeedback> decode(const MitLimits& l, std::span<const std::uint8_t> d) {
    if (d.size() < 8) return std::unexpected(ShortFeedback{d.size()});
    MotorState s;
    s.motor_id = d[0] & 0x0F;
    s.error = d[0] >> 4;
    const std::uint32_t p = (std::uint32_t{d[1]} << 8) | d[2];
    const std::uint32_t v = (std::uint32_t{d[3]} << 4) | (d[4] >> 4);
    const std::uint32_t t = (std::uint32_t{d[4] & 0x0Fu} << 8) | d[5];
    s.position = unscale(p, l.p_max, 65535.0f);
    s.velocity = unscale(v, l.v_max, 4095.0f);
    s.torque = unscale(t, l.t_max, 4095.0f);
    s.t_mos = d[6];
    s.t_rotor = d[7];
    return s;
}

MitSetpoint decode_setpoint(const MitLimits& l, const Frame8& d) {
    const std::uint32_t p = (std::uint32_t{d[0]} << 8) | d[1];
    const std::uint32_t v = (std::uint32_t{d[2]} << 4) | (d[3] >> 4);
    const std::uint32_t kp = (std::uint32_t{d[3] & 0x0Fu} << 8) | d[4];
    const std::uint32_t kd = (std::uint32_t{d[5]} << 4) | (d[6] >> 4);
    const std::uint32_t t = (std::uint32_t{d[6] & 0x0Fu} << 8) | d[7];
    return MitSetpoint{unscale(p, l.p_max, 65535.0f), unscale(v, l.v_max, 4095.0f), unscale_one_sided(kp, l.kp_max),
                       unscale_one_sided(kd, l.kd_max), unscale(t, l.t_max, 4095.0f)};
}

Frame8 encode_feedback(const MitLimits& l, const MotorState& s) {
    const std::uint32_t p = symmetric(s.position, l.p_max, 65535.0f) & 0xFFFF;
    const std::uint32_t v = symmetric(s.velocity, l.v_max, 4095.0f) & 0xFFF;
    const std::uint32_t t = symmetric(s.torque, l.t_max, 4095.0f) & 0xFFF;
    return Frame8{
        static_cast<std::uint8_t>((s.error << 4) | (s.motor_id & 0x0F)),
        static_cast<std::uint8_t>(p >> 8),
        static_cast<std::uint8_t>(p),
        static_cast<std::uint8_t>(v >> 4),
        static_cast<std::uint8_t>(((v & 0xF) << 4) | (t >> 8)),
        static_cast<std::uint8_t>(t),
        s.t_mos,
        s.t_rotor,
    };
}

}  // namespace torvane::damiao
