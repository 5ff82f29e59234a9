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
        const auto h = sim.hear(heard(r), t += ms(1));
        EXPECT_STREQ(h.why, "remote frame: carries no data for a motor");
        EXPECT_FALSE(h.saved);
    }
    EXPECT_FALSE(sim.next_due());
    EXPECT_TRUE(sim.take_due(ms(100)).empty());
    EXPECT_FALSE(sim.motors()[0].enabled());
    EXPECT_TRUE(sim.motors()[0].flash().empty());
    // The same frames as data frames are answered.
    const auto h = sim.hear(heard(classic_record(0x001, vec(damiao::kCmdEnable))), ms(200));
    EXPECT_EQ(h.why, nullptr);
    EXPECT_EQ(sim.take_due(ms(200)).size(), 1u);
    EXPECT_TRUE(sim.motors()[0].enabled());
}

// --------------------------------------------------------------- timing

TEST(Timing, WithoutTheWireARepliesWaitsOnlyItsLatency) {
    Simulator sim(options({"--motor", "1:0x11:dm4310", "--latency-us", "200"}), {}, 0);
    sim.hear(data_frame(1, damiao::kCmdEnable), us(1000));
    EXPECT_EQ(sim.next_due(), us(1200));
    EXPECT_TRUE(sim.take_due(us(1199.999)).empty());
    const auto out = sim.take_due(us(1200));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].id, CanId::standard(0x11));
    EXPECT_FALSE(sim.next_due());
}

TEST(Timing, ARepliesComesAfterTheRequestItsLatencyAndItsOwnWireTime) {
    Simulator sim(options({"--motor", "1:0x11:dm4310", "--latency-us", "200", "--bitrate", "1000000"}), {}, 0);
    sim.hear(data_frame(1, damiao::kCmdEnable), us(1000));
    EXPECT_EQ(sim.next_due(), us(1000 + 135 + 200));  // goes on the wire then
    EXPECT_TRUE(sim.take_due(us(1000 + 135 + 200)).empty());
    EXPECT_EQ(sim.next_due(), us(1000 + 135 + 200 + 135));
    EXPECT_TRUE(sim.take_due(us(1469.999)).empty());
    EXPECT_EQ(sim.take_due(us(1470)).size(), 1u);
}

TEST(Timing, AGroupsRepliesQueueBehindItsCommandsOnOneWire) {
    Simulator sim(options({"--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm4310", "--motor", "3:0x13:dm4310",
                           "--latency-us", "200", "--bitrate", "1000000"}),
                  {}, 0);
    // Sent back to back: on the wire until 135, 270 and 405 us; replies ready
    // 200 us after each, but the bus is busy until 405.
    for (std::uint16_t id : {1, 2, 3}) sim.hear(data_frame(id, damiao::kCmdEnable), 0);
    std::vector<std::pair<MonoNanos, std::uint32_t>> sent;
    for (MonoNanos t = 0; t <= us(1000); t += 1000)
        for (const auto& f : sim.take_due(t)) sent.emplace_back(t, f.id.value);
    const std::vector<std::pair<MonoNanos, std::uint32_t>> want{{us(540), 0x11}, {us(675), 0x12}, {us(810), 0x13}};
    EXPECT_EQ(sent, want);
}

TEST(Timing, ARepliesReadyFirstGoesFirstWhateverArrivesAfter) {
    const auto opts = options({"--motor", "1:0x11:dm4310", "--latency-us", "200", "--bitrate", "1000000"});
    // The host's enable is carried until 135 us; its reply is ready at 335.
    for (const auto& [other_at, reply_at] : {std::pair{us(300), us(435 + 135)}, std::pair{us(340), us(470)}}) {
        Simulator sim(opts, {}, 0);
        sim.hear(data_frame(1, damiao::kCmdEnable), 0);
        sim.hear(data_frame(0x55, damiao::kCmdEnable), other_at);  // someone else's frame
        EXPECT_TRUE(sim.take_due(reply_at - 1).empty()) << static_cast<double>(other_at);
        EXPECT_EQ(sim.take_due(reply_at).size(), 1u) << static_cast<double>(other_at);
    }
}

TEST(Timing, FdRepliesComeBackSwitchedAndTakeTheirDataPhaseAtTheDataRate) {
    Simulator sim(options({"--motor", "1:0x11:dm4310", "--bitrate", "1000000", "--data-bitrate", "5000000"}), {}, 0);
    sim.hear(heard(fd_record(0x001, vec(damiao::kCmdEnable))), 0);
    const MonoNanos each = us(33 + 22.8);
    EXPECT_EQ(sim.next_due(), each);
    EXPECT_TRUE(sim.take_due(each).empty());
    EXPECT_EQ(sim.next_due(), 2 * each);
    const auto out = sim.take_due(2 * each);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].fd);
    EXPECT_TRUE(out[0].brs);
}

TEST(Drops, AreDecidedPerReplyAndReproducible) {
    const auto run = [](const char* p) {
        Simulator sim(options({"--motor", "1:0x11:dm4310", "--drop-probability", p, "--seed", "7"}), {}, 0);
        std::vector<int> dropped;
        for (int i = 0; i < 32; ++i) dropped.push_back(sim.hear(data_frame(1, damiao::kCmdEnable), ms(i)).dropped);
        return std::pair{dropped, sim.take_due(ms(100)).size()};
    };
    const auto [some, answered] = run("0.5");
    EXPECT_EQ(std::count(some.begin(), some.end(), 1) + static_cast<long>(answered), 32);
    EXPECT_GT(answered, 4u);
    EXPECT_LT(answered, 28u);
    EXPECT_EQ(run("0.5"), run("0.5"));
    EXPECT_EQ(run("1").second, 0u);
    EXPECT_EQ(run("0").second, 32u);
}

// ----------------------------------------------------------------- saving

TEST(Saving, ASaveUpdatesItsMotorsSectionAndKeepsTheOthers) {
    const SavedMotors file{{"0x009:0x019:dm4310", {{10, 4}}}};
    Simulator sim(options({"--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm4340"}), file, 0);
    sim.hear(data_frame(0x7FF, damiao::register_request(2, damiao::kRegWrite, kRegEscId, 6)), 0);
    const auto h = sim.hear(data_frame(0x7FF, damiao::system_request(2, damiao::kOpSave, 1)), ms(1));
    EXPECT_TRUE(h.saved);
    EXPECT_EQ(h.why, nullptr);
    ASSERT_EQ(sim.saved().size(), 2u);
    EXPECT_EQ(sim.saved().at("0x009:0x019:dm4310"), file.at("0x009:0x019:dm4310"));
    EXPECT_EQ(sim.saved().at("0x002:0x012:dm4340").at(kRegEscId), 6u);
    EXPECT_EQ(sim.take_due(ms(10)).size(), 1u);  // the write's echo; the save answers nothing

    // The next run with the same arguments: motor 2 listens on 6, motor 1 as before.
    Simulator next(options({"--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm4340"}), sim.saved(), 0);
    EXPECT_EQ(next.motors()[0].cmd_id(), 1);
    EXPECT_EQ(next.motors()[1].cmd_id(), 6);
    EXPECT_STREQ(next.hear(data_frame(2, damiao::kCmdEnable), 0).why, "not addressed to any simulated motor");
    EXPECT_EQ(next.hear(data_frame(6, damiao::kCmdEnable), 0).why, nullptr);
}

}  // namespace
}  // namespace torvane::sim
