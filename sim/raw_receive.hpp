#pragma once
// The simulator's own receive path. A remote (RTR) frame carries no data to a
// motor, but the core's frame keeps no RTR flag: the simulator reads it off
// the raw record itself.

#include <cstdint>
#include <span>

#include "transport/transport.hpp"

namespace torvane::sim {

struct Received {
    can::CanFrame frame;
    bool remote = false;
};

// One record as read from a raw CAN socket (16 or 72 bytes).
can::Result<Received> parse_received(std::span<const std::uint8_t> record);

// Waits at most `timeout` for the next record on `fd`; a signal ends the
// wait with EINTR.
can::Result<Received> receive(int fd, can::Duration timeout);
// The next record if one is queued on `fd`, else a timeout error at once.
can::Result<Received> receive_queued(int fd);

}  // namespace torvane::sim
