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

    // Send, then return the first frame `matches` accepts; every other frame
    // read meanwhile is dropped. The deadline starts once the send has returned.
    template <typename Match>
    Result<CanFrame> request(const CanFrame& frame, Match&& matches, Duration timeout) {
        if (auto sent = send(frame); !sent) return std::unexpected(sent.error());
        return receive(matches, now() + to_nanos(timeout));
    }

    // The reply is the first frame on `expected`.
    Result<CanFrame> request(const CanFrame& frame, CanId expected, Duration timeout) {
        return request(frame, [expected](const CanFrame& f) { return f.id == expected; }, timeout);
    }

    // The first frame `matches` accepts before `deadline`; every wait is the
    // time still left, so skipped frames never stretch the call.
    template <typename Match>
    Result<CanFrame> receive(Match&& matches, MonoNanos deadline) {
        for (;;) {
            const MonoNanos left = deadline - now();
            if (left < 0) return std::unexpected(TransportError::timeout());
            auto got = recv(from_nanos(left));
            if (!got || matches(*got)) return got;
        }
    }

    // The clock deadlines are measured on; a scripted bus may script time too.
    virtual MonoNanos now() { return mono_now(); }
};

}  // namespace torvane::can
