// The group exchange: stale replies drained, every command out back to
// back, replies matched by feedback identifier until all answered or one
// deadline passed.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "damiao/group.hpp"
#include "scripted_bus.hpp"

namespace torvane::damiao {
namespace {

using test::Bytes;
using test::frame;
using test::kMs;
using test::ms;
using test::ScriptedBus;
using can::CanFrame;
using can::CanId;
using can::TransportError;
using Slot = MotorGroup::Slot;

// Three motors of different sizes, so that each reply must be decoded with
// its own motor's limits.
const std::vector<Damiao> kArm{
    {.motor_id = 1, .master_id = 0x11, .limits = {12.5f, 30.0f, 500.0f, 5.0f, 10.0f}},
    {.motor_id = 2, .master_id = 0x12, .limits = {12.5f, 10.0f, 500.0f, 5.0f, 28.0f}},
    {.motor_id = 3, .master_id = 0x13, .limits = {12.566f, 20.0f, 500.0f, 5.0f, 120.0f}},
};

// A feedback frame of motor `n` (1-based) whose torque code is the top one,
// so the decoded torque is that motor's t_max; `tag` lands in t_rotor.
CanFrame feedback(std::uint16_t fb, std::uint8_t n, std::uint8_t tag = 0) {
    return frame(CanId::standard(fb), {std::uint8_t(0x10 | n), 0x80, 0x00, 0x80, 0x0F, 0xFF, 40, tag});
}

MotorGroup group(can::Duration timeout = ms(20), bool fd = false) {
    auto g = MotorGroup::make(kArm, timeout, fd);
    EXPECT_TRUE(g) << g.error().to_string();
    return std::move(*g);
}

std::vector<Slot> enable_all(const MotorGroup& g) {
    std::vector<Slot> slots;
    for (const auto& m : g.motors()) slots.push_back({m.make_command(kCmdEnable), {}});
    return slots;
}

void expect_answered(const std::vector<Slot>& slots, std::vector<int> tags) {
    ASSERT_EQ(slots.size(), tags.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
        SCOPED_TRACE(i);
        if (tags[i] < 0) {
            EXPECT_FALSE(slots[i].state);
            continue;
        }
        ASSERT_TRUE(slots[i].state);
        EXPECT_EQ(slots[i].state->motor_id, i + 1);
        EXPECT_EQ(slots[i].state->torque, kArm[i].limits.t_max);
        EXPECT_EQ(slots[i].state->t_rotor, tags[i]);
    }
}

TEST(GroupMake, RefusesSharedFeedbackIdentifiers) {
    struct Case {
        const char* name;
        std::vector<std::uint16_t> masters;
        std::string error;  // empty: accepted
    };
    const Case cases[] = {
        {"distinct", {0x11, 0x12, 0x13}, ""},
        {"one motor", {0x11}, ""},
        {"none", {}, ""},
        {"same", {0x11, 0x12, 0x11}, "motors 0 and 2 of the group share the feedback identifier 0x11"},
        {"same in 11 bits", {0x21, 0x7FF, 0xFFFF}, "motors 1 and 2 of the group share the feedback identifier 0x7ff"},
        {"first pair named", {0x5, 0x5, 0x5}, "motors 0 and 1 of the group share the feedback identifier 0x5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Damiao> motors;
        for (std::size_t i = 0; i < c.masters.size(); ++i)
            motors.push_back({.motor_id = std::uint16_t(i + 1), .master_id = c.masters[i]});
        auto g = MotorGroup::make(motors, ms(5), true);
        if (c.error.empty()) {
            ASSERT_TRUE(g);
            EXPECT_EQ(g->size(), motors.size());
            EXPECT_EQ(g->timeout(), ms(5));
            EXPECT_TRUE(g->fd());
        } else {
            ASSERT_FALSE(g);
            EXPECT_EQ(g.error().to_string(), c.error);
        }
    }
}

TEST(Group, WrongNumberOfSlotsSendsNothing) {
    const MotorGroup g = group();
    for (std::size_t n : {0, 2, 4}) {
        ScriptedBus bus;
        std::vector<Slot> slots(n);
        auto r = g.exchange(bus, slots);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().to_string(), "a group of 3 motors was given " + std::to_string(n) + " commands");
        EXPECT_EQ(bus.log, "");
    }
}

// Each case scripts what the bus carries (a frame and when it arrives after
// the read before it; 0 after the first of a read: already queued with it).
TEST(Group, RepliesMatchedByFeedbackIdentifier) {
    using Steps = std::vector<std::pair<CanFrame, can::MonoNanos>>;
    struct Case {
        const char* name;
        Steps steps;
        std::vector<int> tags;  // t_rotor of each motor's state, -1 for none
        std::string log;
        std::vector<can::Duration> waits;
        std::size_t left = 0;  // frames the call did not read
    };
    const Case cases[] = {
        {"in any order; nothing waited for after the last",
         {{feedback(0x13, 3, 33), kMs}, {feedback(0x11, 1, 11), 0}, {feedback(0x12, 2, 22), kMs}},
         {11, 22, 33}, "bsssbwbwb", {ms(0), ms(0), ms(17), ms(0), ms(16), ms(0)}},
        {"a silent motor: the rest of the one deadline is waited for",
         {{feedback(0x11, 1, 11), 5 * kMs}, {feedback(0x13, 3, 33), 5 * kMs}},
         {11, -1, 33}, "bsssbwbwbwb", {ms(0), ms(0), ms(17), ms(0), ms(12), ms(0), ms(7), ms(0)}},
        {"a reply after the deadline is left",
         {{feedback(0x11, 1, 11), 2 * kMs}, {feedback(0x12, 2, 22), 0}, {feedback(0x13, 3, 33), 30 * kMs}},
         {11, 22, -1}, "bsssbwbwb", {ms(0), ms(0), ms(17), ms(0), ms(15), ms(0)}, 1},
        {"other frames skipped, a second reply ignored",
         {{frame(CanId::extended(0x11), {0x11, 0, 0, 0, 0, 0, 0, 99}), kMs},           // same number, extended
          {frame(CanId::standard(0x14), {0x14, 0, 0, 0, 0, 0, 0, 99}), kMs},           // a motor outside
          {frame(CanId::standard(0x001), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}), kMs},  // a command
          {frame(CanId::standard(0x7FF), {0x01, 0x00, 0x33, 0x07, 0x11, 0, 0, 0}), kMs},  // a register reply
          {frame(CanId::standard(0x12), {0x12, 0x80, 0x00, 0x80, 0x0F, 0xFF, 40}), kMs},  // too short
          {feedback(0x12, 2, 22), kMs},
          {feedback(0x11, 1, 11), kMs},
          {feedback(0x11, 1, 12), 0},
          {feedback(0x13, 3, 33), kMs}},
         {11, 22, 33}, "", {}},
        {"replies waiting before the call are drained, not taken",
         {{feedback(0x12, 2, 1), 0}, {feedback(0x13, 3, 1), 0}, {frame(CanId::standard(0x40), {1}), 0},
          {feedback(0x11, 1, 11), kMs}, {feedback(0x13, 3, 33), kMs}},
         {11, -1, 33}, "bbsssbwbwbwb", {ms(0), ms(0), ms(0), ms(17), ms(0), ms(16), ms(0), ms(15), ms(0)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MotorGroup g = group();  // a group fresh from make: it has learned no timing yet
        ScriptedBus bus;
        bus.send_takes = kMs;  // sending counts against the one deadline
        for (const auto& [f, takes] : c.steps) bus.reply(f, takes);
        const can::MonoNanos start = bus.clock;
        auto slots = enable_all(g);
        auto r = g.exchange(bus, slots);
        ASSERT_TRUE(r) << r.error().to_string();
        EXPECT_EQ(*r, static_cast<std::size_t>(std::ranges::count_if(c.tags, [](int t) { return t >= 0; })));
        expect_answered(slots, c.tags);
        if (!c.log.empty()) {
            EXPECT_EQ(bus.log, c.log);
        }
        if (!c.waits.empty()) {
            EXPECT_EQ(bus.waits, c.waits);
        }
        EXPECT_EQ(bus.script.size(), c.left);
        if (std::ranges::find(c.tags, -1) != c.tags.end()) {
            EXPECT_EQ(bus.clock, start + 20 * kMs);  // one deadline, sending included, however the replies came
        }
    }
}

// A register reply comes on the motor's feedback identifier too (a second
// program reading a register): decoded as a state it would read as a
// position near the bottom of the range. It is no state, nor is feedback
// whose id nibble names another motor; both are counted.
TEST(Group, RegisterRepliesAndForeignFeedbackAreNoState) {
    const MotorGroup g = group();
    ScriptedBus bus;
    for (std::uint8_t op : {std::uint8_t{0x33}, std::uint8_t{0x55}, std::uint8_t{0xAA}})
        bus.reply(frame(CanId::standard(0x11), {0x01, 0x00, op, 0x09, 0x10, 0x27, 0, 0}), kMs);
    bus.reply(frame(CanId::standard(0x12), {0x15, 0x80, 0x00, 0x80, 0x0F, 0xFF, 40, 99}), kMs);  // nibble 5
    bus.reply(feedback(0x11, 1, 11), kMs);
    bus.reply(feedback(0x12, 2, 22), kMs);
    bus.reply(feedback(0x13, 3, 33), kMs);
    auto slots = enable_all(g);
    std::size_t skipped = 0;
    auto r = g.exchange(bus, slots, &skipped);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 3u);
    expect_answered(slots, {11, 22, 33});
    EXPECT_EQ(skipped, 4u);

    // Only the register reply came: the motor did not answer.
    ScriptedBus lone;
    lone.reply(frame(CanId::standard(0x11), {0x01, 0x00, 0x33, 0x09, 0x10, 0x27, 0, 0}), kMs);
    slots = enable_all(g);
    r = g.exchange(lone, slots, &skipped);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 0u);
    EXPECT_EQ(skipped, 1u);
}

TEST(Group, StaleStateFromAnEarlierCallIsCleared) {
    const MotorGroup g = group();
    ScriptedBus bus;
    auto slots = enable_all(g);
    for (auto& s : slots) s.state = MotorState{.motor_id = 9};
    auto r = g.exchange(bus, slots);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 0u);
    expect_answered(slots, {-1, -1, -1});
}

TEST(Group, AnyMixOfCommandsGoesOutInOrder) {
    const MotorGroup g = group();
    ScriptedBus bus;
    std::vector<Slot> slots{{*kArm[0].make_mit(MitSetpoint{.q = 1.0f}), {}},
                            {kArm[1].make_pos_vel({1.0f, 2.0f}), {}},
                            {kArm[2].make_refresh(), {}}};
    ASSERT_TRUE(g.exchange(bus, slots));
    ASSERT_EQ(bus.sent.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(bus.sent[i].id, CanId::standard(slots[i].command.id));
        EXPECT_EQ(test::bytes_of(bus.sent[i]), Bytes(slots[i].command.data.begin(), slots[i].command.data.end()));
        EXPECT_FALSE(bus.sent[i].fd);
    }
    EXPECT_EQ(bus.sent[1].id, CanId::standard(0x102));
    EXPECT_EQ(bus.sent[2].id, CanId::standard(0x7FF));
}

TEST(Group, FdCommandsWithBitRateSwitchAndRepliesOfEitherKind) {
    const MotorGroup g = group(ms(20), true);
    ScriptedBus bus;
    bus.reply(frame(CanId::standard(0x11), {0x11, 0x80, 0x00, 0x80, 0x0F, 0xFF, 40, 11}, true, true), 1 * kMs);
    bus.reply(feedback(0x12, 2, 22));
    bus.reply(frame(CanId::standard(0x13), {0x13, 0x80, 0x00, 0x80, 0x0F, 0xFF, 40, 33, 0, 0, 0, 0}, true));
    auto slots = enable_all(g);
    auto r = g.exchange(bus, slots);
    ASSERT_TRUE(r);
    expect_answered(slots, {11, 22, 33});
    ASSERT_EQ(bus.sent.size(), 3u);
    for (const auto& f : bus.sent) {
        EXPECT_TRUE(f.fd);
        EXPECT_TRUE(f.brs);
        EXPECT_EQ(f.size(), 8u);
    }
}

TEST(Group, ZeroTimeoutSendsEverythingAndNeverWaits) {
    const MotorGroup g = group(ms(0));
    ScriptedBus bus;
    bus.reply(feedback(0x11, 1, 11), 1 * kMs);
    auto slots = enable_all(g);
    auto r = g.exchange(bus, slots);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 0u);
    EXPECT_EQ(bus.sent.size(), 3u);
    EXPECT_EQ(bus.waits, (std::vector{ms(0), ms(0)}));
}

TEST(Group, BusFailures) {
    struct Case {
        const char* name;
        std::function<void(ScriptedBus&)> setup;
        std::string message;
        std::size_t sent;
    };
    const Case cases[] = {
        {"drain fails", [](ScriptedBus& b) { b.fail(TransportError::os(100)); },
         "transport error: backend error: Network is down (os error 100)", 0},
        {"a send fails", [](ScriptedBus& b) { b.send_results = {std::nullopt, TransportError::os(105)}; },
         "transport error: backend error: No buffer space available (os error 105)", 1},
        {"a read fails",
         [](ScriptedBus& b) {
             b.reply(feedback(0x11, 1, 11), 1 * kMs);
             b.fail(TransportError::os(19), 1 * kMs);
             b.reply(feedback(0x12, 2, 22));
         },
         "transport error: backend error: No such device (os error 19)", 3},
    };
    const MotorGroup g = group();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedBus bus;
        c.setup(bus);
        auto slots = enable_all(g);
        auto r = g.exchange(bus, slots);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().to_string(), c.message);
        EXPECT_EQ(bus.sent.size(), c.sent);
    }
}

TEST(Group, MoreMotorsThanOneBatch) {
    std::vector<Damiao> motors;
    for (std::uint16_t i = 0; i < 40; ++i) motors.push_back({.motor_id = i, .master_id = std::uint16_t(0x100 + i)});
    auto g = MotorGroup::make(motors, ms(20));
    ASSERT_TRUE(g);
    ScriptedBus bus;
    for (std::uint16_t i = 40; i-- > 0;) bus.reply(frame(CanId::standard(0x100 + i), {0, 0, 0, 0, 0, 0, 0, std::uint8_t(i)}));
    std::vector<Slot> slots;
    for (const auto& m : motors) slots.push_back({m.make_refresh(), {}});
    bus.reply(frame(CanId::standard(0x100), {0, 0, 0, 0, 0, 0, 0, 0}), 1 * kMs);
    // The drain takes all 40 queued replies; the last one, arriving later,
    // is motor 0's only answer.
    auto r = g->exchange(bus, slots);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 1u);
    EXPECT_EQ(bus.sent.size(), 40u);
    EXPECT_TRUE(slots[0].state);

    ScriptedBus live;
    for (std::uint16_t i = 40; i-- > 0;)
        live.reply(frame(CanId::standard(0x100 + i), {std::uint8_t(i & 0x0F), 0, 0, 0, 0, 0, 0, std::uint8_t(i)}),
                   i == 39 ? 1 * kMs : 0);
    r = g->exchange(live, slots);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 40u);
    for (std::uint16_t i = 0; i < 40; ++i) EXPECT_EQ(slots[i].state->t_rotor, i);
}

}  // namespace
}  // namespace torvane::damiao
