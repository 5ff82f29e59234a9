#pragma once
// One simulated motor driven by hand: frames built with the project's own
// codec and register helpers, replies decoded with it, time passed in.

#include <gtest/gtest.h>

#include <bit>
#include <span>
#include <string_view>

#include "damiao/commands.hpp"
#include "damiao/driver.hpp"
#include "sim/motor_model.hpp"

namespace torvane::sim::sim_test {

using can::CanFrame;
using can::CanId;
using damiao::Frame8;
using damiao::MitSetpoint;

inline constexpr MonoNanos ms(double v) { return static_cast<MonoNanos>(v * 1e6); }

inline MotorKind model(std::string_view name) {
    auto m = find_model(name);
    EXPECT_TRUE(m.has_value()) << name;
    return m.value_or(MotorKind{});
}

// One motor and the time it has been told.
struct Bench {
    MotorModel motor;
    MonoNanos now = 0;

    explicit Bench(std::uint32_t mode = damiao::kModeMit, std::string_view name = "dm4310", std::uint16_t cmd = 1,
                   std::uint16_t fb = 0x11)
        : Bench(MotorConfig{cmd, fb, model(name), mode}) {}
    explicit Bench(const MotorConfig& cfg) : motor(cfg, 0) {}

    const MotorConfig& cfg() const { return motor.config(); }

    Outcome send(const CanFrame& f) { return motor.handle(f, now); }
    // On the MIT id, or on a mode's: base 0x100, 0x200, 0x300.
    Outcome command(std::span<const std::uint8_t> data, std::uint16_t base = 0) {
        return send(CanFrame(CanId::standard(base + motor.cmd_id()), data));
    }
    // A request on 0x7FF such as refresh or save.
    Outcome system(std::uint8_t op, std::uint8_t arg = 0) {
        return send(CanFrame(CanId::standard(damiao::kRegisterId), damiao::system_request(motor.cmd_id(), op, arg)));
    }
    // A reply decoded with the model's preset limits.
    damiao::MotorState state_of(const Outcome& out) {
        EXPECT_EQ(out.kind, Outcome::Kind::Answered);
        EXPECT_TRUE(out.reply.has_value());
        if (!out.reply) return {};
        auto s = damiao::decode(cfg().model.limits, out.reply->data());
        EXPECT_TRUE(s.has_value());
        return s.value_or(damiao::MotorState{});
    }
    damiao::MotorState command_state(const Frame8& data) { return state_of(command(data)); }
    damiao::MotorState mit(const MitSetpoint& sp) {
        return command_state(damiao::encode(cfg().model.limits, sp).value());
    }
    Outcome reg(std::uint8_t op, std::uint8_t number, std::uint32_t value = 0) {
        return send(CanFrame(CanId::standard(damiao::kRegisterId),
                             damiao::register_request(motor.cmd_id(), op, number, value)));
    }
    void write_float(std::uint8_t number, float v) {
        ASSERT_EQ(reg(damiao::kRegWrite, number, std::bit_cast<std::uint32_t>(v)).kind, Outcome::Kind::Answered);
    }
    void write_u32(std::uint8_t number, std::uint32_t v) {
        ASSERT_EQ(reg(damiao::kRegWrite, number, v).kind, Outcome::Kind::Answered);
    }
    void run_for(MonoNanos d) {
        now += d;
        motor.advance(now);
    }
};

}  // namespace torvane::sim::sim_test
