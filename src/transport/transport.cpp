#include "transport/transport.hpp"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <array>
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

Result<void> CanTransport::wait_any(std::span<CanTransport* const> buses, MonoNanos deadline) {
    std::array<pollfd, kWaitMax> polls;
    if (buses.size() > polls.size()) return std::unexpected(TransportError::os(EINVAL));
    for (std::size_t i = 0; i < buses.size(); ++i) {
        const int fd = buses[i]->descriptor();
        if (fd < 0) return std::unexpected(TransportError::os(EBADF));
        polls[i] = {fd, POLLIN, 0};
    }
    for (;;) {
        const MonoNanos left = deadline - now();
        if (left <= 0) return {};
        const timespec wait = to_timespec(from_nanos(left));
        const int ready = ::ppoll(polls.data(), buses.size(), &wait, nullptr);
        if (ready >= 0) return {};
        if (errno != EINTR) return std::unexpected(TransportError::os(errno));
    }
}

Result<void> CanTransport::sleep_until(std::span<CanTransport* const> buses, MonoNanos until) {
    (void)buses;
    const timespec at = to_timespec(from_nanos(std::max<MonoNanos>(until, 0)));
    for (;;) {
        const int rc = ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
        if (rc == 0) return {};
        if (rc != EINTR) return std::unexpected(TransportError::os(rc));
    }
}

Result<std::size_t> CanTransport::drain(std::span<CanFrame> scratch) {
    std::size_t total = 0;
    while (total < kDrainMax) {
        auto got = recv_batch(scratch.first(std::min(scratch.size(), kDrainMax - total)), Duration{});
        if (!got) return std::unexpected(got.error());
        if (*got == 0) break;
        for (std::size_t i = 0; i < *got; ++i)
            if (scratch[i].id.is_error()) note_error(scratch[i]);
        total += *got;
    }
    return total;
}

}  // namespace torvane::can
