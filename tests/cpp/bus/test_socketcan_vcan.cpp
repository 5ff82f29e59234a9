// The SocketCAN backend against a real vcan interface, with a raw socket of
// the kernel's own as the peer.

#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "damiao/driver.hpp"
#include "transport/socketcan_backend.hpp"
#include "vcan_peer.hpp"

using namespace torvane::can;
using namespace torvane::can::test;

TEST_F(VcanTest, ClassicFramesGoOutAsSixteenByteRecords) {
    struct Case { CanId id; std::size_t len; canid_t raw_id; };
    const Case cases[] = {
        {CanId::standard(0x7FF), 8, 0x7FF},
        {CanId::standard(0x001), 0, 0x001},
        {CanId::extended(0x1FFFFFFF), 3, 0x1FFFFFFF | CAN_EFF_FLAG},
        {CanId::extended(0x11), 8, 0x11 | CAN_EFF_FLAG},
    };
    for (const auto& c : cases) {
        const Bytes payload = iota(c.len);
        ASSERT_TRUE(bus->send(CanFrame(c.id, payload, false, /*brs ignored*/ true)));
        const Bytes raw = peer.recv_raw();
        ASSERT_EQ(raw.size(), CAN_MTU);
        can_frame f;
        std::memcpy(&f, raw.data(), sizeof f);
        EXPECT_EQ(f.can_id, c.raw_id);
        EXPECT_EQ(f.len, c.len);
        EXPECT_EQ(Bytes(f.data, f.data + c.len), payload);
    }
}

TEST_F(VcanTest, FdFramesAreRoundedUpWithZeroPaddingAndCarryBrs) {
    struct Case { std::size_t len; bool brs; std::uint8_t wire_len; };
    const Case cases[] = {{10, false, 12}, {10, true, 12}, {13, false, 16}, {33, true, 48}, {64, false, 64}, {5, true, 5}};
    for (const auto& c : cases) {
        const Bytes payload = iota(c.len);
        ASSERT_TRUE(bus->send(CanFrame(CanId::standard(0x123), payload, true, c.brs)));
        const Bytes raw = peer.recv_raw();
        ASSERT_EQ(raw.size(), CANFD_MTU);
        canfd_frame f;
        std::memcpy(&f, raw.data(), sizeof f);
        EXPECT_EQ(f.len, c.wire_len) << c.len;
        EXPECT_EQ((f.flags & CANFD_BRS) != 0, c.brs);
        Bytes expect = payload;
        expect.resize(c.wire_len, 0);
        EXPECT_EQ(Bytes(f.data, f.data + f.len), expect);
    }
}

TEST_F(VcanTest, RangeIsCheckedBeforeLengthAndNothingIsWritten) {
    struct Case { CanFrame frame; TransportError::Kind kind; };
    const Case cases[] = {
        {CanFrame(CanId::standard(0x800), iota(1)), TransportError::Kind::InvalidId},
        {CanFrame(CanId::extended(0x20000000), iota(1)), TransportError::Kind::InvalidId},
        {CanFrame(CanId::standard(0x800), iota(70), true), TransportError::Kind::InvalidId},
        {CanFrame(CanId::standard(0x1), iota(9)), TransportError::Kind::FrameTooLarge},
        {CanFrame(CanId::standard(0x1), iota(65), true), TransportError::Kind::FrameTooLarge},
    };
    for (const auto& c : cases) {
        auto sent = bus->send(c.frame);
        ASSERT_FALSE(sent);
        EXPECT_EQ(sent.error().kind, c.kind);
    }
    EXPECT_EQ(bus->send(CanFrame(CanId::standard(0x1), iota(9))).error().to_string(),
              "frame too large for selected mode: 9 bytes");
    // Nothing reached the wire: the next record the peer sees is this marker.
    ASSERT_TRUE(bus->send(CanFrame(CanId::standard(0x42), iota(1))));
    const Bytes raw = peer.recv_raw();
    ASSERT_EQ(raw.size(), CAN_MTU);
    EXPECT_EQ(raw[0], 0x42);
}

TEST_F(VcanTest, ReceivedFramesKeepKindLengthAndFlags) {
    peer.send_classic(0x321, iota(8));
    peer.send_classic(0x1ABCDE | CAN_EFF_FLAG, iota(2));
    peer.send_classic(0x55 | CAN_RTR_FLAG, {0, 0, 0});  // remote: delivered as data
    peer.send_fd(0x7FF, iota(12), CANFD_BRS);
    peer.send_fd(0x10, iota(20), 0);

    struct Expect { CanId id; std::size_t len; bool fd, brs; };
    const Expect expect[] = {
        {CanId::standard(0x321), 8, false, false},
        {CanId::extended(0x1ABCDE), 2, false, false},
        {CanId::standard(0x55), 3, false, false},
        {CanId::standard(0x7FF), 12, true, true},
        {CanId::standard(0x10), 20, true, false},
    };
    for (const auto& e : expect) {
        auto got = bus->recv(ms(500));
        ASSERT_TRUE(got) << got.error().to_string();
        EXPECT_EQ(got->id, e.id);
        EXPECT_EQ(got->size(), e.len);
        EXPECT_EQ(got->fd, e.fd);
        EXPECT_EQ(got->brs, e.brs);
    }
}

TEST_F(VcanTest, ReceiveTimesOutWithinItsTimeout) {
    for (std::uint64_t t : {0, 1, 30}) {
        const auto start = std::chrono::steady_clock::now();
        auto got = bus->recv(ms(t));
        const auto took = std::chrono::steady_clock::now() - start;
        ASSERT_FALSE(got);
        EXPECT_EQ(got.error().kind, TransportError::Kind::Timeout);
        EXPECT_GE(took, std::chrono::milliseconds(t));
        EXPECT_LT(took, std::chrono::milliseconds(t + 500)) << "waited far past " << t << " ms";
    }
}

TEST_F(VcanTest, RequestSkipsOtherIdsAndLeavesLateRepliesQueued) {
    // Replies queued before the request: others, same number as extended, a
    // remote frame on the id (it counts), then a second one left for later.
    peer.send_classic(0x12, iota(8));
    peer.send_classic(0x11 | CAN_EFF_FLAG, iota(8));
    peer.send_classic(0x11 | CAN_RTR_FLAG, {});
    peer.send_classic(0x11, {9, 9, 9, 9, 9, 9, 9, 9});

    auto first = bus->request(CanFrame(CanId::standard(0x1), iota(8)), CanId::standard(0x11), ms(500));
    ASSERT_TRUE(first) << first.error().to_string();
    EXPECT_EQ(first->size(), 0u);  // the remote frame ended it

    auto second = bus->request(CanFrame(CanId::standard(0x1), iota(8)), CanId::standard(0x11), ms(500));
    ASSERT_TRUE(second);
    EXPECT_EQ(second->data()[0], 9);

    auto none = bus->request(CanFrame(CanId::standard(0x1), iota(8)), CanId::standard(0x11), ms(20));
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().to_string(), "timeout waiting for frame");
}

TEST_F(VcanTest, ZeroTimeoutStillSendsAndReturnsTimeout) {
    auto got = bus->request(CanFrame(CanId::standard(0x5), iota(2)), CanId::standard(0x6), ms(0));
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().kind, TransportError::Kind::Timeout);
    EXPECT_EQ(peer.recv_raw().size(), CAN_MTU);
}

TEST_F(VcanTest, TwoOpensAreIndependentSockets) {
    auto other = SocketCanTransport::open(iface_name());
    ASSERT_TRUE(other);
    EXPECT_NE(other->fd(), bus->fd());
    peer.send_classic(0x77, iota(1));
    EXPECT_TRUE(bus->recv(ms(500)));
    EXPECT_TRUE(other->recv(ms(500)));  // each socket gets its own copy
}

TEST(VcanOpen, MissingInterfaceAndNulNameFailWithOsText) {
    auto missing = SocketCanTransport::open("nonexistent0");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().to_string(), "backend error: No such device (os error 19)");
    auto nul = SocketCanTransport::open(std::string_view("vcan0\0x", 7));
    ASSERT_FALSE(nul);
    EXPECT_EQ(nul.error().to_string(), "backend error: Invalid argument (os error 22)");
}
