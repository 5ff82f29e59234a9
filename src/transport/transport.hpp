#pragma once
// The abstract bus. Errors are values; nothing here throws.

#include <expected>

#include "transport/can_frame.hpp"
#include "transport/duration.hpp"
#include "transport/transport_error.hpp"

namespace torvane::can {

template <typename T>
using Result = std::expected<T, TransportError>;

class CanTransport {
public:
    virtual ~CanTransport() = default;

    virtual Result<void> send(const CanFrame& frame) = 0;
    virtual Result<CanFrame> recv(Duration timeout) = 0;

    // Send, then return the first frame on `expected`; every other frame read
    // meanwhile is dropped. The deadline starts once the send has returned.
    Result<CanFrame> request(const CanFrame& frame, CanId expected, Duration timeout);

    // The clock deadlines are measured on; a scripted bus may script time too.
    virtual MonoNanos now() { return mono_now(); }
};

}  // namespace torvane::can
