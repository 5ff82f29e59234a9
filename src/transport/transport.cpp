#include "transport/transport.hpp"

namespace torvane::can {

Result<CanFrame> CanTransport::request(const CanFrame& frame, CanId expected, Duration timeout) {
    if (auto sent = send(frame); !sent) return std::unexpected(sent.error());
    const MonoNanos deadline = now() + to_nanos(timeout);
    for (;;) {
        const MonoNanos left = deadline - now();
        if (left < 0) return std::unexpected(TransportError::timeout());
        auto got = recv(from_nanos(left));
        if (!got) return got;
        if (got->id == expected) return got;
    }
}

}  // namespace torvane::can
