#include "damiao/joint_limits.hpp"

#include <algorithm>
#include <cmath>

namespace torvane::damiao {

namespace {

using Limited = std::expected<bool, LimitRefusal>;

// v within ±bound; NaN is refused rather than left to the codec, which
// would turn it into the bottom of the motor's range.
Limited symmetric(std::optional<float> bound, float& v) {
    if (!bound) return false;
    if (std::isnan(v)) return std::unexpected(LimitRefusal::NotANumber);
    const float b = std::fabs(*bound);
    const float was = v;
    v = std::clamp(v, -b, b);
    return v != was;
}

Limited position(const JointLimits& l, std::optional<float> measured, float& q) {
    if (std::isnan(q)) return std::unexpected(LimitRefusal::NotANumber);
    const float was = q;
    q = std::clamp(q, l.lo, l.hi);
    if (l.max_step) {
        if (!measured) return std::unexpected(LimitRefusal::NoMeasuredPosition);
        const float step = std::fabs(*l.max_step);
        const float near_lo = *measured - step, near_hi = *measured + step;
        if (near_hi < l.lo)
            q = near_hi;  // below the window: back up towards it
        else if (near_lo > l.hi)
            q = near_lo;
        else
            q = std::clamp(q, std::max(near_lo, l.lo), std::min(near_hi, l.hi));
    }
    return q != was;
}

Limited either(Limited a, Limited b) {
    if (!a) return a;
    if (!b) return b;
    return *a || *b;
}

}  // namespace

const char* to_string(LimitRefusal r) {
    switch (r) {
        case LimitRefusal::NoMeasuredPosition:
            return "it has no measured position yet, which max_step needs: refresh or enable it first";
        case LimitRefusal::NotANumber: return "a limited value is NaN";
    }
    return "";
}

Limited limit(const JointLimits& l, std::optional<float> measured, MitSetpoint& c) {
    return either(either(position(l, measured, c.q), symmetric(l.velocity, c.dq)), symmetric(l.torque, c.tau));
}

Limited limit(const JointLimits& l, std::optional<float> measured, PosVelCommand& c) {
    return either(position(l, measured, c.q), symmetric(l.velocity, c.dq));
}

Limited limit(const JointLimits& l, std::optional<float>, VelCommand& c) { return symmetric(l.velocity, c.dq); }

Limited limit(const JointLimits& l, std::optional<float> measured, ForcePosCommand& c) {
    return either(position(l, measured, c.q), symmetric(l.velocity, c.v_limit));
}

}  // namespace torvane::damiao
