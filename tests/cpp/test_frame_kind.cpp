// Frames read as a listener reads them: each kind from its identifier, bytes
// and what the listener knows, and the values of frames the core's own
// encoders made.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <optional>
#include <string>
#include <vector>

#include "damiao/driver.hpp"
#include "damiao/frame_kind.hpp"

namespace torvane::damiao {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr MitLimits kDm4310{12.5f, 30.0f, 500.0f, 5.0f, 10.0f};
constexpr MitLimits kDm4340{12.5f, 10.0f, 500.0f, 5.0f, 28.0f};
const Bytes kEnable(kCmdEnable.begin(), kCmdEnable.end());

Bytes bytes(const Frame8& f) { return Bytes(f.begin(), f.end()); }

FrameReading read(std::uint32_t id, const Bytes& data, const FrameContext& c = {}) { return read_frame(id, data, c); }

std::function<bool(std::uint16_t)> known(std::vector<std::uint16_t> ids) {
    return [ids](std::uint16_t id) { return std::ranges::find(ids, id) != ids.end(); };
}

std::function<bool(const AskedRegister&)> asked(std::vector<AskedRegister> requests) {
    return [requests](const AskedRegister& r) { return std::ranges::find(requests, r) != requests.end(); };
}

TEST(FrameKind, KindAndMotor) {
    const auto known_1 = known({1});
    const auto known_101 = known({0x101});
    const auto read_3_7 = asked({{3, kRegRead, 7}});
    const auto write_1_9 = asked({{1, kRegWrite, 9}});
    const Bytes answer_3_7{0x03, 0x00, 0x33, 0x07, 0x33, 0, 0, 0};
    const Bytes ack_1_9{0x01, 0x00, 0x55, 0x09, 0x64, 0, 0, 0};
    const Bytes reply_1_21{0x01, 0x00, 0x33, 0x15, 0, 0, 0x40, 0x40};
    const Bytes state_1{0x11, 0x80, 0x00, 0x80, 0x08, 0x00, 0x1E, 0x1F};
    struct Case {
        const char* name;
        std::uint32_t id;
        Bytes data;
        FrameContext context;
        FrameKind kind;
        std::optional<std::uint16_t> motor;
    };
    const Case cases[] = {
        {"enable", 0x001, kEnable, {}, FrameKind::Enable, 1},
        {"disable", 0x023, bytes(kCmdDisable), {}, FrameKind::Disable, 0x23},
        {"set zero", 0x001, bytes(kCmdSetZero), {}, FrameKind::SetZero, 1},
        {"clear error", 0x001, bytes(kCmdClearError), {}, FrameKind::ClearError, 1},
        {"another last byte is MIT", 0x001, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFA}, {}, FrameKind::Mit, 1},
        {"mit", 0x0FF, Bytes(8, 0x12), {}, FrameKind::Mit, 0xFF},
        {"mit of 7 bytes", 0x001, Bytes(7, 0xFF), {}, FrameKind::Raw, 1},
        {"mit of 9 bytes (FD)", 0x001, Bytes(9, 0), {}, FrameKind::Raw, 1},
        {"pos_vel", 0x101, Bytes(8, 0), {}, FrameKind::PosVel, 1},
        {"pos_vel of 7 bytes", 0x101, Bytes(7, 0), {}, FrameKind::Raw, 1},
        {"vel of 4 bytes", 0x2FF, Bytes(4, 0), {}, FrameKind::Vel, 0xFF},
        {"vel of 3 bytes", 0x201, Bytes(3, 0), {}, FrameKind::Raw, 1},
        {"force_pos", 0x305, Bytes(8, 0), {}, FrameKind::ForcePos, 5},
        {"force_pos of 12 bytes (FD)", 0x305, Bytes(12, 0), {}, FrameKind::ForcePos, 5},
        {"no motor 0 by layout", 0x100, Bytes(8, 0), {}, FrameKind::Raw, std::nullopt},
        {"past the four ranges", 0x401, Bytes(8, 0), {}, FrameKind::Raw, std::nullopt},
        {"identifier 0", 0x000, kEnable, {}, FrameKind::Raw, std::nullopt},
        {"a known motor's id before the layout", 0x101, kEnable, {.known = known_101}, FrameKind::Enable, 0x101},
        {"the layout when no base fits", 0x101, kEnable, {.known = known_1}, FrameKind::PosVel, 1},
        {"extended", 0x1001, kEnable, {}, FrameKind::Raw, std::nullopt},
        {"refresh", 0x7FF, {0x02, 0x00, 0xCC, 0, 0, 0, 0, 0}, {}, FrameKind::Refresh, 2},
        {"refresh of a 16-bit id", 0x7FF, {0x34, 0x12, 0xCC, 0, 0, 0, 0, 0}, {}, FrameKind::Refresh, 0x1234},
        {"save", 0x7FF, {0x01, 0x00, 0xAA, 0x01, 0, 0, 0, 0}, {}, FrameKind::Save, 1},
        {"0xAA without 1", 0x7FF, {0x01, 0x00, 0xAA, 0x02, 0, 0, 0, 0}, {}, FrameKind::Raw, std::nullopt},
        {"register read", 0x7FF, {0x01, 0x00, 0x33, 0x15, 0, 0, 0, 0}, {}, FrameKind::RegRead, 1},
        {"register write", 0x7FF, {0x01, 0x00, 0x55, 0x09, 0x64, 0, 0, 0}, {}, FrameKind::RegWrite, 1},
        {"unknown request", 0x7FF, {0x01, 0x00, 0x77, 0x09, 0, 0, 0, 0}, {}, FrameKind::Raw, std::nullopt},
        {"request of 7 bytes", 0x7FF, {0x01, 0x00, 0xCC, 0, 0, 0, 0}, {}, FrameKind::Raw, std::nullopt},
        {"0x7FF before feedback_of", 0x7FF, {0x01, 0x00, 0xCC, 0, 0, 0, 0, 0}, {.feedback_of = 1},
         FrameKind::Refresh, 1},
        {"asked read answered on any id", 0x033, answer_3_7, {.asked = read_3_7}, FrameKind::RegReply, 3},
        {"0x7FF before an asked answer", 0x7FF, answer_3_7, {.asked = read_3_7}, FrameKind::RegRead, 3},
        {"the same, not asked: a command", 0x033, answer_3_7, {}, FrameKind::Mit, 0x33},
        {"asked write acknowledged", 0x011, ack_1_9, {.feedback_of = 1, .asked = write_1_9}, FrameKind::RegAck, 1},
        {"a read's answer to a write request is none", 0x011, {0x01, 0x00, 0x33, 0x09, 0x64, 0, 0, 0},
         {.feedback_of = 1, .asked = write_1_9}, FrameKind::Feedback, 1},
        {"reply-shaped, not asked: a state", 0x011, reply_1_21, {.feedback_of = 1}, FrameKind::Feedback, 1},
        {"state", 0x011, state_1, {.feedback_of = 1}, FrameKind::Feedback, 1},
        {"state of motor 0x21 (low nibble)", 0x031, state_1, {.feedback_of = 0x21}, FrameKind::Feedback, 0x21},
        {"another motor's nibble", 0x011, state_1, {.feedback_of = 2}, FrameKind::Raw, 2},
        {"state of 7 bytes", 0x011, Bytes(state_1.begin(), state_1.end() - 1), {.feedback_of = 1}, FrameKind::Raw, 1},
        {"without feedback_of: a command", 0x011, state_1, {}, FrameKind::Mit, 0x11},
        // The error flag before anything else, whatever the classes and bytes look like.
        {"error frame", kErrorFlag | 0x040, Bytes(8, 0), {}, FrameKind::Error, std::nullopt},
        {"error frame on a feedback id's number", kErrorFlag | 0x011, state_1, {.feedback_of = 1}, FrameKind::Error,
         std::nullopt},
        {"error frame like a request", kErrorFlag | 0x7FF, {0x01, 0x00, 0xCC, 0, 0, 0, 0, 0}, {}, FrameKind::Error,
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FrameReading got = read(c.id, c.data, c.context);
        EXPECT_EQ(kind_name(got.kind), std::string(kind_name(c.kind)));
        EXPECT_EQ(got.motor_id, c.motor);
        const bool carries = !std::holds_alternative<std::monostate>(got.values);
        const bool should = c.kind != FrameKind::Raw && c.kind != FrameKind::Refresh && c.kind != FrameKind::Save &&
                            (c.kind < FrameKind::Enable || c.kind > FrameKind::ClearError);
        EXPECT_EQ(carries, should);
    }
}

TEST(FrameKind, Names) {
    const std::pair<FrameKind, const char*> names[] = {
        {FrameKind::Raw, "raw"},           {FrameKind::Mit, "mit"},
        {FrameKind::PosVel, "pos_vel"},    {FrameKind::Vel, "vel"},
        {FrameKind::ForcePos, "force_pos"}, {FrameKind::Enable, "enable"},
        {FrameKind::Disable, "disable"},   {FrameKind::SetZero, "set_zero"},
        {FrameKind::ClearError, "clear_error"}, {FrameKind::Refresh, "refresh"},
        {FrameKind::Save, "save"},         {FrameKind::RegRead, "reg_read"},
        {FrameKind::RegWrite, "reg_write"}, {FrameKind::RegReply, "reg_reply"},
        {FrameKind::RegAck, "reg_ack"},    {FrameKind::Feedback, "feedback"},
        {FrameKind::Error, "error"},
    };
    for (const auto& [kind, name] : names) EXPECT_EQ(std::string(kind_name(kind)), name);
}

TEST(FrameKind, ErrorFramesKeepTheirClassesBytesAndState) {
    const FrameReading got = read(kErrorFlag | 0x204, {0, 0x20, 0, 0, 0, 0, 128, 5, 0xEE});
    ASSERT_EQ(got.kind, FrameKind::Error);
    const auto& e = std::get<ErrorFields>(got.values);
    EXPECT_EQ(e.classes, 0x204u);
    EXPECT_EQ(e.data, (std::array<std::uint8_t, 8>{0, 0x20, 0, 0, 0, 0, 128, 5}));
    EXPECT_EQ(e.reading.state, can::BusState::ErrorPassive);
    // Fewer than 8 bytes read as zeros.
    const FrameReading short_one = read(kErrorFlag | 0x040, {7});
    EXPECT_EQ(std::get<ErrorFields>(short_one.values).data, (std::array<std::uint8_t, 8>{7}));
    EXPECT_TRUE(std::get<ErrorFields>(short_one.values).reading.bus_off());
}

// Each setpoint as the host encodes it, read back with the limits it was
// encoded with: the same codes, so decode_setpoint's values exactly.
TEST(FrameKind, MitCommandsOfTheEncoder) {
    const MitSetpoint setpoints[] = {{}, {1.0f, 2.0f, 50.0f, 1.0f, 0.5f}, {-12.5f, -30, 0, 0, -10}, {3, -4, 20, 0.5f, 7}};
    for (const MitLimits& limits : {kDm4310, kDm4340}) {
        for (const MitSetpoint& sp : setpoints) {
            const Damiao m{.motor_id = 7, .master_id = 0x17, .limits = limits};
            const auto cmd = m.make_mit(sp);
            ASSERT_TRUE(cmd);
            const FrameReading got = read(cmd->id, bytes(cmd->data), {.limits = limits});
            ASSERT_EQ(got.kind, FrameKind::Mit);
            EXPECT_EQ(got.motor_id, 7);
            const auto& v = std::get<MitSetpoint>(got.values);
            const MitSetpoint want = decode_setpoint(limits, cmd->data);
            EXPECT_EQ(std::bit_cast<std::uint32_t>(v.q), std::bit_cast<std::uint32_t>(want.q));
            EXPECT_EQ(std::bit_cast<std::uint32_t>(v.dq), std::bit_cast<std::uint32_t>(want.dq));
            EXPECT_EQ(std::bit_cast<std::uint32_t>(v.kp), std::bit_cast<std::uint32_t>(want.kp));
            EXPECT_EQ(std::bit_cast<std::uint32_t>(v.kd), std::bit_cast<std::uint32_t>(want.kd));
            EXPECT_EQ(std::bit_cast<std::uint32_t>(v.tau), std::bit_cast<std::uint32_t>(want.tau));
            // Within one code of what was asked, clamped into the limits.
            EXPECT_NEAR(v.q, std::clamp(sp.q, -limits.p_max, limits.p_max), 2 * limits.p_max / 65535);
            EXPECT_NEAR(v.dq, std::clamp(sp.dq, -limits.v_max, limits.v_max), 2 * limits.v_max / 4095);
            EXPECT_NEAR(v.tau, std::clamp(sp.tau, -limits.t_max, limits.t_max), 2 * limits.t_max / 4095);
        }
    }
}

TEST(FrameKind, MitLimitsScaleTheValues) {
    const Bytes top(8, 0xFF);  // every field at its largest code, not a fixed command
    const auto a = std::get<MitSetpoint>(read(0x001, top, {.limits = kDm4310}).values);
    const auto b = std::get<MitSetpoint>(read(0x001, top, {.limits = kDm4340}).values);
    EXPECT_EQ(a.q, 12.5f);
    EXPECT_EQ(a.dq, 30.0f);
    EXPECT_EQ(a.kp, 500.0f);
    EXPECT_EQ(a.kd, 5.0f);
    EXPECT_EQ(a.tau, 10.0f);
    EXPECT_EQ(b.dq, 10.0f);
    EXPECT_EQ(b.tau, 28.0f);
}

TEST(FrameKind, ModeCommandsOfTheEncoder) {
    const Damiao m{.motor_id = 0x12, .master_id = 0x22};
    const Command pv = m.make_pos_vel({1.5f, -2.25f});
    const Command v = m.make_vel({-3.5f});
    const Command fp = m.make_force_pos({0.75f, 12.34f, 0.5f});

    const FrameReading a = read(pv.id, bytes(pv.data));
    ASSERT_EQ(a.kind, FrameKind::PosVel);
    EXPECT_EQ(a.motor_id, 0x12);
    EXPECT_EQ(std::get<PosVelCommand>(a.values).q, 1.5f);
    EXPECT_EQ(std::get<PosVelCommand>(a.values).dq, -2.25f);

    const FrameReading b = read(v.id, bytes(v.data));
    ASSERT_EQ(b.kind, FrameKind::Vel);
    EXPECT_EQ(std::get<VelCommand>(b.values).dq, -3.5f);

    const FrameReading c = read(fp.id, bytes(fp.data));
    ASSERT_EQ(c.kind, FrameKind::ForcePos);
    const auto& f = std::get<ForcePosCommand>(c.values);
    EXPECT_EQ(f.q, 0.75f);
    EXPECT_EQ(f.v_limit, 1234 / kForcePosVelScale);
    EXPECT_EQ(f.i_limit, 0.5f);
}

TEST(FrameKind, FeedbackOfTheEncoder) {
    const MotorState s{.motor_id = 3, .error = 0xC, .position = -1.25f, .velocity = 4.0f, .torque = -2.0f,
                       .t_mos = 40, .t_rotor = 55};
    for (const MitLimits& limits : {kDm4310, kDm4340}) {
        const Frame8 data = encode_feedback(limits, s);
        const FrameReading got = read(0x13, bytes(data), {.limits = limits, .feedback_of = 3});
        ASSERT_EQ(got.kind, FrameKind::Feedback);
        EXPECT_EQ(got.motor_id, 3);
        const auto& st = std::get<MotorState>(got.values);
        const auto want = decode(limits, data);
        ASSERT_TRUE(want);
        EXPECT_EQ(st.error, 0xC);
        EXPECT_EQ(st.position, want->position);
        EXPECT_EQ(st.velocity, want->velocity);
        EXPECT_EQ(st.torque, want->torque);
        EXPECT_EQ(st.t_mos, 40);
        EXPECT_EQ(st.t_rotor, 55);
        EXPECT_NEAR(st.velocity, 4.0f, 2 * limits.v_max / 4095);
    }
}

TEST(FrameKind, RegisterValuesTypedByTheTable) {
    struct Case {
        const char* name;
        std::uint32_t id;
        Frame8 data;
        std::vector<AskedRegister> asked;
        FrameKind kind;
        std::uint8_t reg;
        std::optional<RegisterValue> value;
    };
    const auto pmax = RegisterValue::f32(3.0f);
    const Case cases[] = {
        {"read: no value", 0x7FF, register_request(1, kRegRead, kRegPMax, 0), {}, FrameKind::RegRead, 21,
         std::nullopt},
        {"write of a Uint32 register", 0x7FF, register_request(1, kRegWrite, kRegTimeout, 1000), {},
         FrameKind::RegWrite, 9, RegisterValue::u32(1000)},
        {"write of a Float register", 0x7FF, register_request(2, kRegWrite, kRegPMax, pmax.bits), {},
         FrameKind::RegWrite, 21, pmax},
        {"write of a number not in the table", 0x7FF, register_request(2, kRegWrite, 200, 0x3F800000), {},
         FrameKind::RegWrite, 200, RegisterValue::u32(0x3F800000)},
        {"reply of a Float register", 0x011, register_request(1, kRegRead, kRegPMax, pmax.bits),
         {{1, kRegRead, kRegPMax}}, FrameKind::RegReply, 21, pmax},
        {"ack of a Uint32 register", 0x011, register_request(1, kRegWrite, kRegTimeout, 1000),
         {{1, kRegWrite, kRegTimeout}}, FrameKind::RegAck, 9, RegisterValue::u32(1000)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FrameReading got = read(c.id, bytes(c.data), {.asked = asked(c.asked)});
        ASSERT_EQ(got.kind, c.kind);
        const auto& r = std::get<RegisterField>(got.values);
        EXPECT_EQ(r.number, c.reg);
        ASSERT_EQ(r.value.has_value(), c.value.has_value());
        if (c.value) {
            EXPECT_EQ(r.value->type, c.value->type);
            EXPECT_EQ(r.value->bits, c.value->bits);
        }
    }
}

}  // namespace
}  // namespace torvane::damiao
