#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <string>

#include "damiao/driver.hpp"
#include "scripted_bus.hpp"

namespace torvane::damiao {
namespace {

using test::Bytes;
using test::frame;
using test::kMs;
using test::ScriptedBus;
using can::CanId;
using can::TransportError;

const CanId kFeedback = CanId::standard(0x011);
const CanId kRegisterBus = CanId::standard(0x7FF);
const can::CanFrame kFeedbackFrame = frame(kFeedback, {0x01, 0x80, 0x00, 0x80, 0x08, 0x00, 0x1E, 0x20});
const Damiao kMotor{.motor_id = 1, .master_id = 0x11};

void expect_classic(const can::CanFrame& f, CanId id, const Bytes& data) {
    EXPECT_EQ(f.id, id);
    EXPECT_EQ(test::bytes_of(f), data);
    EXPECT_FALSE(f.fd);
    EXPECT_FALSE(f.brs);
}

// --- one-frame commands -------------------------------------------------------

TEST(Driver, FixedCommands) {
    using Op = Result<MotorState> (Damiao::*)(can::CanTransport&) const;
    const std::pair<Op, std::uint8_t> cases[] = {
        {&Damiao::enable, 0xFC}, {&Damiao::disable, 0xFD}, {&Damiao::set_zero, 0xFE}, {&Damiao::clear_error, 0xFB}};
    for (const auto& [op, last] : cases) {
        SCOPED_TRACE(last);
        ScriptedBus bus;
        bus.reply(kFeedbackFrame);
        auto s = (kMotor.*op)(bus);
        ASSERT_TRUE(s) << s.error().to_string();
        ASSERT_EQ(bus.sent.size(), 1u);
        expect_classic(bus.sent[0], CanId::standard(0x001), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, last});
        EXPECT_EQ(bus.waits, std::vector{test::ms(20)});
        EXPECT_EQ(s->motor_id, 1);
        EXPECT_EQ(s->position, 0.00019073486f);
        EXPECT_EQ(s->t_rotor, 32);
    }
}

TEST(Driver, IdentifiersAreMaskedTo11Bits) {
    struct Case {
        std::uint16_t motor_id, master_id, to, from;
    };
    const Case cases[] = {{0x801, 0x811, 0x001, 0x011}, {0x123, 0x456, 0x123, 0x456}, {0xFFFF, 0xF7FF, 0x7FF, 0x7FF}};
    for (const auto& c : cases) {
        const Damiao motor{.motor_id = c.motor_id, .master_id = c.master_id};
        ScriptedBus bus;
        bus.reply(frame(CanId::standard(c.from), {0x01, 0, 0, 0, 0, 0, 0, 0}));
        ASSERT_TRUE(motor.disable(bus)) << c.motor_id;
        EXPECT_EQ(bus.sent.at(0).id, CanId::standard(c.to));
    }
}

TEST(Driver, ReplyIsMatchedOnIdentifierAlone) {
    ScriptedBus bus;
    bus.reply(frame(CanId::standard(0x012), {0x01, 0, 0, 0, 0, 0, 0, 0}), 2 * kMs);
    bus.reply(frame(CanId::extended(0x011), {0x01, 0, 0, 0, 0, 0, 0, 0}), 2 * kMs);
    bus.reply(frame(CanId::standard(0x001), {0x01, 0, 0, 0, 0, 0, 0, 0}), 2 * kMs);
    // another motor's feedback on our master id is still the reply
    bus.reply(frame(kFeedback, {0x35, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 7, 8}));
    auto s = kMotor.enable(bus);
    ASSERT_TRUE(s) << s.error().to_string();
    EXPECT_EQ(s->motor_id, 5);
    EXPECT_EQ(s->error, 3);
    EXPECT_EQ(s->position, 12.5f);
    EXPECT_EQ(s->t_mos, 7);
    EXPECT_EQ(bus.waits, (std::vector{test::ms(20), test::ms(18), test::ms(16), test::ms(14)}));
}

TEST(Driver, CommandFailures) {
    struct Case {
        const char* name;
        std::function<void(ScriptedBus&)> setup;
        std::function<Result<MotorState>(const Damiao&, ScriptedBus&)> call;
        std::string message;
        std::size_t sent;
    };
    auto enable = [](const Damiao& d, ScriptedBus& b) { return d.enable(b); };
    const Case cases[] = {
        {"timeout", [](ScriptedBus& b) { b.reply(frame(CanId::standard(0x22), {}), 25 * kMs); }, enable,
         "transport error: timeout waiting for frame", 1},
        {"send fails", [](ScriptedBus& b) { b.send_results.push_back(TransportError::os(105)); }, enable,
         "transport error: backend error: No buffer space available (os error 105)", 0},
        {"recv fails", [](ScriptedBus& b) { b.fail(TransportError::os(100)); }, enable,
         "transport error: backend error: Network is down (os error 100)", 1},
        {"short reply", [](ScriptedBus& b) { b.reply(frame(kFeedback, {1, 2, 3, 4, 5, 6, 7})); }, enable,
         "feedback frame too short to decode: 7 bytes, expected 8", 1},
        {"negative limit", [](ScriptedBus& b) { b.reply(kFeedbackFrame); },
         [](const Damiao& d, ScriptedBus& b) {
             Damiao bad = d;
             bad.limits.t_max = -1.0f;
             return bad.mit_control(b, MitSetpoint{});
         },
         "min > max, or either was NaN. min = 1.0, max = -1.0", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedBus bus;
        c.setup(bus);
        auto s = c.call(kMotor, bus);
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().to_string(), c.message);
        EXPECT_EQ(bus.sent.size(), c.sent);
        // the bus stays usable for the next exchange
        bus.script.clear();
        bus.reply(kFeedbackFrame);
        EXPECT_TRUE(kMotor.enable(bus));
    }
}

TEST(Driver, MitControlSendsEncodedSetpoint) {
    ScriptedBus bus;
    bus.reply(kFeedbackFrame);
    ASSERT_TRUE(kMotor.mit_control(bus, MitSetpoint{}));
    expect_classic(bus.sent.at(0), CanId::standard(0x001), {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF});

    const Damiao invalid{.motor_id = 1, .master_id = 0x11, .limits = {12.5f, 30, -500, 5, 10}};
    auto bad = invalid.mit_control(bus, MitSetpoint{});
    ASSERT_FALSE(bad);
    ASSERT_NE(bad.error().get<InvalidLimits>(), nullptr);
    EXPECT_EQ(bus.sent.size(), 1u);
    EXPECT_EQ(bus.log, "sr");
}

// --- registers ----------------------------------------------------------------

Bytes reg_reply(std::uint8_t reg, std::uint32_t v) {
    return {0x01, 0x00, 0x33, reg, std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}

can::CanFrame mode_reply(std::uint32_t v) {
    const Bytes b = reg_reply(10, v);
    return can::CanFrame(kRegisterBus, b);
}

TEST(Registers, ReadRequestAndReplyPattern) {
    struct Case {
        const char* name;
        can::CanFrame f;
        bool matches;
    };
    const Case cases[] = {
        {"register bus", frame(kRegisterBus, {0x01, 0x00, 0x33, 0x0A, 0x78, 0x56, 0x34, 0x12}), true},
        {"any id, any bytes 0-1", frame(CanId::extended(0x1234), {0xAA, 0xBB, 0x33, 0x0A, 0x78, 0x56, 0x34, 0x12}), true},
        {"fd not examined", frame(CanId::standard(0x5), {0, 0, 0x33, 0x0A, 0x78, 0x56, 0x34, 0x12}, true), true},
        {"mit feedback look-alike", frame(kFeedback, {0x01, 0x80, 0x33, 0x0A, 0x78, 0x56, 0x34, 0x12}), true},
        {"7 bytes", frame(kRegisterBus, {0x01, 0x00, 0x33, 0x0A, 0x78, 0x56, 0x34}), false},
        {"12-byte fd", frame(kRegisterBus, {0x01, 0x00, 0x33, 0x0A, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0}, true), false},
        {"write echo", frame(kRegisterBus, {0x01, 0x00, 0x55, 0x0A, 0x78, 0x56, 0x34, 0x12}), false},
        {"other register", frame(kRegisterBus, {0x01, 0x00, 0x33, 0x0B, 0x78, 0x56, 0x34, 0x12}), false},
    };
    const Damiao motor{.motor_id = 0x0123, .master_id = 0x11};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedBus bus;
        bus.reply(c.f, 1 * kMs);
        bus.reply(mode_reply(7));
        auto v = motor.read_register(bus, 10);
        ASSERT_TRUE(v) << v.error().to_string();
        EXPECT_EQ(v->type, RegisterType::Uint32);
        EXPECT_EQ(v->bits, c.matches ? 0x12345678u : 7u);
        EXPECT_EQ(bus.script.size(), c.matches ? 1u : 0u);
        ASSERT_EQ(bus.sent.size(), 1u);
        expect_classic(bus.sent[0], kRegisterBus, {0x23, 0x01, 0x33, 0x0A, 0, 0, 0, 0});
    }
}

TEST(Registers, ReadWaitsOnlyWhatRemains) {
    ScriptedBus bus;
    bus.send_takes = 50 * kMs;
    bus.reply(frame(kFeedback, {}), 8 * kMs);
    bus.reply(frame(kFeedback, {}), 12 * kMs + 1);  // now just past the deadline
    bus.reply(mode_reply(1));                       // too late to be read
    auto v = kMotor.read_register(bus, 10);
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error().to_string(), "transport error: timeout waiting for frame");
    EXPECT_EQ(bus.waits, (std::vector{test::ms(20), test::ms(12)}));
    EXPECT_EQ(bus.script.size(), 1u);

    ScriptedBus broken;
    broken.fail(TransportError::os(19));
    auto e = kMotor.read_register(broken, 10);
    ASSERT_FALSE(e);
    EXPECT_EQ(e.error().to_string(), "transport error: backend error: No such device (os error 19)");
}

TEST(Registers, TableChecksAndWriteBytes) {
    ScriptedBus bus;
    auto none = kMotor.read_register(bus, 200);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().to_string(), "register 200 is not in the Damiao register table");
    auto none_w = kMotor.write_register(bus, 200, RegisterValue::u32(1));
    ASSERT_FALSE(none_w);
    EXPECT_EQ(none_w.error().to_string(), "register 200 is not in the Damiao register table");
    auto ro = kMotor.write_register(bus, 13, RegisterValue::u32(1));
    ASSERT_FALSE(ro);
    EXPECT_EQ(ro.error().to_string(), "register 13 is read-only");
    EXPECT_EQ(bus.log, "");

    const Damiao motor{.motor_id = 0x0123, .master_id = 0x11};
    ASSERT_TRUE(motor.write_register(bus, 10, RegisterValue::u32(0x12345678)));
    EXPECT_EQ(bus.log, "s");  // no reply awaited
    expect_classic(bus.sent.at(0), kRegisterBus, {0x23, 0x01, 0x55, 0x0A, 0x78, 0x56, 0x34, 0x12});

    bus.send_results.push_back(TransportError::invalid_id());
    auto failed = motor.write_register(bus, 10, RegisterValue::u32(1));
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().to_string(), "transport error: invalid CAN id");
}

// --- control mode -------------------------------------------------------------

const Bytes kReadMode{0x01, 0x00, 0x33, 0x0A, 0, 0, 0, 0};
const Bytes kWriteMit{0x01, 0x00, 0x55, 0x0A, 0x01, 0, 0, 0};

TEST(ControlMode, AlreadyInModeWritesNothing) {
    ScriptedBus bus;
    bus.reply(mode_reply(1));
    ASSERT_TRUE(kMotor.ensure_control_mode(bus, 1));
    ASSERT_EQ(bus.sent.size(), 1u);
    expect_classic(bus.sent[0], kRegisterBus, kReadMode);
}

TEST(ControlMode, WriteThenVerify) {
    struct Case {
        const char* name;
        std::uint32_t first;
        std::optional<std::uint32_t> second;  // nullopt: no reply to the second read
        std::string error;                    // empty: success
    };
    const Case cases[] = {
        {"verified", 2, 1, ""},
        {"first read 257 is not 1", 257, 1, ""},
        {"still 2", 2, 2, "control mode verification failed: wrote 1, motor reports 2"},
        {"259 compares all 32 bits", 2, 259, "control mode verification failed: wrote 1, motor reports 3"},
        {"second read times out", 2, std::nullopt, "transport error: timeout waiting for frame"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedBus bus;
        bus.reply(mode_reply(c.first));
        if (c.second) bus.reply(mode_reply(*c.second));
        auto r = kMotor.ensure_control_mode(bus, 1);
        if (c.error.empty()) {
            EXPECT_TRUE(r) << r.error().to_string();
        } else {
            ASSERT_FALSE(r);
            EXPECT_EQ(r.error().to_string(), c.error);
        }
        ASSERT_EQ(bus.sent.size(), 3u);
        expect_classic(bus.sent[0], kRegisterBus, kReadMode);
        expect_classic(bus.sent[1], kRegisterBus, kWriteMit);
        expect_classic(bus.sent[2], kRegisterBus, kReadMode);
        const auto pause = bus.sent_at[2] - bus.sent_at[1];
        EXPECT_GE(pause, std::chrono::milliseconds(100));
        EXPECT_LT(pause, std::chrono::milliseconds(500));
    }
}

TEST(ControlMode, FailuresBeforeAnyWrite) {
    ScriptedBus quiet;
    auto timeout = kMotor.ensure_control_mode(quiet, 1);
    ASSERT_FALSE(timeout);
    EXPECT_EQ(timeout.error().to_string(), "transport error: timeout waiting for frame");
    EXPECT_EQ(quiet.sent.size(), 1u);

    // A table in which the control-mode register holds a float.
    static constexpr std::array<RegisterInfo, 1> kFloatMode{{{10, "CTRL_MODE", RegisterType::Float, false}}};
    Damiao odd = kMotor;
    odd.registers = kFloatMode;
    ScriptedBus bus;
    bus.reply(mode_reply(2));
    auto r = odd.ensure_control_mode(bus, 1);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "register 10: expected Uint32, got Float");
    EXPECT_EQ(bus.sent.size(), 1u);

    // Read-only mode register: the read happens, the write is refused.
    static constexpr std::array<RegisterInfo, 1> kLocked{{{10, "CTRL_MODE", RegisterType::Uint32, true}}};
    Damiao locked = kMotor;
    locked.registers = kLocked;
    ScriptedBus bus2;
    bus2.reply(mode_reply(2));
    auto l = locked.ensure_control_mode(bus2, 1);
    ASSERT_FALSE(l);
    EXPECT_EQ(l.error().to_string(), "register 10 is read-only");
    EXPECT_EQ(bus2.sent.size(), 1u);
}

TEST(Error, DisplayTexts) {
    const std::pair<Error, const char*> cases[] = {
        {Error(TransportError::timeout()), "transport error: timeout waiting for frame"},
        {Error(TransportError::too_large(9)), "transport error: frame too large for selected mode: 9 bytes"},
        {Error(Error::NoSuchRegister{200}), "register 200 is not in the Damiao register table"},
        {Error(Error::ReadOnlyRegister{13}), "register 13 is read-only"},
        {Error(Error::TypeMismatch{10, RegisterType::Uint32, RegisterType::Float}),
         "register 10: expected Uint32, got Float"},
        {Error(Error::TypeMismatch{0, RegisterType::Float, RegisterType::Uint32}),
         "register 0: expected Float, got Uint32"},
        {Error(Error::UnexpectedReply{{1, 2, 51, 10}}),
         "unexpected reply (data did not match register-reply pattern): [1, 2, 51, 10]"},
        {Error(Error::UnexpectedReply{{}}), "unexpected reply (data did not match register-reply pattern): []"},
        {Error(Error::ControlModeMismatch{1, 3}), "control mode verification failed: wrote 1, motor reports 3"},
        {Error(Error::ControlModeMismatch{255, 0}), "control mode verification failed: wrote 255, motor reports 0"},
        {Error(Error::RegisterNotVerified{9, RegisterType::Uint32, 4294967295u, 0}),
         "register 9 verification failed: wrote 4294967295, motor reports 0"},
        {Error(Error::RegisterNotVerified{22, RegisterType::Float, 0x7FC00000u, 0x3DCCCCCDu}),
         "register 22 verification failed: wrote NaN, motor reports 0.1"},
        {Error(Error::DuplicateFeedbackId{0x7FF, 0, 6}),
         "motors 0 and 6 of the group share the feedback identifier 0x7ff"},
        {Error(Error::GroupSizeMismatch{7, 1}), "a group of 7 motors was given 1 commands"},
    };
    for (const auto& [err, text] : cases) EXPECT_EQ(err.to_string(), text);
    // variant order of the six driver kinds
    EXPECT_EQ(Error(TransportError::timeout()).value.index(), 0u);
    EXPECT_EQ(Error(Error::ControlModeMismatch{1, 1}).value.index(), 5u);
    // the later ones after the codec's two
    EXPECT_EQ(Error(Error::RegisterNotVerified{}).value.index(), 8u);
    EXPECT_EQ(Error(Error::GroupSizeMismatch{}).value.index(), 10u);
}

}  // namespace
}  // namespace torvane::damiao
