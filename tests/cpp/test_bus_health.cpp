// Bus health: error frames read and counted, never taken as a reply by any
// exchange; bus-off ending a tick with its interface named; stale and
// unsolicited frames and waits for room counted per interface; reset.

#include <gtest/gtest.h>
#include <linux/can/error.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "damiao/group.hpp"
#include "damiao/multi_bus.hpp"
#include "damiao/scan.hpp"
#include "scripted_bus.hpp"
#include "transport/bus_health.hpp"

namespace torvane::damiao {
namespace {

using can::BusState;
using can::CanFrame;
using can::CanId;
using test::Bytes;
using test::frame;
using test::kMs;
using test::ms;
using test::ScriptedBus;
using Slot = MotorGroup::Slot;

const std::vector<Damiao> kArm{
    {.motor_id = 1, .master_id = 0x11, .limits = {12.5f, 30.0f, 500.0f, 5.0f, 10.0f}, .timeout = ms(20)},
    {.motor_id = 2, .master_id = 0x12, .limits = {12.5f, 10.0f, 500.0f, 5.0f, 28.0f}, .timeout = ms(20)},
};

CanFrame feedback(std::uint16_t fb, std::uint8_t tag = 0) {
    return frame(CanId::standard(fb), {std::uint8_t(fb & 0x0F), 0x80, 0x00, 0x80, 0x07, 0xFF, 40, tag});
}

CanFrame error_frame(std::uint32_t classes, Bytes data = Bytes(8, 0)) {
    return CanFrame(CanId::error(classes), data);
}

// Classes 0x11 (tx-timeout, transceiver) are motor 1's feedback identifier,
// and the bytes are shaped like its state: only its kind keeps it from
// being taken for that motor's reply.
CanFrame lookalike() { return error_frame(0x11, {0x11, 0x80, 0x00, 0x80, 0x07, 0xFF, 40, 99}); }

std::uint64_t errors_of(const can::HealthCounts& c, const char* name) {
    for (std::size_t k = 0; k < can::kErrorClasses.size(); ++k)
        if (std::string(can::kErrorClasses[k]) == name) return c.error_frames[k];
    ADD_FAILURE() << "no class " << name;
    return 0;
}

struct Rig {
    can::MonoNanos clock = 1'000 * kMs;
    std::vector<std::unique_ptr<ScriptedBus>> buses;
    std::vector<std::shared_ptr<can::BusHealth>> health;
    std::vector<MotorGroup> groups;
    std::vector<std::vector<Slot>> slots;

    explicit Rig(std::size_t n) {
        for (std::size_t b = 0; b < n; ++b) {
            buses.push_back(std::make_unique<ScriptedBus>(clock));
            health.push_back(std::make_shared<can::BusHealth>("test" + std::to_string(b)));
            buses.back()->set_health(health.back());
            groups.push_back(*MotorGroup::make(kArm, ms(20)));
        }
        for (const MotorGroup& g : groups) {
            std::vector<Slot> s;
            for (const Damiao& m : g.motors()) s.push_back({m.make_command(kCmdEnable), {}});
            slots.push_back(std::move(s));
        }
    }

    ShareResult<std::size_t> run() {
        std::vector<Share> shares;
        for (std::size_t b = 0; b < buses.size(); ++b) shares.push_back({buses[b].get(), &groups[b], slots[b]});
        auto made = MultiBusExchange::make(std::move(shares), {ms(20)});
        EXPECT_TRUE(made);
        return made->run();
    }

    int tag(std::size_t bus, std::size_t motor) const {
        const auto& s = slots[bus][motor].state;
        return s ? static_cast<int>(s->t_rotor) : -1;
    }
};

// ---- reading an error frame ---------------------------------------------------------

TEST(ErrorFrame, ClassesStateAndText) {
    struct Case {
        std::uint32_t classes;
        Bytes data;
        std::optional<BusState> state;
        std::string text;
    };
    const Case cases[] = {
        {CAN_ERR_BUSOFF, Bytes(8, 0), BusState::BusOff, "bus-off"},
        {CAN_ERR_CRTL, {0, CAN_ERR_CRTL_RX_OVERFLOW | CAN_ERR_CRTL_TX_PASSIVE, 0, 0, 0, 0, 0, 0},
         BusState::ErrorPassive, "controller rx overflow, tx error-passive"},
        {CAN_ERR_CRTL | CAN_ERR_CNT, {0, CAN_ERR_CRTL_TX_WARNING, 0, 0, 0, 0, 96, 3}, BusState::ErrorWarning,
         "controller tx error-warning; counters tx 96 rx 3"},
        {CAN_ERR_CRTL, {0, CAN_ERR_CRTL_ACTIVE, 0, 0, 0, 0, 0, 0}, BusState::ErrorActive, "controller error-active"},
        {CAN_ERR_CRTL, {0, CAN_ERR_CRTL_TX_OVERFLOW, 0, 0, 0, 0, 0, 0}, std::nullopt, "controller tx overflow"},
        {CAN_ERR_RESTARTED, Bytes(8, 0), BusState::ErrorActive, "restarted"},
        {CAN_ERR_LOSTARB, {5, 0, 0, 0, 0, 0, 0, 0}, std::nullopt, "lost-arbitration at bit 5"},
        {CAN_ERR_PROT | CAN_ERR_BUSERROR, {0, 0, CAN_ERR_PROT_FORM | CAN_ERR_PROT_TX, CAN_ERR_PROT_LOC_ACK_DEL, 0, 0, 0, 0},
         std::nullopt, "protocol form, on transmission at ack delimiter; bus-error"},
        {CAN_ERR_ACK, {}, std::nullopt, "no-ack"},
        {CAN_ERR_TRX, {0, 0, 0, 0, CAN_ERR_TRX_CANH_NO_WIRE | CAN_ERR_TRX_CANL_SHORT_TO_CANH, 0, 0, 0},
         std::nullopt, "transceiver canh no wire, canl short to canh"},
        {CAN_ERR_TX_TIMEOUT | CAN_ERR_BUSOFF, {}, BusState::BusOff, "tx-timeout; bus-off"},
        {0x400, {}, std::nullopt, "class 0x400"},
        {0, {}, std::nullopt, "no class"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const can::ErrorReading r = can::read_error(c.classes, c.data);
        EXPECT_EQ(r.classes, c.classes);
        EXPECT_EQ(r.state, c.state);
        EXPECT_EQ(can::error_text(c.classes, c.data), c.text);
    }
}

TEST(ErrorFrame, ClassNamesFollowTheBits) {
    const std::uint32_t bits[] = {CAN_ERR_TX_TIMEOUT, CAN_ERR_LOSTARB, CAN_ERR_CRTL, CAN_ERR_PROT,    CAN_ERR_TRX,
                                  CAN_ERR_ACK,        CAN_ERR_BUSOFF,  CAN_ERR_BUSERROR, CAN_ERR_RESTARTED};
    ASSERT_EQ(std::size(bits), can::kErrorClasses.size());
    for (std::size_t k = 0; k < can::kErrorClasses.size(); ++k) {
        EXPECT_EQ(bits[k], 1U << k);
        // A class's text starts with its name, whatever its bytes add.
        EXPECT_EQ(can::error_text(bits[k], Bytes(8, 0)).rfind(can::kErrorClasses[k], 0), 0u) << k;
    }
}

TEST(BusHealth, CountsClassesKeepsTheLastStateAndResetsOnlyCounters) {
    can::BusHealth h("can9");
    h.note_error(error_frame(CAN_ERR_CRTL, {0, CAN_ERR_CRTL_RX_PASSIVE, 0, 0, 0, 0, 0, 0}));
    h.note_error(error_frame(CAN_ERR_CRTL, {0, CAN_ERR_CRTL_RX_OVERFLOW, 0, 0, 0, 0, 0, 0}));  // no state
    h.note_error(error_frame(CAN_ERR_ACK | CAN_ERR_PROT));
    h.add_out(7), h.add_in(5), h.add_stale(2), h.add_unsolicited(3), h.add_tx_waits(1);
    can::HealthCounts c = h.read();
    EXPECT_EQ(c.state, BusState::ErrorPassive);
    EXPECT_EQ(errors_of(c, "controller"), 2u);
    EXPECT_EQ(errors_of(c, "no-ack"), 1u);
    EXPECT_EQ(errors_of(c, "protocol"), 1u);
    EXPECT_EQ(errors_of(c, "bus-off"), 0u);
    EXPECT_EQ((std::vector<std::uint64_t>{c.frames_out, c.frames_in, c.stale, c.unsolicited, c.tx_waits}),
              (std::vector<std::uint64_t>{7, 5, 2, 3, 1}));

    h.reset();
    c = h.read();
    EXPECT_EQ((std::vector<std::uint64_t>{c.frames_out, c.frames_in, c.stale, c.unsolicited, c.tx_waits}),
              (std::vector<std::uint64_t>(5, 0)));
    for (std::uint64_t n : c.error_frames) EXPECT_EQ(n, 0u);
    EXPECT_EQ(c.state, BusState::ErrorPassive);
    h.note_error(error_frame(CAN_ERR_RESTARTED));
    EXPECT_EQ(h.read().state, BusState::ErrorActive);
}

TEST(BusHealth, OneRecordPerInterfaceName) {
    const auto a = can::bus_health("tvhealth0");
    EXPECT_EQ(a, can::bus_health("tvhealth0"));
    EXPECT_NE(a, can::bus_health("tvhealth1"));
    EXPECT_EQ(a->iface(), "tvhealth0");
}

// ---- never a reply ---------------------------------------------------------------------

TEST(BusHealthExchange, AnErrorFrameIsNeverAReply) {
    for (bool reply_follows : {false, true}) {
        SCOPED_TRACE(reply_follows);
        Rig rig(1);
        rig.buses[0]->reply(lookalike(), kMs);
        rig.buses[0]->reply(feedback(0x12, 12));
        if (reply_follows) rig.buses[0]->reply(feedback(0x11, 11), kMs);
        auto r = rig.run();
        ASSERT_TRUE(r) << r.error().error.to_string();
        EXPECT_EQ(*r, reply_follows ? 2u : 1u);
        EXPECT_EQ(rig.tag(0, 0), reply_follows ? 11 : -1);
        EXPECT_EQ(rig.tag(0, 1), 12);
        const can::HealthCounts c = rig.health[0]->read();
        EXPECT_EQ(errors_of(c, "tx-timeout"), 1u);
        EXPECT_EQ(errors_of(c, "transceiver"), 1u);
        EXPECT_EQ(c.unsolicited, 0u);
    }
}

// The single-motor paths: by identifier (Damiao::run), by identifier and
// state (run_for_state), by bytes alone (read_register, scan's probe).
TEST(BusHealthExchange, SingleCallsSkipErrorFramesWhateverTheirBytes) {
    const Damiao& m = kArm[0];
    {
        ScriptedBus bus;
        bus.reply(lookalike());
        bus.reply(feedback(0x11, 7));
        auto s = m.enable(bus);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->t_rotor, 7);
    }
    {
        ScriptedBus bus;
        bus.reply(lookalike());
        bus.reply(feedback(0x11, 8));
        auto s = m.run_for_state(bus, m.make_refresh());
        ASSERT_TRUE(s);
        EXPECT_EQ(s->t_rotor, 8);
    }
    // The register answer's bytes, for register 21 of motor 1.
    const Bytes answer{0x01, 0x00, 0x33, 21, 0x00, 0x00, 0x40, 0x40};
    {
        ScriptedBus bus;
        bus.set_health(std::make_shared<can::BusHealth>("t"));
        bus.reply(error_frame(CAN_ERR_PROT, answer));
        auto v = m.read_register(bus, 21);
        ASSERT_FALSE(v);
        EXPECT_EQ(v.error().get<can::TransportError>()->kind, can::TransportError::Kind::Timeout);
        EXPECT_EQ(errors_of(bus.health()->read(), "protocol"), 1u);
    }
    {
        ScriptedBus bus;
        bus.set_health(std::make_shared<can::BusHealth>("t"));
        bus.reply(error_frame(CAN_ERR_PROT, {0x01, 0x00, 0x33, 7, 0x11, 0, 0, 0}));
        auto found = scan(bus, std::vector<std::uint16_t>{1}, ms(5));
        ASSERT_TRUE(found);
        EXPECT_TRUE(found->empty());
        EXPECT_EQ(errors_of(bus.health()->read(), "protocol"), 1u);
    }
}

TEST(BusHealth, ADrainNotesTheErrorFramesItDrops) {
    ScriptedBus bus;
    bus.set_health(std::make_shared<can::BusHealth>("t"));
    bus.reply(error_frame(CAN_ERR_ACK));
    bus.reply(feedback(0x11));
    bus.reply(error_frame(CAN_ERR_ACK | CAN_ERR_BUSOFF));
    CanFrame scratch[can::kBatchMax];
    EXPECT_EQ(*bus.drain(scratch), 3u);
    const can::HealthCounts c = bus.health()->read();
    EXPECT_EQ(errors_of(c, "no-ack"), 2u);
    EXPECT_EQ(c.state, BusState::BusOff);
}

// ---- bus-off -------------------------------------------------------------------------

TEST(BusHealthExchange, BusOffEndsTheTickNamingItsBus) {
    Rig rig(2);
    rig.buses[0]->reply(feedback(0x11, 1), kMs);
    rig.buses[0]->reply(feedback(0x12, 2));
    rig.buses[1]->reply(error_frame(CAN_ERR_BUSOFF), 2 * kMs);
    const can::MonoNanos start = rig.clock;
    auto r = rig.run();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().share, 1u);
    ASSERT_TRUE(r.error().error.get<Error::BusOff>());
    EXPECT_EQ(r.error().error.to_string(), "test1: bus-off");
    EXPECT_LT(rig.clock, start + 20 * kMs);  // not the deadline: at once
    EXPECT_EQ(rig.health[1]->read().state, BusState::BusOff);
    EXPECT_EQ(rig.health[0]->read().state, BusState::ErrorActive);
}

// A batch read at once (after a learned sleep, say) that holds every reply
// and then error frames: those are read with it, never lost with the rest
// of the batch.
TEST(BusHealthExchange, ErrorFramesBatchedAfterTheLastReplyAreRead) {
    const std::uint32_t classes[] = {CAN_ERR_ACK, CAN_ERR_BUSOFF};
    for (std::uint32_t cls : classes) {
        SCOPED_TRACE(cls);
        Rig rig(1);
        rig.buses[0]->reply(feedback(0x11, 1), kMs);
        rig.buses[0]->reply(feedback(0x12, 2));
        rig.buses[0]->reply(error_frame(cls));
        auto r = rig.run();
        EXPECT_EQ(r.has_value(), cls != CAN_ERR_BUSOFF);
        EXPECT_TRUE(rig.buses[0]->script.empty());
        const can::HealthCounts c = rig.health[0]->read();
        EXPECT_EQ(errors_of(c, cls == CAN_ERR_ACK ? "no-ack" : "bus-off"), 1u);
    }
}

TEST(BusHealthExchange, BusOffFoundBeforeTheTickSendsNothing) {
    Rig rig(2);
    rig.buses[0]->reply(error_frame(CAN_ERR_BUSOFF));
    auto r = rig.run();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().share, 0u);
    EXPECT_EQ(r.error().error.to_string(), "test0: bus-off");
    EXPECT_TRUE(rig.buses[0]->sent.empty());
    EXPECT_TRUE(rig.buses[1]->sent.empty());
}

TEST(BusHealthExchange, OtherStatesAreCountedNotRaised) {
    const std::uint8_t states[] = {CAN_ERR_CRTL_TX_WARNING, CAN_ERR_CRTL_RX_PASSIVE, CAN_ERR_CRTL_ACTIVE};
    const BusState expected[] = {BusState::ErrorWarning, BusState::ErrorPassive, BusState::ErrorActive};
    for (std::size_t i = 0; i < std::size(states); ++i) {
        SCOPED_TRACE(i);
        Rig rig(1);
        rig.buses[0]->reply(error_frame(CAN_ERR_CRTL, {0, states[i], 0, 0, 0, 0, 0, 0}), kMs);
        rig.buses[0]->reply(feedback(0x11, 1));
        rig.buses[0]->reply(feedback(0x12, 2));
        auto r = rig.run();
        ASSERT_TRUE(r);
        EXPECT_EQ(*r, 2u);
        EXPECT_EQ(rig.health[0]->read().state, expected[i]);
        EXPECT_EQ(errors_of(rig.health[0]->read(), "controller"), 1u);
    }
}

TEST(BusHealthExchange, AGroupExchangeRaisesBusOffToo) {
    ScriptedBus bus;
    bus.set_health(std::make_shared<can::BusHealth>("can3"));
    bus.reply(error_frame(CAN_ERR_BUSOFF | CAN_ERR_CRTL), kMs);
    const MotorGroup g = *MotorGroup::make(kArm, ms(20));
    std::vector<Slot> slots{{kArm[0].make_command(kCmdEnable), {}}, {kArm[1].make_command(kCmdEnable), {}}};
    auto r = g.exchange(bus, slots);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "can3: bus-off");
}

// ---- counters --------------------------------------------------------------------------

TEST(BusHealthExchange, StaleRepliesAreTheGroupsStatesFoundBeforeTheTick) {
    Rig rig(1);
    // Left over: motor 1's late state, a register answer on its id, another id, motor 2's state.
    rig.buses[0]->reply(feedback(0x11, 50));
    rig.buses[0]->reply(frame(CanId::standard(0x11), {0x01, 0x00, 0x33, 7, 0x11, 0, 0, 0}));
    rig.buses[0]->reply(feedback(0x44));
    rig.buses[0]->reply(feedback(0x12, 51));
    rig.buses[0]->reply(feedback(0x11, 1), kMs);
    rig.buses[0]->reply(feedback(0x12, 2));
    auto r = rig.run();
    ASSERT_TRUE(r);
    EXPECT_EQ(rig.tag(0, 0), 1);  // this tick's, not the stale one
    EXPECT_EQ(rig.tag(0, 1), 2);
    const can::HealthCounts c = rig.health[0]->read();
    EXPECT_EQ(c.stale, 2u);
    EXPECT_EQ(c.unsolicited, 2u);
}

TEST(BusHealthExchange, UnsolicitedFramesWhileReading) {
    Rig rig(1);
    rig.buses[0]->reply(feedback(0x11, 1), kMs);
    rig.buses[0]->reply(feedback(0x11, 9));                                                   // a second reply
    rig.buses[0]->reply(frame(CanId::standard(0x12), {0x02, 0x00, 0x33, 7, 0x12, 0, 0, 0}));  // a register answer
    rig.buses[0]->reply(frame(CanId::extended(0x12), {0x02, 0x80, 0, 0x80, 0x07, 0xFF, 40, 0}));
    rig.buses[0]->reply(frame(CanId::standard(0x12), {0x02, 0x80}));  // too short to be a state
    rig.buses[0]->reply(feedback(0x12, 2));
    auto r = rig.run();
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 2u);
    EXPECT_EQ(rig.tag(0, 0), 1);
    const can::HealthCounts c = rig.health[0]->read();
    EXPECT_EQ(c.unsolicited, 4u);
    EXPECT_EQ(c.stale, 0u);
}

TEST(BusHealthExchange, WaitsForRoomAreCountedOnTheirBus) {
    Rig rig(2);
    rig.buses[1]->room = {1, 0, 0, 1};  // room for one frame, two waits, then the other
    for (auto& bus : rig.buses) {
        bus->reply(feedback(0x11, 1), kMs);
        bus->reply(feedback(0x12, 2));
    }
    auto r = rig.run();
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 4u);
    EXPECT_EQ(rig.health[0]->read().tx_waits, 0u);
    EXPECT_EQ(rig.health[1]->read().tx_waits, 3u);
}

TEST(BusHealthExchange, CountsAddUpOverTicksAndEvenAFailedOne) {
    Rig rig(1);
    for (int tick = 0; tick < 3; ++tick) {
        rig.buses[0]->reply(feedback(0x44), kMs);
        rig.buses[0]->reply(feedback(0x11, 1));
        rig.buses[0]->reply(feedback(0x12, 2));
        ASSERT_TRUE(rig.run());
    }
    EXPECT_EQ(rig.health[0]->read().unsolicited, 3u);
    rig.buses[0]->reply(feedback(0x44), kMs);
    rig.buses[0]->fail(can::TransportError::os(ENETDOWN));
    ASSERT_FALSE(rig.run());
    EXPECT_EQ(rig.health[0]->read().unsolicited, 4u);
    rig.health[0]->reset();
    EXPECT_EQ(rig.health[0]->read().unsolicited, 0u);
}

}  // namespace
}  // namespace torvane::damiao
