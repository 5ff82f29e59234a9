#pragma once
// Finding motors without knowing their feedback identifiers: a candidate
// command id is asked for register 7 (MST_ID), and its answer is taken on
// whatever identifier it comes, which names both ids.

#include <cstdint>
#include <span>
#include <vector>

#include "damiao/driver.hpp"

namespace torvane::damiao {

struct ProbeReply {
    std::uint16_t motor_id = 0;  // the candidate asked
    can::CanId reply_id;         // the identifier its answer came on
    std::uint32_t master_id = 0; // register 7 as the motor reports it
};

// Candidates a scan asks at once: a CAN interface's transmit queue holds
// 10 frames by default, and a fuller queue fails the send.
inline constexpr std::size_t kScanBatch = 8;

// One candidate; a timeout error when it does not answer.
Result<ProbeReply> probe(can::CanTransport& bus, std::uint16_t motor_id, can::Duration timeout);

// Every candidate, kScanBatch at a time: the requests go out back to back and
// the answers are collected until all have come or `timeout` has passed.
// The ones that answered, in the order asked; an error only from the bus.
Result<std::vector<ProbeReply>> scan(can::CanTransport& bus, std::span<const std::uint16_t> motor_ids,
                                     can::Duration timeout);

}  // namespace torvane::damiao
