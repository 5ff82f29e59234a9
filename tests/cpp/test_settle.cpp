// The learned wake-up: once a tick has seen when its replies come, the next
// sleeps once and reads them in one batch; it never sleeps past the last
// reply of a tick that keeps its timing, and a silent motor teaches nothing.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "damiao/multi_bus.hpp"
#include "damiao/settle.hpp"
#include "scripted_bus.hpp"

namespace torvane::damiao {
namespace {

using can::CanFrame;
using can::CanId;
using can::MonoNanos;
using test::frame;
using test::kMs;
using test::ms;
using test::ScriptedBus;
using Slot = MotorGroup::Slot;

constexpr MonoNanos kUs = kMs / 1000;

TEST(SettleTime, LearnsFromAWaitThenHoversJustShortOfTheLastReply) {
    using Woke = SettleTime::Woke;
    struct Step {
        MonoNanos last;
        Woke woke;
        MonoNanos estimate;
    };
    const Step steps[] = {
        {0, Woke::WithoutSleep, 0},                       // nothing to go by
        {1600 * kUs, Woke::WithoutSleep, 1500 * kUs},     // read as it came: 15/16 of it
        {3200 * kUs, Woke::AllIn, 1500 * kUs - 1500 * kUs / 16},  // all in at the wake: sooner
        {9000 * kUs, Woke::SomeMissing, 1406250 + 1406250 / 64 + 1},  // one wait more: a little later
        {800 * kUs, Woke::WithoutSleep, 750 * kUs},       // a tick that did not sleep teaches afresh
    };
    SettleTime s;
    EXPECT_EQ(s.sleep(), 0);
    for (const Step& st : steps) {
        s.learn(st.last, st.woke);
        EXPECT_EQ(s.sleep(), st.estimate) << static_cast<long long>(st.last);
    }
    s.forget();
    EXPECT_EQ(s.sleep(), 0);
}

const std::vector<Damiao> kArm{
    {.motor_id = 1, .master_id = 0x11, .limits = {12.5f, 30.0f, 500.0f, 5.0f, 10.0f}},
    {.motor_id = 2, .master_id = 0x12, .limits = {12.5f, 10.0f, 500.0f, 5.0f, 28.0f}},
    {.motor_id = 3, .master_id = 0x13, .limits = {12.5f, 10.0f, 500.0f, 5.0f, 28.0f}},
};

CanFrame feedback(std::uint16_t fb) {
    return frame(CanId::standard(fb), {std::uint8_t(fb & 0x0F), 0x80, 0x00, 0x80, 0x07, 0xFF, 40, 40});
}

struct Tick {
    std::string log;       // what the bus saw after the sends
    std::size_t waits;     // blocking waits, the sleep among them
    MonoNanos late;        // how long the tick ended after its last reply came
};

// One tick on a fresh bus sharing `clock`: replies `gaps` apart (the first
// `gaps[0]` after the sends), or silent where a gap is negative.
Tick tick(MultiBusExchange& ex, ScriptedBus& bus, std::vector<MonoNanos> gaps) {
    bus.log.clear();
    MonoNanos arrival = bus.clock, pending = 0;
    const std::uint16_t ids[] = {0x11, 0x12, 0x13};
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        if (gaps[i] < 0) continue;
        bus.reply(feedback(ids[i]), pending + gaps[i]);
        arrival += pending + gaps[i];
        pending = 0;
    }
    auto r = ex.run();
    EXPECT_TRUE(r);
    const std::string log = bus.log.substr(bus.log.rfind('s') + 1);
    return {log, ex.progress()[0].waits, bus.clock - arrival};
}

struct Arm {
    MonoNanos clock = 1'000 * kMs;
    ScriptedBus bus{clock};
    MotorGroup group = *MotorGroup::make(kArm, ms(20));
    std::vector<Slot> slots;
    MultiBusExchange ex;

    explicit Arm(bool learn = true)
        : slots(make_slots(group)), ex(*MultiBusExchange::make({{&bus, &group, slots}}, {ms(20)}, learn)) {}

    static std::vector<Slot> make_slots(const MotorGroup& g) {
        std::vector<Slot> s;
        for (const Damiao& m : g.motors()) s.push_back({m.make_command(kCmdEnable), {}});
        return s;
    }
};

TEST(Settle, AfterOneTickRepliesAreReadInOneBatchAndHardlyLaterThanTheyCame) {
    Arm arm;
    const std::vector<MonoNanos> steady{400 * kUs, 300 * kUs, 300 * kUs};
    // The first tick knows nothing: it wakes for each reply.
    Tick first = tick(arm.ex, arm.bus, steady);
    EXPECT_EQ(first.log, "bwbwbwb");
    EXPECT_EQ(first.waits, 3u);
    EXPECT_EQ(first.late, 0);
    // Then: one sleep and a batch, and at most one wait for the last; most
    // wake just before it, and the others hardly after.
    int short_of_it = 0;
    for (int i = 0; i < 60; ++i) {
        SCOPED_TRACE(i);
        Tick t = tick(arm.ex, arm.bus, steady);
        if (t.log == "zbwb") {
            ++short_of_it;
            EXPECT_EQ(t.waits, 2u);
            EXPECT_EQ(t.late, 0);
        } else {
            EXPECT_EQ(t.log, "zb");
            EXPECT_EQ(t.waits, 1u);
            EXPECT_LE(t.late, 1000 * kUs / 64 + 1);
        }
    }
    EXPECT_GE(short_of_it, 40);
    EXPECT_LE(short_of_it, 55);
}

TEST(Settle, RepliesThatComeSoonerCostAtMostWhatTheEstimateShrinksBy) {
    Arm arm;
    tick(arm.ex, arm.bus, {400 * kUs, 300 * kUs, 300 * kUs});  // learns 0.94 ms
    // All in after 0.5 ms: each tick sleeps its estimate, finds them all,
    // and the next sleeps 1/16 less, until it wakes short of them again.
    MonoNanos before = arm.ex.pace().settle->sleep();
    for (int i = 0; before * 15 / 16 > 500 * kUs; ++i) {
        SCOPED_TRACE(i);
        Tick t = tick(arm.ex, arm.bus, {500 * kUs, 0, 0});
        EXPECT_EQ(t.log, "zb");
        EXPECT_EQ(t.waits, 1u);
        EXPECT_EQ(t.late, before - 500 * kUs);
        EXPECT_EQ(arm.ex.pace().settle->sleep(), before - before / 16);
        before = arm.ex.pace().settle->sleep();
    }
    Tick t = tick(arm.ex, arm.bus, {500 * kUs, 0, 0});
    EXPECT_LE(t.late, before / 16);
}

TEST(Settle, ASilentMotorTeachesNothingAndTheSleepKeepsTheDeadline) {
    Arm arm;
    tick(arm.ex, arm.bus, {400 * kUs, 300 * kUs, 300 * kUs});
    const MonoNanos learned = arm.ex.pace().settle->sleep();
    const MonoNanos start = arm.clock;
    Tick t = tick(arm.ex, arm.bus, {400 * kUs, -1, 300 * kUs});
    EXPECT_EQ(arm.ex.pace().settle->sleep(), learned);
    EXPECT_EQ(arm.clock, start + 20 * kMs);  // the one deadline
    EXPECT_EQ(t.log.front(), 'z');
}

TEST(Settle, WithoutLearningEveryTickWaitsReplyByReply) {
    Arm arm(false);
    for (int i = 0; i < 3; ++i) {
        Tick t = tick(arm.ex, arm.bus, {400 * kUs, 300 * kUs, 300 * kUs});
        EXPECT_EQ(t.log, "bwbwbwb");
        EXPECT_EQ(t.late, 0);
    }
    EXPECT_EQ(arm.ex.pace().settle, nullptr);
}

TEST(Settle, AGroupLearnsOnItsOwnAcrossExchanges) {
    MonoNanos clock = 1'000 * kMs;
    ScriptedBus bus(clock);
    const MotorGroup g = *MotorGroup::make(kArm, ms(20));
    auto slots = Arm::make_slots(g);
    for (int i = 0; i < 3; ++i) {
        bus.log.clear();
        bus.reply(feedback(0x11), 400 * kUs);
        bus.reply(feedback(0x12), 300 * kUs);
        bus.reply(feedback(0x13), 300 * kUs);
        ASSERT_EQ(g.exchange(bus, slots).value_or(0), 3u);
        EXPECT_EQ(bus.log.find('z') != std::string::npos, i > 0) << bus.log;
    }
}

}  // namespace
}  // namespace torvane::damiao
