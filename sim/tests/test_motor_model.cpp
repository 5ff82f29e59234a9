// The simulated motor without a bus: time is passed by hand, frames are built
// with the project's own codec and register helpers, replies decoded with it.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <deque>
#include <functional>
#include <string>

#include "damiao/driver.hpp"
#include "sim/motor_model.hpp"
#include "sim/tests/bench.hpp"

namespace torvane::sim {
namespace {

using namespace sim_test;

// ---------------------------------------------------------------- models

TEST(Models, OneForEveryCodecPresetWithItsLimits) {
    ASSERT_EQ(models().size(), damiao::kPresets.size());
    for (std::size_t i = 0; i < models().size(); ++i) {
        const auto& m = models()[i];
        const auto& p = damiao::kPresets[i];
        SCOPED_TRACE(p.name);
        EXPECT_EQ(m.name, p.name);
        using Five = std::array<float, 5>;
        EXPECT_EQ(std::bit_cast<Five>(m.limits), std::bit_cast<Five>(p.limits));
        EXPECT_GT(m.physics.inertia, 0.0f);
        EXPECT_GT(m.physics.damping, 0.0f);
        EXPECT_GT(m.physics.mos_heat, 0.0f);
        EXPECT_GT(m.physics.rotor_heat, 0.0f);
        EXPECT_GT(m.physics.mos_cooling_s, 0.0f);
        EXPECT_GT(m.physics.rotor_cooling_s, 0.0f);
        ASSERT_TRUE(find_model(p.name).has_value());
        EXPECT_EQ(find_model(p.name)->name, p.name);
    }
    for (const char* unknown : {"", "DM4310", "dm4310 ", "dm9999"}) EXPECT_FALSE(find_model(unknown)) << unknown;
}

// ---------------------------------------------------------- fixed commands

struct FixedCase {
    const char* name;
    bool start_enabled;
    Frame8 command;
    std::uint8_t status;
};

void PrintTo(const FixedCase& c, std::ostream* os) { *os << c.name; }

class FixedCommands : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FixedCommands, AnswerOnTheFeedbackIdWithTheNewStatus) {
    const auto& c = GetParam();
    Bench b(damiao::kModeMit, "dm4340", 0x23, 0x45);
    if (c.start_enabled) b.command(damiao::kCmdEnable);
    b.run_for(ms(1));
    auto out = b.command(c.command);
    ASSERT_EQ(out.kind, Outcome::Kind::Answered);
    const CanFrame& r = *out.reply;
    EXPECT_EQ(r.id, CanId::standard(0x45));
    EXPECT_FALSE(r.fd);
    ASSERT_EQ(r.size(), 8u);
    const auto s = damiao::decode(b.cfg().model.limits, r.data()).value();
    EXPECT_EQ(s.motor_id, 0x3);  // low nibble of the command id
    EXPECT_EQ(s.error, c.status);
    EXPECT_EQ(b.motor.status(), c.status);
    EXPECT_EQ(s.t_mos, 25);
    EXPECT_EQ(s.t_rotor, 25);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, FixedCommands,
    ::testing::Values(FixedCase{"EnableFromDisabled", false, damiao::kCmdEnable, kStatusEnabled},
                      FixedCase{"EnableTwice", true, damiao::kCmdEnable, kStatusEnabled},
                      FixedCase{"Disable", true, damiao::kCmdDisable, kStatusDisabled},
                      FixedCase{"SetZeroKeepsEnabled", true, damiao::kCmdSetZero, kStatusEnabled},
                      FixedCase{"SetZeroKeepsDisabled", false, damiao::kCmdSetZero, kStatusDisabled},
                      FixedCase{"ClearErrorWithoutFault", true, damiao::kCmdClearError, kStatusEnabled}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SetZero, ZeroesOnlyWhileDisabled) {
    for (bool enabled : {false, true}) {
        SCOPED_TRACE(enabled ? "enabled" : "disabled");
        Bench b;
        b.command(damiao::kCmdEnable);
        b.mit({1.0f, 0, 20.0f, 1.0f, 0});
        b.run_for(ms(1000));
        b.command(enabled ? damiao::kCmdEnable : damiao::kCmdDisable);
        const double before = b.motor.position();
        ASSERT_NEAR(before, 1.0, 0.01);
        const auto s = b.command_state(damiao::kCmdSetZero);
        if (enabled) {
            EXPECT_EQ(b.motor.position(), before);
            EXPECT_NEAR(s.position, 1.0f, 0.01f);
        } else {
            EXPECT_EQ(b.motor.position(), 0.0);
            EXPECT_NEAR(s.position, 0.0f, 0.001f);
        }
    }
}

// ------------------------------------------------------------- MIT gating

struct GateCase {
    std::uint32_t mode;
    bool enable;
    bool moves;
};

void PrintTo(const GateCase& c, std::ostream* os) { *os << "mode " << c.mode << (c.enable ? " enabled" : " disabled"); }

class MitGate : public ::testing::TestWithParam<GateCase> {};

TEST_P(MitGate, AppliedOnlyWhenEnabledInMitMode) {
    const auto& c = GetParam();
    Bench b(c.mode);
    if (c.enable) b.command(damiao::kCmdEnable);
    const auto reply = b.mit({1.0f, 0, 20.0f, 1.0f, 0});
    EXPECT_EQ(reply.error, c.enable ? kStatusEnabled : kStatusDisabled);  // answered either way
    for (int i = 0; i < 100; ++i) {
        b.run_for(ms(10));
        b.mit({1.0f, 0, 20.0f, 1.0f, 0});
    }
    if (c.moves) {
        EXPECT_NEAR(b.motor.position(), 1.0, 0.005);
    } else {
        EXPECT_EQ(b.motor.position(), 0.0);
        EXPECT_EQ(b.motor.torque(), 0.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Sim, MitGate,
                         ::testing::Values(GateCase{1, true, true}, GateCase{1, false, false},
                                           GateCase{2, true, false}, GateCase{3, true, false},
                                           GateCase{4, true, false}),
                         [](const auto& info) {
                             return "Mode" + std::to_string(info.param.mode) +
                                    (info.param.enable ? "Enabled" : "Disabled");
                         });

TEST(MitGate, CommandSentWhileDisabledIsNotKeptForLater) {
    Bench b;
    b.mit({1.0f, 0, 20.0f, 1.0f, 0});
    b.command(damiao::kCmdEnable);
    b.run_for(ms(500));
    EXPECT_EQ(b.motor.position(), 0.0);
}

TEST(MitGate, LeavingMitModeStopsTheDrive) {
    Bench b;
    b.command(damiao::kCmdEnable);
    b.mit({0, 0, 0, 0, 1.0f});
    b.run_for(ms(10));
    EXPECT_NEAR(b.motor.torque(), 1.0, 0.005);  // 12-bit torque field
    b.write_u32(damiao::kRegControlMode, damiao::kModeVel);
    b.run_for(ms(10));
    EXPECT_EQ(b.motor.torque(), 0.0);
    b.write_u32(damiao::kRegControlMode, damiao::kModeMit);
    b.run_for(ms(10));
    EXPECT_EQ(b.motor.torque(), 0.0);  // the old command does not come back
}

// ---------------------------------------------------------------- physics

}  // namespace

void PrintTo(const MotorKind& m, std::ostream* os) { *os << m.name; }

namespace {

class Settling : public ::testing::TestWithParam<MotorKind> {};

TEST_P(Settling, PositionLoopReachesTargetAndRests) {
    Bench b(MotorConfig{1, 0x11, GetParam(), damiao::kModeMit});
    b.command(damiao::kCmdEnable);
    b.mit({1.0f, 0, 20.0f, 1.0f, 0});
    b.run_for(ms(50));
    const double early = b.motor.position();
    EXPECT_GT(early, 0.0);
    EXPECT_LT(early, 1.0);
    b.run_for(ms(2950));
    // The rest point is where the command as the motor decoded it balances:
    // a zero velocity or torque is not exactly representable in 12 bits, and
    // with a wide range that leaves a small offset, as on the real thing.
    const auto got = damiao::decode_setpoint(b.cfg().model.limits,
                                             damiao::encode(b.cfg().model.limits, {1.0f, 0, 20.0f, 1.0f, 0}).value());
    const double b_friction = b.cfg().model.physics.damping;
    // kp (q - x) + kd (dq - 0) + tau = b * 0 at rest
    const double rest = got.q + (got.kd * got.dq + got.tau) / got.kp;
    EXPECT_NEAR(rest, 1.0, 0.005);
    EXPECT_NEAR(b.motor.position(), rest, 1e-4);
    EXPECT_NEAR(b.motor.velocity(), 0.0, 1e-3);
    EXPECT_NEAR(b.motor.torque(), b_friction * b.motor.velocity(), 1e-3);
    const auto s = b.command_state(damiao::kCmdEnable);
    EXPECT_NEAR(s.position, rest, 5e-4);  // as the codec reports it
}

INSTANTIATE_TEST_SUITE_P(AllModels, Settling, ::testing::ValuesIn(models().begin(), models().end()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Physics, TorqueIsClampedToTheModelsLimit) {
    for (const char* name : {"dm4310", "dm4340", "dm10010"}) {
        SCOPED_TRACE(name);
        Bench b(damiao::kModeMit, name);
        b.command(damiao::kCmdEnable);
        b.mit({10.0f, 0, 500.0f, 0, 0});
        b.run_for(ms(1));
        const float t_max = b.cfg().model.limits.t_max;
        EXPECT_EQ(b.motor.torque(), t_max);
        const auto s = b.command_state(damiao::kCmdEnable);
        EXPECT_EQ(s.torque, t_max);
        b.mit({-10.0f, 0, 500.0f, 0, 0});
        b.run_for(ms(1));
        EXPECT_EQ(b.motor.torque(), -t_max);
    }
}

TEST(Physics, ConstantTorqueFollowsInertiaAndViscousFriction) {
    // J dv/dt = tau - b v  =>  v(t) = tau/b (1 - exp(-b t / J))
    Bench b;
    const auto& p = b.cfg().model.physics;
    b.command(damiao::kCmdEnable);
    b.mit({0, 0, 0, 0, 1.0f});
    MonoNanos t = 0;
    for (double at : {5.0, 20.0, 75.0, 300.0, 1000.0}) {
        b.run_for(ms(at) - t);
        t = ms(at);
        const double expected = 1.0 / p.damping * (1.0 - std::exp(-p.damping * at * 1e-3 / p.inertia));
        EXPECT_NEAR(b.motor.velocity(), expected, 0.01 * expected) << at << " ms";
    }
}

TEST(Physics, FixedStepMakesResultIndependentOfCallPattern) {
    Bench coarse, fine;
    for (Bench* b : {&coarse, &fine}) {
        b->command(damiao::kCmdEnable);
        b->mit({2.0f, 0.5f, 40.0f, 0.8f, 0.3f});
    }
    coarse.run_for(ms(250));
    for (MonoNanos step : {37'000, 1'000'000, 123'457, 9'999}) {
        while (fine.now + step <= ms(250)) fine.run_for(step);
    }
    fine.run_for(ms(250) - fine.now);
    EXPECT_EQ(coarse.motor.position(), fine.motor.position());
    EXPECT_EQ(coarse.motor.velocity(), fine.motor.velocity());
    EXPECT_EQ(coarse.motor.t_rotor(), fine.motor.t_rotor());
}

TEST(Physics, DisabledRotorCoastsDown) {
    Bench b;
    b.command(damiao::kCmdEnable);
    b.mit({0, 0, 0, 0, 2.0f});
    b.run_for(ms(200));
    const double v = b.motor.velocity();
    ASSERT_GT(v, 10.0);
    b.command(damiao::kCmdDisable);
    b.run_for(ms(75));  // one J/b time constant
    EXPECT_NEAR(b.motor.velocity(), v * std::exp(-1.0), 0.01 * v);
    EXPECT_EQ(b.motor.torque(), 0.0);
}

// ---------------------------------------------------------------- thermal

TEST(Thermal, HeatingGrowsWithTheSquareOfTorqueAndCoolsToAmbient) {
    auto rise = [](float fraction, double secs) {
        Bench b;
        b.command(damiao::kCmdEnable);
        b.mit({0, 0, 0, 0, fraction * b.cfg().model.limits.t_max});
        b.run_for(ms(secs * 1000));
        return std::pair{b.motor.t_mos() - 25.0, b.motor.t_rotor() - 25.0};
    };
    const auto [mos_half, rotor_half] = rise(0.5f, 1.0);
    const auto [mos_full, rotor_full] = rise(1.0f, 1.0);
    EXPECT_GT(mos_half, 0.0);
    EXPECT_GT(rotor_half, 0.0);
    EXPECT_NEAR(mos_full / mos_half, 4.0, 0.01);
    EXPECT_NEAR(rotor_full / rotor_half, 4.0, 0.01);
    // Over one second the rise is close to the heating rate of the table.
    const auto& p = model("dm4310").physics;
    EXPECT_NEAR(rotor_full, p.rotor_heat, 0.02 * p.rotor_heat);
    EXPECT_NEAR(mos_full, p.mos_heat, 0.03 * p.mos_heat);

    Bench b;
    b.command(damiao::kCmdEnable);
    b.mit({0, 0, 0, 0, b.cfg().model.limits.t_max});
    b.run_for(ms(5000));
    b.command(damiao::kCmdDisable);
    const double hot = b.motor.t_rotor() - 25.0;
    const auto reported = b.command_state(damiao::kCmdDisable);
    EXPECT_EQ(reported.t_rotor, static_cast<std::uint8_t>(std::lround(b.motor.t_rotor())));
    EXPECT_GT(reported.t_rotor, 35);
    b.run_for(ms(1000.0 * p.rotor_cooling_s));
    EXPECT_NEAR(b.motor.t_rotor() - 25.0, hot * std::exp(-1.0), 0.01 * hot);
    b.run_for(ms(10'000'000));
    EXPECT_NEAR(b.motor.t_rotor(), 25.0, 1e-6);
    EXPECT_NEAR(b.motor.t_mos(), 25.0, 1e-6);
}

// ----------------------------------------------------------------- faults

struct FaultCase {
    const char* name;
    std::function<void(Bench&)> cause;
    std::function<void(Bench&)> remove;  // what lets clear_error succeed
    Fault fault;
};

MotorKind touchy_mos() {
    MotorKind m = model("dm4310");
    m.physics.mos_limit_c = 28.0f;
    return m;
}

// Until the trip, so the winding is still above its limit when clear_error comes.
void full_torque(Bench& b) {
    b.mit({0, 0, 0, 0, b.cfg().model.limits.t_max});
    while (b.motor.fault() == Fault::None && b.now < ms(10'000)) b.run_for(MotorModel::kStep);
}

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class Faults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(Faults, LatchInTheErrorNibbleStopTorqueAndClearOnlyWithoutTheirCause) {
    const auto& c = GetParam();
    Bench b(MotorConfig{1, 0x11, c.fault == Fault::MosOverTemp ? touchy_mos() : model("dm4310"),
                        damiao::kModeMit});
    EXPECT_EQ(b.command_state(damiao::kCmdEnable).error, kStatusEnabled);
    c.cause(b);
    b.run_for(MotorModel::kStep);
    const auto code = static_cast<std::uint8_t>(c.fault);
    EXPECT_EQ(b.motor.fault(), c.fault);

    // Faulted: reported, no torque, commands do not restart it.
    EXPECT_EQ(b.command_state(damiao::kCmdEnable).error, code);
    b.mit({0, 0, 0, 0, 1.0f});
    b.run_for(ms(5));
    EXPECT_EQ(b.motor.torque(), 0.0);
    EXPECT_FALSE(b.motor.enabled());
    EXPECT_EQ(b.mit({0, 0, 0, 0, 1.0f}).error, code);

    if (c.fault != Fault::CommLost) {  // its cause ends with the clear_error frame itself
        EXPECT_EQ(b.command_state(damiao::kCmdClearError).error, code) << "cleared while the cause lasts";
    }
    c.remove(b);
    EXPECT_EQ(b.command_state(damiao::kCmdClearError).error, kStatusDisabled);
    EXPECT_EQ(b.command_state(damiao::kCmdEnable).error, kStatusEnabled);
    b.mit({0, 0, 0, 0, 1.0f});
    b.run_for(ms(1));
    EXPECT_NEAR(b.motor.torque(), 1.0, 0.005);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, Faults,
    ::testing::Values(
        FaultCase{"OverVoltage", [](Bench& b) { b.write_float(kRegOverVoltage, 20.0f); },
                  [](Bench& b) { b.write_float(kRegOverVoltage, 32.0f); }, Fault::OverVoltage},
        FaultCase{"UnderVoltage", [](Bench& b) { b.write_float(kRegUnderVoltage, 30.0f); },
                  [](Bench& b) { b.write_float(kRegUnderVoltage, 10.0f); }, Fault::UnderVoltage},
        FaultCase{"MosOverTemperature", full_torque,
                  [](Bench& b) {
                      b.run_for(ms(1000));  // still within the hysteresis
                      EXPECT_EQ(b.command_state(damiao::kCmdClearError).error, 0xB);
                      b.run_for(ms(300'000));
                  },
                  Fault::MosOverTemp},
        FaultCase{"RotorOverTemperature",
                  [](Bench& b) {
                      b.write_float(kRegOverTemp, 26.0f);
                      full_torque(b);
                  },
                  [](Bench& b) { b.write_float(kRegOverTemp, 80.0f); }, Fault::RotorOverTemp},
        FaultCase{"CommunicationLost",
                  [](Bench& b) {
                      b.write_u32(damiao::kRegTimeout, 200);  // 10 ms
                      b.run_for(ms(20));
                  },
                  [](Bench&) {}, Fault::CommLost}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Faults, OverTemperatureTripsAtTheThreshold) {
    Bench b;
    b.write_float(kRegOverTemp, 27.0f);
    b.command(damiao::kCmdEnable);
    b.mit({0, 0, 0, 0, b.cfg().model.limits.t_max});
    while (b.motor.fault() == Fault::None && b.now < ms(10'000)) b.run_for(MotorModel::kStep);
    ASSERT_EQ(b.motor.fault(), Fault::RotorOverTemp);
    EXPECT_GT(b.motor.t_rotor(), 27.0);
    EXPECT_LT(b.motor.t_rotor(), 27.001);
}

struct TimeoutCase {
    const char* name;
    std::uint32_t timeout_units;
    bool enabled;
    double quiet_ms;
    bool lost;
};

void PrintTo(const TimeoutCase& c, std::ostream* os) { *os << c.name; }

class CommTimeout : public ::testing::TestWithParam<TimeoutCase> {};

TEST_P(CommTimeout, LostOnlyForAnEnabledMotorQuietLongerThanTheRegister) {
    const auto& c = GetParam();
    Bench b;
    b.write_u32(damiao::kRegTimeout, c.timeout_units);
    b.command(c.enabled ? damiao::kCmdEnable : damiao::kCmdDisable);
    b.run_for(ms(c.quiet_ms));
    EXPECT_EQ(b.motor.fault(), c.lost ? Fault::CommLost : Fault::None);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, CommTimeout,
    ::testing::Values(TimeoutCase{"NeverWhenZero", 0, true, 60'000, false},
                      TimeoutCase{"NotBeforeTheLimit", 100, true, 4.9, false},  // 100 x 50 us = 5 ms
                      TimeoutCase{"JustAfterTheLimit", 100, true, 5.2, true},
                      TimeoutCase{"LongAfter", 100, true, 1000, true},
                      TimeoutCase{"NotWhileDisabled", 100, false, 1000, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CommTimeout, EveryFrameForTheMotorKeepsItAlive) {
    Bench b;
    b.write_u32(damiao::kRegTimeout, 100);
    b.command(damiao::kCmdEnable);
    for (int i = 0; i < 50; ++i) {
        b.run_for(ms(4));
        if (i % 2) {
            b.mit({0, 0, 0, 0, 0});
        } else {
            b.reg(damiao::kRegRead, damiao::kRegControlMode);
        }
    }
    EXPECT_EQ(b.motor.fault(), Fault::None);
    // Traffic for someone else does not count.
    for (int i = 0; i < 3; ++i) {
        b.run_for(ms(2));
        b.send(CanFrame(CanId::standard(2), damiao::kCmdEnable));
    }
    EXPECT_EQ(b.motor.fault(), Fault::CommLost);
}

// Exact to the nanosecond, wherever the frame falls between physics steps.
class CommTimeoutBoundary : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(CommTimeoutBoundary, LostJustAfterTimeoutTimesFiftyMicroseconds) {
    const std::uint32_t units = GetParam();
    const MonoNanos limit = static_cast<MonoNanos>(units) * 50'000;
    for (const MonoNanos heard_at : {ms(1), ms(1.23456), ms(7.77777)}) {
        SCOPED_TRACE(static_cast<double>(heard_at));
        Bench b;
        b.write_u32(damiao::kRegTimeout, units);
        b.now = heard_at;
        b.command(damiao::kCmdEnable);
        b.run_for(limit - 1);
        EXPECT_EQ(b.motor.fault(), Fault::None);
        b.run_for(1);  // quiet for exactly the limit: not yet
        EXPECT_EQ(b.motor.fault(), Fault::None);
        EXPECT_TRUE(b.motor.enabled());
        b.run_for(1);
        EXPECT_EQ(b.motor.fault(), Fault::CommLost);
        EXPECT_FALSE(b.motor.enabled());
        EXPECT_EQ(b.motor.status(), 0xD);
    }
}

INSTANTIATE_TEST_SUITE_P(Sim, CommTimeoutBoundary, ::testing::Values(1u, 2u, 3u, 7u, 200u, 4000u));

TEST(CommTimeout, AFrameJustBeforeTheLimitRestartsTheCount) {
    Bench b;
    b.write_u32(damiao::kRegTimeout, 3);  // 150 us
    b.now = ms(1.01);
    b.command(damiao::kCmdEnable);
    for (int i = 0; i < 20; ++i) {
        b.now += 150'000;
        b.mit({0, 0, 0, 0, 0});
    }
    EXPECT_EQ(b.motor.fault(), Fault::None);
    b.run_for(150'001);
    EXPECT_EQ(b.motor.fault(), Fault::CommLost);
    // Lost stays lost until clear_error.
    EXPECT_EQ(b.command_state(damiao::kCmdEnable).error, 0xD);
    EXPECT_EQ(b.command_state(damiao::kCmdClearError).error, kStatusDisabled);
    EXPECT_EQ(b.command_state(damiao::kCmdEnable).error, kStatusEnabled);
}

// ------------------------------------------------------- faults on demand

struct InjectedCase {
    const char* name;
    Fault fault;
    std::uint8_t code;
};

void PrintTo(const InjectedCase& c, std::ostream* os) { *os << c.name; }

class InjectedFault : public ::testing::TestWithParam<InjectedCase> {};

TEST_P(InjectedFault, LatchesOnTimeDisablesIgnoresCommandsUntilClearError) {
    const auto& c = GetParam();
    Bench b;
    b.motor.schedule_fault(c.fault, ms(10));
    EXPECT_EQ(b.command_state(damiao::kCmdEnable).error, kStatusEnabled);
    b.mit({0, 0, 0, 0, 1.0f});
    b.run_for(ms(10) - 1);
    EXPECT_EQ(b.motor.fault(), Fault::None);
    EXPECT_NEAR(b.motor.torque(), 1.0, 0.005);

    b.run_for(1);
    EXPECT_EQ(b.motor.fault(), c.fault);
    EXPECT_EQ(b.motor.status(), c.code);
    EXPECT_FALSE(b.motor.enabled());
    EXPECT_EQ(b.motor.torque(), 0.0);
    const double coasting = b.motor.velocity();
    // Every frame is answered with the code; nothing drives it.
    EXPECT_EQ(b.state_of(b.system(damiao::kOpRefresh)).error, c.code);
    EXPECT_EQ(b.command_state(damiao::kCmdEnable).error, c.code);
    EXPECT_FALSE(b.motor.enabled());
    EXPECT_EQ(b.mit({0, 0, 0, 0, 1.0f}).error, c.code);
    b.run_for(ms(20));
    EXPECT_EQ(b.motor.torque(), 0.0);
    EXPECT_GT(coasting, 1.0);
    EXPECT_LT(b.motor.velocity(), coasting);  // friction alone slows it
    EXPECT_EQ(b.command_state(damiao::kCmdDisable).error, c.code);
    EXPECT_EQ(b.motor.fault(), c.fault);

    EXPECT_EQ(b.command_state(damiao::kCmdClearError).error, kStatusDisabled);
    EXPECT_EQ(b.motor.fault(), Fault::None);
    EXPECT_EQ(b.command_state(damiao::kCmdEnable).error, kStatusEnabled);
    b.mit({0, 0, 0, 0, 1.0f});
    b.run_for(ms(1));
    EXPECT_NEAR(b.motor.torque(), 1.0, 0.005);
}

TEST_P(InjectedFault, LatchesInADisabledMotorToo) {
    const auto& c = GetParam();
    Bench b;
    b.motor.schedule_fault(c.fault, ms(3));
    b.run_for(ms(5));
    EXPECT_EQ(b.state_of(b.system(damiao::kOpRefresh)).error, c.code);
    EXPECT_EQ(b.command_state(damiao::kCmdEnable).error, c.code);
    EXPECT_EQ(b.command_state(damiao::kCmdClearError).error, kStatusDisabled);
}

INSTANTIATE_TEST_SUITE_P(Sim, InjectedFault,
                         ::testing::Values(InjectedCase{"OverVoltage", Fault::OverVoltage, 0x8},
                                           InjectedCase{"UnderVoltage", Fault::UnderVoltage, 0x9},
                                           InjectedCase{"OverCurrent", Fault::OverCurrent, 0xA},
                                           InjectedCase{"MosOverTemp", Fault::MosOverTemp, 0xB},
                                           InjectedCase{"RotorOverTemp", Fault::RotorOverTemp, 0xC},
                                           InjectedCase{"Overload", Fault::Overload, 0xE}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(InjectedFault, SeveralFireInTimeOrderEachOnce) {
    Bench b;
    b.motor.schedule_fault(Fault::Overload, ms(30));
    b.motor.schedule_fault(Fault::OverCurrent, ms(10));
    b.run_for(ms(15));
    EXPECT_EQ(b.motor.fault(), Fault::OverCurrent);
    EXPECT_EQ(b.command_state(damiao::kCmdClearError).error, kStatusDisabled);
    b.run_for(ms(10));
    EXPECT_EQ(b.motor.fault(), Fault::None);  // cleared, and not fired again
    b.run_for(ms(5));
    EXPECT_EQ(b.motor.fault(), Fault::Overload);
    EXPECT_EQ(b.command_state(damiao::kCmdClearError).error, kStatusDisabled);
    b.run_for(ms(100));
    EXPECT_EQ(b.motor.fault(), Fault::None);
}

// A fault in the middle of a long advance takes effect at its time, as it
// does when time is passed in small pieces.
TEST(InjectedFault, TakesEffectAtItsTimeWithinOneLongAdvance) {
    const auto spin = [](Bench& b) {
        b.motor.schedule_fault(Fault::Overload, ms(5.05));
        b.command(damiao::kCmdEnable);
        b.mit({0, 0, 0, 0, b.cfg().model.limits.t_max});
    };
    Bench whole, pieces;
    spin(whole);
    spin(pieces);
    whole.run_for(ms(50));
    double peak = 0;
    for (int i = 0; i < 500; ++i) {
        pieces.run_for(MotorModel::kStep);
        peak = std::max(peak, pieces.motor.velocity());
    }
    EXPECT_EQ(whole.motor.fault(), Fault::Overload);
    EXPECT_EQ(whole.motor.velocity(), pieces.motor.velocity());
    EXPECT_EQ(whole.motor.position(), pieces.motor.position());
    EXPECT_GT(peak, 10.0);
    EXPECT_LT(whole.motor.velocity(), peak);  // coasting since the fault
}

// -------------------------------------------------------------- registers

TEST(Registers, ReadReplyCarriesIdOpRegisterAndValue) {
    Bench b(damiao::kModePosVel, "dm4340", 0x123, 0x7E);
    auto out = b.reg(damiao::kRegRead, damiao::kRegControlMode);
    ASSERT_EQ(out.kind, Outcome::Kind::Answered);
    EXPECT_EQ(out.reply->id, CanId::standard(0x7E));
    EXPECT_FALSE(out.reply->fd);
    const std::vector<std::uint8_t> want{0x23, 0x01, 0x33, 0x0A, 0x02, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::vector<std::uint8_t>(out.reply->data().begin(), out.reply->data().end()), want);
    EXPECT_TRUE(damiao::is_register_reply(out.reply->data(), damiao::kRegControlMode));
}

struct RegisterCase {
    const char* name;
    std::uint8_t reg;
    damiao::RegisterValue factory;
    damiao::RegisterValue written;
};

void PrintTo(const RegisterCase& c, std::ostream* os) { *os << c.name; }

class RegisterWrite : public ::testing::TestWithParam<RegisterCase> {};

TEST_P(RegisterWrite, IsEchoedStoredAndReadBack) {
    const auto& c = GetParam();
    Bench b(damiao::kModePosVel, "dm4340");
    EXPECT_EQ(b.motor.read_register(c.reg)->type, c.factory.type);
    EXPECT_EQ(b.motor.read_register(c.reg)->bits, c.factory.bits);

    const CanFrame req(CanId::standard(damiao::kRegisterId),
                       damiao::register_request(1, damiao::kRegWrite, c.reg, c.written.bits));
    auto echo = b.send(req);
    ASSERT_EQ(echo.kind, Outcome::Kind::Answered);
    EXPECT_EQ(echo.reply->id, CanId::standard(0x11));
    EXPECT_TRUE(std::ranges::equal(echo.reply->data(), req.data()));

    auto read = b.reg(damiao::kRegRead, c.reg);
    ASSERT_EQ(read.kind, Outcome::Kind::Answered);
    const auto d = read.reply->data();
    EXPECT_EQ(d[4] | (d[5] << 8) | (d[6] << 16) | (std::uint32_t{d[7]} << 24), c.written.bits);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, RegisterWrite,
    ::testing::Values(
        RegisterCase{"ControlMode", 10, damiao::RegisterValue::u32(2), damiao::RegisterValue::u32(1)},
        RegisterCase{"Timeout", 9, damiao::RegisterValue::u32(0), damiao::RegisterValue::u32(4000)},
        RegisterCase{"OverTemperature", 2, damiao::RegisterValue::f32(80.0f), damiao::RegisterValue::f32(65.5f)},
        RegisterCase{"TorqueLimit", 23, damiao::RegisterValue::f32(28.0f), damiao::RegisterValue::f32(-1.25f)},
        RegisterCase{"MasterId", 7, damiao::RegisterValue::u32(0x11), damiao::RegisterValue::u32(0x21)},
        RegisterCase{"LastWritable", 35, damiao::RegisterValue::u32(4), damiao::RegisterValue::u32(3)}),
    [](const auto& info) { return std::string(info.param.name); });

struct IgnoredCase {
    const char* name;
    CanFrame frame;
    Outcome::Kind kind;
};

CanFrame reg_frame(std::uint16_t motor, std::uint8_t op, std::uint8_t reg, std::uint32_t v = 0) {
    return CanFrame(CanId::standard(damiao::kRegisterId), damiao::register_request(motor, op, reg, v));
}

CanFrame bytes(CanId id, std::vector<std::uint8_t> d, bool fd = false) { return CanFrame(id, d, fd); }

void PrintTo(const IgnoredCase& c, std::ostream* os) { *os << c.name; }

class Ignored : public ::testing::TestWithParam<IgnoredCase> {};

TEST_P(Ignored, ChangesNothingAndSendsNothing) {
    const auto& c = GetParam();
    Bench b(damiao::kModePosVel);
    b.command(damiao::kCmdEnable);
    auto out = b.send(c.frame);
    EXPECT_EQ(out.kind, c.kind);
    EXPECT_FALSE(out.reply.has_value());
    if (c.kind == Outcome::Kind::Ignored) {
        EXPECT_NE(out.why, nullptr);
    }
    EXPECT_EQ(b.motor.status(), kStatusEnabled);
    EXPECT_EQ(b.motor.control_mode(), damiao::kModePosVel);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(b.motor.command()));
    EXPECT_TRUE(b.motor.flash().empty());
    for (const auto& r : damiao::kRegisters) {
        if (r.read_only) {
            EXPECT_EQ(b.motor.read_register(r.number)->bits, Bench().motor.read_register(r.number)->bits);
        }
    }
}

// The firmware drops a write to a register it keeps: no echo, no change, as
// for the version registers. The host sees the write go unanswered.
TEST(Registers, WritesToEveryReadOnlyRegisterAreDroppedUnanswered) {
    int read_only = 0;
    for (const auto& r : damiao::kRegisters) {
        if (!r.read_only) continue;
        SCOPED_TRACE(r.name);
        ++read_only;
        Bench b(damiao::kModePosVel);
        const std::uint32_t before = b.motor.read_register(r.number)->bits;
        const auto out = b.reg(damiao::kRegWrite, r.number, ~before);
        EXPECT_EQ(out.kind, Outcome::Kind::Ignored);
        EXPECT_STREQ(out.why, "register is read-only");
        EXPECT_EQ(b.motor.read_register(r.number)->bits, before);
        // Still readable, with the value it had.
        const auto read = b.reg(damiao::kRegRead, r.number);
        ASSERT_EQ(read.kind, Outcome::Kind::Answered);
        const auto d = read.reply->data();
        EXPECT_EQ(d[4] | (d[5] << 8) | (d[6] << 16) | (std::uint32_t{d[7]} << 24), before);
    }
    EXPECT_EQ(read_only, 19);
}

const auto kSeven = std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD};
const auto kDisable = std::vector<std::uint8_t>(damiao::kCmdDisable.begin(), damiao::kCmdDisable.end());

INSTANTIATE_TEST_SUITE_P(
    Sim, Ignored,
    ::testing::Values(
        IgnoredCase{"ShortCommand", bytes(CanId::standard(1), kSeven), Outcome::Kind::Ignored},
        IgnoredCase{"EmptyCommand", bytes(CanId::standard(1), {}), Outcome::Kind::Ignored},
        IgnoredCase{"ExtendedIdOfTheSameValue", bytes(CanId::extended(1), kDisable), Outcome::Kind::NotMine},
        IgnoredCase{"OtherMotorsCommand", bytes(CanId::standard(2), kDisable), Outcome::Kind::NotMine},
        IgnoredCase{"OtherMotorsRegister", reg_frame(2, damiao::kRegWrite, 10, 3), Outcome::Kind::NotMine},
        IgnoredCase{"RegisterIdHighByte", reg_frame(0x101, damiao::kRegWrite, 10, 3), Outcome::Kind::NotMine},
        IgnoredCase{"ShortRegisterFrame",
                    bytes(CanId::standard(0x7FF), {0x01, 0x00, 0x55, 0x0A, 0x03, 0x00, 0x00}),
                    Outcome::Kind::Ignored},
        IgnoredCase{"LongFdRegisterFrame",
                    bytes(CanId::standard(0x7FF), {0x01, 0x00, 0x55, 0x0A, 0x03, 0, 0, 0, 0, 0, 0, 0}, true),
                    Outcome::Kind::Ignored},
        IgnoredCase{"LongFdCommand", bytes(CanId::standard(1), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD, 0, 0, 0, 0}, true),
                    Outcome::Kind::Ignored},
        IgnoredCase{"SaveWhileEnabled", reg_frame(1, damiao::kOpSave, 0x01), Outcome::Kind::Ignored},
        IgnoredCase{"ShortRefresh", bytes(CanId::standard(0x7FF), {0x01, 0x00, 0xCC}), Outcome::Kind::Ignored},
        IgnoredCase{"OtherMotorsRefresh", reg_frame(2, damiao::kOpRefresh, 0), Outcome::Kind::NotMine},
        IgnoredCase{"ShortPosVel", bytes(CanId::standard(0x101), {0, 0, 0x80, 0x3F, 0, 0, 0x80}), Outcome::Kind::Ignored},
        IgnoredCase{"ThreeByteVel", bytes(CanId::standard(0x201), {0, 0, 0x80}), Outcome::Kind::Ignored},
        IgnoredCase{"TwelveByteFdVel", bytes(CanId::standard(0x201), {0, 0, 0x80, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0}, true),
                    Outcome::Kind::Ignored},
        IgnoredCase{"ShortForcePos", bytes(CanId::standard(0x301), {0, 0, 0x80, 0x3F, 0x10, 0x27, 0x10}),
                    Outcome::Kind::Ignored},
        IgnoredCase{"OtherMotorsPosVel", bytes(CanId::standard(0x102), {0, 0, 0x80, 0x3F, 0, 0, 0x80, 0x3F}),
                    Outcome::Kind::NotMine},
        IgnoredCase{"UnknownOperation", reg_frame(1, 0xAA, 10, 3), Outcome::Kind::Ignored},
        IgnoredCase{"UnknownRegisterRead", reg_frame(1, damiao::kRegRead, 37), Outcome::Kind::Ignored},
        IgnoredCase{"UnknownRegisterWrite", reg_frame(1, damiao::kRegWrite, 99, 3), Outcome::Kind::Ignored},
        IgnoredCase{"NoSuchMode", reg_frame(1, damiao::kRegWrite, 10, 5), Outcome::Kind::Ignored},
        IgnoredCase{"ModeZero", reg_frame(1, damiao::kRegWrite, 10, 0), Outcome::Kind::Ignored},
        IgnoredCase{"ReadOnlyHwVer", reg_frame(1, damiao::kRegWrite, 13, 7), Outcome::Kind::Ignored},
        IgnoredCase{"ReadOnlySwVer", reg_frame(1, damiao::kRegWrite, 14, 7), Outcome::Kind::Ignored},
        IgnoredCase{"ReadOnlySerial", reg_frame(1, damiao::kRegWrite, 15, 7), Outcome::Kind::Ignored},
        IgnoredCase{"ReadOnlySubVer", reg_frame(1, damiao::kRegWrite, 36, 7), Outcome::Kind::Ignored},
        IgnoredCase{"ReadOnlyInertia", reg_frame(1, damiao::kRegWrite, 12, 7), Outcome::Kind::Ignored},
        IgnoredCase{"ReadOnlyPosition", reg_frame(1, damiao::kRegWrite, 80, 7), Outcome::Kind::Ignored}),
    [](const auto& info) { return std::string(info.param.name); });

// --------------------------------------- the real driver on an in-memory bus

// Hands every sent frame to the motor and queues what it answers; the clock
// is the real one so that the driver's own pause runs as it would on a bus.
class LoopBus final : public can::CanTransport {
public:
    explicit LoopBus(MotorModel& m) : motor_(m) {}
    bool answer = true;
    int sent = 0;

    can::Result<void> send(const CanFrame& f) override {
        ++sent;
        auto out = motor_.handle(f, now() - epoch_);
        if (answer && out.reply) queue_.push_back(*out.reply);
        return {};
    }
    can::Result<CanFrame> recv(can::Duration) override {
        if (queue_.empty()) return std::unexpected(can::TransportError::timeout());
        CanFrame f = queue_.front();
        queue_.pop_front();
        return f;
    }

private:
    MotorModel& motor_;
    std::deque<CanFrame> queue_;
    MonoNanos epoch_ = can::mono_now();
};

TEST(Driver, EnsureMitModeSwitchesTheSimulatedMotorAndMitTracks) {
    MotorModel motor(MotorConfig{1, 0x11, model("dm4310"), damiao::kModePosVel}, 0);
    LoopBus bus(motor);
    const damiao::Damiao drv{1, 0x11, model("dm4310").limits};

    ASSERT_TRUE(drv.ensure_control_mode(bus, damiao::kModeMit).has_value());
    EXPECT_EQ(bus.sent, 3);  // read, write, read back
    EXPECT_EQ(motor.control_mode(), damiao::kModeMit);
    ASSERT_TRUE(drv.ensure_control_mode(bus, damiao::kModeMit).has_value());
    EXPECT_EQ(bus.sent, 4);  // already there: one read

    EXPECT_EQ(drv.enable(bus)->error, kStatusEnabled);
    const MonoNanos until = can::mono_now() + ms(400);
    damiao::MotorState s;
    while (can::mono_now() < until) {
        auto r = drv.mit_control(bus, {0.5f, 0, 20.0f, 1.0f, 0});
        ASSERT_TRUE(r.has_value());
        s = *r;
    }
    EXPECT_NEAR(s.position, 0.5f, 0.01f);
    EXPECT_EQ(drv.disable(bus)->error, kStatusDisabled);

    bus.answer = false;
    auto lost = drv.enable(bus);
    ASSERT_FALSE(lost.has_value());
    EXPECT_EQ(lost.error().to_string(), "transport error: timeout waiting for frame");
}

}  // namespace
}  // namespace torvane::sim
