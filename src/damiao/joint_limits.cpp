#include "damiao/joint_limits.hpp"

#include <algorithm>
#include <cmath>

namespace torvane::damiao {

namespace {

using Limited = std::expected<bool, LimitRefusal>;

bool finite(std::initializer_list<float> values) {
    return std::ranges::all_of(values, [](float v) { return std::isfinite(v); });
}

bool clamp_to(float& v, float lo, float hi) {
    const float was = v;
    v = std::clamp(v, lo, hi);
    return v != was;
}

bool symmetric(std::optional<float> bound, float& v) {
    if (!bound) return false;
    const float b = std::fabs(*bound);
    return clamp_to(v, -b, b);
}

// `wanted` if it lies between 0 and `v`; else the nearer of those two ends:
// a term is only ever made smaller, never turned around.
float toward_zero(float v, float wanted) { return std::clamp(wanted, std::min(0.0f, v), std::max(0.0f, v)); }

Limited position(const JointLimits& l, std::optional<Measured> measured, float& q) {
    const float was = q;
    q = std::clamp(q, l.lo, l.hi);
    if (l.max_step) {
        if (!measured) return std::unexpected(LimitRefusal::NoMeasuredPosition);
        const float at = measured->position;
        const float step = std::fabs(*l.max_step);
        const float near_lo = at - step, near_hi = at + step;
        if (near_hi < l.lo)
            q = near_hi;  // below the window: back up towards it
        else if (near_lo > l.hi)
            q = near_lo;
        else
            q = std::clamp(q, std::max(near_lo, l.lo), std::min(near_hi, l.hi));
    }
    return q != was;
}

// kp*(q - p) + kd*(dq - v) + tau within ±torque: the target moves toward the
// measured position first, then the feed-forward shrinks, then the velocity
// target moves toward the measured velocity, each only as far as needed.
Limited total_torque(const JointLimits& l, std::optional<Measured> m, MitSetpoint& c) {
    if (!l.torque) return false;
    const float t = std::fabs(*l.torque);
    bool changed = clamp_to(c.tau, -t, t);
    const float kp = std::max(c.kp, 0.0f), kd = std::max(c.kd, 0.0f);
    if (kp == 0 && kd == 0) return changed;
    if (!m) return std::unexpected(LimitRefusal::NoMeasuredPosition);
    float stiff = kp * (c.q - m->position);
    float damp = kd * (c.dq - m->velocity);
    const float total = stiff + damp + c.tau;
    if (std::fabs(total) <= t) return changed;
    const float want = std::clamp(total, -t, t);
    if (kp > 0) {
        stiff = toward_zero(stiff, want - damp - c.tau);
        c.q = m->position + stiff / kp;
    }
    c.tau = toward_zero(c.tau, want - stiff - damp);
    if (kd > 0) {
        damp = toward_zero(damp, want - stiff - c.tau);
        c.dq = m->velocity + damp / kd;
    }
    return true;
}

}  // namespace

const char* to_string(LimitRefusal r) {
    switch (r) {
        case LimitRefusal::NoMeasuredPosition:
            return "it has no measured state yet, which its limits need: refresh or enable it first";
        case LimitRefusal::NotANumber: return "a value is NaN or infinite";
    }
    return "";
}

float commanded_torque(const MitSetpoint& c, Measured at) {
    return std::max(c.kp, 0.0f) * (c.q - at.position) + std::max(c.kd, 0.0f) * (c.dq - at.velocity) + c.tau;
}

bool needs_state(const JointLimits& l, const MitSetpoint& c) {
    return l.max_step || (l.torque && (c.kp > 0 || c.kd > 0));
}
bool needs_state(const JointLimits& l, const PosVelCommand&) { return l.max_step.has_value(); }
bool needs_state(const JointLimits& l, const VelCommand&) { return l.has_window(); }
bool needs_state(const JointLimits& l, const ForcePosCommand&) { return l.max_step.has_value(); }

Limited limit(const JointLimits& l, std::optional<Measured> measured, MitSetpoint& c) {
    if (!finite({c.q, c.dq, c.kp, c.kd, c.tau})) return std::unexpected(LimitRefusal::NotANumber);
    auto changed = position(l, measured, c.q);
    if (!changed) return changed;
    bool any = *changed;
    any |= symmetric(l.velocity, c.dq);
    if (l.kp) any |= clamp_to(c.kp, -std::numeric_limits<float>::infinity(), std::fabs(*l.kp));
    if (l.kd) any |= clamp_to(c.kd, -std::numeric_limits<float>::infinity(), std::fabs(*l.kd));
    auto torque = total_torque(l, measured, c);
    if (!torque) return torque;
    return any || *torque;
}

Limited limit(const JointLimits& l, std::optional<Measured> measured, PosVelCommand& c) {
    if (!finite({c.q, c.dq})) return std::unexpected(LimitRefusal::NotANumber);
    auto changed = position(l, measured, c.q);
    if (!changed) return changed;
    return symmetric(l.velocity, c.dq) || *changed;
}

Limited limit(const JointLimits& l, std::optional<Measured> measured, VelCommand& c) {
    if (!finite({c.dq})) return std::unexpected(LimitRefusal::NotANumber);
    bool changed = symmetric(l.velocity, c.dq);
    if (l.has_window()) {
        if (!measured) return std::unexpected(LimitRefusal::NoMeasuredPosition);
        // At or past an edge, nothing drives it further out.
        if ((measured->position >= l.hi && c.dq > 0) || (measured->position <= l.lo && c.dq < 0)) {
            c.dq = 0;
            changed = true;
        }
    }
    return changed;
}

Limited limit(const JointLimits& l, std::optional<Measured> measured, ForcePosCommand& c, float t_max) {
    if (!finite({c.q, c.v_limit, c.i_limit})) return std::unexpected(LimitRefusal::NotANumber);
    auto changed = position(l, measured, c.q);
    if (!changed) return changed;
    bool any = symmetric(l.velocity, c.v_limit) || *changed;
    if (l.torque && t_max > 0) any |= clamp_to(c.i_limit, std::numeric_limits<float>::lowest(), std::fabs(*l.torque) / t_max);
    return any;
}

}  // namespace torvane::damiao
