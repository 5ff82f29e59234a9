// The control modes beyond MIT, refresh, save and restart, the MIT ranges the
// registers set, and FD replies: the simulated motor without a bus.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "sim/tests/bench.hpp"

namespace torvane::sim {
namespace {

using namespace sim_test;
using damiao::ForcePosCommand;
using damiao::PosVelCommand;
using damiao::VelCommand;

constexpr double kDt = static_cast<double>(MotorModel::kStep) * 1e-9;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// One command of each mode, by mode number, that moves the rotor forward.
Frame8 forward_command(std::uint32_t mode) {
    switch (mode) {
        case damiao::kModeMit:
            return damiao::encode(damiao::MitLimits{}, {1.0f, 0, 20.0f, 1.0f, 0}).value();
        case damiao::kModePosVel:
            return damiao::encode(PosVelCommand{1.0f, 5.0f});
        case damiao::kModeVel:
            return damiao::encode(VelCommand{2.0f});
        default:
            return damiao::encode(ForcePosCommand{1.0f, 5.0f, 0.5f});
    }
}

std::uint16_t base_of(std::uint32_t mode) {
    constexpr std::uint16_t kBases[] = {0, 0, damiao::kPosVelBase, damiao::kVelBase, damiao::kForcePosBase};
    return kBases[mode];
}

Outcome send_mode(Bench& b, std::uint32_t mode, const Frame8& data) { return b.command(data, base_of(mode)); }

// ------------------------------------------------------------------ gating

class ModeGate : public ::testing::TestWithParam<std::tuple<std::uint32_t, std::uint32_t, bool>> {};

TEST_P(ModeGate, EveryCommandIsAnsweredButMovesOnlyInItsOwnModeWhenEnabled) {
    const auto [command_mode, register_mode, enabled] = GetParam();
    Bench b(register_mode);
    if (enabled) b.command(damiao::kCmdEnable);
    for (int i = 0; i < 50; ++i) {
        const auto out = send_mode(b, command_mode, forward_command(command_mode));
        ASSERT_EQ(out.kind, Outcome::Kind::Answered);
        EXPECT_EQ(out.reply->id, CanId::standard(0x11));
        EXPECT_EQ(b.state_of(out).error, enabled ? kStatusEnabled : kStatusDisabled);
        b.run_for(ms(10));
    }
    if (enabled && command_mode == register_mode) {
        EXPECT_GT(b.motor.position(), 0.3);
    } else {
        EXPECT_EQ(b.motor.position(), 0.0);
        EXPECT_EQ(b.motor.torque(), 0.0);
        EXPECT_TRUE(std::holds_alternative<std::monostate>(b.motor.command()));
    }
}

INSTANTIATE_TEST_SUITE_P(Sim, ModeGate,
                         ::testing::Combine(::testing::Values(1u, 2u, 3u, 4u), ::testing::Values(1u, 2u, 3u, 4u),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return "Command" + std::to_string(std::get<0>(info.param)) + "InMode" +
                                    std::to_string(std::get<1>(info.param)) +
                                    (std::get<2>(info.param) ? "Enabled" : "Disabled");
                         });

TEST(ModeGate, SwitchingModeDropsTheHeldCommand) {
    Bench b(damiao::kModeVel);
    b.command(damiao::kCmdEnable);
    send_mode(b, damiao::kModeVel, forward_command(damiao::kModeVel));
    b.run_for(ms(300));
    ASSERT_NEAR(b.motor.velocity(), 2.0, 1e-9);
    b.write_u32(damiao::kRegControlMode, damiao::kModePosVel);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(b.motor.command()));
    b.write_u32(damiao::kRegControlMode, damiao::kModeVel);
    b.run_for(ms(300));
    EXPECT_LT(b.motor.velocity(), 2.0);  // coasting: the old command does not come back
}

struct NonFiniteCase {
    const char* name;
    std::uint32_t mode;
    Frame8 frame;
};

void PrintTo(const NonFiniteCase& c, std::ostream* os) { *os << c.name; }

class NonFinite : public ::testing::TestWithParam<NonFiniteCase> {};

TEST_P(NonFinite, IsAnsweredButNotActedOn) {
    const auto& c = GetParam();
    Bench b(c.mode);
    b.command(damiao::kCmdEnable);
    EXPECT_EQ(send_mode(b, c.mode, c.frame).kind, Outcome::Kind::Answered);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(b.motor.command()));
}

INSTANTIATE_TEST_SUITE_P(
    Sim, NonFinite,
    ::testing::Values(NonFiniteCase{"PosVelTarget", 2, damiao::encode(PosVelCommand{kNaN, 1.0f})},
                      NonFiniteCase{"PosVelLimit", 2, damiao::encode(PosVelCommand{1.0f, kInf})},
                      NonFiniteCase{"Velocity", 3, damiao::encode(VelCommand{-kInf})},
                      NonFiniteCase{"ForcePosTarget", 4, damiao::encode(ForcePosCommand{kNaN, 1.0f, 0.5f})}),
    [](const auto& info) { return std::string(info.param.name); });

// ----------------------------------------------------------------- POS_VEL

struct ProfileCase {
    const char* name;
    float acc, dec_register, v_limit, target;
};

void PrintTo(const ProfileCase& c, std::ostream* os) { *os << c.name; }

class PosVelProfile : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(PosVelProfile, AcceleratesCruisesAndBrakesAtTheRegistersRatesOntoTheTarget) {
    const auto& c = GetParam();
    const double dec = std::abs(c.dec_register), dir = c.target > 0 ? 1.0 : -1.0;
    Bench b(damiao::kModePosVel, "dm4340");
    b.write_float(kRegAcc, c.acc);
    b.write_float(kRegDec, c.dec_register);
    b.command(damiao::kCmdEnable);
    send_mode(b, damiao::kModePosVel, damiao::encode(PosVelCommand{c.target, c.v_limit}));

    // Trapezoid: speed up to the limit, cruise, brake.
    const double t_acc = c.v_limit / c.acc, t_dec = c.v_limit / dec;
    const double cruise = (std::abs(c.target) - c.v_limit * (t_acc + t_dec) / 2) / c.v_limit;
    ASSERT_GT(cruise, 0.05) << "a case must reach its limit";
    double peak = 0, reached_limit = -1, braking_from = -1, arrived = -1;
    const auto& phys = b.cfg().model.physics;
    const long steps = std::lround((t_acc + cruise + t_dec + 0.5) / kDt), half_way_up = std::lround(t_acc / 2 / kDt);
    for (long i = 1; i <= steps; ++i) {
        const double before = dir * b.motor.velocity();
        b.run_for(MotorModel::kStep);
        const double t = i * kDt, v = dir * b.motor.velocity();
        peak = std::max(peak, v);
        if (reached_limit < 0 && v >= c.v_limit - 1e-9) reached_limit = t;
        if (reached_limit >= 0 && braking_from < 0 && v < c.v_limit - 1e-9) braking_from = t - kDt;
        if (arrived < 0 && std::abs(b.motor.position() - c.target) < 1e-9 && std::abs(v) < 1e-6) arrived = t;
        if (i == half_way_up) {  // J a plus the friction of the step's start
            EXPECT_NEAR(dir * b.motor.torque(), double{phys.inertia} * c.acc + double{phys.damping} * before, 1e-12);
        }
    }
    EXPECT_LE(peak, c.v_limit + 1e-9);
    EXPECT_NEAR(reached_limit, t_acc, 2 * kDt);
    EXPECT_NEAR(braking_from, t_acc + cruise, 0.01 * (t_acc + cruise) + 2 * kDt);
    EXPECT_NEAR(arrived - braking_from, t_dec, 0.02 * t_dec + 2 * kDt);
    // At rest on the target, and staying there.
    EXPECT_NEAR(b.motor.position(), c.target, 1e-9);
    EXPECT_NEAR(b.motor.velocity(), 0.0, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Sim, PosVelProfile,
                         ::testing::Values(ProfileCase{"Symmetric", 10.0f, -10.0f, 5.0f, 3.0f},
                                           ProfileCase{"SlowBrakesBackwards", 20.0f, -5.0f, 4.0f, -3.0f},
                                           ProfileCase{"HardBrakePositiveDec", 10.0f, 40.0f, 2.0f, 0.5f},
                                           ProfileCase{"FastAndFar", 200.0f, -200.0f, 40.0f, 12.0f}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PosVel, ShortMoveNeverReachesTheLimitAndStillLands) {
    Bench b(damiao::kModePosVel);
    b.command(damiao::kCmdEnable);
    send_mode(b, damiao::kModePosVel, damiao::encode(PosVelCommand{0.1f, 10.0f}));  // ACC = DEC = 10
    double peak = 0;
    for (int i = 0; i < 5000; ++i) {
        b.run_for(MotorModel::kStep);
        peak = std::max(peak, b.motor.velocity());
    }
    EXPECT_NEAR(peak, std::sqrt(10.0 * 0.1), 0.01);  // triangle: v = sqrt(a d)
    EXPECT_NEAR(b.motor.position(), 0.1f, 1e-9);
}

TEST(PosVel, ZeroAccelerationNeverStarts) {
    Bench b(damiao::kModePosVel);
    b.write_float(kRegAcc, 0.0f);
    b.command(damiao::kCmdEnable);
    send_mode(b, damiao::kModePosVel, damiao::encode(PosVelCommand{1.0f, 5.0f}));
    b.run_for(ms(500));
    EXPECT_EQ(b.motor.position(), 0.0);
}

// --------------------------------------------------------------------- VEL

TEST(Vel, RampsAtAccSlowsAtDecAndReversesThroughZero) {
    Bench b(damiao::kModeVel);
    b.write_float(kRegAcc, 10.0f);
    b.write_float(kRegDec, -20.0f);
    b.command(damiao::kCmdEnable);
    const auto set = [&](float v) { send_mode(b, damiao::kModeVel, damiao::encode(VelCommand{v})); };
    struct Expect {
        double after_ms, velocity;
    };
    const auto follow = [&](std::initializer_list<Expect> points) {
        double done = 0;
        for (const auto& p : points) {
            b.run_for(ms(p.after_ms - done));
            done = p.after_ms;
            EXPECT_NEAR(b.motor.velocity(), p.velocity, 2 * 10.0 * kDt) << p.after_ms << " ms";
        }
    };
    set(3.0f);
    follow({{150, 1.5}, {300, 3.0}, {1000, 3.0}});
    set(1.0f);
    follow({{50, 2.0}, {100, 1.0}, {400, 1.0}});
    set(-1.0f);
    follow({{25, 0.5}, {50, 0.0}, {100, -0.5}, {150, -1.0}, {500, -1.0}});
}

TEST(Vel, TakesFourToEightBytes) {
    for (std::size_t n = 4; n <= 8; ++n) {
        SCOPED_TRACE(n);
        Bench b(damiao::kModeVel);
        b.command(damiao::kCmdEnable);
        const Frame8 full = damiao::encode(VelCommand{-2.5f});
        EXPECT_EQ(b.command(std::span(full).first(n), damiao::kVelBase).kind, Outcome::Kind::Answered);
        ASSERT_TRUE(std::holds_alternative<VelCommand>(b.motor.command()));
        EXPECT_EQ(std::get<VelCommand>(b.motor.command()).dq, -2.5f);
    }
}

// --------------------------------------------------------------- FORCE_POS

TEST(ForcePos, TorqueStaysWithinTheCurrentLimitAndWeakerMovesSlower) {
    double previous_half_way = 0;
    for (float i_limit : {1.0f, 0.25f, 0.05f, 0.01f}) {
        SCOPED_TRACE(i_limit);
        Bench b(damiao::kModeForcePos, "dm4340");
        b.command(damiao::kCmdEnable);
        send_mode(b, damiao::kModeForcePos, damiao::encode(ForcePosCommand{1.0f, 4.0f, i_limit}));
        const double cap = double{i_limit} * b.cfg().model.limits.t_max;
        double peak_torque = 0, peak_speed = 0, half_way = -1;
        for (int i = 0; i < 20000; ++i) {
            b.run_for(MotorModel::kStep);
            peak_torque = std::max(peak_torque, std::abs(b.motor.torque()));
            peak_speed = std::max(peak_speed, std::abs(b.motor.velocity()));
            if (half_way < 0 && b.motor.position() >= 0.5) half_way = i * kDt;
        }
        EXPECT_LE(peak_torque, cap * (1 + 1e-12));
        EXPECT_GT(peak_torque, 0.99 * cap);  // the limit is what moves it
        EXPECT_LE(peak_speed, 4.0 + 1e-9);
        EXPECT_NEAR(b.motor.position(), 1.0, 1e-6);
        EXPECT_GT(half_way, previous_half_way);
        previous_half_way = half_way;
    }
}

TEST(ForcePos, NoCurrentOrNoSpeedMovesNothing) {
    for (const auto& c : {ForcePosCommand{1.0f, 4.0f, 0.0f}, ForcePosCommand{1.0f, 0.0f, 1.0f}}) {
        Bench b(damiao::kModeForcePos);
        b.command(damiao::kCmdEnable);
        send_mode(b, damiao::kModeForcePos, damiao::encode(c));
        b.run_for(ms(500));
        EXPECT_EQ(b.motor.position(), 0.0);
    }
}

TEST(ForcePos, CodesPastTheRangeAreReadAsItsTop) {
    Bench b(damiao::kModeForcePos);
    b.command(damiao::kCmdEnable);
    Frame8 f = damiao::encode(ForcePosCommand{1.0f, 0, 0});
    f[4] = 0x20, f[5] = 0x4E, f[6] = 0xFF, f[7] = 0xFF;  // 20000 and 65535
    send_mode(b, damiao::kModeForcePos, f);
    ASSERT_TRUE(std::holds_alternative<ForcePosCommand>(b.motor.command()));
    EXPECT_EQ(std::get<ForcePosCommand>(b.motor.command()).v_limit, 100.0f);
    EXPECT_EQ(std::get<ForcePosCommand>(b.motor.command()).i_limit, 1.0f);
}

// ------------------------------------------------------------------ refresh

TEST(Refresh, ReportsTheStateAndChangesNothing) {
    Bench quiet(damiao::kModePosVel), asked(damiao::kModePosVel);
    for (Bench* b : {&quiet, &asked}) {
        b->command(damiao::kCmdEnable);
        send_mode(*b, damiao::kModePosVel, damiao::encode(PosVelCommand{2.0f, 3.0f}));
    }
    float last = -1;
    for (int i = 0; i < 150; ++i) {
        quiet.run_for(ms(7));
        asked.run_for(ms(7));
        const auto out = asked.system(damiao::kOpRefresh);
        ASSERT_EQ(out.kind, Outcome::Kind::Answered);
        EXPECT_EQ(out.reply->id, CanId::standard(0x11));
        const auto s = asked.state_of(out);
        EXPECT_EQ(s.error, kStatusEnabled);
        EXPECT_NEAR(s.position, asked.motor.position(), 5e-4);
        EXPECT_GE(s.position, last);
        last = s.position;
    }
    EXPECT_EQ(asked.motor.position(), quiet.motor.position());
    EXPECT_EQ(asked.motor.velocity(), quiet.motor.velocity());
    EXPECT_NEAR(asked.motor.position(), 2.0f, 1e-9);

    Bench off(damiao::kModeMit);
    EXPECT_EQ(off.state_of(off.system(damiao::kOpRefresh)).error, kStatusDisabled);
    EXPECT_FALSE(off.motor.enabled());
}

// --------------------------------------------------------------------- save

TEST(Save, StoresEveryWritableRegisterSilentlyAndLeavesTheMotorDeafForAWhile) {
    Bench b(damiao::kModeMit);
    b.write_float(kRegOverTemp, 65.5f);
    b.write_u32(damiao::kRegTimeout, 4000);
    const auto out = b.system(damiao::kOpSave, 0x01);
    EXPECT_EQ(out.kind, Outcome::Kind::Saved);
    EXPECT_FALSE(out.reply);

    std::size_t writable = 0;
    for (const auto& r : damiao::kRegisters) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(b.motor.flash().contains(r.number), !r.read_only);
        if (!r.read_only) {
            EXPECT_EQ(b.motor.flash().at(r.number), b.motor.read_register(r.number)->bits);
        }
        writable += !r.read_only;
    }
    EXPECT_EQ(b.motor.flash().size(), writable);
    EXPECT_EQ(b.motor.flash().at(kRegOverTemp), std::bit_cast<std::uint32_t>(65.5f));

    b.run_for(kSaveBusy - MotorModel::kStep);
    EXPECT_TRUE(b.motor.busy());
    for (const auto& quiet : {b.command(damiao::kCmdEnable), b.reg(damiao::kRegRead, damiao::kRegControlMode),
                              b.system(damiao::kOpRefresh)}) {
        EXPECT_EQ(quiet.kind, Outcome::Kind::Ignored);
        EXPECT_FALSE(quiet.reply);
    }
    EXPECT_FALSE(b.motor.enabled());
    b.run_for(MotorModel::kStep);
    EXPECT_FALSE(b.motor.busy());
    EXPECT_EQ(b.command_state(damiao::kCmdEnable).error, kStatusEnabled);

    // Refused while enabled: the flash keeps the earlier save.
    b.write_float(kRegOverTemp, 70.0f);
    EXPECT_EQ(b.system(damiao::kOpSave, 0x01).kind, Outcome::Kind::Ignored);
    EXPECT_FALSE(b.motor.busy());
    EXPECT_EQ(b.motor.flash().at(kRegOverTemp), std::bit_cast<std::uint32_t>(65.5f));
}

MotorConfig restarted(const Bench& b) {
    MotorConfig cfg = b.cfg();
    cfg.flash = b.motor.flash();
    return cfg;
}

TEST(Restart, SavedIdsTakeEffectOnlyAtTheNextStart) {
    Bench b(damiao::kModePosVel);
    b.write_u32(kRegEscId, 5);
    b.write_u32(kRegMasterId, 0x15);
    EXPECT_EQ(b.command(damiao::kCmdEnable).reply->id, CanId::standard(0x11));  // not before a restart
    b.command(damiao::kCmdDisable);
    ASSERT_EQ(b.system(damiao::kOpSave, 0x01).kind, Outcome::Kind::Saved);

    Bench after(restarted(b));
    EXPECT_EQ(after.motor.cmd_id(), 5);
    EXPECT_EQ(after.motor.fb_id(), 0x15);
    EXPECT_EQ(after.send(CanFrame(CanId::standard(1), damiao::kCmdEnable)).kind, Outcome::Kind::NotMine);
    EXPECT_EQ(after.send(CanFrame(CanId::standard(0x7FF), damiao::register_request(1, damiao::kRegRead, 10, 0))).kind,
              Outcome::Kind::NotMine);
    const auto enabled = after.command(damiao::kCmdEnable);
    EXPECT_EQ(enabled.reply->id, CanId::standard(0x15));
    EXPECT_EQ(after.state_of(enabled).motor_id, 5);
    const auto read = after.reg(damiao::kRegRead, kRegEscId);
    const std::vector<std::uint8_t> want{0x05, 0x00, 0x33, 0x08, 0x05, 0x00, 0x00, 0x00};
    EXPECT_TRUE(std::ranges::equal(read.reply->data(), want));
    EXPECT_EQ(read.reply->id, CanId::standard(0x15));
    EXPECT_EQ(send_mode(after, damiao::kModePosVel, damiao::encode(PosVelCommand{1.0f, 2.0f})).reply->id,
              CanId::standard(0x15));
    after.run_for(ms(2000));
    EXPECT_NEAR(after.motor.position(), 1.0, 1e-9);
}

TEST(Restart, OnlySavedValuesSurviveAndTheSavedModeWins) {
    Bench b(damiao::kModePosVel);
    b.write_u32(damiao::kRegControlMode, damiao::kModeVel);
    b.write_float(kRegPMax, 25.0f);
    ASSERT_EQ(b.system(damiao::kOpSave, 0x01).kind, Outcome::Kind::Saved);
    b.run_for(kSaveBusy);
    b.write_float(kRegOverTemp, 50.0f);  // after the save: lost at power-off

    MotorConfig cfg = restarted(b);
    cfg.control_mode = damiao::kModeMit;  // --mode on the next start
    const MotorModel after(cfg, 0);
    EXPECT_EQ(after.control_mode(), damiao::kModeVel);
    EXPECT_EQ(after.read_register(kRegPMax)->as_float(), 25.0f);
    EXPECT_EQ(after.read_register(kRegOverTemp)->as_float(), 80.0f);
    EXPECT_EQ(after.flash(), b.motor.flash());  // what a further save would start from
}

// ------------------------------------------------------------ MIT scaling

struct ScaleCase {
    const char* name;
    std::uint8_t reg;
    float damiao::MotorState::*reported;
    float damiao::MitSetpoint::*commanded;
    double (MotorModel::*actual)() const;
};

void PrintTo(const ScaleCase& c, std::ostream* os) { *os << c.name; }

class MitScaling : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(MitScaling, RegistersSetTheRangesOfBothFramesSoWrongHostLimitsReadWrongValues) {
    const auto& c = GetParam();
    Bench b(damiao::kModeMit);
    const damiao::MitLimits host = b.cfg().model.limits;  // the preset, as a host would assume
    damiao::MitLimits right = host;
    float* field = c.reg == kRegPMax ? &right.p_max : c.reg == kRegVMax ? &right.v_max : &right.t_max;
    *field *= 2;
    b.write_float(c.reg, *field);
    EXPECT_EQ(b.motor.scaling().kp_max, 500.0f);
    EXPECT_EQ(b.motor.scaling().kd_max, 5.0f);

    // The command: what the host meant as x, the motor reads as about 2x.
    b.command(damiao::kCmdEnable);
    const MitSetpoint sp{1.0f, 2.0f, 1.0f, 0.5f, 0.75f};
    b.command(damiao::encode(host, sp).value());
    const auto& held = std::get<MitSetpoint>(b.motor.command());
    EXPECT_NEAR(held.*c.commanded, 2 * (sp.*c.commanded), 2 * 2 * *field / 4095.0f);
    EXPECT_NEAR(held.kp, sp.kp, 500.0f / 4095.0f);
    EXPECT_NEAR(held.kd, sp.kd, 5.0f / 4095.0f);

    // The feedback: read with the preset, half the truth; with the registers, the truth.
    b.run_for(ms(20));
    const auto out = b.command(damiao::kCmdEnable);
    const double truth = (b.motor.*c.actual)();
    ASSERT_GT(std::abs(truth), 0.01);
    const float step = 2 * *field / 4095.0f;
    EXPECT_NEAR(damiao::decode(host, out.reply->data()).value().*c.reported, truth / 2, step);
    EXPECT_NEAR(damiao::decode(right, out.reply->data()).value().*c.reported, truth, step);
}

INSTANTIATE_TEST_SUITE_P(Sim, MitScaling,
                         ::testing::Values(ScaleCase{"PMax", kRegPMax, &damiao::MotorState::position,
                                                     &damiao::MitSetpoint::q, &MotorModel::position},
                                           ScaleCase{"VMax", kRegVMax, &damiao::MotorState::velocity,
                                                     &damiao::MitSetpoint::dq, &MotorModel::velocity},
                                           ScaleCase{"TMax", kRegTMax, &damiao::MotorState::torque,
                                                     &damiao::MitSetpoint::tau, &MotorModel::torque}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MitScaling, RangesThatMakeNoNumbersLeaveTheCommandUnapplied) {
    Bench b(damiao::kModeMit);
    b.write_float(kRegPMax, kInf);
    b.command(damiao::kCmdEnable);
    EXPECT_EQ(b.command(damiao::encode(b.cfg().model.limits, {0, 0, 0, 0, 0}).value()).kind,
              Outcome::Kind::Answered);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(b.motor.command()));
}

// ------------------------------------------------------------------------ FD

struct FdCase {
    const char* name;
    std::uint16_t id;
    Frame8 data;
    bool fd, brs;
};

void PrintTo(const FdCase& c, std::ostream* os) { *os << c.name; }

class FdReplies : public ::testing::TestWithParam<FdCase> {};

TEST_P(FdReplies, ComeInTheKindOfTheirRequest) {
    const auto& c = GetParam();
    Bench b(damiao::kModePosVel);
    const auto out = b.send(CanFrame(CanId::standard(c.id), c.data, c.fd, c.brs));
    ASSERT_EQ(out.kind, Outcome::Kind::Answered);
    EXPECT_EQ(out.reply->id, CanId::standard(0x11));
    EXPECT_EQ(out.reply->fd, c.fd);
    EXPECT_EQ(out.reply->brs, c.brs);
    EXPECT_EQ(out.reply->size(), 8u);
}

const Frame8 kReadMode = damiao::register_request(1, damiao::kRegRead, damiao::kRegControlMode, 0);
const Frame8 kRefresh = damiao::system_request(1, damiao::kOpRefresh);
const Frame8 kPosVel = damiao::encode(PosVelCommand{1.0f, 1.0f});

INSTANTIATE_TEST_SUITE_P(Sim, FdReplies,
                         ::testing::Values(FdCase{"ClassicEnable", 1, damiao::kCmdEnable, false, false},
                                           FdCase{"FdEnable", 1, damiao::kCmdEnable, true, false},
                                           FdCase{"FdEnableSwitched", 1, damiao::kCmdEnable, true, true},
                                           FdCase{"ClassicRegisterRead", 0x7FF, kReadMode, false, false},
                                           FdCase{"FdRegisterRead", 0x7FF, kReadMode, true, true},
                                           FdCase{"FdRefresh", 0x7FF, kRefresh, true, true},
                                           FdCase{"FdPosVel", 0x101, kPosVel, true, true},
                                           FdCase{"ClassicPosVel", 0x101, kPosVel, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace torvane::sim
