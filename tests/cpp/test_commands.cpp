// The frames of every command a motor takes, made alone and run as one
// exchange, and the fixed-point rules of FORCE_POS.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "damiao/driver.hpp"
#include "scripted_bus.hpp"

namespace torvane::damiao {
namespace {

using test::Bytes;
using test::frame;
using test::ScriptedBus;
using can::CanId;

const CanId kFeedback = CanId::standard(0x011);
const can::CanFrame kFeedbackFrame = frame(kFeedback, {0x01, 0x80, 0x00, 0x80, 0x08, 0x00, 0x1E, 0x20});
const Damiao kMotor{.motor_id = 1, .master_id = 0x11};

Bytes bytes(const Frame8& f) { return Bytes(f.begin(), f.end()); }

TEST(Commands, IdentifiersAndBytes) {
    struct Case {
        const char* name;
        std::function<Command(const Damiao&)> make;
        std::uint16_t motor_id, id;
        Bytes data;
    };
    auto pos_vel = [](const Damiao& d) { return d.make_pos_vel({1.0f, 2.0f}); };
    auto vel = [](const Damiao& d) { return d.make_vel({-3.5f}); };
    auto force_pos = [](const Damiao& d) { return d.make_force_pos({0.5f, 5.0f, 0.3f}); };
    auto refresh = [](const Damiao& d) { return d.make_refresh(); };
    auto enable = [](const Damiao& d) { return d.make_command(kCmdEnable); };
    auto mit = [](const Damiao& d) { return *d.make_mit(MitSetpoint{}); };
    const Case cases[] = {
        {"pos_vel", pos_vel, 0x001, 0x101, {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40}},
        {"pos_vel 0x123", pos_vel, 0x123, 0x223, {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40}},
        {"pos_vel past 11 bits", pos_vel, 0x7F0, 0x0F0, {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40}},
        {"vel pads to 8", vel, 0x001, 0x201, {0x00, 0x00, 0x60, 0xC0, 0x00, 0x00, 0x00, 0x00}},
        {"vel 0x5FF", vel, 0x5FF, 0x7FF, {0x00, 0x00, 0x60, 0xC0, 0x00, 0x00, 0x00, 0x00}},
        {"force_pos", force_pos, 0x001, 0x301, {0x00, 0x00, 0x00, 0x3F, 0xF4, 0x01, 0xB8, 0x0B}},
        {"force_pos 0x5FF", force_pos, 0x5FF, 0x0FF, {0x00, 0x00, 0x00, 0x3F, 0xF4, 0x01, 0xB8, 0x0B}},
        {"refresh", refresh, 0x001, 0x7FF, {0x01, 0x00, 0xCC, 0, 0, 0, 0, 0}},
        {"refresh keeps 16 bits", refresh, 0x1234, 0x7FF, {0x34, 0x12, 0xCC, 0, 0, 0, 0, 0}},
        {"enable", enable, 0x001, 0x001, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}},
        {"enable 0x801", enable, 0x801, 0x001, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}},
        {"mit", mit, 0x002, 0x002, {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Damiao motor{.motor_id = c.motor_id, .master_id = 0x11};
        const Command cmd = c.make(motor);
        EXPECT_EQ(cmd.id, c.id);
        EXPECT_EQ(bytes(cmd.data), c.data);
    }
}

TEST(Commands, MitRefusesUnusableLimits) {
    const Damiao bad{.motor_id = 1, .master_id = 0x11, .limits = {12.5f, NAN, 500, 5, 10}};
    auto c = bad.make_mit(MitSetpoint{});
    ASSERT_FALSE(c);
    EXPECT_EQ(c.error().to_string(), "min > max, or either was NaN. min = NaN, max = NaN");
}

TEST(Commands, EachOperationIsOneExchange) {
    struct Case {
        const char* name;
        std::function<Result<MotorState>(const Damiao&, ScriptedBus&)> call;
        CanId to;
        Bytes data;
    };
    const Case cases[] = {
        {"pos_vel_control", [](const Damiao& d, ScriptedBus& b) { return d.pos_vel_control(b, {1.0f, 2.0f}); },
         CanId::standard(0x101), {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40}},
        {"vel_control", [](const Damiao& d, ScriptedBus& b) { return d.vel_control(b, {-3.5f}); },
         CanId::standard(0x201), {0x00, 0x00, 0x60, 0xC0, 0x00, 0x00, 0x00, 0x00}},
        {"force_pos_control",
         [](const Damiao& d, ScriptedBus& b) { return d.force_pos_control(b, {0.5f, 5.0f, 0.3f}); },
         CanId::standard(0x301), {0x00, 0x00, 0x00, 0x3F, 0xF4, 0x01, 0xB8, 0x0B}},
        {"refresh", [](const Damiao& d, ScriptedBus& b) { return d.refresh(b); }, CanId::standard(0x7FF),
         {0x01, 0x00, 0xCC, 0, 0, 0, 0, 0}},
        {"run", [](const Damiao& d, ScriptedBus& b) { return d.run(b, Command{0x7AB, {1, 2, 3, 4, 5, 6, 7, 8}}); },
         CanId::standard(0x7AB), {1, 2, 3, 4, 5, 6, 7, 8}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedBus bus;
        bus.reply(frame(CanId::standard(0x012), {0x02, 0, 0, 0, 0, 0, 0, 0}), 3 * test::kMs);
        bus.reply(kFeedbackFrame);
        auto s = c.call(kMotor, bus);
        ASSERT_TRUE(s) << s.error().to_string();
        EXPECT_EQ(s->motor_id, 1);
        EXPECT_EQ(s->position, 0.00019073486f);
        ASSERT_EQ(bus.sent.size(), 1u);
        EXPECT_EQ(bus.sent[0].id, c.to);
        EXPECT_EQ(test::bytes_of(bus.sent[0]), c.data);
        EXPECT_FALSE(bus.sent[0].fd);
        EXPECT_EQ(bus.waits, (std::vector{test::ms(20), test::ms(17)}));
    }
}

// The two limits of FORCE_POS travel as truncated codes in 0..10000.
TEST(Commands, ForcePosLimitCodes) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float v_limit, i_limit;
        std::uint16_t v_code, i_code;
    };
    const Case cases[] = {
        {5.0f, 0.3f, 500, 3000},
        {0.0f, 0.0f, 0, 0},
        {-0.0f, -0.0f, 0, 0},
        {-1.0f, -0.1f, 0, 0},            // below the range
        {0.009f, 0.00009f, 0, 0},        // under one step, truncated
        {12.345f, 0.12345f, 1234, 1234}, // truncated, not rounded
        {100.0f, 1.0f, 10000, 10000},
        {100.5f, 1.5f, 10000, 10000},    // above the range
        {inf, inf, 10000, 10000},
        {-inf, -inf, 0, 0},
        {NAN, NAN, 0, 0},
        {NAN, 0.5f, 0, 5000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.v_limit << " " << c.i_limit);
        const Command cmd = kMotor.make_force_pos({-1.25f, c.v_limit, c.i_limit});
        EXPECT_EQ(cmd.data[4] | cmd.data[5] << 8, c.v_code);
        EXPECT_EQ(cmd.data[6] | cmd.data[7] << 8, c.i_code);
        EXPECT_EQ(bytes(cmd.data).at(3), 0xBF);  // the position is the float itself
    }
}

TEST(Commands, FrameOfACommand) {
    const Command c{0x123, {1, 2, 3, 4, 5, 6, 7, 8}};
    for (bool fd : {false, true}) {
        const can::CanFrame f = to_frame(c, fd);
        EXPECT_EQ(f.id, CanId::standard(0x123));
        EXPECT_EQ(test::bytes_of(f), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
        EXPECT_EQ(f.fd, fd);
        EXPECT_EQ(f.brs, fd);
    }
    EXPECT_EQ(to_frame(Command{0xFFFF, {}}).id, CanId::standard(0x7FF));
}

}  // namespace
}  // namespace torvane::damiao
