#pragma once
// The abstract bus. Errors are values; nothing here throws.

#include <cstddef>
#include <expected>
#include <memory>
#include <span>

#include "transport/bus_health.hpp"
#include "transport/can_frame.hpp"
#include "transport/duration.hpp"
#include "transport/transport_error.hpp"

namespace torvane::can {

template <typename T>
using Result = std::expected<T, TransportError>;

// The most frames one batch call moves; larger batches go in several calls.
inline constexpr std::size_t kBatchMax = 16;

// A drain stops after this many frames, so that a flooded bus cannot keep it
// going; whatever is left is skipped by the matching that follows.
inline constexpr std::size_t kDrainMax = 4096;

// The most buses one wait_any watches.
inline constexpr std::size_t kWaitMax = 64;

class CanTransport {
public:
    virtual ~CanTransport() = default;

    virtual Result<void> send(const CanFrame& frame) = 0;
    virtual Result<CanFrame> recv(Duration timeout) = 0;

    // Every frame in order, stopping at the first failure (the ones before it
    // may have gone out). A backend may send them in one call.
    virtual Result<void> send_batch(std::span<const CanFrame> frames);

    // Frames in order until the interface's transmit queue is full: how many
    // went out. A full queue (ENOBUFS) is no error here; the caller waits
    // for room and sends the rest.
    virtual Result<std::size_t> send_some(std::span<const CanFrame> frames);

    // Waits, at most until `deadline`, for the transmit queue to drain a little.
    virtual Result<void> wait_for_room(MonoNanos deadline) {
        (void)deadline;
        return {};
    }

    // A descriptor that polls readable when a frame waits; -1 for a bus
    // without one.
    virtual int descriptor() const { return -1; }

    // Waits until a frame can be read on one of `buses` (this one among them,
    // all of one kind) or `deadline` passes, on this bus's clock. A signal
    // does not end it early (the caller's caller checks signals). The seam
    // of every multi-bus wait: a real bus polls the buses' descriptors (at
    // most kWaitMax), a scripted one moves its clock to the next reply.
    virtual Result<void> wait_any(std::span<CanTransport* const> buses, MonoNanos deadline);

    // Sleeps until `until` on this bus's clock, whatever comes meanwhile on
    // `buses` (this one among them): the one wake-up of a tick that knows
    // when its replies can all have come. A signal does not end it early. A
    // scripted bus moves its clock, and the buses' replies that much nearer.
    virtual Result<void> sleep_until(std::span<CanTransport* const> buses, MonoNanos until);

    // The frames already received, up to out.size(); when there are none,
    // waits up to `wait` for the first one. 0 when nothing came, never a
    // timeout error: a zero `wait` only looks.
    virtual Result<std::size_t> recv_batch(std::span<CanFrame> out, Duration wait);

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
    // time still left, so skipped frames never stretch the call. Error
    // frames are noted and never shown to `matches`: some match on the
    // bytes alone.
    template <typename Match>
    Result<CanFrame> receive(Match&& matches, MonoNanos deadline) {
        for (;;) {
            const MonoNanos left = deadline - now();
            if (left < 0) return std::unexpected(TransportError::timeout());
            auto got = recv(from_nanos(left));
            if (!got) return got;
            if (got->id.is_error()) {
                note_error(*got);
                continue;
            }
            if (matches(*got)) return got;
            if (health_) health_->add_unsolicited(1);
        }
    }

    // Drops every frame received so far without waiting (at most kDrainMax),
    // error frames noted; how many. `scratch` (and collect's) is where
    // batches are read into: a caller's array, so that the loops allocate
    // nothing.
    Result<std::size_t> drain(std::span<CanFrame> scratch);

    // Hands every frame received until `deadline` to `take`, which returns
    // true once it has all it wants; error frames are noted instead. What is
    // already queued is taken first without waiting. Reaching the deadline
    // is no error; only the bus's are.
    template <typename Take>
    Result<void> collect(std::span<CanFrame> scratch, MonoNanos deadline, Take&& take) {
        Duration wait{};
        for (;;) {
            auto got = recv_batch(scratch, wait);
            if (!got) return std::unexpected(got.error());
            for (std::size_t i = 0; i < *got; ++i) {
                if (scratch[i].id.is_error())
                    note_error(scratch[i]);
                else if (take(scratch[i]))
                    return {};
            }
            const MonoNanos left = deadline - now();
            if (left <= 0) return {};
            wait = from_nanos(left);
        }
    }

    // The clock deadlines are measured on; a scripted bus may script time too.
    virtual MonoNanos now() { return mono_now(); }

    // The record this bus's traffic is counted in (bus_health.hpp), if it has one.
    BusHealth* health() const { return health_.get(); }
    void set_health(std::shared_ptr<BusHealth> h) { health_ = std::move(h); }

    // An error frame taken off this bus: counted in the record; what it says.
    ErrorReading note_error(const CanFrame& f) { return health_ ? health_->note_error(f) : read_error(f); }

protected:
    std::shared_ptr<BusHealth> health_;
};

}  // namespace torvane::can
