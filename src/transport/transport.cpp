#include "transport/transport.hpp"

#include <algorithm>
#include <cerrno>

namespace torvane::can {

Result<void> CanTransport::send_batch(std::span<const CanFrame> frames) {
    for (const CanFrame& f : frames)
        if (auto sent = send(f); !sent) return sent;
    return {};
}

Result<std::size_t> CanTransport::send_some(std::span<const CanFrame> frames) {
    std::size_t n = 0;
    for (; n < frames.size(); ++n) {
        auto sent = send(frames[n]);
        if (sent) continue;
        const TransportError& e = sent.error();
        if (e.kind == TransportError::Kind::Backend && (e.os_errno == ENOBUFS || e.os_errno == EAGAIN)) break;
        return std::unexpected(e);
    }
    return n;
}

Result<std::size_t> CanTransport::recv_batch(std::span<CanFrame> out, Duration wait) {
    if (out.empty()) return 0;
    auto got = recv(wait);
    if (!got) {
        if (got.error().kind == TransportError::Kind::Timeout) return 0;
        return std::unexpected(got.error());
    }
    out[0] = std::move(*got);
    return 1;
}

Result<std::size_t> CanTransport::drain(std::span<CanFrame> scratch) {
    std::size_t total = 0;
    while (total < kDrainMax) {
        auto got = recv_batch(scratch.first(std::min(scratch.size(), kDrainMax - total)), Duration{});
        if (!got) return std::unexpected(got.error());
        if (*got == 0) break;
        total += *got;
    }
    return total;
}

}  // namespace torvane::can
