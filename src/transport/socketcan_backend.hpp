#pragma once
// A raw SocketCAN socket with CAN FD frames enabled. Once watch_health()
// has been called, it also receives the controller's error frames (as
// frames of CanId::Kind::Error) and counts its traffic in its interface's
// BusHealth record.

#include <sys/time.h>

#include <ctime>

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "transport/transport.hpp"

namespace torvane::can {

// Length the CAN FD bus carries for a payload of n bytes (n <= 64).
std::size_t fd_wire_len(std::size_t n);

// SO_RCVTIMEO value for a wait: seconds capped at time_t, microseconds
// rounded down, and never zero (zero would mean no limit at all).
timeval to_timeval(Duration d);

// Turn one raw record read from the socket (16 or 72 bytes) into a frame;
// an error frame's identifier is CanId::error of its classes.
Result<CanFrame> parse_record(std::span<const std::uint8_t> record);

class SocketCanTransport final : public CanTransport {
public:
    static Result<SocketCanTransport> open(std::string_view iface);

    SocketCanTransport(SocketCanTransport&& other) noexcept;
    SocketCanTransport& operator=(SocketCanTransport&& other) noexcept;
    SocketCanTransport(const SocketCanTransport&) = delete;
    SocketCanTransport& operator=(const SocketCanTransport&) = delete;
    ~SocketCanTransport() override;

    Result<void> send(const CanFrame& frame) override;
    Result<CanFrame> recv(Duration timeout) override;

    // sendmmsg and recvmmsg. Every frame of a batch is checked before any
    // goes out. Receiving never touches the socket's options: it reads
    // with MSG_DONTWAIT and waits in ppoll, so the receive timeout that
    // recv sets stays whatever it was. The two share one set of record
    // buffers: like everything on one socket, calls take turns.
    Result<void> send_batch(std::span<const CanFrame> frames) override;
    Result<std::size_t> recv_batch(std::span<CanFrame> out, Duration wait) override;

    // A full queue does not tell the socket when it drains (POLLOUT counts
    // the socket's buffer, not the interface's queue), so after asking the
    // socket this sleeps about one frame's time at 1 Mbit/s.
    Result<std::size_t> send_some(std::span<const CanFrame> frames) override;
    Result<void> wait_for_room(MonoNanos deadline) override;
    int descriptor() const override { return fd_; }

    // Error frames of every class from now on (CAN_RAW_ERR_FILTER), and the
    // traffic counted in bus_health(name()). Once per socket; later calls
    // do nothing.
    Result<void> watch_health();

    int fd() const { return fd_; }
    // The interface it was opened on, for messages.
    const std::string& name() const { return name_; }

private:
    struct Records;
    SocketCanTransport(int fd, std::string name);
    std::size_t counted_out(std::size_t n) {
        if (health_) health_->add_out(n);
        return n;
    }
    int fd_ = -1;
    std::string name_;
    std::unique_ptr<Records> records_;
};

}  // namespace torvane::can
