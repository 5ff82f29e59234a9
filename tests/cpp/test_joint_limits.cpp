// Limits a command cannot cross: the window, the step from the measured
// position, velocity and torque bounds, and what is refused.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "damiao/joint_limits.hpp"

namespace torvane::damiao {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(JointLimits, PositionsAreClampedIntoTheWindowThenTheStep) {
    struct Case {
        const char* name;
        JointLimits limits;
        std::optional<float> measured;
        float q, want;
        bool changed;
    };
    const JointLimits window{.lo = -1.0f, .hi = 2.0f};
    const JointLimits step{.lo = -1.0f, .hi = 2.0f, .max_step = 0.25f};
    const Case cases[] = {
        {"inside", window, std::nullopt, 0.5f, 0.5f, false},
        {"above", window, std::nullopt, 3.0f, 2.0f, true},
        {"below", window, std::nullopt, -5.0f, -1.0f, true},
        {"on the edge", window, std::nullopt, 2.0f, 2.0f, false},
        {"within a step", step, 0.0f, 0.2f, 0.2f, false},
        {"a step too far", step, 0.0f, 1.5f, 0.25f, true},
        {"a step back", step, 0.0f, -0.9f, -0.25f, true},
        {"step and window", step, 1.9f, 5.0f, 2.0f, true},
        {"outside the window: led back a step", step, 3.0f, 0.0f, 2.75f, true},
        {"outside below: led back a step", step, -2.0f, 1.0f, -1.75f, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PosVelCommand cmd{c.q, 1.0f};
        auto r = limit(c.limits, c.measured, cmd);
        ASSERT_TRUE(r);
        EXPECT_EQ(*r, c.changed);
        EXPECT_FLOAT_EQ(cmd.q, c.want);
        EXPECT_EQ(cmd.dq, 1.0f);  // no velocity limit: untouched
    }
}

TEST(JointLimits, VelocityAndTorqueEitherWay) {
    const JointLimits l{.lo = -10.0f, .hi = 10.0f, .velocity = 2.0f, .torque = 3.0f};
    MitSetpoint sp{.q = 0.0f, .dq = -5.0f, .kp = 600.0f, .kd = 9.0f, .tau = 4.0f};
    auto r = limit(l, std::nullopt, sp);
    ASSERT_TRUE(r && *r);
    EXPECT_EQ(sp.dq, -2.0f);
    EXPECT_EQ(sp.tau, 3.0f);
    EXPECT_EQ(sp.kp, 600.0f);  // gains are the codec's to clamp
    EXPECT_EQ(sp.kd, 9.0f);

    VelCommand v{2.5f};
    ASSERT_TRUE(limit(l, std::nullopt, v));
    EXPECT_EQ(v.dq, 2.0f);
    ForcePosCommand fp{11.0f, 7.0f, 0.5f};
    ASSERT_TRUE(limit(l, std::nullopt, fp));
    EXPECT_EQ(fp.q, 10.0f);
    EXPECT_EQ(fp.v_limit, 2.0f);
    EXPECT_EQ(fp.i_limit, 0.5f);
}

TEST(JointLimits, RefusedWithoutAMeasuredPositionOrWithNaN) {
    const JointLimits step{.lo = -1.0f, .hi = 1.0f, .max_step = 0.1f, .velocity = 1.0f};
    MitSetpoint sp{.q = 0.0f};
    auto r = limit(step, std::nullopt, sp);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), LimitRefusal::NoMeasuredPosition);
    // A velocity command carries no position: no measurement needed.
    VelCommand v{0.5f};
    EXPECT_TRUE(limit(step, std::nullopt, v));

    for (auto make : {+[] { return MitSetpoint{.q = kNaN}; }, +[] { return MitSetpoint{.dq = kNaN}; }}) {
        MitSetpoint bad = make();
        auto refused = limit(step, 0.0f, bad);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error(), LimitRefusal::NotANumber);
    }
}

}  // namespace
}  // namespace torvane::damiao
