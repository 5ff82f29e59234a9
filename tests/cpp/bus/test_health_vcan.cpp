// The backend's part of bus health on a real vcan: error frames reach a
// socket only once it watches, as frames of their own kind; its traffic is
// counted in its interface's record; an error identifier is never sent.

#include <linux/can/error.h>

#include "vcan_peer.hpp"

using namespace torvane::can;
using namespace torvane::can::test;

namespace {

const Bytes kPassive{0, CAN_ERR_CRTL_TX_PASSIVE, 0, 0, 0, 0, 128, 0};

std::size_t read_all(SocketCanTransport& bus, std::vector<CanFrame>& got) {
    CanFrame scratch[kBatchMax];
    auto n = bus.recv_batch(scratch, ms(200));
    if (!n) return 0;
    got.insert(got.end(), scratch, scratch + *n);
    return *n;
}

}  // namespace

TEST_F(VcanTest, ErrorFramesArriveOnlyOnceTheSocketWatches) {
    std::vector<CanFrame> got;
    peer.send_classic(CAN_ERR_FLAG | CAN_ERR_CRTL, kPassive);
    EXPECT_EQ(read_all(*bus, got), 0u);
    EXPECT_EQ(bus->health(), nullptr);

    ASSERT_TRUE(bus->watch_health());
    ASSERT_TRUE(bus->watch_health());  // once is enough; again does nothing
    ASSERT_NE(bus->health(), nullptr);
    EXPECT_EQ(bus->health(), bus_health(iface_name()).get());
    peer.send_classic(CAN_ERR_FLAG | CAN_ERR_CRTL, kPassive);
    ASSERT_EQ(read_all(*bus, got), 1u);
    EXPECT_EQ(got[0].id, CanId::error(CAN_ERR_CRTL));
    EXPECT_EQ(Bytes(got[0].data().begin(), got[0].data().end()), kPassive);
    EXPECT_EQ(read_error(got[0]).state, BusState::ErrorPassive);

    // The single-frame path reads them alike.
    peer.send_classic(CAN_ERR_FLAG | CAN_ERR_BUSOFF, Bytes(8, 0));
    auto one = bus->recv(ms(200));
    ASSERT_TRUE(one);
    EXPECT_EQ(one->id, CanId::error(CAN_ERR_BUSOFF));
}

TEST_F(VcanTest, AWatchedSocketCountsItsFramesEachWayErrorFramesAside) {
    ASSERT_TRUE(bus->watch_health());
    BusHealth& h = *bus->health();
    h.reset();
    const CanFrame out(CanId::standard(0x123), iota(8));
    ASSERT_TRUE(bus->send(out));
    ASSERT_TRUE(bus->send_batch(std::vector<CanFrame>(3, out)));
    auto some = bus->send_some(std::vector<CanFrame>(2, out));
    ASSERT_TRUE(some);
    ASSERT_EQ(*some, 2u);
    for (int i = 0; i < 6; ++i) ASSERT_FALSE(peer.recv_raw().empty());

    peer.send_classic(0x11, iota(8));
    peer.send_classic(CAN_ERR_FLAG | CAN_ERR_ACK, Bytes(8, 0));
    peer.send_fd(0x12, iota(12), CANFD_FDF);
    std::vector<CanFrame> got;
    while (got.size() < 3 && read_all(*bus, got) > 0) {
    }
    ASSERT_EQ(got.size(), 3u);
    peer.send_classic(0x13, iota(8));
    ASSERT_TRUE(bus->recv(ms(200)));

    const HealthCounts c = h.read();
    EXPECT_EQ(c.frames_out, 6u);
    EXPECT_EQ(c.frames_in, 3u);
    // The backend hands error frames on; counting their classes is the reader's.
    for (std::uint64_t n : c.error_frames) EXPECT_EQ(n, 0u);
}

TEST_F(VcanTest, AnErrorIdentifierIsNeverSent) {
    const CanFrame error(CanId::error(CAN_ERR_BUSOFF), Bytes(8, 0));
    for (auto sent : {bus->send(error), bus->send_batch(std::vector<CanFrame>{error})}) {
        ASSERT_FALSE(sent);
        EXPECT_EQ(sent.error().kind, TransportError::Kind::InvalidId);
    }
    auto some = bus->send_some(std::vector<CanFrame>{error});
    ASSERT_FALSE(some);
    EXPECT_EQ(some.error().kind, TransportError::Kind::InvalidId);
    EXPECT_TRUE(peer.recv_raw().empty());
}
