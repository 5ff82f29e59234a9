#include "transport/socketcan_backend.hpp"

#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>
#include <cstring>
#include <string>
#include <type_traits>

namespace torvane::can {

namespace {

constexpr std::size_t kFdLens[] = {12, 16, 20, 24, 32, 48, 64};

std::unexpected<TransportError> os_failure() { return std::unexpected(TransportError::os(errno)); }

bool id_in_range(CanId id) {
    return !id.is_error() && id.value <= (id.is_extended() ? kExtendedMax : kStandardMax);
}

Result<void> write_all(int fd, const void* record, std::size_t size) {
    auto* p = static_cast<const std::uint8_t*>(record);
    while (size > 0) {
        const ssize_t n = ::send(fd, p, size, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return os_failure();
        }
        if (n == 0) return std::unexpected(TransportError::message("failed to write whole buffer"));
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

// Why `frame` cannot go out, if it cannot: the identifier's range is
// checked before the length.
Result<void> check_sendable(const CanFrame& frame) {
    if (!id_in_range(frame.id)) return std::unexpected(TransportError::invalid_id());
    const std::size_t n = frame.size();
    if (n > (frame.fd ? std::size_t{CANFD_MAX_DLEN} : std::size_t{CAN_MAX_DLEN}))
        return std::unexpected(TransportError::too_large(static_cast<std::uint32_t>(n)));
    return {};
}

// The record of a checked frame in `raw`; its size.
std::size_t to_record(const CanFrame& frame, canfd_frame& raw) {
    const canid_t raw_id = frame.id.value | (frame.id.is_extended() ? CAN_EFF_FLAG : 0U);
    const std::size_t n = frame.size();
    if (frame.fd) {
        raw = canfd_frame{};
        raw.can_id = raw_id;
        raw.len = static_cast<std::uint8_t>(fd_wire_len(n));
        raw.flags = CANFD_FDF | (frame.brs ? CANFD_BRS : 0);
        std::memcpy(raw.data, frame.data().data(), n);
        return CANFD_MTU;
    }
    can_frame classic{};
    classic.can_id = raw_id;
    classic.len = static_cast<std::uint8_t>(n);
    std::memcpy(classic.data, frame.data().data(), n);
    static_assert(sizeof classic == CAN_MTU && sizeof raw >= CAN_MTU);
    std::memcpy(&raw, &classic, sizeof classic);
    return CAN_MTU;
}

// A record of a checked size (CAN_MTU or CANFD_MTU) into `frame`.
void read_record(const canfd_frame& raw, std::size_t size, CanFrame& frame) {
    if (raw.can_id & CAN_ERR_FLAG)
        frame.id = CanId::error(raw.can_id & CAN_ERR_MASK);
    else if (raw.can_id & CAN_EFF_FLAG)
        frame.id = CanId::extended(raw.can_id & CAN_EFF_MASK);
    else
        frame.id = CanId::standard(static_cast<std::uint16_t>(raw.can_id & CAN_SFF_MASK));
    const std::size_t cap = size == CAN_MTU ? CAN_MAX_DLEN : CANFD_MAX_DLEN;
    frame.set_data({raw.data, raw.len > cap ? cap : raw.len});
    frame.fd = size == CANFD_MTU;
    frame.brs = frame.fd && (raw.flags & CANFD_BRS) != 0;
}

}  // namespace


timeval to_timeval(Duration d) {
    using secs_t = decltype(timeval{}.tv_sec);
    constexpr auto kMaxSecs = static_cast<std::uint64_t>(std::numeric_limits<secs_t>::max());
    timeval tv{};
    tv.tv_sec = static_cast<secs_t>(d.secs > kMaxSecs ? kMaxSecs : d.secs);
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>(d.nanos / 1000);
    // A zero SO_RCVTIMEO waits forever; the smallest real wait keeps the
    // caller's deadline to within one microsecond.
    if (tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1;
    return tv;
}

std::size_t fd_wire_len(std::size_t n) {
    if (n <= kClassicMaxLen) return n;
    for (std::size_t len : kFdLens)
        if (n <= len) return len;
    return kFdMaxLen;
}

Result<CanFrame> parse_record(std::span<const std::uint8_t> record) {
    if (record.size() != CAN_MTU && record.size() != CANFD_MTU) return std::unexpected(TransportError::os(EPROTO));
    canfd_frame raw;
    std::memcpy(&raw, record.data(), record.size());
    CanFrame frame;
    read_record(raw, record.size(), frame);
    return frame;
}

// One batch's records and the message headers that point at them, made
// once per socket: the kernel changes nothing in a header but its lengths
// and flags, so a call only fills the records (and, to send, their lengths).
struct SocketCanTransport::Records {
    canfd_frame raw[kBatchMax];
    iovec tx_iov[kBatchMax], rx_iov[kBatchMax];
    mmsghdr tx[kBatchMax], rx[kBatchMax];

    Records() {
        for (std::size_t i = 0; i < kBatchMax; ++i) {
            tx_iov[i] = rx_iov[i] = {&raw[i], sizeof raw[i]};
            tx[i].msg_hdr = {nullptr, 0, &tx_iov[i], 1, nullptr, 0, 0};
            rx[i].msg_hdr = {nullptr, 0, &rx_iov[i], 1, nullptr, 0, 0};
        }
    }
};

SocketCanTransport::SocketCanTransport(int fd, std::string name)
    : fd_(fd), name_(std::move(name)), records_(std::make_unique<Records>()) {}

SocketCanTransport::SocketCanTransport(SocketCanTransport&& other) noexcept
    : CanTransport(std::move(other)), fd_(other.fd_), name_(std::move(other.name_)),
      records_(std::move(other.records_)) {
    other.fd_ = -1;
}

Result<SocketCanTransport> SocketCanTransport::open(std::string_view iface) {
    if (iface.find('\0') != std::string_view::npos) return std::unexpected(TransportError::os(EINVAL));
    const std::string name(iface);
    const unsigned index = if_nametoindex(name.c_str());
    if (index == 0) return os_failure();

    const int fd = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) return os_failure();
    SocketCanTransport bus(fd, name);  // closes on every failure below

    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(index);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) return os_failure();

    const int on = 1;
    if (::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) < 0) return os_failure();
    return bus;
}

SocketCanTransport& SocketCanTransport::operator=(SocketCanTransport&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        CanTransport::operator=(std::move(other));
        fd_ = other.fd_;
        other.fd_ = -1;
        name_ = std::move(other.name_);
        records_ = std::move(other.records_);
    }
    return *this;
}

SocketCanTransport::~SocketCanTransport() {
    if (fd_ >= 0) ::close(fd_);
}

Result<void> SocketCanTransport::watch_health() {
    if (health_) return {};
    const can_err_mask_t all = CAN_ERR_MASK;
    if (::setsockopt(fd_, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &all, sizeof all) < 0) return os_failure();
    set_health(bus_health(name_));
    return {};
}

Result<void> SocketCanTransport::send(const CanFrame& frame) {
    if (auto ok = check_sendable(frame); !ok) return ok;
    canfd_frame raw;
    const std::size_t size = to_record(frame, raw);
    auto written = write_all(fd_, &raw, size);
    if (written && health_) health_->add_out(1);
    return written;
}

Result<void> SocketCanTransport::send_batch(std::span<const CanFrame> frames) {
    // Nothing goes out unless every frame can.
    for (const CanFrame& f : frames)
        if (auto ok = check_sendable(f); !ok) return ok;
    Records& r = *records_;
    while (!frames.empty()) {
        const std::size_t n = std::min(frames.size(), kBatchMax);
        for (std::size_t i = 0; i < n; ++i) r.tx_iov[i].iov_len = to_record(frames[i], r.raw[i]);
        for (std::size_t done = 0; done < n;) {
            const int sent = ::sendmmsg(fd_, r.tx + done, static_cast<unsigned>(n - done), 0);
            if (sent < 0) {
                if (errno == EINTR) continue;
                return os_failure();
            }
            done += static_cast<std::size_t>(sent);
        }
        if (health_) health_->add_out(n);
        frames = frames.subspan(n);
    }
    return {};
}

Result<std::size_t> SocketCanTransport::send_some(std::span<const CanFrame> frames) {
    for (const CanFrame& f : frames)
        if (auto ok = check_sendable(f); !ok) return std::unexpected(ok.error());
    Records& r = *records_;
    std::size_t total = 0;
    while (total < frames.size()) {
        const std::size_t n = std::min(frames.size() - total, kBatchMax);
        for (std::size_t i = 0; i < n; ++i) r.tx_iov[i].iov_len = to_record(frames[total + i], r.raw[i]);
        for (std::size_t done = 0; done < n;) {
            const int sent = ::sendmmsg(fd_, r.tx + done, static_cast<unsigned>(n - done), 0);
            if (sent < 0) {
                if (errno == EINTR) continue;
                if (errno == ENOBUFS || errno == EAGAIN) return counted_out(total + done);
                return os_failure();
            }
            done += static_cast<std::size_t>(sent);
        }
        total += n;
    }
    return counted_out(total);
}

Result<void> SocketCanTransport::wait_for_room(MonoNanos deadline) {
    constexpr MonoNanos kFrameTime = 130'000;
    const MonoNanos now = mono_now();
    if (deadline <= now) return {};
    const MonoNanos until = std::min(deadline, now + kFrameTime);
    pollfd p{fd_, POLLOUT, 0};
    const timespec wait = to_timespec(from_nanos(until - now));
    if (::ppoll(&p, 1, &wait, nullptr) < 0 && errno != EINTR) return os_failure();
    const timespec ts{static_cast<time_t>(until / 1'000'000'000), static_cast<long>(until % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
    return {};
}

Result<std::size_t> SocketCanTransport::recv_batch(std::span<CanFrame> out, Duration wait) {
    const std::size_t n = std::min(out.size(), kBatchMax);
    if (n == 0) return 0;
    Records& r = *records_;
    int got = ::recvmmsg(fd_, r.rx, static_cast<unsigned>(n), MSG_DONTWAIT, nullptr);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && (wait.secs != 0 || wait.nanos != 0)) {
        // A signal does not cut the wait short: it goes on for the time left.
        const MonoNanos deadline = now() + to_nanos(wait);
        pollfd p{fd_, POLLIN, 0};
        for (;;) {
            const timespec ts = to_timespec(from_nanos(std::max<MonoNanos>(deadline - now(), 0)));
            const int ready = ::ppoll(&p, 1, &ts, nullptr);
            if (ready == 0) return 0;
            if (ready > 0) break;
            if (errno != EINTR) return os_failure();
        }
        got = ::recvmmsg(fd_, r.rx, static_cast<unsigned>(n), MSG_DONTWAIT, nullptr);
    }
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return os_failure();
    }
    std::size_t errors = 0;
    for (int i = 0; i < got; ++i) {
        const std::size_t size = r.rx[i].msg_len;
        if (size != CAN_MTU && size != CANFD_MTU) return std::unexpected(TransportError::os(EPROTO));
        errors += (r.raw[i].can_id & CAN_ERR_FLAG) != 0;
        read_record(r.raw[i], size, out[static_cast<std::size_t>(i)]);
    }
    if (health_ && got > 0) health_->add_in(static_cast<std::size_t>(got) - errors);
    return static_cast<std::size_t>(got);
}

Result<CanFrame> SocketCanTransport::recv(Duration timeout) {
    const timeval tv = to_timeval(timeout);
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0) return os_failure();
    std::uint8_t buf[CANFD_MTU] = {};
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ETIMEDOUT)
            return std::unexpected(TransportError::timeout());
        return os_failure();
    }
    auto frame = parse_record({buf, static_cast<std::size_t>(n)});
    if (frame && health_ && !frame->id.is_error()) health_->add_in(1);
    return frame;
}

}  // namespace torvane::can
