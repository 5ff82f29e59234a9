// Motors on the joints of a MuJoCo model: the pendulum and turntable of
// pendulum.xml, time driven by hand.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "sim/tests/arm_rig.hpp"

namespace torvane::sim {
namespace {

using namespace sim_test;
using damiao::ForcePosCommand;
using damiao::PosVelCommand;
using damiao::VelCommand;

constexpr std::size_t kSwing = 0;

// The feedback frame's resolution at dm4310's ranges: 16 bits of position
// over +-12.5 rad, 12 bits of torque over +-10 N m.
constexpr double kPosStep = 25.0 / 65535, kTorqueStep = 20.0 / 4095;

// The setpoint as the motor reads it off the frame, gains and all rounded.
MitSetpoint carried(const MitSetpoint& sp) {
    const auto limits = model("dm4310").limits;
    return damiao::decode_setpoint(limits, damiao::encode(limits, sp).value());
}

// ---------------------------------------------------------------- gravity

struct FreeCase {
    const char* name;
    bool enabled;  // enabled under MIT with every gain 0, or disabled
};

class FreeSwing : public ::testing::TestWithParam<FreeCase> {};

TEST_P(FreeSwing, FallsAndSwingsToHangLosingEnergyToDamping) {
    Rig rig(kPendulum, {"swing"});
    ASSERT_TRUE(rig.ok());
    const double start = 1.0;
    rig.arm->place(kSwing, start);
    if (GetParam().enabled) {
        ASSERT_EQ(rig.enable(kSwing).error, kStatusEnabled);
        rig.mit(kSwing, MitSetpoint{});
    }
    int crossings = 0;
    double prev = start, first_swing = 0, last_second = 0, most_applied = 0, most_reported = 0;
    rig.run_for(ms(10'000), ms(1), [&] {
        const double q = rig.motors[kSwing].position();
        crossings += (prev > 0) != (q > 0);
        prev = q;
        if (rig.now <= ms(1500)) first_swing = std::max(first_swing, -q);
        if (rig.now > ms(9000)) last_second = std::max(last_second, std::abs(q));
        most_applied = std::max(most_applied, std::abs(rig.arm->applied(kSwing)));
        most_reported = std::max(most_reported, std::abs(rig.motors[kSwing].torque()));
    });
    EXPECT_GE(crossings, 10);                  // it swung through the bottom again and again
    EXPECT_GT(first_swing, 0.8 * start);       // to nearly as far on the other side at first
    EXPECT_LT(last_second, 0.3 * start);       // and far less after ten seconds
    // Nothing but the feed-forward of 0 as the frame carries it, or nothing at all.
    const double ff = GetParam().enabled ? std::abs(carried(MitSetpoint{}).tau) : 0.0;
    EXPECT_EQ(most_applied, ff);
    EXPECT_EQ(most_reported, ff);
}

INSTANTIATE_TEST_SUITE_P(Physics, FreeSwing,
                         ::testing::Values(FreeCase{"EnabledWithoutGains", true}, FreeCase{"Disabled", false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct HoldCase {
    const char* name;
    double feed_forward;  // share of the engine's holding torque sent as tau
    bool stays;
};

class Hold : public ::testing::TestWithParam<HoldCase> {};

TEST_P(Hold, TheEnginesHoldingTorqueAsFeedForwardKeepsThePendulumWhereItIs) {
    Rig rig(kPendulum, {"swing"});
    ASSERT_TRUE(rig.ok());
    const double start = 0.8;
    rig.arm->place(kSwing, start);
    const double hold = rig.arm->holding_torques()[kSwing];
    ASSERT_GT(std::abs(hold), 1.0);  // gravity pulls hard enough to tell
    const float tau = static_cast<float>(GetParam().feed_forward * hold);
    rig.enable(kSwing);
    rig.mit(kSwing, MitSetpoint{0, 0, 0, 1.0f, tau});
    double drift = 0;
    rig.run_for(ms(2000), ms(1), [&] { drift = std::max(drift, std::abs(rig.motors[kSwing].position() - start)); });
    if (GetParam().stays) {
        EXPECT_LT(drift, 0.02);
        // What it reports is what holds it there.
        const auto s = rig.refresh(kSwing);
        EXPECT_NEAR(s.torque, rig.arm->holding_torques()[kSwing], 2 * kTorqueStep + std::abs(s.velocity));
    } else {
        EXPECT_GT(drift, 0.3);
    }
}

INSTANTIATE_TEST_SUITE_P(Physics, Hold,
                         ::testing::Values(HoldCase{"WholeHoldingTorque", 1.0, true},
                                           HoldCase{"NoFeedForward", 0.0, false},
                                           HoldCase{"HalfOfIt", 0.5, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- end stops

struct StopCase {
    const char* name;
    float target;  // past one of the joint's limits
    float kp;      // every case starts from rest at 0, beyond the torque cap
};

class EndStop : public ::testing::TestWithParam<StopCase> {};

TEST_P(EndStop, ATargetPastALimitRestsAtTheLimitPushingWithTheCappedLaw) {
    const auto& c = GetParam();
    Rig rig(kPendulum, {"swing"});
    ASSERT_TRUE(rig.ok());
    const double t_max = rig.motors[kSwing].config().model.limits.t_max;
    const auto& joint = rig.arm->joints()[kSwing];
    ASSERT_TRUE(joint.limited);
    const double limit = c.target > 0 ? joint.upper : joint.lower;
    ASSERT_GT(std::abs(c.target), std::abs(limit));

    rig.enable(kSwing);
    rig.mit(kSwing, MitSetpoint{c.target, 0, c.kp, 0, 0});
    double most_applied = 0, most_reported = 0;
    bool finite = true;
    rig.run_for(ms(3000), ms(1), [&] {
        const auto& m = rig.motors[kSwing];
        most_applied = std::max(most_applied, std::abs(rig.arm->applied(kSwing)));
        most_reported = std::max(most_reported, std::abs(m.torque()));
        finite = finite && std::isfinite(m.position()) && std::isfinite(m.velocity()) && std::isfinite(m.torque());
    });
    const auto s = rig.refresh(kSwing);
    EXPECT_TRUE(finite);
    EXPECT_NEAR(s.position, limit, 0.01);
    EXPECT_NEAR(s.velocity, 0.0, 0.01);
    const auto sp = carried(MitSetpoint{c.target, 0, c.kp, 0, 0});
    const double law = std::clamp(sp.kp * (sp.q - static_cast<double>(s.position)), -t_max, t_max);
    EXPECT_NEAR(s.torque, law, kTorqueStep + c.kp * kPosStep);
    EXPECT_LE(most_reported, t_max);
    EXPECT_EQ(most_applied, t_max);  // the cap, not the law, bounded the push on the way
}

INSTANTIATE_TEST_SUITE_P(Physics, EndStop,
                         ::testing::Values(StopCase{"PastTheUpperWithinTheCapAtRest", 2.5f, 5.0f},
                                           StopCase{"PastTheLowerCappedAtRest", -3.0f, 20.0f},
                                           StopCase{"Kp500FarPastTheUpper", 12.0f, 500.0f}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- the other modes

struct ModeCase {
    const char* name;
    std::uint32_t mode;
    Command command;
    double position;  // where the turntable ends, NaN: anywhere
    double velocity;  // and how fast it turns then
};

class Modes : public ::testing::TestWithParam<ModeCase> {};

TEST_P(Modes, TheUnloadedTurntableFollowsEachModesCommand) {
    const auto& c = GetParam();
    Rig rig(kPendulum, {"turn"}, "dm4310", c.mode);
    ASSERT_TRUE(rig.ok());
    rig.enable(0);
    rig.command(0, c.command);
    rig.run_for(ms(4000));
    const auto s = rig.refresh(0);
    if (!std::isnan(c.position)) {
        EXPECT_NEAR(s.position, c.position, 0.01);
    }
    EXPECT_NEAR(s.velocity, c.velocity, 0.02 * std::max(1.0, std::abs(c.velocity)));
}

constexpr double kAnywhere = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Physics, Modes,
    ::testing::Values(ModeCase{"VelForward", damiao::kModeVel, VelCommand{3.0f}, kAnywhere, 3.0},
                      ModeCase{"VelBackward", damiao::kModeVel, VelCommand{-2.0f}, kAnywhere, -2.0},
                      ModeCase{"PosVel", damiao::kModePosVel, PosVelCommand{1.2f, 2.0f}, 1.2, 0.0},
                      ModeCase{"ForcePos", damiao::kModeForcePos, ForcePosCommand{-0.7f, 2.0f, 0.3f}, -0.7, 0.0},
                      ModeCase{"Mit", damiao::kModeMit, MitSetpoint{0.5f, 0, 10.0f, 0.5f, 0}, 0.5, 0.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Physics, ZeroingReadsTheJointFromWhereItIsAndTheLawFollowsThatZero) {
    Rig rig(kPendulum, {"turn"});
    ASSERT_TRUE(rig.ok());
    rig.arm->place(0, 0.7);
    rig.run_for(ms(1));
    EXPECT_NEAR(rig.refresh(0).position, 0.7, kPosStep);
    EXPECT_NEAR(rig.set_zero(0).position, 0.0, kPosStep);
    rig.enable(0);
    rig.mit(0, MitSetpoint{0.3f, 0, 10.0f, 0.5f, 0});
    rig.run_for(ms(3000));
    EXPECT_NEAR(rig.refresh(0).position, 0.3, 0.01);
    EXPECT_NEAR(rig.arm->position(0), 1.0, 0.01);
}

TEST(Physics, DisablingDropsTheTorqueAndTheArmFalls) {
    Rig rig(kPendulum, {"swing"});
    ASSERT_TRUE(rig.ok());
    rig.enable(kSwing);
    rig.mit(kSwing, MitSetpoint{1.0f, 0, 30.0f, 1.0f, 0});
    rig.run_for(ms(2000));
    const double held = rig.motors[kSwing].position();
    ASSERT_NEAR(held, 1.0, 0.15);  // gravity sags it below the target; it is held
    ASSERT_GT(std::abs(rig.motors[kSwing].torque()), 1.0);
    const auto off = rig.disable(kSwing);
    EXPECT_EQ(off.error, kStatusDisabled);
    EXPECT_NEAR(off.torque, 0.0, kTorqueStep);
    rig.run_for(ms(300));
    EXPECT_EQ(rig.arm->applied(kSwing), 0.0);
    EXPECT_LT(rig.motors[kSwing].position(), held - 0.2);
}

// ---------------------------------------------------------------- divergence

TEST(Physics, ANonFiniteStateIsUndoneAndSaidSoAndNeverReported) {
    Rig rig(kPendulum, {"swing", "turn"});
    ASSERT_TRUE(rig.ok());
    rig.arm->place(kSwing, 0.5);
    rig.run_for(ms(200));
    const double before = rig.arm->position(kSwing);
    rig.arm->place(kSwing, std::numeric_limits<double>::quiet_NaN());
    rig.run_for(ms(1));
    auto notes = rig.arm->take_notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("last good pose"), std::string::npos) << notes[0];
    EXPECT_NEAR(rig.arm->position(kSwing), before, 0.05);
    const auto s = rig.refresh(kSwing);
    EXPECT_TRUE(std::isfinite(s.position) && std::isfinite(s.velocity) && std::isfinite(s.torque));

    // Again at once: the last good pose is no longer trusted.
    rig.arm->place(1, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity());
    rig.run_for(ms(1));
    notes = rig.arm->take_notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("starting pose"), std::string::npos) << notes[0];
    EXPECT_NEAR(rig.arm->position(kSwing), 0.0, 0.01);
    EXPECT_TRUE(std::isfinite(rig.refresh(1).position));
}

// ---------------------------------------------------------------- the clock

TEST(Physics, StepsFollowTheClockWholeAndNeverAhead) {
    Rig rig(kPendulum, {"swing"});
    ASSERT_TRUE(rig.ok());
    const MonoNanos dt = rig.arm->step();
    ASSERT_EQ(dt, ms(1));
    for (const MonoNanos t : {MonoNanos{0}, dt / 2, dt, dt * 5 / 2, dt * 3, dt * 3 + 1}) {
        rig.arm->advance(t, rig.motors);
        EXPECT_EQ(rig.arm->steps(), static_cast<std::uint64_t>(t / dt)) << "at " << static_cast<long long>(t) << " ns";
        EXPECT_FALSE(rig.arm->lagging(t));
    }
    // Far behind: a call takes a bounded share and the rest waits, in steps of the same size.
    const MonoNanos late = ms(1000);
    rig.arm->advance(late, rig.motors);
    const auto per_call = static_cast<std::uint64_t>(ArmModel::kMostPerCall / dt);
    EXPECT_EQ(rig.arm->steps(), 3 + per_call);
    EXPECT_TRUE(rig.arm->lagging(late));
    const auto p = rig.arm->progress(late);
    EXPECT_EQ(p.simulated, static_cast<MonoNanos>(rig.arm->steps()) * dt);
    EXPECT_EQ(p.wall, late);
    while (rig.arm->lagging(late)) rig.arm->advance(late, rig.motors);
    EXPECT_EQ(rig.arm->steps(), static_cast<std::uint64_t>(late / dt));
}

}  // namespace
}  // namespace torvane::sim
