// dmsim playing a bad bus and a wrongly set-up motor, without a socket: the
// error frames' bytes and times, bus-off stretches, FD requests answered
// classic or not at all, motors sharing a command id, registers set at start,
// and a fault held from start.

#include <gtest/gtest.h>

#include <linux/can/error.h>

#include <bit>
#include <vector>

#include "sim/bus_errors.hpp"
#include "sim/simulator.hpp"
#include "sim/tests/bench.hpp"
#include "transport/error_frame.hpp"

namespace torvane::sim {
namespace {

using namespace sim_test;
using Bytes = std::vector<std::uint8_t>;

Options options(std::vector<std::string_view> args) {
    auto o = parse_options(args);
    EXPECT_TRUE(o) << o.error();
    return o.value_or(Options{});
}

Received request(std::uint16_t id, const Frame8& d, bool fd = false) {
    return {CanFrame(CanId::standard(id), d, fd, fd), false};
}

Received read_request(std::uint16_t cmd, std::uint8_t reg) {
    return request(damiao::kRegisterId, damiao::register_request(cmd, damiao::kRegRead, reg, 0));
}

Bytes bytes(const CanFrame& f) { return {f.data().begin(), f.data().end()}; }

std::uint32_t value_of(const CanFrame& reply) {
    const auto d = reply.data();
    return d[4] | (std::uint32_t{d[5]} << 8) | (std::uint32_t{d[6]} << 16) | (std::uint32_t{d[7]} << 24);
}

// ------------------------------------------------------------ error frames

struct ErrorCase {
    const char* kind;
    std::uint32_t classes;
    Bytes data;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.kind; }

class ErrorFrames : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorFrames, AreLaidOutAsADriverDeliversThem) {
    const auto& c = GetParam();
    const auto f = bus_error_frame(c.kind);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->id, CanId::error(c.classes));
    EXPECT_FALSE(f->fd);
    EXPECT_EQ(bytes(*f), c.data);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, ErrorFrames,
    ::testing::Values(ErrorCase{"tx-timeout", CAN_ERR_TX_TIMEOUT, Bytes(8)},
                      ErrorCase{"lost-arbitration", CAN_ERR_LOSTARB, Bytes(8)},
                      ErrorCase{"controller", CAN_ERR_CRTL,
                                {0, CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING, 0, 0, 0, 0, 0, 0}},
                      ErrorCase{"protocol", CAN_ERR_PROT, {0, 0, CAN_ERR_PROT_STUFF, 0, 0, 0, 0, 0}},
                      ErrorCase{"transceiver", CAN_ERR_TRX, {0, 0, 0, 0, CAN_ERR_TRX_CANH_NO_WIRE, 0, 0, 0}},
                      ErrorCase{"no-ack", CAN_ERR_ACK, Bytes(8)}, ErrorCase{"bus-off", CAN_ERR_BUSOFF, Bytes(8)},
                      ErrorCase{"bus-error", CAN_ERR_BUSERROR, Bytes(8)},
                      ErrorCase{"restarted", CAN_ERR_RESTARTED, Bytes(8)},
                      ErrorCase{"error-warning", CAN_ERR_CRTL,
                                {0, CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING, 0, 0, 0, 0, 0, 0}},
                      ErrorCase{"error-passive", CAN_ERR_CRTL,
                                {0, CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE, 0, 0, 0, 0, 0, 0}}),
    [](const auto& info) {
        std::string name = info.param.kind;
        std::erase(name, '-');
        return name;
    });

TEST(ErrorFrames, EveryClassOfTheCoreIsAKindAndTheCoreReadsTheStatesBack) {
    for (const char* name : can::kErrorClasses) EXPECT_TRUE(bus_error_frame(name)) << name;
    EXPECT_EQ(bus_error_kinds().size(), can::kErrorClasses.size() + 2);
    EXPECT_FALSE(bus_error_frame("Bus-Off"));
    const std::vector<std::pair<const char*, can::BusState>> states{{"error-warning", can::BusState::ErrorWarning},
                                                                    {"error-passive", can::BusState::ErrorPassive},
                                                                    {"bus-off", can::BusState::BusOff},
                                                                    {"restarted", can::BusState::ErrorActive}};
    for (const auto& [kind, state] : states) EXPECT_EQ(can::read_error(*bus_error_frame(kind)).state, state) << kind;
}

TEST(ErrorFrames, GoOutAtTheirTimesOnTheirInterfaceAndWakeTheLoop) {
    Simulator sim(options({"--motor", "1:0x11:dm4310", "--motor", "vcan1:1:0x11:dm4310", "--bus-error",
                           "no-ack@1.5", "--bus-error", "vcan1:protocol@0.25", "--bus-error", "no-ack@0.5"}),
                  {}, ms(100));
    EXPECT_EQ(sim.next_due(), ms(350));
    EXPECT_TRUE(sim.take_errors(1, ms(350) - 1).empty());
    auto out = sim.take_errors(1, ms(350));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, "protocol");
    EXPECT_EQ(out[0].frame.id, CanId::error(CAN_ERR_PROT));
    EXPECT_EQ(sim.next_due(), ms(600));
    out = sim.take_errors(0, ms(5000));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].at, ms(600));
    EXPECT_EQ(out[1].at, ms(1600));
    EXPECT_FALSE(sim.next_due());
    EXPECT_TRUE(sim.take_errors(0, ms(9000)).empty());
}

// ----------------------------------------------------------------- bus-off

TEST(BusOff, DropsEveryRequestOfTheStretchBetweenItsTwoErrorFrames) {
    Simulator sim(options({"--motor", "1:0x11:dm4310", "--motor", "vcan1:1:0x11:dm4310", "--bus-off", "0.5+0.5",
                           "--latency-us", "1000"}),
                  {}, 0);
    // Asked just before the stretch, its reply would go out in it: never sent.
    EXPECT_FALSE(sim.hear(0, request(1, damiao::kCmdEnable), ms(499.5)).bus_off);
    EXPECT_EQ(sim.next_due(), ms(500));
    const auto off = sim.take_errors(0, ms(500));
    ASSERT_EQ(off.size(), 1u);
    EXPECT_EQ(off[0].kind, "bus-off");
    EXPECT_EQ(off[0].frame.id, CanId::error(CAN_ERR_BUSOFF));
    EXPECT_TRUE(sim.take_due(0, ms(501)).empty());

    for (double t : {500.0, 700.0, 999.999}) {
        const auto h = sim.hear(0, request(1, damiao::kCmdEnable), ms(t));
        EXPECT_TRUE(h.bus_off) << t;
        EXPECT_STREQ(h.why, "bus-off: request dropped");
    }
    EXPECT_EQ(sim.dropped_while_off(0), 3u);
    // The other interface is a bus of its own.
    EXPECT_FALSE(sim.hear(1, request(1, damiao::kCmdEnable), ms(700)).bus_off);
    EXPECT_EQ(sim.take_due(1, ms(702)).size(), 1u);
    EXPECT_TRUE(sim.take_due(0, ms(999)).empty());

    const auto back = sim.take_errors(0, ms(1000));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].kind, "restarted");
    EXPECT_EQ(back[0].frame.id, CanId::error(CAN_ERR_RESTARTED));
    EXPECT_FALSE(sim.hear(0, request(1, damiao::kCmdEnable), ms(1000)).bus_off);
    EXPECT_EQ(sim.take_due(0, ms(1001)).size(), 1u);
    EXPECT_EQ(sim.dropped_while_off(0), 3u);
    EXPECT_FALSE(sim.next_due());
}

// -------------------------------------------------------------- FD replies

TEST(FdReplies, FollowTheOptionForFdRequestsOnly) {
    struct Case {
        const char* mode;
        bool fd_request;
        std::size_t replies;
        bool fd_reply;
    };
    for (const Case& c : {Case{"fd", true, 1, true}, Case{"classic", true, 1, false}, Case{"none", true, 0, false},
                          Case{"fd", false, 1, false}, Case{"classic", false, 1, false},
                          Case{"none", false, 1, false}}) {
        SCOPED_TRACE(std::string(c.mode) + (c.fd_request ? " fd" : " classic"));
        Simulator sim(options({"--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm4310", "--fd-replies", c.mode}), {},
                      0);
        const auto h = sim.hear(0, request(1, damiao::kCmdEnable, c.fd_request), ms(1));
        sim.hear(0, read_request(2, damiao::kRegTimeout), ms(1));
        const auto out = sim.take_due(0, ms(2));
        ASSERT_EQ(out.size(), c.replies + 1);  // the classic read is answered whatever the mode
        EXPECT_FALSE(out.back().fd);
        if (c.replies == 0) {
            EXPECT_STREQ(h.why, "CAN FD request: --fd-replies none");
            continue;
        }
        EXPECT_EQ(out[0].fd, c.fd_reply);
        EXPECT_EQ(out[0].brs, c.fd_reply);
        EXPECT_EQ(out[0].size(), 8u);
        EXPECT_EQ(sim.motors()[0].enabled(), true);
        // The same bytes as an FD reply would carry.
        Simulator fd(options({"--motor", "1:0x11:dm4310"}), {}, 0);
        fd.hear(0, request(1, damiao::kCmdEnable, true), ms(1));
        EXPECT_EQ(bytes(out[0]), bytes(fd.take_due(0, ms(2)).at(0)));
    }
}

// --------------------------------------------------------------- shared id

TEST(SharedId, BothMotorsAnswerEachWithItsOwnSerial) {
    Simulator sim(options({"--shared-id", "--motor", "1:0x11:dm4310", "--motor", "1:0x11:dm4340", "--motor",
                           "vcan1:1:0x11:dm4310", "--motor", "2:0x12:dm4310", "--fault", "vcan0:1:overload@1"}),
                  {}, 0);
    sim.hear(0, read_request(1, 15), ms(1));
    const auto out = sim.take_due(0, ms(2));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].id, CanId::standard(0x11));
    EXPECT_EQ(out[1].id, CanId::standard(0x11));
    EXPECT_EQ(value_of(out[0]), 0x5101u);
    EXPECT_EQ(value_of(out[1]), 0x15101u);
    std::vector<std::uint32_t> serials;
    for (const auto& m : sim.motors()) serials.push_back(m.read_register(15)->bits);
    EXPECT_EQ(serials, (std::vector<std::uint32_t>{0x5101, 0x15101, 0x25101, 0x5102}));

    sim.hear(0, request(1, damiao::kCmdEnable), ms(3));
    EXPECT_EQ(sim.take_due(0, ms(4)).size(), 2u);
    EXPECT_TRUE(sim.motors()[0].enabled() && sim.motors()[1].enabled());
    EXPECT_FALSE(sim.motors()[2].enabled());
    // A fault by that id hits both motors of that interface.
    sim.advance(ms(1000));
    EXPECT_EQ(sim.motors()[0].fault(), Fault::Overload);
    EXPECT_EQ(sim.motors()[1].fault(), Fault::Overload);
    EXPECT_EQ(sim.motors()[2].fault(), Fault::None);
}

// --------------------------------------------------------------- registers

TEST(Registers, SetAtStartWinOverTheSavedAndTheDefaultAndStayUnsaved) {
    const auto opts = options({"--motor", "1:0x11:dm4310", "--motor", "vcan1:1:0x11:dm4310", "--motor",
                               "2:0x12:dm4310", "--register", "vcan0:1:TIMEOUT=1000", "--register", "2:can_br=2",
                               "--register", "2:PMAX=6.25", "--register", "vcan1:1:ctrl_mode=1"});
    SavedMotors saved{{"0x001:0x011:dm4310", {{damiao::kRegTimeout, 7}, {35, 3}}}};
    Simulator sim(opts, saved, 0);
    const auto reg = [&](std::size_t motor, std::uint8_t n) { return sim.motors()[motor].read_register(n)->bits; };
    EXPECT_EQ(reg(0, damiao::kRegTimeout), 1000u);
    EXPECT_EQ(reg(0, 35), 3u);  // saved, not set
    EXPECT_EQ(reg(1, damiao::kRegTimeout), 0u);
    EXPECT_EQ(reg(1, 35), 4u);
    EXPECT_EQ(reg(1, damiao::kRegControlMode), damiao::kModeMit);
    EXPECT_EQ(reg(2, 35), 2u);
    EXPECT_EQ(reg(2, damiao::kRegPMax), std::bit_cast<std::uint32_t>(6.25f));
    EXPECT_EQ(sim.motors()[2].scaling().p_max, 6.25f);
    EXPECT_EQ(reg(0, damiao::kRegControlMode), damiao::kModePosVel);
    EXPECT_TRUE(sim.motors()[0].flash().at(damiao::kRegTimeout) == 7u);
    // Read back over the bus as a host would.
    sim.hear(0, read_request(1, damiao::kRegTimeout), ms(1));
    const auto out = sim.take_due(0, ms(2));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(value_of(out[0]), 1000u);
}

// ------------------------------------------------------ a fault from start

TEST(FaultAtZero, IsInTheFirstReplyAndHoldsUntilCleared) {
    Simulator sim(options({"--motor", "1:0x11:dm4310", "--fault", "1:overcurrent@0"}), {}, ms(5));
    const auto status = [&](const Frame8& cmd, MonoNanos t) {
        sim.hear(0, request(1, cmd), t);
        const auto out = sim.take_due(0, t);
        EXPECT_EQ(out.size(), 1u);
        return out.empty() ? 0 : out[0].data()[0] >> 4;
    };
    EXPECT_EQ(status(damiao::kCmdEnable, ms(5)), 0xA);
    EXPECT_FALSE(sim.motors()[0].enabled());
    EXPECT_EQ(status(damiao::kCmdEnable, ms(10'000)), 0xA);
    EXPECT_EQ(status(damiao::kCmdClearError, ms(10'001)), 0);
    EXPECT_EQ(status(damiao::kCmdEnable, ms(10'002)), 1);
}

}  // namespace
}  // namespace torvane::sim
