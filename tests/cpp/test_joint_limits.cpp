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
constexpr float kInf = std::numeric_limits<float>::infinity();

std::optional<Measured> at(std::optional<float> position, float velocity = 0) {
    if (!position) return std::nullopt;
    return Measured{*position, velocity};
}

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
        auto r = limit(c.limits, at(c.measured), cmd);
        ASSERT_TRUE(r);
        EXPECT_EQ(*r, c.changed);
        EXPECT_FLOAT_EQ(cmd.q, c.want);
        EXPECT_EQ(cmd.dq, 1.0f);  // no velocity limit: untouched
    }
}

TEST(JointLimits, VelocityAndTorqueEitherWay) {
    const JointLimits l{.lo = -10.0f, .hi = 10.0f, .velocity = 2.0f, .torque = 3.0f};
    MitSetpoint sp{.q = 0.0f, .dq = -5.0f, .tau = 4.0f};
    auto r = limit(l, std::nullopt, sp);
    ASSERT_TRUE(r && *r);
    EXPECT_EQ(sp.dq, -2.0f);
    EXPECT_EQ(sp.tau, 3.0f);

    VelCommand v{2.5f};
    ASSERT_TRUE(limit(l, at(0.0f), v));
    EXPECT_EQ(v.dq, 2.0f);
    ForcePosCommand fp{11.0f, 7.0f, 0.5f};
    ASSERT_TRUE(limit(l, std::nullopt, fp, 10.0f));
    EXPECT_EQ(fp.q, 10.0f);
    EXPECT_EQ(fp.v_limit, 2.0f);
    EXPECT_FLOAT_EQ(fp.i_limit, 0.3f);  // 3 N·m of a 10 N·m motor
}

TEST(JointLimits, GainsAtMostTheirBounds) {
    const JointLimits l{.kp = 40.0f, .kd = 1.5f};
    MitSetpoint sp{.kp = 600.0f, .kd = 0.5f};
    ASSERT_TRUE(limit(l, std::nullopt, sp));
    EXPECT_EQ(sp.kp, 40.0f);
    EXPECT_EQ(sp.kd, 0.5f);
}

// A velocity command at or past a window's edge never drives further out;
// back in, or inside the window, it is left as it is.
TEST(JointLimits, VelocityStopsAtTheWindowEdges) {
    struct Case {
        float measured, dq, want;
    };
    const JointLimits l{.lo = -1.0f, .hi = 1.0f};
    const Case cases[] = {{0.0f, 3.0f, 3.0f}, {1.0f, 3.0f, 0.0f},   {1.5f, 3.0f, 0.0f}, {1.5f, -3.0f, -3.0f},
                          {-1.0f, -2.0f, 0.0f}, {-1.2f, 2.0f, 2.0f}, {0.99f, 1.0f, 1.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "at " << c.measured << " dq " << c.dq);
        VelCommand v{c.dq};
        ASSERT_TRUE(limit(l, at(c.measured), v));
        EXPECT_EQ(v.dq, c.want);
    }
    VelCommand v{1.0f};
    auto refused = limit(l, std::nullopt, v);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), LimitRefusal::NoMeasuredPosition);
    // Without a window, no measurement is needed.
    EXPECT_TRUE(limit(JointLimits{.velocity = 1.0f}, std::nullopt, v));
}

// The torque bound holds for all the command asks: stiffness and damping at
// the measured state plus the feed-forward. The target moves toward the
// measured position first, then the feed-forward, then the velocity target.
TEST(JointLimits, TorqueBoundsWhatTheCommandAsks) {
    struct Case {
        const char* name;
        MitSetpoint sp;
        Measured m;
        MitSetpoint want;
    };
    const JointLimits l{.torque = 5.0f};
    const Case cases[] = {
        {"within: untouched", {.q = 0.01f, .kp = 100, .tau = 1}, {0, 0}, {.q = 0.01f, .kp = 100, .tau = 1}},
        {"far target: moved in", {.q = 0.05f, .kp = 500, .kd = 5}, {0, 0}, {.q = 0.01f, .kp = 500, .kd = 5}},
        {"the other way", {.q = -1.0f, .kp = 500}, {0.5f, 0}, {.q = 0.49f, .kp = 500}},
        {"feed-forward cut after the target",
         {.q = 1.0f, .kp = 10, .tau = 8},
         {1.0f, 0},
         {.q = 1.0f, .kp = 10, .tau = 5}},
        {"damping last", {.q = 0, .dq = 3, .kp = 0, .kd = 5, .tau = 0}, {0, 0}, {.dq = 1, .kd = 5}},
        {"a feed-forward that helps is kept",
         {.q = 0.1f, .kp = 100, .tau = -4},
         {0, 0},
         {.q = 0.09f, .kp = 100, .tau = -4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MitSetpoint sp = c.sp;
        ASSERT_TRUE(limit(l, c.m, sp));
        EXPECT_NEAR(sp.q, c.want.q, 1e-5f);
        EXPECT_NEAR(sp.dq, c.want.dq, 1e-5f);
        EXPECT_NEAR(sp.tau, c.want.tau, 1e-5f);
        EXPECT_LE(std::fabs(commanded_torque(sp, c.m)), 5.0f + 1e-4f);
    }
    // Stiffness with nothing measured cannot be bounded.
    MitSetpoint sp{.q = 0.1f, .kp = 10};
    auto refused = limit(l, std::nullopt, sp);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), LimitRefusal::NoMeasuredPosition);
}

TEST(JointLimits, RefusedWithoutAMeasuredPositionOrWithNaN) {
    const JointLimits step{.lo = -1.0f, .hi = 1.0f, .max_step = 0.1f, .velocity = 1.0f};
    MitSetpoint sp{.q = 0.0f};
    auto r = limit(step, std::nullopt, sp);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), LimitRefusal::NoMeasuredPosition);

    for (auto make : {+[] { return MitSetpoint{.q = kNaN}; }, +[] { return MitSetpoint{.dq = kNaN}; },
                      +[] { return MitSetpoint{.kp = kNaN}; }, +[] { return MitSetpoint{.kd = kInf}; },
                      +[] { return MitSetpoint{.tau = kNaN}; }, +[] { return MitSetpoint{.tau = -kInf}; }}) {
        MitSetpoint bad = make();
        auto refused = limit(step, at(0.0f), bad);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error(), LimitRefusal::NotANumber);
    }
    ForcePosCommand fp{0.0f, 1.0f, kNaN};
    EXPECT_FALSE(limit(JointLimits{}, std::nullopt, fp, 10.0f));
    VelCommand v{kInf};
    EXPECT_FALSE(limit(JointLimits{}, std::nullopt, v));
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
            if (!std::isfinite(sp.q)) {
                ASSERT_FALSE(limit(l, at(measured), sp));
                continue;
            }
            ASSERT_TRUE(limit(l, at(measured), sp));
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

namespace torvane::damiao {
namespace {

// 10,000 random commands and measured states, limited then encoded and read
// back as the motor reads them: no frame asks for more than the torque bound
// at that state, but for one code step of each field.
TEST(JointLimits, NoEncodedFrameAsksForMoreThanTheTorqueBound) {
    const MitLimits motor{12.5f, 30.0f, 500.0f, 5.0f, 10.0f};
    const Damiao m{.motor_id = 1, .master_id = 0x11, .limits = motor};
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> pos(-3.0f, 3.0f), vel(-8.0f, 8.0f), unit(0.0f, 1.0f);
    const float slack = 500.0f * 25.0f / 65535 + 5.0f * 60.0f / 4095 + 20.0f / 4095 + 1e-3f;
    for (int i = 0; i < 10'000; ++i) {
        const float bound = 0.5f + 9.5f * unit(rng);
        const JointLimits l{.lo = -2.0f, .hi = 2.0f, .max_step = 0.05f + unit(rng), .torque = bound};
        const Measured at{pos(rng) * 0.6f, vel(rng)};
        MitSetpoint sp{.q = pos(rng), .dq = vel(rng), .kp = 500 * unit(rng), .kd = 5 * unit(rng),
                       .tau = 20 * unit(rng) - 10};
        ASSERT_TRUE(limit(l, at, sp));
        auto frame = m.make_mit(sp);
        ASSERT_TRUE(frame);
        const MitSetpoint sent = decode_setpoint(motor, frame->data);
        SCOPED_TRACE(testing::Message() << "case " << i << " bound " << bound << " at (" << at.position << ", "
                                        << at.velocity << ") q " << sp.q << " dq " << sp.dq << " kp " << sp.kp
                                        << " kd " << sp.kd << " tau " << sp.tau);
        ASSERT_LE(std::fabs(commanded_torque(sp, at)), bound + 1e-3f);
        ASSERT_LE(std::fabs(commanded_torque(sent, at)), bound + slack);
    }
}

}  // namespace
}  // namespace torvane::damiao
