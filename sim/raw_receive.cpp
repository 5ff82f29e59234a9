#include "sim/raw_receive.hpp"

#include <linux/can.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "transport/socketcan_backend.hpp"

namespace torvane::sim {

can::Result<Received> parse_received(std::span<const std::uint8_t> record) {
    auto frame = can::parse_record(record);
    if (!frame) return std::unexpected(frame.error());
    canid_t raw_id = 0;
    std::memcpy(&raw_id, record.data(), sizeof raw_id);
    // CAN FD has no remote frames; the bit means nothing there.
    return Received{*frame, !frame->fd && (raw_id & CAN_RTR_FLAG) != 0};
}

can::Result<Received> receive(int fd, can::Duration timeout) {
    pollfd p{fd, POLLIN, 0};
    const timespec ts{static_cast<time_t>(timeout.secs), static_cast<long>(timeout.nanos)};
    const int ready = ::ppoll(&p, 1, &ts, nullptr);
    if (ready < 0) return std::unexpected(can::TransportError::os(errno));
    if (ready == 0) return std::unexpected(can::TransportError::timeout());
    return receive_queued(fd);
}

can::Result<Received> receive_queued(int fd) {
    std::uint8_t buf[CANFD_MTU];
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return std::unexpected(can::TransportError::timeout());
        return std::unexpected(can::TransportError::os(errno));
    }
    return parse_received({buf, static_cast<std::size_t>(n)});
}

}  // namespace torvane::sim
