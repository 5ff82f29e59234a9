#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "damiao/float_text.hpp"
#include "damiao/mit.hpp"
#include "guarded_bytes.hpp"

namespace torvane::damiao {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr MitLimits kDm4310{12.5f, 30.0f, 500.0f, 5.0f, 10.0f};

TEST(Mit, EncodeBytes) {
    struct Case {
        const char* name;
        MitLimits limits;
        MitSetpoint sp;
        Frame8 bytes;
    };
    const Case cases[] = {
        {"zero", kDm4310, {}, {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}},
        {"upper bounds", kDm4310, {12.5f, 30, 500, 5, 10}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"lower bounds", kDm4310, {-12.5f, -30, 0, 0, -10}, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"below lower", kDm4310, {-100, -100, -1, -1, -100}, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"clamped", kDm4310, {100, -100, 1000, 10, 100}, {0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF}},
        // codes 35388 (truncated, not 35389), 2184, 409, 819, 2149
        {"mixed", kDm4310, {1.0f, 2.0f, 50.0f, 1.0f, 0.5f}, {0x8A, 0x3C, 0x88, 0x81, 0x99, 0x33, 0x38, 0x65}},
        // codes 1181 and 3526 come out one lower if the gain is divided first
        {"gains", kDm4310, {0, 0, 144.20024f, 4.30525f, 0}, {0x7F, 0xFF, 0x7F, 0xF4, 0x9D, 0xDC, 0x67, 0xFF}},
        {"q NaN", kDm4310, {kNaN, 0, 0, 0, 0}, {0x00, 0x00, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}},
        {"all NaN", kDm4310, {kNaN, kNaN, kNaN, kNaN, kNaN}, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"dm3507 q at p_max", {12.566f, 50, 500, 5, 5}, {12.566f, 0, 0, 0, 0},
         {0xFF, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}},
        {"kp_max 0", {12.5f, 30, 0, 5, 10}, {0, 0, 100, 0, 0}, {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}},
        {"kd_max 0", {12.5f, 30, 500, 0, 10}, {0, 0, 0, 3, 0}, {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}},
        {"p_max -0.0 passes", {-0.0f, 30, 500, 5, 10}, {1, 0, 0, 0, 0},
         {0x00, 0x00, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}},
        {"p_max inf", {kInf, 30, 500, 5, 10}, {1, 0, 0, 0, 0}, {0x00, 0x00, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}},
        {"kp_max inf", {12.5f, 30, kInf, 5, 10}, {0, 0, 100, 0, 0}, {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto got = encode(c.limits, c.sp);
        ASSERT_TRUE(got) << got.error().to_string();
        EXPECT_EQ(*got, c.bytes);
    }
}

TEST(Mit, EncodeRejectsInvalidLimits) {
    struct Case {
        MitLimits limits;
        const char* message;
    };
    const std::string prefix = "min > max, or either was NaN. ";
    const Case cases[] = {
        {{-1.0f, 30, 500, 5, 10}, "min = 1.0, max = -1.0"},
        {{12.5f, kNaN, 500, 5, 10}, "min = NaN, max = NaN"},
        {{-1.0f, kNaN, 500, 5, 10}, "min = 1.0, max = -1.0"},  // position is checked first
        {{12.5f, 30, -2.0f, 5, 10}, "min = 0.0, max = -2.0"},
        {{12.5f, 30, 500, kNaN, 10}, "min = 0.0, max = NaN"},
        {{12.5f, 30, 500, 5, -0.25f}, "min = 0.25, max = -0.25"},
        {{-kInf, 30, 500, 5, 10}, "min = inf, max = -inf"},
        {{12.5f, -1e20f, 500, 5, 10}, "min = 100000000000000000000.0, max = -100000000000000000000.0"},
    };
    for (const auto& c : cases) {
        auto got = encode(c.limits, MitSetpoint{});
        ASSERT_FALSE(got) << c.message;
        EXPECT_EQ(got.error().to_string(), prefix + c.message);
    }
}

TEST(Mit, Decode) {
    struct Case {
        Bytes data;
        MotorState want;
        bool check_values = true;  // position, velocity, torque
    };
    const Case cases[] = {
        {{0x01, 0x80, 0x00, 0x80, 0x08, 0x00, 0x1E, 0x20}, {1, 0, 0.00019073486f, 0.007326126f, 0.00244236f, 30, 32}},
        {{0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {2, 0, -12.5f, -30.0f, -10.0f, 0, 0}},
        {{0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00}, {2, 0, 12.5f, 30.0f, 10.0f, 0, 0}},
        {{0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x28, 0x2D}, {1, 1, 0, 0, 0, 40, 45}, false},
        // raw codes 4352/519/385: values that depend on multiplying before dividing
        {{0x2A, 0x11, 0x00, 0x20, 0x71, 0x81, 0x19, 0x1A}, {10, 2, -10.839818f, -22.395605f, -8.119658f, 25, 26}},
        {{0xF3, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x01}, {3, 15, -12.5f, -30.0f, -10.0f, 255, 1}},
        // trailing bytes past the eighth are ignored
        {{0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF}, {2, 0, -12.5f, -30.0f, -10.0f, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.data));
        auto s = decode(kDm4310, c.data);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->motor_id, c.want.motor_id);
        EXPECT_EQ(s->error, c.want.error);
        EXPECT_EQ(s->t_mos, c.want.t_mos);
        EXPECT_EQ(s->t_rotor, c.want.t_rotor);
        if (!c.check_values) continue;
        EXPECT_EQ(s->position, c.want.position);
        EXPECT_EQ(s->velocity, c.want.velocity);
        EXPECT_EQ(s->torque, c.want.torque);
    }
}

TEST(Mit, DecodeShortFeedbackFailsWithinTheGivenBytes) {
    test::GuardedBytes guard;
    const Bytes full{0x01, 0x80, 0x00, 0x80, 0x08, 0x00, 0x1E, 0x20};
    for (std::size_t n = 0; n <= 8; ++n) {
        auto s = decode(kDm4310, guard.place(std::span(full).first(n)));
        ASSERT_EQ(s.has_value(), n == 8) << n;
        if (n < 8) {
            EXPECT_EQ(s.error().length, n);
            EXPECT_EQ(s.error().to_string(),
                      "feedback frame too short to decode: " + std::to_string(n) + " bytes, expected 8");
        }
    }
}

TEST(Mit, PresetsInOrder) {
    const std::pair<const char*, MitLimits> want[] = {
        {"dm3507", {12.566f, 50, 500, 5, 5}},     {"dm4310", {12.5f, 30, 500, 5, 10}},
        {"dm4310p", {12.5f, 50, 500, 5, 10}},     {"dm4340", {12.5f, 10, 500, 5, 28}},
        {"dm4340p", {12.5f, 10, 500, 5, 28}},     {"dm6006", {12.5f, 45, 500, 5, 20}},
        {"dm6248p", {12.566f, 20, 500, 5, 120}},  {"dm8006", {12.5f, 45, 500, 5, 40}},
        {"dm8009", {12.5f, 45, 500, 5, 54}},      {"dm10010", {12.5f, 20, 500, 5, 200}},
        {"dm10010l", {12.5f, 25, 500, 5, 200}},   {"dmg6215", {12.5f, 45, 500, 5, 10}},
        {"dmh3510", {12.5f, 280, 500, 5, 1}},     {"dmh6220", {12.5f, 45, 500, 5, 10}},
        {"dmjh11", {12.5f, 10, 500, 5, 12}},
    };
    ASSERT_EQ(kPresets.size(), std::size(want));
    for (std::size_t i = 0; i < kPresets.size(); ++i) {
        const auto& [name, l] = want[i];
        const MitLimits& got = kPresets[i].limits;
        EXPECT_STREQ(kPresets[i].name, name);
        EXPECT_EQ(got.p_max, l.p_max) << name;
        EXPECT_EQ(got.v_max, l.v_max) << name;
        EXPECT_EQ(got.kp_max, l.kp_max) << name;
        EXPECT_EQ(got.kd_max, l.kd_max) << name;
        EXPECT_EQ(got.t_max, l.t_max) << name;
    }
    EXPECT_EQ(std::bit_cast<std::uint32_t>(kPresets[0].limits.p_max), 0x41490E56u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(kPresets[6].limits.p_max), 0x41490E56u);

    const MitLimits def{};
    EXPECT_EQ(def.p_max, 12.5f);
    EXPECT_EQ(def.v_max, 30.0f);
    EXPECT_EQ(def.kp_max, 500.0f);
    EXPECT_EQ(def.kd_max, 5.0f);
    EXPECT_EQ(def.t_max, 10.0f);
}

TEST(FloatText, Forms) {
    struct Case {
        float v;
        const char* shortest;
        const char* with_fraction;
    };
    const Case cases[] = {
        {12.5f, "12.5", "12.5"},
        {30.0f, "30", "30.0"},
        {1.0f, "1", "1.0"},
        {-1.0f, "-1", "-1.0"},
        {0.0f, "0", "0.0"},
        {-0.0f, "-0", "-0.0"},
        {0.1f, "0.1", "0.1"},
        {12.566f, "12.566", "12.566"},
        {1e20f, "100000000000000000000", "100000000000000000000.0"},
        {1e-7f, "0.0000001", "0.0000001"},
        {-1.5e-3f, "-0.0015", "-0.0015"},
        {kNaN, "NaN", "NaN"},
        {-kNaN, "NaN", "NaN"},
        {kInf, "inf", "inf"},
        {-kInf, "-inf", "-inf"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(float_text(c.v), c.shortest);
        EXPECT_EQ(float_text_with_fraction(c.v), c.with_fraction);
    }

    const std::pair<float, const char*> fixed[] = {
        {1.23456f, "1.2346"}, {-0.00001f, "-0.0000"}, {12.5f, "12.5000"}, {0.0f, "0.0000"},
        {kNaN, "NaN"},        {kInf, "inf"},          {-kInf, "-inf"},
    };
    for (const auto& [v, text] : fixed) EXPECT_EQ(fixed4_text(v), text);
}

}  // namespace
}  // namespace torvane::damiao
