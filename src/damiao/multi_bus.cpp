#include "damiao/multi_bus.hpp"

#include <algorithm>
#include <array>
#include <cerrno>


namespace torvane::damiao {

using can::CanFrame;
using can::MonoNanos;

namespace {

// Matches one frame to its motor; true once the share has all its replies.
bool take(const Share& s, Progress& p, const CanFrame& f, MonoNanos at) {
    const auto feedback = s.group->feedback();
    const auto motors = s.group->motors();
    for (std::size_t i = 0; i < feedback.size(); ++i) {
        if (feedback[i] != f.id) continue;
        if (!is_state_of(f.data(), motors[i].motor_id)) {
            ++p.skipped;
            break;
        }
        MotorGroup::Slot& slot = s.slots[i];
        if (slot.state) break;
        if (auto state = decode(motors[i].limits, f.data())) {
            slot.state = *state;
            slot.answered_at = at;
            ++p.answered;
        }
        break;
    }
    return p.answered == s.slots.size();
}

// Every group's commands, the buses in turn; a full transmit queue is
// waited on until the deadline, then it is the bus's failure.
ShareResult<void> send_all(std::span<const Share> shares, std::span<Progress> progress, MonoNanos deadline) {
    std::array<CanFrame, can::kBatchMax> frames;
    can::CanTransport& clock = *shares[0].bus;
    for (;;) {
        std::size_t full = shares.size();
        for (std::size_t i = 0; i < shares.size(); ++i) {
            const Share& s = shares[i];
            Progress& p = progress[i];
            const bool fd = s.group->fd();
            while (p.sent < s.slots.size()) {
                const std::size_t n = std::min(s.slots.size() - p.sent, frames.size());
                for (std::size_t k = 0; k < n; ++k) frames[k] = to_frame(s.slots[p.sent + k].command, fd);
                auto sent = s.bus->send_some({frames.data(), n});
                if (!sent) return std::unexpected(ShareError{i, Error(sent.error())});
                p.sent += *sent;
                if (*sent < n) {
                    full = std::min(full, i);
                    break;
                }
            }
        }
        if (full == shares.size()) return {};
        if (clock.now() >= deadline)
            return std::unexpected(ShareError{full, Error(can::TransportError::os(ENOBUFS))});
        if (auto room = shares[full].bus->wait_for_room(deadline); !room)
            return std::unexpected(ShareError{full, Error(room.error())});
    }
}

}  // namespace

ShareResult<std::size_t> exchange(std::span<const Share> shares, Pace pace, std::span<Progress> progress,
                                  std::span<can::CanTransport*> waiting) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < shares.size(); ++i) {
        const Share& s = shares[i];
        if (s.slots.size() != s.group->size())
            return std::unexpected(ShareError{i, Error(Error::GroupSizeMismatch{s.group->size(), s.slots.size()})});
        for (MotorGroup::Slot& slot : s.slots) slot.state.reset();
        progress[i] = {};
        total += s.slots.size();
    }
    if (total == 0) return 0;

    std::array<CanFrame, can::kBatchMax> scratch;
    for (std::size_t i = 0; i < shares.size(); ++i)
        if (auto drained = shares[i].bus->drain(scratch); !drained)
            return std::unexpected(ShareError{i, Error(drained.error())});
    // One deadline for the whole tick, sending included.
    can::CanTransport& clock = *shares[0].bus;
    const MonoNanos start = clock.now();
    const MonoNanos deadline = start + can::to_nanos(pace.timeout);
    const MonoNanos spin_until = start + can::to_nanos(pace.spin);
    if (auto sent = send_all(shares, progress, deadline); !sent) return std::unexpected(sent.error());

    std::size_t answered = 0;
    // Reads what a share's bus holds, without waiting.
    auto read = [&](std::size_t i) -> ShareResult<void> {
        const Share& s = shares[i];
        Progress& p = progress[i];
        for (;;) {
            auto got = s.bus->recv_batch(scratch, {});
            if (!got) return std::unexpected(ShareError{i, Error(got.error())});
            if (*got == 0) return {};
            const MonoNanos at = clock.now();
            const std::size_t before = p.answered;
            bool done = false;
            for (std::size_t k = 0; k < *got && !done; ++k) done = take(s, p, scratch[k], at);
            answered += p.answered - before;
            if (done || *got < scratch.size()) return {};
        }
    };
    for (;;) {
        std::size_t n = 0;
        for (std::size_t i = 0; i < shares.size(); ++i) {
            if (progress[i].answered == shares[i].slots.size()) continue;
            if (auto r = read(i); !r) return std::unexpected(r.error());
            if (progress[i].answered < shares[i].slots.size()) waiting[n++] = shares[i].bus;
        }
        if (answered == total) return answered;
        const MonoNanos now = clock.now();
        if (now >= deadline) return answered;
        if (now < spin_until) continue;
        if (auto w = clock.wait_any({waiting.data(), n}, deadline); !w) {
            // A wait fails for all; blame the first bus still waited on.
            std::size_t first = 0;
            while (shares[first].bus != waiting[0]) ++first;
            return std::unexpected(ShareError{first, Error(w.error())});
        }
    }
}

Result<MultiBusExchange> MultiBusExchange::make(std::vector<Share> shares, Pace pace) {
    if (shares.size() > can::kWaitMax)
        return std::unexpected(Error(can::TransportError::message("a tick waits on at most 64 buses")));
    for (std::size_t i = 0; i < shares.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (shares[j].bus == shares[i].bus) return std::unexpected(Error(Error::SharedBus{j, i}));
    return MultiBusExchange(std::move(shares), pace);
}

}  // namespace torvane::damiao
