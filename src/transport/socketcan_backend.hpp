#pragma once
// A raw SocketCAN socket with CAN FD frames enabled.

#include <sys/time.h>

#include <span>
#include <string_view>

#include "transport/transport.hpp"

namespace torvane::can {

// Length the CAN FD bus carries for a payload of n bytes (n <= 64).
std::size_t fd_wire_len(std::size_t n);

// SO_RCVTIMEO value for a wait: seconds capped at time_t, microseconds
// rounded down, and never zero (zero would mean no limit at all).
timeval to_timeval(Duration d);

// Turn one raw record read from the socket (16 or 72 bytes) into a frame.
Result<CanFrame> parse_record(std::span<const std::uint8_t> record);

class SocketCanTransport final : public CanTransport {
public:
    static Result<SocketCanTransport> open(std::string_view iface);

    SocketCanTransport(SocketCanTransport&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    SocketCanTransport& operator=(SocketCanTransport&& other) noexcept;
    SocketCanTransport(const SocketCanTransport&) = delete;
    SocketCanTransport& operator=(const SocketCanTransport&) = delete;
    ~SocketCanTransport() override;

    Result<void> send(const CanFrame& frame) override;
    Result<CanFrame> recv(Duration timeout) override;

    int fd() const { return fd_; }

private:
    explicit SocketCanTransport(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace torvane::can
