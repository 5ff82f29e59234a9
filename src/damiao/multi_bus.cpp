#include "damiao/multi_bus.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>


namespace torvane::damiao {

using can::CanFrame;
using can::MonoNanos;

namespace {

// An error frame: noted in the bus's record, never a reply.
void note(const Share& s, Progress& p, const CanFrame& f) {
    if (s.bus->note_error(f).bus_off()) p.bus_off = true;
}

// Matches one frame to its motor; true once the share has all its replies.
bool take(const Share& s, Progress& p, const CanFrame& f, MonoNanos at) {
    const auto feedback = s.group->feedback();
    const auto motors = s.group->motors();
    for (std::size_t i = 0; i < feedback.size(); ++i) {
        if (feedback[i] != f.id) continue;
        MotorGroup::Slot& slot = s.slots[i];
        if (!is_state_of(f.data(), motors[i].motor_id)) {
            ++p.skipped;
        } else if (!slot.state) {
            if (auto state = decode(motors[i].limits, f.data())) {
                slot.state = *state;
                slot.answered_at = at;
                ++p.answered;
                return p.answered == s.slots.size();
            }
        }
        ++p.unsolicited;
        return p.answered == s.slots.size();
    }
    // No feedback identifier is an error frame's.
    if (f.id.is_error())
        note(s, p, f);
    else
        ++p.unsolicited;
    return p.answered == s.slots.size();
}

// A frame that waited from before the tick: a motor's state came too late
// for its tick, anything else was nobody's reply.
void late(const Share& s, Progress& p, const CanFrame& f) {
    if (f.id.is_error()) return note(s, p, f);
    const auto feedback = s.group->feedback();
    const auto motors = s.group->motors();
    for (std::size_t i = 0; i < feedback.size(); ++i)
        if (feedback[i] == f.id && is_state_of(f.data(), motors[i].motor_id)) {
            ++p.stale;
            return;
        }
    ++p.unsolicited;
}

// Every frame received so far, without waiting (at most kDrainMax).
ShareResult<void> drain(std::size_t i, const Share& s, Progress& p, std::span<CanFrame> scratch) {
    for (std::size_t total = 0; total < can::kDrainMax;) {
        auto got = s.bus->recv_batch(scratch.first(std::min(scratch.size(), can::kDrainMax - total)), {});
        if (!got) return std::unexpected(ShareError{i, Error(got.error())});
        if (*got == 0) break;
        for (std::size_t k = 0; k < *got; ++k) late(s, p, scratch[k]);
        total += *got;
    }
    return {};
}

ShareError bus_off(std::span<const Share> shares, std::size_t i) {
    const can::BusHealth* h = shares[i].bus->health();
    return {i, Error(Error::BusOff{h ? h->iface() : std::string()})};
}

// What the exchange counted, into each bus's record.
void count(std::span<const Share> shares, std::span<const Progress> progress) {
    for (std::size_t i = 0; i < shares.size(); ++i) {
        can::BusHealth* h = shares[i].bus->health();
        const Progress& p = progress[i];
        if (!h) continue;
        if (p.stale) h->add_stale(p.stale);
        if (p.unsolicited) h->add_unsolicited(p.unsolicited);
        if (p.tx_waits) h->add_tx_waits(p.tx_waits);
    }
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
        ++progress[full].tx_waits;
        if (auto room = shares[full].bus->wait_for_room(deadline); !room)
            return std::unexpected(ShareError{full, Error(room.error())});
    }
}

ShareResult<std::size_t> run(std::span<const Share> shares, Pace pace, std::span<Progress> progress,
                             std::span<can::CanTransport*> waiting) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < shares.size(); ++i) {
        const Share& s = shares[i];
        if (s.slots.size() != s.group->size())
            return std::unexpected(ShareError{i, Error(Error::GroupSizeMismatch{s.group->size(), s.slots.size()})});
        for (MotorGroup::Slot& slot : s.slots) slot.state.reset();
        total += s.slots.size();
    }
    if (total == 0) return 0;

    std::array<CanFrame, can::kBatchMax> scratch;
    for (std::size_t i = 0; i < shares.size(); ++i) {
        if (auto drained = drain(i, shares[i], progress[i], scratch); !drained)
            return std::unexpected(drained.error());
        // Nothing goes out to a controller that is off the bus.
        if (progress[i].bus_off) return std::unexpected(bus_off(shares, i));
    }
    // One deadline for the whole tick, sending included.
    can::CanTransport& clock = *shares[0].bus;
    const MonoNanos deadline = clock.now() + can::to_nanos(pace.timeout);
    if (auto sent = send_all(shares, progress, deadline); !sent) return std::unexpected(sent.error());
    const MonoNanos sent_at = clock.now();

    // One sleep until the replies can all have come, then one batch read.
    const bool sleeps = pace.settle && pace.settle->sleep() > 0;
    if (sleeps) {
        for (std::size_t i = 0; i < shares.size(); ++i) {
            waiting[i] = shares[i].bus;
            ++progress[i].waits;
        }
        const MonoNanos until = std::min(sent_at + pace.settle->sleep(), deadline);
        if (auto slept = clock.sleep_until({waiting.data(), shares.size()}, until); !slept)
            return std::unexpected(ShareError{0, Error(slept.error())});
    }
    const MonoNanos spin_until = clock.now() + can::to_nanos(pace.spin);

    std::size_t answered = 0;
    MonoNanos last_at = sent_at;  // when the last answer was read
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
            // The whole batch, even past the last reply: what came with it
            // (an error frame above all) is read once and only here.
            bool done = false;
            for (std::size_t k = 0; k < *got; ++k) done = take(s, p, scratch[k], at);
            if (p.answered != before) last_at = at;
            answered += p.answered - before;
            if (p.bus_off) return std::unexpected(bus_off(shares, i));
            if (done || *got < scratch.size()) return {};
        }
    };
    for (bool first = true;; first = false) {
        std::size_t n = 0;
        for (std::size_t i = 0; i < shares.size(); ++i) {
            if (progress[i].answered == shares[i].slots.size()) continue;
            if (auto r = read(i); !r) return std::unexpected(r.error());
            if (progress[i].answered < shares[i].slots.size()) waiting[n++] = shares[i].bus;
        }
        if (answered == total) {
            using Woke = SettleTime::Woke;
            if (pace.settle)
                pace.settle->learn(last_at - sent_at, !sleeps ? Woke::WithoutSleep
                                                      : first ? Woke::AllIn
                                                              : Woke::SomeMissing);
            return answered;
        }
        const MonoNanos now = clock.now();
        if (now >= deadline) return answered;
        if (now < spin_until) continue;
        for (std::size_t i = 0; i < shares.size(); ++i)
            if (progress[i].answered < shares[i].slots.size()) ++progress[i].waits;
        if (auto w = clock.wait_any({waiting.data(), n}, deadline); !w) {
            // A wait fails for all; blame the first bus still waited on.
            std::size_t first = 0;
            while (shares[first].bus != waiting[0]) ++first;
            return std::unexpected(ShareError{first, Error(w.error())});
        }
    }
}

}  // namespace

ShareResult<std::size_t> exchange(std::span<const Share> shares, Pace pace, std::span<Progress> progress,
                                  std::span<can::CanTransport*> waiting) {
    for (Progress& p : progress.first(shares.size())) p = {};
    auto answered = run(shares, pace, progress, waiting);
    count(shares, progress);
    return answered;
}

Result<MultiBusExchange> MultiBusExchange::make(std::vector<Share> shares, Pace pace, bool learn) {
    if (shares.size() > can::kWaitMax)
        return std::unexpected(Error(can::TransportError::message("a tick waits on at most 64 buses")));
    for (std::size_t i = 0; i < shares.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (shares[j].bus == shares[i].bus) return std::unexpected(Error(Error::SharedBus{j, i}));
    return MultiBusExchange(std::move(shares), pace, learn);
}

}  // namespace torvane::damiao
