// The multi-bus exchange: each group's replies taken from its own bus only,
// one deadline for the whole tick, a full transmit queue waited on, and a
// failing bus named by its share.

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "damiao/multi_bus.hpp"
#include "scripted_bus.hpp"

namespace torvane::damiao {
namespace {

using can::CanFrame;
using can::CanId;
using can::TransportError;
using test::frame;
using test::kMs;
using test::ms;
using test::ScriptedBus;
using Slot = MotorGroup::Slot;

// Two arms wired alike: the same identifiers on each bus.
const std::vector<Damiao> kArm{
    {.motor_id = 1, .master_id = 0x11, .limits = {12.5f, 30.0f, 500.0f, 5.0f, 10.0f}},
    {.motor_id = 2, .master_id = 0x12, .limits = {12.5f, 10.0f, 500.0f, 5.0f, 28.0f}},
};

// A feedback frame whose t_rotor byte carries `tag`.
CanFrame feedback(std::uint16_t fb, std::uint8_t tag) {
    return frame(CanId::standard(fb), {std::uint8_t(fb & 0x0F), 0x80, 0x00, 0x80, 0x07, 0xFF, 40, tag});
}

struct Rig {
    can::MonoNanos clock = 1'000 * kMs;
    std::vector<std::unique_ptr<ScriptedBus>> buses;
    std::vector<MotorGroup> groups;
    std::vector<std::vector<Slot>> slots;

    explicit Rig(std::size_t n) {
        for (std::size_t b = 0; b < n; ++b) {
            buses.push_back(std::make_unique<ScriptedBus>(clock));
            groups.push_back(*MotorGroup::make(kArm, ms(20)));
        }
        for (const MotorGroup& g : groups) {
            std::vector<Slot> s;
            for (const Damiao& m : g.motors()) s.push_back({m.make_command(kCmdEnable), {}});
            slots.push_back(std::move(s));
        }
    }

    std::vector<Share> shares() {
        std::vector<Share> out;
        for (std::size_t b = 0; b < buses.size(); ++b) out.push_back({buses[b].get(), &groups[b], slots[b]});
        return out;
    }

    ShareResult<std::size_t> run() {
        auto made = MultiBusExchange::make(shares(), {ms(20)});
        EXPECT_TRUE(made);
        return made->run();
    }

    int tag(std::size_t bus, std::size_t motor) const {
        const auto& s = slots[bus][motor].state;
        return s ? static_cast<int>(s->t_rotor) : -1;
    }
};

TEST(MultiBus, EachGroupTakesItsRepliesFromItsOwnBus) {
    Rig rig(2);
    rig.buses[0]->reply(feedback(0x12, 12), kMs);
    rig.buses[0]->reply(feedback(0x11, 11), 0);
    rig.buses[1]->reply(feedback(0x11, 21), kMs);
    rig.buses[1]->reply(feedback(0x12, 22), kMs);
    auto r = rig.run();
    ASSERT_TRUE(r) << r.error().error.to_string();
    EXPECT_EQ(*r, 4u);
    EXPECT_EQ(rig.tag(0, 0), 11);
    EXPECT_EQ(rig.tag(0, 1), 12);
    EXPECT_EQ(rig.tag(1, 0), 21);
    EXPECT_EQ(rig.tag(1, 1), 22);
    // Every command went out before any reply was waited for.
    for (const auto& bus : rig.buses) {
        EXPECT_EQ(bus->sent.size(), 2u);
        EXPECT_EQ(bus->log.substr(0, 3), "bss");
    }
    EXPECT_NE(rig.slots[1][1].answered_at, 0);
    EXPECT_GE(rig.slots[1][1].answered_at, rig.slots[1][0].answered_at);
}

// The buses are waited on together (CanTransport::wait_any, here on the
// scripted buses' shared clock): a silent motor on any one bus costs the tick
// its one deadline, no more, and never hides the other buses' replies.
TEST(MultiBus, ASilentMotorOnAnyBusCostsTheTickOneDeadline) {
    for (std::size_t silent = 0; silent < 3; ++silent) {
        SCOPED_TRACE(silent);
        Rig rig(3);
        for (std::size_t b = 0; b < 3; ++b) {
            rig.buses[b]->reply(feedback(0x11, std::uint8_t(10 * b + 1)), (b + 1) * kMs);
            if (b != silent) rig.buses[b]->reply(feedback(0x12, std::uint8_t(10 * b + 2)), kMs);
        }
        const can::MonoNanos start = rig.clock;
        auto r = rig.run();
        ASSERT_TRUE(r);
        EXPECT_EQ(*r, 5u);
        for (std::size_t b = 0; b < 3; ++b) {
            EXPECT_EQ(rig.tag(b, 0), int(10 * b + 1));
            EXPECT_EQ(rig.tag(b, 1), b == silent ? -1 : int(10 * b + 2));
        }
        EXPECT_EQ(rig.clock, start + 20 * kMs);
    }
}

// Replies that come in turns across the buses are each taken as they come:
// every state is stamped with the time its bus delivered it.
TEST(MultiBus, RepliesInterleavedAcrossBusesAreTakenAsTheyCome) {
    Rig rig(2);
    rig.buses[0]->reply(feedback(0x11, 1), 1 * kMs);
    rig.buses[1]->reply(feedback(0x11, 3), 2 * kMs);
    rig.buses[0]->reply(feedback(0x12, 2), 2 * kMs);  // 3 ms: after bus 1's first
    rig.buses[1]->reply(feedback(0x12, 4), 2 * kMs);  // 4 ms
    const can::MonoNanos start = rig.clock;
    auto r = rig.run();
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 4u);
    EXPECT_EQ(rig.slots[0][0].answered_at, start + 1 * kMs);
    EXPECT_EQ(rig.slots[1][0].answered_at, start + 2 * kMs);
    EXPECT_EQ(rig.slots[0][1].answered_at, start + 3 * kMs);
    EXPECT_EQ(rig.slots[1][1].answered_at, start + 4 * kMs);
    EXPECT_EQ(rig.clock, start + 4 * kMs);  // nothing waited for after the last
}

// A wait that fails is blamed on the first bus still waited on.
TEST(MultiBus, AFailedWaitIsBlamedOnABusStillOwingReplies) {
    Rig rig(2);
    rig.buses[0]->reply(feedback(0x11, 1), kMs);
    rig.buses[0]->reply(feedback(0x12, 2), 0);
    rig.buses[1]->reply(feedback(0x11, 3), 5 * kMs);
    // The first bus waits for all: its second wait, when only bus 1 owes replies, fails.
    rig.buses[0]->wait_results = {std::nullopt, TransportError::os(EBADF)};
    auto r = rig.run();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().share, 1u);
    EXPECT_EQ(rig.tag(0, 1), 2);
}

// A reply left from the last tick on one bus is drained, not taken: the
// motor's fresh reply is the one that counts.
TEST(MultiBus, AStaleReplyOnOneBusIsNotTaken) {
    Rig rig(2);
    rig.buses[1]->reply(feedback(0x12, 99), 0);
    rig.buses[0]->reply(feedback(0x11, 1), kMs);
    rig.buses[0]->reply(feedback(0x12, 2), 0);
    rig.buses[1]->reply(feedback(0x11, 3), kMs);
    rig.buses[1]->reply(feedback(0x12, 4), kMs);
    auto r = rig.run();
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 4u);
    EXPECT_EQ(rig.tag(1, 1), 4);
}

TEST(MultiBus, StaleRepliesAreDrainedOnEveryBus) {
    Rig rig(2);
    rig.buses[0]->reply(feedback(0x11, 99), 0);
    rig.buses[0]->reply(feedback(0x11, 7), kMs);
    rig.buses[0]->reply(feedback(0x12, 8), 0);
    rig.buses[1]->reply(feedback(0x11, 99), 0);
    rig.buses[1]->reply(feedback(0x12, 99), 0);
    rig.buses[1]->reply(feedback(0x11, 1), kMs);
    auto r = rig.run();
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 3u);
    EXPECT_EQ(rig.tag(0, 0), 7);
    EXPECT_EQ(rig.tag(1, 0), 1);
    EXPECT_EQ(rig.tag(1, 1), -1);
}

TEST(MultiBus, TheSameBusTwiceIsRefused) {
    Rig rig(1);
    MotorGroup other = *MotorGroup::make(kArm, ms(20));
    std::vector<Slot> slots(2);
    auto made = MultiBusExchange::make({{rig.buses[0].get(), &rig.groups[0], rig.slots[0]},
                                        {rig.buses[0].get(), &other, slots}},
                                       {ms(20)});
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().to_string(), "groups 0 and 1 are on the same bus: one could take the other's replies");
}

TEST(MultiBus, AFailingBusIsNamedByItsShare) {
    struct Case {
        const char* name;
        bool fail_send;
    };
    for (const Case c : {Case{"send", true}, Case{"receive", false}}) {
        SCOPED_TRACE(c.name);
        Rig rig(3);
        for (std::size_t b = 0; b < 2; ++b) {
            rig.buses[b]->reply(feedback(0x11, 1), kMs);
            rig.buses[b]->reply(feedback(0x12, 2), 0);
        }
        if (c.fail_send)
            rig.buses[2]->send_results.push_back(TransportError::os(ENODEV));
        else {
            rig.buses[2]->reply(feedback(0x11, 1), kMs);
            rig.buses[2]->fail(TransportError::os(ENODEV), kMs);
        }
        auto r = rig.run();
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().share, 2u);
        EXPECT_EQ(r.error().error.to_string(), "transport error: backend error: No such device (os error 19)");
    }
}

TEST(MultiBus, AFullTransmitQueueIsWaitedOn) {
    // 20 motors on one bus: more than a batch, more than a queue of 10.
    std::vector<Damiao> motors;
    for (std::uint16_t i = 0; i < 20; ++i) motors.push_back({.motor_id = std::uint16_t(i + 1), .master_id = std::uint16_t(0x40 + i)});
    const MotorGroup g = *MotorGroup::make(motors, ms(20));
    std::vector<Slot> slots;
    for (const Damiao& m : motors) slots.push_back({m.make_command(kCmdDisable), {}});

    ScriptedBus bus;
    bus.room = {10, 0, 3, 0, 0, 7};
    bus.room_takes = kMs / 10;
    auto r = g.exchange(bus, slots);
    ASSERT_TRUE(r) << r.error().to_string();
    ASSERT_EQ(bus.sent.size(), 20u);
    for (std::size_t i = 0; i < 20; ++i) EXPECT_EQ(bus.sent[i].id, CanId::standard(std::uint16_t(i + 1)));
    EXPECT_EQ(bus.room_waits, 5u);

    ScriptedBus stuck;
    stuck.room = {10};
    for (int i = 0; i < 1000; ++i) stuck.room.push_back(0);
    stuck.room_takes = kMs;
    const can::MonoNanos start = stuck.clock;
    r = g.exchange(stuck, slots);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "transport error: backend error: No buffer space available (os error 105)");
    EXPECT_EQ(stuck.sent.size(), 10u);
    EXPECT_EQ(stuck.clock, start + 20 * kMs);  // given up at the tick's deadline
}

}  // namespace
}  // namespace torvane::damiao
