#pragma once
// What the vcan tests share: the interface, a peer socket of the kernel's
// own on it, and a fixture that opens the bus under test.

#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "transport/socketcan_backend.hpp"

namespace torvane::can::test {

using Bytes = std::vector<std::uint8_t>;

inline const char* iface_name() {
    const char* name = std::getenv("TORVANE_CAN_IFACE");
    return name ? name : "vcan0";
}

// A plain raw socket on the same interface, FD enabled, with a receive timeout.
class Peer {
public:
    Peer() {
        fd_ = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
        if (fd_ < 0) return;
        sockaddr_can addr{};
        addr.can_family = AF_CAN;
        addr.can_ifindex = static_cast<int>(if_nametoindex(iface_name()));
        const int on = 1;
        timeval tv{1, 0};
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
            ::setsockopt(fd_, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) < 0 ||
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Peer() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    void send_classic(canid_t id, const Bytes& data) {
        can_frame f{};
        f.can_id = id;
        f.len = static_cast<std::uint8_t>(data.size());
        // An empty vector's data() may be null, which memcpy must not get.
        if (!data.empty()) std::memcpy(f.data, data.data(), data.size());
        ASSERT_EQ(::send(fd_, &f, sizeof f, 0), static_cast<ssize_t>(sizeof f));
    }
    void send_fd(canid_t id, const Bytes& data, std::uint8_t flags) {
        canfd_frame f{};
        f.can_id = id;
        f.len = static_cast<std::uint8_t>(data.size());
        f.flags = flags;
        if (!data.empty()) std::memcpy(f.data, data.data(), data.size());
        ASSERT_EQ(::send(fd_, &f, sizeof f, 0), static_cast<ssize_t>(sizeof f));
    }
    // The raw record as the kernel delivered it; empty on timeout.
    Bytes recv_raw() {
        Bytes buf(CANFD_MTU);
        const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        buf.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return buf;
    }

private:
    int fd_ = -1;
};

class VcanTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto opened = SocketCanTransport::open(iface_name());
        ASSERT_TRUE(opened) << "no usable CAN interface " << iface_name() << ": " << opened.error().to_string();
        bus.emplace(std::move(*opened));
        ASSERT_TRUE(peer.ok()) << "peer socket failed on " << iface_name();
    }
    std::optional<SocketCanTransport> bus;
    Peer peer;
};

inline Bytes iota(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i + 1);
    return b;
}

inline Duration ms(std::uint64_t n) { return Duration::from_millis(n); }

}  // namespace torvane::can::test
