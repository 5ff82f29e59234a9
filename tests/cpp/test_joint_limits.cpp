// Limits a command cannot cross: the window, the step from the measured
// position, velocity and torque bounds, and what is refused.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "damiao/driver.hpp"
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

namespace torvane::damiao {
namespace {

// 10,000 random sequences of targets, each limited then encoded as the
// group does: no frame's position leaves the window or steps beyond
// max_step (one code step of slack) from the position measured before it.
TEST(JointLimits, NoEncodedFrameCrossesTheWindowOrTheStep) {
    const MitLimits motor{12.5f, 30.0f, 500.0f, 5.0f, 10.0f};
    const float code = 2 * motor.p_max / 65535;
    const Damiao m{.motor_id = 1, .master_id = 0x11, .limits = motor};
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> wide(-1e6f, 1e6f), near(-2.0f, 2.0f), unit(0.0f, 1.0f);
    const float specials[] = {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::max(), -0.0f, 12.5f, -12.5f};
    for (int seq = 0; seq < 10'000; ++seq) {
        const float lo = near(rng), hi = lo + 2 * unit(rng);
        const JointLimits l{.lo = lo, .hi = hi, .max_step = 0.5f * unit(rng)};
        float measured = lo + (hi - lo) * unit(rng);
        for (int tick = 0; tick < 4; ++tick) {
            const float pick = unit(rng);
            MitSetpoint sp{.q = pick < 0.1f ? specials[rng() % 6] : pick < 0.5f ? wide(rng) : near(rng), .kp = 10};
            ASSERT_TRUE(limit(l, measured, sp));
            auto frame = m.make_mit(sp);
            ASSERT_TRUE(frame);
            const int c = (frame->data[0] << 8) | frame->data[1];
            const float q = static_cast<float>(c) * (2 * motor.p_max) / 65535 - motor.p_max;
            SCOPED_TRACE(testing::Message() << "seq " << seq << " tick " << tick << " window [" << lo << ", " << hi
                                            << "] step " << *l.max_step << " measured " << measured << " q " << q);
            ASSERT_GE(q, lo - code);
            ASSERT_LE(q, hi + code);
            ASSERT_LE(std::fabs(q - measured), *l.max_step + code);
            // The motor moves some way towards its target.
            measured += (sp.q - measured) * unit(rng);
        }
    }
}

}  // namespace
}  // namespace torvane::damiao
