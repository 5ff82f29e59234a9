// Typed register access matched to the motor asked, read_limits, saving
// to flash, and the register table's lookups.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <chrono>
#include <string>
#include <vector>

#include "damiao/driver.hpp"
#include "scripted_bus.hpp"

namespace torvane::damiao {
namespace {

using test::Bytes;
using test::frame;
using test::kMs;
using test::ScriptedBus;
using can::CanFrame;
using can::CanId;
using can::TransportError;

const CanId kRegisterBus = CanId::standard(0x7FF);
const CanId kFeedback = CanId::standard(0x011);
const Damiao kMotor{.motor_id = 0x0123, .master_id = 0x11};

// An answer of motor `id` to a register request.
CanFrame answer(std::uint16_t id, std::uint8_t op, std::uint8_t reg, std::uint32_t v, CanId on = kFeedback) {
    return frame(on, {std::uint8_t(id), std::uint8_t(id >> 8), op, reg, std::uint8_t(v), std::uint8_t(v >> 8),
                      std::uint8_t(v >> 16), std::uint8_t(v >> 24)});
}
CanFrame read_answer(std::uint8_t reg, std::uint32_t v) { return answer(0x0123, kRegRead, reg, v); }
CanFrame write_ack(std::uint8_t reg, std::uint32_t v) { return answer(0x0123, kRegWrite, reg, v); }
std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

Bytes request(std::uint8_t op, std::uint8_t reg, std::uint32_t v = 0) {
    const Frame8 f = register_request(0x0123, op, reg, v);
    return Bytes(f.begin(), f.end());
}

TEST(TypedRegisters, ReadTakesOnlyTheAskedMotorsAnswer) {
    struct Case {
        const char* name;
        CanFrame f;
        bool matches;
    };
    const Case cases[] = {
        {"feedback id", read_answer(9, 2000), true},
        {"any identifier", answer(0x0123, kRegRead, 9, 2000, CanId::extended(0x1234)), true},
        {"fd, 8 bytes", frame(kFeedback, {0x23, 0x01, 0x33, 9, 0xD0, 0x07, 0, 0}, true), true},
        {"another motor, same register", answer(0x0124, kRegRead, 9, 2000), false},
        {"same low byte, other high byte", answer(0x0223, kRegRead, 9, 2000), false},
        {"bytes 0-1 swapped", answer(0x2301, kRegRead, 9, 2000), false},
        {"write acknowledgement", write_ack(9, 2000), false},
        {"other register", read_answer(10, 2000), false},
        {"7 bytes", frame(kFeedback, {0x23, 0x01, 0x33, 9, 0xD0, 0x07, 0}), false},
        {"12-byte fd", frame(kFeedback, {0x23, 0x01, 0x33, 9, 0xD0, 0x07, 0, 0, 0, 0, 0, 0}, true), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedBus bus;
        bus.reply(c.f, 1 * kMs);
        bus.reply(read_answer(9, 7));
        auto v = kMotor.get_register(bus, 9);
        ASSERT_TRUE(v) << v.error().to_string();
        EXPECT_EQ(v->type, RegisterType::Uint32);
        EXPECT_EQ(v->bits, c.matches ? 2000u : 7u);
        ASSERT_EQ(bus.sent.size(), 1u);
        EXPECT_EQ(bus.sent[0].id, kRegisterBus);
        EXPECT_EQ(test::bytes_of(bus.sent[0]), request(kRegRead, 9));
    }
}

TEST(TypedRegisters, ReadGivesTheTablesType) {
    ScriptedBus bus;
    bus.reply(read_answer(21, bits(12.566f)));
    auto v = kMotor.get_register(bus, 21);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->type, RegisterType::Float);
    EXPECT_EQ(v->as_float(), 12.566f);

    ScriptedBus quiet;
    auto none = kMotor.get_register(quiet, 21);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().to_string(), "transport error: timeout waiting for frame");
}

TEST(TypedRegisters, RefusedBeforeAnythingIsSent) {
    struct Case {
        const char* name;
        std::uint8_t reg;
        RegisterValue value;
        std::string message;
    };
    const Case cases[] = {
        {"unknown", 200, RegisterValue::u32(1), "register 200 is not in the Damiao register table"},
        {"unknown between 36 and 50", 40, RegisterValue::u32(1), "register 40 is not in the Damiao register table"},
        {"read-only hw_ver", 13, RegisterValue::u32(1), "register 13 is read-only"},
        {"read-only SN", 15, RegisterValue::u32(1), "register 15 is read-only"},
        {"integer into PMAX", 21, RegisterValue::u32(12), "register 21: expected Float, got Uint32"},
        {"float into TIMEOUT", 9, RegisterValue::f32(1.0f), "register 9: expected Uint32, got Float"},
        {"float into can_br", 35, RegisterValue::f32(4.0f), "register 35: expected Uint32, got Float"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (Verify verify : {Verify::No, Verify::Yes}) {
            ScriptedBus bus;
            auto r = kMotor.set_register(bus, c.reg, c.value, verify);
            ASSERT_FALSE(r);
            EXPECT_EQ(r.error().to_string(), c.message);
            EXPECT_EQ(bus.log, "");
        }
    }
    ScriptedBus bus;
    auto r = kMotor.get_register(bus, 200);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "register 200 is not in the Damiao register table");
    EXPECT_EQ(bus.log, "");
}

TEST(TypedRegisters, WriteConsumesTheAcknowledgementButNeedsNone) {
    struct Case {
        const char* name;
        std::vector<CanFrame> replies;
        std::size_t left;  // frames still queued after the write
    };
    const Case cases[] = {
        {"acknowledged", {write_ack(9, 2000), read_answer(9, 1)}, 1},
        {"other motor's ack skipped", {answer(0x0124, kRegWrite, 9, 2000), write_ack(9, 2000)}, 0},
        {"no acknowledgement", {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedBus bus;
        for (const auto& f : c.replies) bus.reply(f);
        auto r = kMotor.set_register(bus, 9, RegisterValue::u32(2000), Verify::No);
        EXPECT_TRUE(r) << r.error().to_string();
        ASSERT_EQ(bus.sent.size(), 1u);
        EXPECT_EQ(bus.sent[0].id, kRegisterBus);
        EXPECT_EQ(test::bytes_of(bus.sent[0]), request(kRegWrite, 9, 2000));
        EXPECT_EQ(bus.script.size(), c.left);
    }

    ScriptedBus broken;
    broken.fail(TransportError::os(100));
    auto r = kMotor.set_register(broken, 9, RegisterValue::u32(2000), Verify::No);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "transport error: backend error: Network is down (os error 100)");
}

TEST(TypedRegisters, VerifiedWriteReadsBack) {
    struct Case {
        const char* name;
        std::uint8_t reg;
        RegisterValue value;
        std::vector<CanFrame> replies;
        std::string error;  // empty: verified
    };
    const Case cases[] = {
        {"verified", 9, RegisterValue::u32(2000), {write_ack(9, 2000), read_answer(9, 2000)}, ""},
        {"other motor's value skipped", 9, RegisterValue::u32(2000),
         {write_ack(9, 2000), answer(0x0124, kRegRead, 9, 5), read_answer(9, 2000)}, ""},
        {"kept its old value", 9, RegisterValue::u32(2000), {write_ack(9, 2000), read_answer(9, 1000)},
         "register 9 verification failed: wrote 2000, motor reports 1000"},
        {"float", 21, RegisterValue::f32(12.5f), {write_ack(21, bits(12.5f)), read_answer(21, bits(12.566f))},
         "register 21 verification failed: wrote 12.5, motor reports 12.566"},
        {"float bits, not value", 21, RegisterValue::f32(0.0f), {write_ack(21, 0), read_answer(21, bits(-0.0f))},
         "register 21 verification failed: wrote 0, motor reports -0"},
        {"read-back not answered", 9, RegisterValue::u32(2000), {write_ack(9, 2000)},
         "transport error: timeout waiting for frame"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedBus bus;
        for (const auto& f : c.replies) bus.reply(f);
        auto r = kMotor.set_register(bus, c.reg, c.value, Verify::Yes);
        if (c.error.empty()) {
            EXPECT_TRUE(r) << r.error().to_string();
        } else {
            ASSERT_FALSE(r);
            EXPECT_EQ(r.error().to_string(), c.error);
        }
        ASSERT_EQ(bus.sent.size(), 2u);
        EXPECT_EQ(test::bytes_of(bus.sent[0]), request(kRegWrite, c.reg, c.value.bits));
        EXPECT_EQ(test::bytes_of(bus.sent[1]), request(kRegRead, c.reg));
    }
}

TEST(ReadLimits, ThreeRegistersIntoMitLimits) {
    ScriptedBus bus;
    bus.reply(read_answer(21, bits(12.566f)));
    bus.reply(answer(0x0124, kRegRead, 22, bits(99.0f)));  // another motor's VMAX
    bus.reply(read_answer(22, bits(50.0f)), 2 * kMs);
    bus.reply(read_answer(23, bits(5.0f)));
    auto l = kMotor.read_limits(bus);
    ASSERT_TRUE(l) << l.error().to_string();
    EXPECT_EQ(l->p_max, 12.566f);
    EXPECT_EQ(l->v_max, 50.0f);
    EXPECT_EQ(l->kp_max, 500.0f);
    EXPECT_EQ(l->kd_max, 5.0f);
    EXPECT_EQ(l->t_max, 5.0f);
    ASSERT_EQ(bus.sent.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(test::bytes_of(bus.sent[i]), request(kRegRead, 21 + i));
}

TEST(ReadLimits, Failures) {
    ScriptedBus quiet;
    quiet.reply(read_answer(21, bits(12.5f)));
    auto missing = kMotor.read_limits(quiet);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().to_string(), "transport error: timeout waiting for frame");
    EXPECT_EQ(quiet.sent.size(), 2u);  // TMAX was never asked

    static constexpr std::array<RegisterInfo, 3> kOdd{{{21, "PMAX", RegisterType::Float, false},
                                                       {22, "VMAX", RegisterType::Uint32, false},
                                                       {23, "TMAX", RegisterType::Float, false}}};
    Damiao odd = kMotor;
    odd.registers = kOdd;
    ScriptedBus bus;
    bus.reply(read_answer(21, bits(12.5f)));
    bus.reply(read_answer(22, 30));
    auto wrong = odd.read_limits(bus);
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error().to_string(), "register 22: expected Float, got Uint32");
}

TEST(SaveParameters, DisablesThenSavesThenKeepsQuiet) {
    ScriptedBus bus;
    bus.reply(frame(kFeedback, {0x03, 0, 0, 0, 0, 0, 0, 0}));
    auto r = kMotor.save_parameters(bus);
    const auto returned = std::chrono::steady_clock::now();
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_EQ(bus.log, "srs");
    ASSERT_EQ(bus.sent.size(), 2u);
    EXPECT_EQ(bus.sent[0].id, CanId::standard(0x123));
    EXPECT_EQ(test::bytes_of(bus.sent[0]), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD}));
    EXPECT_EQ(bus.sent[1].id, kRegisterBus);
    EXPECT_EQ(test::bytes_of(bus.sent[1]), (Bytes{0x23, 0x01, 0xAA, 0x01, 0, 0, 0, 0}));
    const auto quiet = returned - bus.sent_at[1];
    EXPECT_GE(quiet, std::chrono::milliseconds(30));
    EXPECT_LT(quiet, std::chrono::milliseconds(300));
}

TEST(SaveParameters, NothingSavedUnlessDisabled) {
    ScriptedBus quiet;
    auto r = kMotor.save_parameters(quiet);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "transport error: timeout waiting for frame");
    EXPECT_EQ(quiet.sent.size(), 1u);

    ScriptedBus bus;
    bus.reply(frame(kFeedback, {0x03, 0, 0, 0, 0, 0, 0, 0}));
    bus.send_results = {std::nullopt, TransportError::os(105)};
    auto failed = kMotor.save_parameters(bus);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().to_string(), "transport error: backend error: No buffer space available (os error 105)");
}

TEST(RegisterTable, LookupsByNumberAndName) {
    struct Case {
        const char* name;
        std::optional<std::uint8_t> number;
    };
    const Case cases[] = {{"TIMEOUT", 9},   {"timeout", 9},  {"Timeout", 9}, {"can_br", 35}, {"CAN_BR", 35},
                          {"PMAX", 21},     {"pmax", 21},    {"MST_ID", 7},  {"xout", 81},   {"TIMEOUT ", {}},
                          {"TIME", {}},     {"", {}},        {"9", {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = find_register_named(kRegisters, c.name);
        ASSERT_EQ(r.has_value(), c.number.has_value());
        if (r) {
            EXPECT_EQ(r->number, *c.number);
        }
    }
    // Ignoring case must not make two registers one.
    for (const auto& a : kRegisters) {
        SCOPED_TRACE(a.name);
        EXPECT_EQ(find_register_named(kRegisters, a.name)->number, a.number);
        std::string upper(a.name);
        for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        EXPECT_EQ(find_register_named(kRegisters, upper)->number, a.number);
        EXPECT_EQ(find_register(kRegisters, a.number)->name, a.name);
    }
}

TEST(RegisterTable, OnlyWhatTheFirmwareKeepsIsReadOnly) {
    // Versions and serial, the motor constants, the calibration offsets and
    // the measured position: the firmware drops writes to all of them.
    const std::vector<std::uint8_t> want{11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                                         36, 50, 51, 52, 53, 54, 55, 80, 81};
    std::vector<std::uint8_t> read_only;
    for (const auto& r : kRegisters)
        if (r.read_only) read_only.push_back(r.number);
    EXPECT_EQ(read_only, want);
    // Every one of them is refused by both write paths before a frame leaves.
    for (std::uint8_t reg : want) {
        SCOPED_TRACE(int{reg});
        const auto type = find_register(kRegisters, reg)->type;
        const RegisterValue value{type, 0};
        ScriptedBus bus;
        auto set = kMotor.set_register(bus, reg, value, Verify::No);
        ASSERT_FALSE(set);
        EXPECT_EQ(set.error().to_string(), "register " + std::to_string(reg) + " is read-only");
        auto write = kMotor.write_register(bus, reg, value);
        ASSERT_FALSE(write);
        EXPECT_EQ(write.error().to_string(), "register " + std::to_string(reg) + " is read-only");
        EXPECT_TRUE(bus.sent.empty());
    }
}

}  // namespace
}  // namespace torvane::damiao
