// What dmsim does with the frames it hears, without a socket: remote frames,
// reply timing with and without the wire model, dropped replies and saves.

#include <gtest/gtest.h>

#include <linux/can.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "sim/simulator.hpp"
#include "sim/tests/bench.hpp"

namespace torvane::sim {
namespace {

using namespace sim_test;

constexpr MonoNanos us(double v) { return static_cast<MonoNanos>(v * 1e3); }

// std::copy rather than memcpy: an empty vector's data() may be null.
std::vector<std::uint8_t> classic_record(canid_t id, std::vector<std::uint8_t> data) {
    can_frame raw{};
    raw.can_id = id;
    raw.len = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), raw.data);
    std::vector<std::uint8_t> out(sizeof raw);
    std::memcpy(out.data(), &raw, sizeof raw);
    return out;
}

std::vector<std::uint8_t> fd_record(canid_t id, std::vector<std::uint8_t> data) {
    canfd_frame raw{};
    raw.can_id = id;
    raw.len = static_cast<std::uint8_t>(data.size());
    raw.flags = CANFD_FDF | CANFD_BRS;
    std::copy(data.begin(), data.end(), raw.data);
    std::vector<std::uint8_t> out(sizeof raw);
    std::memcpy(out.data(), &raw, sizeof raw);
    return out;
}

std::vector<std::uint8_t> vec(const Frame8& f) { return {f.begin(), f.end()}; }

Received heard(const std::vector<std::uint8_t>& record) { return parse_received(record).value(); }

Received data_frame(std::uint16_t id, const Frame8& d) { return {CanFrame(CanId::standard(id), d), false}; }

Options options(std::vector<std::string_view> args) {
    auto o = parse_options(args);
    EXPECT_TRUE(o) << o.error();
    return o.value_or(Options{});
}

// --------------------------------------------------------------- remote

TEST(RawRecord, RemoteFlagIsReadOffTheRecord) {
    const auto remote = heard(classic_record(0x001 | CAN_RTR_FLAG, {0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(remote.remote);
    EXPECT_EQ(remote.frame.id, CanId::standard(1));
    EXPECT_EQ(remote.frame.size(), 8u);
    const auto ext = heard(classic_record(0x7FF | CAN_RTR_FLAG | CAN_EFF_FLAG, {}));
    EXPECT_TRUE(ext.remote);
    EXPECT_EQ(ext.frame.id, CanId::extended(0x7FF));
    EXPECT_FALSE(heard(classic_record(0x001, vec(damiao::kCmdEnable))).remote);
    // FD frames have no remote form; the bit is not taken for one.
    const auto fd = heard(fd_record(0x001 | CAN_RTR_FLAG, vec(damiao::kCmdEnable)));
    EXPECT_FALSE(fd.remote);
    EXPECT_TRUE(fd.frame.fd);
    EXPECT_TRUE(fd.frame.brs);
    EXPECT_FALSE(parse_received(std::vector<std::uint8_t>(15)));
}

TEST(Remote, FramesAreIgnoredEverywhere) {
    Simulator sim(options({"--motor", "1:0x11:dm4310", "--mode", "1"}), {}, 0);
    const std::vector<std::vector<std::uint8_t>> remotes{
        classic_record(0x001 | CAN_RTR_FLAG, {}),                                          // enable's id, no data
        classic_record(0x001 | CAN_RTR_FLAG, vec(damiao::kCmdEnable)),                    // with a length of 8
        classic_record(0x7FF | CAN_RTR_FLAG, vec(damiao::register_request(1, 0x33, 10, 0))),  // a register read
        classic_record(0x7FF | CAN_RTR_FLAG, vec(damiao::system_request(1, damiao::kOpRefresh))),
        classic_record(0x7FF | CAN_RTR_FLAG, vec(damiao::system_request(1, damiao::kOpSave, 1))),
        classic_record(0x101 | CAN_RTR_FLAG, vec(damiao::encode(damiao::PosVelCommand{1, 1}))),
    };
    MonoNanos t = 0;
    for (const auto& r : remotes) {
        const auto h = sim.hear(0, heard(r), t += ms(1));
        EXPECT_STREQ(h.why, "remote frame: carries no data for a motor");
        EXPECT_FALSE(h.saved);
    }
    EXPECT_FALSE(sim.next_due());
    EXPECT_TRUE(sim.take_due(0, ms(100)).empty());
    EXPECT_FALSE(sim.motors()[0].enabled());
    EXPECT_TRUE(sim.motors()[0].flash().empty());
    // The same frames as data frames are answered.
    const auto h = sim.hear(0, heard(classic_record(0x001, vec(damiao::kCmdEnable))), ms(200));
    EXPECT_EQ(h.why, nullptr);
    EXPECT_EQ(sim.take_due(0, ms(200)).size(), 1u);
    EXPECT_TRUE(sim.motors()[0].enabled());
}

// --------------------------------------------------------------- timing

TEST(Timing, WithoutTheWireARepliesWaitsOnlyItsLatency) {
    Simulator sim(options({"--motor", "1:0x11:dm4310", "--latency-us", "200"}), {}, 0);
    sim.hear(0, data_frame(1, damiao::kCmdEnable), us(1000));
    EXPECT_EQ(sim.next_due(), us(1200));
    EXPECT_TRUE(sim.take_due(0, us(1199.999)).empty());
    const auto out = sim.take_due(0, us(1200));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].id, CanId::standard(0x11));
    EXPECT_FALSE(sim.next_due());
}

TEST(Timing, ARepliesComesAfterTheRequestItsLatencyAndItsOwnWireTime) {
    Simulator sim(options({"--motor", "1:0x11:dm4310", "--latency-us", "200", "--bitrate", "1000000"}), {}, 0);
    sim.hear(0, data_frame(1, damiao::kCmdEnable), us(1000));
    EXPECT_EQ(sim.next_due(), us(1000 + 135 + 200));  // goes on the wire then
    EXPECT_TRUE(sim.take_due(0, us(1000 + 135 + 200)).empty());
    EXPECT_EQ(sim.next_due(), us(1000 + 135 + 200 + 135));
    EXPECT_TRUE(sim.take_due(0, us(1469.999)).empty());
    EXPECT_EQ(sim.take_due(0, us(1470)).size(), 1u);
}

TEST(Timing, AGroupsRepliesQueueBehindItsCommandsOnOneWire) {
    Simulator sim(options({"--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm4310", "--motor", "3:0x13:dm4310",
                           "--latency-us", "200", "--bitrate", "1000000"}),
                  {}, 0);
    // Sent back to back: on the wire until 135, 270 and 405 us; replies ready
    // 200 us after each, but the bus is busy until 405.
    for (std::uint16_t id : {1, 2, 3}) sim.hear(0, data_frame(id, damiao::kCmdEnable), 0);
    std::vector<std::pair<MonoNanos, std::uint32_t>> sent;
    for (MonoNanos t = 0; t <= us(1000); t += 1000)
        for (const auto& f : sim.take_due(0, t)) sent.emplace_back(t, f.id.value);
    const std::vector<std::pair<MonoNanos, std::uint32_t>> want{{us(540), 0x11}, {us(675), 0x12}, {us(810), 0x13}};
    EXPECT_EQ(sent, want);
}

TEST(Timing, ARepliesReadyFirstGoesFirstWhateverArrivesAfter) {
    const auto opts = options({"--motor", "1:0x11:dm4310", "--latency-us", "200", "--bitrate", "1000000"});
    // The host's enable is carried until 135 us; its reply is ready at 335.
    for (const auto& [other_at, reply_at] : {std::pair{us(300), us(435 + 135)}, std::pair{us(340), us(470)}}) {
        Simulator sim(opts, {}, 0);
        sim.hear(0, data_frame(1, damiao::kCmdEnable), 0);
        sim.hear(0, data_frame(0x55, damiao::kCmdEnable), other_at);  // someone else's frame
        EXPECT_TRUE(sim.take_due(0, reply_at - 1).empty()) << static_cast<double>(other_at);
        EXPECT_EQ(sim.take_due(0, reply_at).size(), 1u) << static_cast<double>(other_at);
    }
}

TEST(Timing, FdRepliesComeBackSwitchedAndTakeTheirDataPhaseAtTheDataRate) {
    Simulator sim(options({"--motor", "1:0x11:dm4310", "--bitrate", "1000000", "--data-bitrate", "5000000"}), {}, 0);
    sim.hear(0, heard(fd_record(0x001, vec(damiao::kCmdEnable))), 0);
    const MonoNanos each = us(33 + 22.8);
    EXPECT_EQ(sim.next_due(), each);
    EXPECT_TRUE(sim.take_due(0, each).empty());
    EXPECT_EQ(sim.next_due(), 2 * each);
    const auto out = sim.take_due(0, 2 * each);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].fd);
    EXPECT_TRUE(out[0].brs);
}

TEST(Drops, AreDecidedPerReplyAndReproducible) {
    const auto run = [](const char* p) {
        Simulator sim(options({"--motor", "1:0x11:dm4310", "--drop-probability", p, "--seed", "7"}), {}, 0);
        std::vector<int> dropped;
        for (int i = 0; i < 32; ++i) dropped.push_back(sim.hear(0, data_frame(1, damiao::kCmdEnable), ms(i)).dropped);
        return std::pair{dropped, sim.take_due(0, ms(100)).size()};
    };
    const auto [some, answered] = run("0.5");
    EXPECT_EQ(std::count(some.begin(), some.end(), 1) + static_cast<long>(answered), 32);
    EXPECT_GT(answered, 4u);
    EXPECT_LT(answered, 28u);
    EXPECT_EQ(run("0.5"), run("0.5"));
    EXPECT_EQ(run("1").second, 0u);
    EXPECT_EQ(run("0").second, 32u);
}

// ------------------------------------------------------------- interfaces

TEST(Interfaces, AMotorHearsAndAnswersOnlyOnItsOwn) {
    Simulator sim(options({"--motor", "1:0x11:dm4310", "--motor", "vcan1:1:0x21:dm4340", "--motor",
                           "vcan1:2:0x22:dm4310"}),
                  {}, 0);
    ASSERT_EQ(sim.interfaces().size(), 2u);
    EXPECT_EQ(sim.interfaces()[0], "vcan0");
    EXPECT_EQ(sim.interfaces()[1], "vcan1");
    EXPECT_EQ(std::vector<std::size_t>(sim.motor_ifaces().begin(), sim.motor_ifaces().end()),
              (std::vector<std::size_t>{0, 1, 1}));

    sim.hear(0, data_frame(1, damiao::kCmdEnable), ms(1));
    EXPECT_TRUE(sim.motors()[0].enabled());
    EXPECT_FALSE(sim.motors()[1].enabled());
    EXPECT_TRUE(sim.take_due(1, ms(2)).empty());
    auto out = sim.take_due(0, ms(2));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].id, CanId::standard(0x11));

    EXPECT_STREQ(sim.hear(0, data_frame(2, damiao::kCmdEnable), ms(3)).why, "not addressed to any simulated motor");
    sim.hear(1, data_frame(2, damiao::kCmdEnable), ms(3));
    sim.hear(1, data_frame(1, damiao::kCmdEnable), ms(3));
    EXPECT_TRUE(sim.take_due(0, ms(4)).empty());
    out = sim.take_due(1, ms(4));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].id, CanId::standard(0x22));
    EXPECT_EQ(out[1].id, CanId::standard(0x21));
    EXPECT_TRUE(sim.motors()[1].enabled() && sim.motors()[2].enabled());
}

// Three enables back to back on vcan0 keep that wire busy; vcan1's reply
// comes as if it were alone.
TEST(Interfaces, EachIsAWireOfItsOwn) {
    const auto opts = options({"--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm4310", "--motor", "3:0x13:dm4310",
                               "--motor", "vcan1:1:0x21:dm4310", "--latency-us", "200", "--bitrate", "1000000"});
    const auto reply_times = [&](bool busy_vcan0) {
        Simulator sim(opts, {}, 0);
        if (busy_vcan0)
            for (std::uint16_t id : {1, 2, 3}) sim.hear(0, data_frame(id, damiao::kCmdEnable), 0);
        sim.hear(1, data_frame(1, damiao::kCmdEnable), 0);
        std::vector<std::pair<std::size_t, MonoNanos>> sent;
        for (MonoNanos t = 0; t <= us(1000); t += 1000)
            for (std::size_t i : {0, 1})
                for (const auto& f : sim.take_due(i, t)) sent.emplace_back(f.id.value, t);
        return sent;
    };
    EXPECT_EQ(reply_times(false), (std::vector<std::pair<std::size_t, MonoNanos>>{{0x21, us(470)}}));
    EXPECT_EQ(reply_times(true), (std::vector<std::pair<std::size_t, MonoNanos>>{
                                     {0x21, us(470)}, {0x11, us(540)}, {0x12, us(675)}, {0x13, us(810)}}));
}

TEST(Interfaces, AFaultHitsTheMotorOnTheNamedOne) {
    Simulator sim(options({"--motor", "1:0x11:dm4310", "--motor", "vcan1:1:0x11:dm4310", "--fault",
                           "vcan1:1:overload@0.5", "--fault", "vcan0:1:undervoltage@0.75"}),
                  {}, ms(100));
    sim.advance(ms(600) - 1);
    EXPECT_EQ(sim.motors()[1].fault(), Fault::None);
    sim.advance(ms(600));
    EXPECT_EQ(sim.motors()[0].fault(), Fault::None);
    EXPECT_EQ(sim.motors()[1].fault(), Fault::Overload);
    sim.advance(ms(850));
    EXPECT_EQ(sim.motors()[0].fault(), Fault::UnderVoltage);
    // The latched code is in the reply to anything, on the motor's own bus.
    sim.hear(1, data_frame(1, damiao::kCmdEnable), ms(900));
    const auto out = sim.take_due(1, ms(900));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].data()[0] >> 4, 0xE);
    EXPECT_FALSE(sim.motors()[1].enabled());
}

// ----------------------------------------------------------------- jitter

// Each reply's delay after its request, with requests far enough apart that
// the queue never holds two.
std::vector<MonoNanos> delays(const std::vector<std::string_view>& extra, int n) {
    std::vector<std::string_view> args{"--motor", "1:0x11:dm4310", "--latency-us", "200"};
    args.insert(args.end(), extra.begin(), extra.end());
    Simulator sim(options(args), {}, 0);
    std::vector<MonoNanos> out;
    for (int i = 0; i < n; ++i) {
        const MonoNanos at = ms(10) * i;
        sim.hear(0, data_frame(1, damiao::kCmdEnable), at);
        const auto due = sim.next_due();
        if (!due) return out;
        EXPECT_TRUE(sim.take_due(0, *due - 1).empty());
        EXPECT_EQ(sim.take_due(0, *due).size(), 1u);
        out.push_back(*due - at);
    }
    return out;
}

TEST(Jitter, SpreadsEachDelayUniformlyOverItsRange) {
    const auto d = delays({"--latency-jitter-us", "300", "--seed", "5"}, 2000);
    ASSERT_EQ(d.size(), 2000u);
    const auto [lo, hi] = std::minmax_element(d.begin(), d.end());
    EXPECT_GE(*lo, us(200));
    EXPECT_LE(*hi, us(500));
    // Uniform: both ends are reached closely, and the mean is in the middle.
    EXPECT_LT(*lo, us(210));
    EXPECT_GT(*hi, us(490));
    double sum = 0;
    int low_third = 0;
    for (MonoNanos v : d) {
        sum += static_cast<double>(v);
        low_third += v < us(300);
    }
    EXPECT_NEAR(sum / static_cast<double>(d.size()), us(350), us(10));
    EXPECT_NEAR(low_third, 667, 80);
}

TEST(Jitter, IsReproducibleBySeedAndOffByDefault) {
    const std::vector<std::string_view> seven{"--latency-jitter-us", "300", "--seed", "7"};
    EXPECT_EQ(delays(seven, 50), delays(seven, 50));
    EXPECT_NE(delays(seven, 50), delays({"--latency-jitter-us", "300", "--seed", "8"}, 50));
    EXPECT_EQ(delays({}, 50), std::vector<MonoNanos>(50, us(200)));
    EXPECT_EQ(delays({"--latency-jitter-us", "0", "--seed", "8"}, 50), std::vector<MonoNanos>(50, us(200)));
}

TEST(Jitter, LeavesTheDropsOfASeedAsTheyWere) {
    const auto dropped = [](std::vector<std::string_view> extra) {
        std::vector<std::string_view> args{"--motor", "1:0x11:dm4310", "--drop-probability", "0.5", "--seed", "3"};
        args.insert(args.end(), extra.begin(), extra.end());
        Simulator sim(options(args), {}, 0);
        std::vector<int> out;
        for (int i = 0; i < 64; ++i) out.push_back(sim.hear(0, data_frame(1, damiao::kCmdEnable), ms(i)).dropped);
        return out;
    };
    EXPECT_EQ(dropped({}), dropped({"--latency-jitter-us", "900"}));
}

// Requests 1 us apart with up to 2 ms of jitter: one motor's replies still
// leave in the order of its requests, while two motors' interleave.
TEST(Jitter, NeverReordersOneMotorsReplies) {
    Simulator sim(options({"--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm4310", "--latency-us", "100",
                           "--latency-jitter-us", "2000", "--bitrate", "1000000"}),
                  {}, 0);
    std::vector<std::uint8_t> asked;
    MonoNanos t = 0;
    for (std::uint8_t reg = 0; reg <= 35; ++reg) {
        for (std::uint16_t motor : {1, 2}) {
            sim.hear(0, data_frame(0x7FF, damiao::register_request(motor, damiao::kRegRead, reg, 0)), t += 1000);
        }
        asked.push_back(reg);
    }
    std::vector<std::pair<std::uint32_t, std::uint8_t>> sent;
    for (MonoNanos now = t; now <= ms(40); now += 1000)
        for (const auto& f : sim.take_due(0, now)) sent.emplace_back(f.id.value, f.data()[3]);
    ASSERT_EQ(sent.size(), 2 * asked.size());
    std::vector<std::uint8_t> of1, of2;
    for (const auto& [id, reg] : sent) (id == 0x11 ? of1 : of2).push_back(reg);
    EXPECT_EQ(of1, asked);
    EXPECT_EQ(of2, asked);
    // Not simply alternating: the two motors' replies overtake each other.
    int runs = 0;
    for (std::size_t i = 1; i < sent.size(); ++i) runs += sent[i].first == sent[i - 1].first;
    EXPECT_GT(runs, 4);
}

// ----------------------------------------------------------------- saving

TEST(Saving, ASaveUpdatesItsMotorsSectionAndKeepsTheOthers) {
    const SavedMotors file{{"0x009:0x019:dm4310", {{10, 4}}}};
    Simulator sim(options({"--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm4340"}), file, 0);
    sim.hear(0, data_frame(0x7FF, damiao::register_request(2, damiao::kRegWrite, kRegEscId, 6)), 0);
    const auto h = sim.hear(0, data_frame(0x7FF, damiao::system_request(2, damiao::kOpSave, 1)), ms(1));
    EXPECT_TRUE(h.saved);
    EXPECT_EQ(h.why, nullptr);
    ASSERT_EQ(sim.saved().size(), 2u);
    EXPECT_EQ(sim.saved().at("0x009:0x019:dm4310"), file.at("0x009:0x019:dm4310"));
    EXPECT_EQ(sim.saved().at("0x002:0x012:dm4340").at(kRegEscId), 6u);
    EXPECT_EQ(sim.take_due(0, ms(10)).size(), 1u);  // the write's echo; the save answers nothing

    // The next run with the same arguments: motor 2 listens on 6, motor 1 as before.
    Simulator next(options({"--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm4340"}), sim.saved(), 0);
    EXPECT_EQ(next.motors()[0].cmd_id(), 1);
    EXPECT_EQ(next.motors()[1].cmd_id(), 6);
    EXPECT_STREQ(next.hear(0, data_frame(2, damiao::kCmdEnable), 0).why, "not addressed to any simulated motor");
    EXPECT_EQ(next.hear(0, data_frame(6, damiao::kCmdEnable), 0).why, nullptr);
}

}  // namespace
}  // namespace torvane::sim
