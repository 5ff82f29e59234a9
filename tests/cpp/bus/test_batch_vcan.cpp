// The batch paths of the SocketCAN backend, and a group exchange, against a
// real vcan interface with raw sockets of the kernel's own as peers.

#include <sys/socket.h>

#include <chrono>
#include <thread>
#include <vector>

#include "damiao/group.hpp"
#include "vcan_peer.hpp"

using namespace torvane::can;
using namespace torvane::can::test;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<CanFrame> mixed_frames(std::size_t n) {
    std::vector<CanFrame> frames;
    for (std::size_t i = 0; i < n; ++i) {
        switch (i % 4) {
            case 0: frames.emplace_back(CanId::standard(0x100 + i), iota(i % 9)); break;
            case 1: frames.emplace_back(CanId::extended(0x1ABC000 + i), iota(8)); break;
            case 2: frames.emplace_back(CanId::standard(0x200 + i), iota(8), true, true); break;
            default: frames.emplace_back(CanId::standard(0x300 + i), iota(13 + i % 40), true, false); break;
        }
    }
    return frames;
}

}  // namespace

// 20 frames cross the 16-frame batch boundary.
TEST_F(VcanTest, SendBatchWritesTheRecordsSendWould) {
    const auto frames = mixed_frames(20);
    for (const auto& f : frames) ASSERT_TRUE(bus->send(f));
    std::vector<Bytes> one_by_one;
    for (std::size_t i = 0; i < frames.size(); ++i) one_by_one.push_back(peer.recv_raw());

    ASSERT_TRUE(bus->send_batch(frames));
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        const Bytes raw = peer.recv_raw();
        ASSERT_FALSE(raw.empty());
        EXPECT_EQ(raw, one_by_one[i]);
    }
}

TEST_F(VcanTest, SendBatchSendsNothingUnlessEveryFrameCan) {
    auto frames = mixed_frames(20);
    const std::pair<CanFrame, TransportError::Kind> bad[] = {
        {CanFrame(CanId::standard(0x800), iota(1)), TransportError::Kind::InvalidId},
        {CanFrame(CanId::standard(0x1), iota(9)), TransportError::Kind::FrameTooLarge},
    };
    for (const auto& [frame, kind] : bad) {
        frames.back() = frame;
        auto sent = bus->send_batch(frames);
        ASSERT_FALSE(sent);
        EXPECT_EQ(sent.error().kind, kind);
    }
    ASSERT_TRUE(bus->send(CanFrame(CanId::standard(0x42), iota(1))));
    const Bytes raw = peer.recv_raw();
    ASSERT_EQ(raw.size(), CAN_MTU);
    EXPECT_EQ(raw[0], 0x42);
}

TEST_F(VcanTest, RecvBatchTakesWhatIsQueuedWithoutWaiting) {
    for (std::size_t i = 0; i < 20; ++i) peer.send_classic(0x10 + i, iota(i % 9));
    peer.send_fd(0x7FF, iota(12), CANFD_BRS);
    peer.send_classic(0x1234 | CAN_EFF_FLAG, iota(2));

    CanFrame out[kBatchMax];
    std::vector<CanFrame> got;
    const auto start = Clock::now();
    for (;;) {
        auto n = bus->recv_batch(out, Duration{});
        ASSERT_TRUE(n) << n.error().to_string();
        if (*n == 0) break;
        EXPECT_LE(*n, kBatchMax);
        got.insert(got.end(), out, out + *n);
    }
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    ASSERT_EQ(got.size(), 22u);
    for (std::size_t i = 0; i < 20; ++i) {
        EXPECT_EQ(got[i].id, CanId::standard(0x10 + i));
        EXPECT_EQ(got[i].size(), i % 9);
    }
    EXPECT_TRUE(got[20].fd);
    EXPECT_TRUE(got[20].brs);
    EXPECT_EQ(got[20].size(), 12u);
    EXPECT_EQ(got[21].id, CanId::extended(0x1234));

    CanFrame two[2];
    peer.send_classic(0x1, {1});
    peer.send_classic(0x2, {2});
    peer.send_classic(0x3, {3});
    EXPECT_EQ(*bus->recv_batch(two, ms(100)), 2u);
    EXPECT_EQ(*bus->recv_batch(two, ms(100)), 1u);
    EXPECT_EQ(two[0].id, CanId::standard(0x3));
}

TEST_F(VcanTest, RecvBatchWaitsForTheFirstFrameOrTheWholeWait) {
    CanFrame out[kBatchMax];
    for (std::uint64_t t : {1, 30}) {
        const auto start = Clock::now();
        auto n = bus->recv_batch(out, ms(t));
        const auto took = Clock::now() - start;
        ASSERT_TRUE(n);
        EXPECT_EQ(*n, 0u);
        EXPECT_GE(took, std::chrono::milliseconds(t));
        EXPECT_LT(took, std::chrono::milliseconds(t + 500));
    }

    std::thread later([] {
        Peer p;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        p.send_classic(0x77, iota(3));
    });
    const auto start = Clock::now();
    auto n = bus->recv_batch(out, ms(5000));
    const auto took = Clock::now() - start;
    later.join();
    ASSERT_TRUE(n);
    ASSERT_EQ(*n, 1u);
    EXPECT_EQ(out[0].id, CanId::standard(0x77));
    EXPECT_LT(took, std::chrono::milliseconds(3000));
}

TEST_F(VcanTest, BatchCallsLeaveTheReceiveTimeoutAlone) {
    auto receive_timeout = [&] {
        timeval tv{};
        socklen_t len = sizeof tv;
        EXPECT_EQ(::getsockopt(bus->fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
        return std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
    };
    const timeval set{0, 123'000};
    ASSERT_EQ(::setsockopt(bus->fd(), SOL_SOCKET, SO_RCVTIMEO, &set, sizeof set), 0);
    const auto before = receive_timeout();  // the kernel keeps it in clock ticks
    EXPECT_GT(before, std::chrono::milliseconds(100));
    CanFrame out[kBatchMax];
    peer.send_classic(0x5, iota(8));
    ASSERT_TRUE(bus->recv_batch(out, ms(10)));
    ASSERT_TRUE(bus->recv_batch(out, ms(10)));
    ASSERT_TRUE(bus->drain(out));
    ASSERT_TRUE(bus->send_batch(mixed_frames(3)));
    EXPECT_EQ(receive_timeout(), before);
}

// Three motors, the second silent, with a stale reply of the first waiting
// before the call; a peer thread answers the other two in reverse order.
TEST_F(VcanTest, GroupExchangeWithASilentMotorAndAStaleReply) {
    using torvane::damiao::Damiao;
    using torvane::damiao::MotorGroup;
    for (bool fd : {false, true}) {
        SCOPED_TRACE(fd ? "fd" : "classic");
        const std::vector<Damiao> motors{{.motor_id = 1, .master_id = 0x11},
                                         {.motor_id = 2, .master_id = 0x12},
                                         {.motor_id = 3, .master_id = 0x13}};
        auto group = MotorGroup::make(motors, ms(300), fd);
        ASSERT_TRUE(group);

        Peer responder;
        peer.send_classic(0x11, {0x11, 0, 0, 0, 0, 0, 0, 1});  // last tick's, late
        std::vector<Bytes> commands;
        std::thread answer([&] {
            while (commands.size() < 3) {
                Bytes raw = responder.recv_raw();
                if (raw.empty()) return;
                if (raw[0] >= 1 && raw[0] <= 3) commands.push_back(raw);
            }
            responder.send_classic(0x13, {0x13, 0, 0, 0, 0, 0, 0, 33});
            responder.send_fd(0x11, {0x11, 0, 0, 0, 0, 0, 0, 11}, 0);
        });

        std::vector<MotorGroup::Slot> slots;
        for (const auto& m : motors) slots.push_back({m.make_command(torvane::damiao::kCmdEnable), {}});
        const auto start = Clock::now();
        auto r = group->exchange(*bus, slots);
        const auto took = Clock::now() - start;
        answer.join();

        ASSERT_TRUE(r) << r.error().to_string();
        EXPECT_EQ(*r, 2u);
        ASSERT_TRUE(slots[0].state);
        EXPECT_EQ(slots[0].state->t_rotor, 11);
        EXPECT_FALSE(slots[1].state);
        ASSERT_TRUE(slots[2].state);
        EXPECT_EQ(slots[2].state->t_rotor, 33);
        EXPECT_GE(took, std::chrono::milliseconds(300));
        EXPECT_LT(took, std::chrono::milliseconds(2000));
        ASSERT_EQ(commands.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(commands[i].size(), fd ? std::size_t{CANFD_MTU} : std::size_t{CAN_MTU});
            EXPECT_EQ(commands[i][0], i + 1);
            EXPECT_EQ((commands[i][5] & CANFD_BRS) != 0, fd);
        }
    }
}
