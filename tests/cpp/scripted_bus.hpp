#pragma once
// An in-memory bus for unit tests: recv hands out scripted frames or errors,
// every sent frame is kept, and time is a plain counter the test moves.
// recv_batch reads a step's `takes` as when it arrives: a frame that takes
// longer than the wait is not there yet, and frames that take no time after
// the first are already queued behind it.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <optional>
#include <span>
#include <ostream>
#include <string>
#include <vector>

#include "transport/transport.hpp"

namespace torvane::can {

inline void PrintTo(const Duration& d, std::ostream* os) { *os << d.secs << "s+" << d.nanos << "ns"; }
inline void PrintTo(const CanId& id, std::ostream* os) {
    *os << (id.is_extended() ? "ext:0x" : "std:0x") << std::hex << id.value << std::dec;
}

}  // namespace torvane::can

namespace torvane::test {

using can::CanFrame;
using can::CanId;
using can::Duration;
using can::MonoNanos;
using can::TransportError;
using Bytes = std::vector<std::uint8_t>;

constexpr MonoNanos kMs = 1'000'000;

inline Duration ms(std::uint64_t n) { return Duration::from_millis(n); }

inline CanFrame frame(CanId id, std::initializer_list<std::uint8_t> data, bool fd = false, bool brs = false) {
    const Bytes bytes(data);
    return CanFrame(id, bytes, fd, brs);
}

inline Bytes bytes_of(const CanFrame& f) { return Bytes(f.data().begin(), f.data().end()); }

class ScriptedBus final : public can::CanTransport {
public:
    // What one recv yields, and how far the clock moves while it waits.
    struct Step {
        can::Result<CanFrame> result;
        MonoNanos takes = 0;
    };

    ScriptedBus() = default;
    // Buses of one multi-bus test keep one time.
    explicit ScriptedBus(MonoNanos& shared) : clock(shared) {}
    ScriptedBus(const ScriptedBus&) = delete;
    ScriptedBus& operator=(const ScriptedBus&) = delete;

    std::deque<Step> script;
    std::deque<std::optional<TransportError>> send_results;  // empty: sends succeed
    MonoNanos send_takes = 0;
    MonoNanos own_clock = 1'000 * kMs;
    MonoNanos& clock = own_clock;

    // How many frames each send_some finds room for (empty: all); a wait for
    // room moves the clock by room_takes.
    std::deque<std::size_t> room;
    MonoNanos room_takes = 0;
    std::size_t room_waits = 0;

    std::vector<CanFrame> sent;
    std::vector<std::chrono::steady_clock::time_point> sent_at;  // real time, for sleeps
    std::vector<Duration> waits;                                 // argument of every recv
    std::string log;                                             // 's' per send, 'r' per recv, 'b' per recv_batch
    bool batch_model = true;  // false: recv_batch is CanTransport's, one recv

    void reply(CanFrame f, MonoNanos takes = 0) { script.push_back({std::move(f), takes}); }
    void fail(TransportError e, MonoNanos takes = 0) { script.push_back({std::unexpected(e), takes}); }

    can::Result<void> send(const CanFrame& f) override {
        log += 's';
        clock += send_takes;
        if (!send_results.empty()) {
            auto r = send_results.front();
            send_results.pop_front();
            if (r) return std::unexpected(*r);
        }
        sent.push_back(f);
        sent_at.push_back(std::chrono::steady_clock::now());
        return {};
    }

    can::Result<std::size_t> send_some(std::span<const CanFrame> frames) override {
        std::size_t n = frames.size();
        if (!room.empty()) {
            n = std::min(n, room.front());
            room.pop_front();
        }
        for (std::size_t i = 0; i < n; ++i)
            if (auto sent = send(frames[i]); !sent) return std::unexpected(sent.error());
        return n;
    }

    can::Result<void> wait_for_room(MonoNanos) override {
        ++room_waits;
        clock += room_takes;
        return {};
    }

    can::Result<CanFrame> recv(Duration timeout) override {
        log += 'r';
        waits.push_back(timeout);
        if (script.empty()) {
            // Like a quiet bus: the whole wait passes, then nothing.
            clock += can::to_nanos(timeout);
            return std::unexpected(TransportError::timeout());
        }
        Step step = std::move(script.front());
        script.pop_front();
        clock += step.takes;
        return std::move(step.result);
    }

    can::Result<std::size_t> recv_batch(std::span<CanFrame> out, Duration wait) override {
        if (!batch_model) return CanTransport::recv_batch(out, wait);
        log += 'b';
        waits.push_back(wait);
        std::size_t n = 0;
        while (n < out.size() && !script.empty()) {
            Step& step = script.front();
            if (n == 0) {
                const MonoNanos w = can::to_nanos(wait);
                if (step.takes > w) {
                    clock += w;
                    step.takes -= w;
                    return 0;
                }
                clock += step.takes;
            } else if (step.takes > 0) {
                break;
            }
            if (!step.result) {
                if (n > 0) break;  // the error comes with the next call
                const TransportError e = step.result.error();
                script.pop_front();
                return std::unexpected(e);
            }
            out[n++] = std::move(*step.result);
            script.pop_front();
        }
        if (n == 0 && script.empty()) clock += can::to_nanos(wait);
        return n;
    }

    // Moves the (shared) clock to the first reply any of `buses` has coming,
    // or to the deadline; the others' replies come that much sooner. 'w'.
    std::deque<std::optional<TransportError>> wait_results;  // of the next wait_any calls; empty: succeed

    can::Result<void> wait_any(std::span<can::CanTransport* const> buses, MonoNanos deadline) override {
        log += 'w';
        if (!wait_results.empty()) {
            auto r = wait_results.front();
            wait_results.pop_front();
            if (r) return std::unexpected(*r);
        }
        const MonoNanos left = std::max<MonoNanos>(deadline - clock, 0);
        waits.push_back(can::from_nanos(left));
        MonoNanos step = left;
        for (can::CanTransport* b : buses) {
            const auto& s = static_cast<ScriptedBus*>(b)->script;
            if (!s.empty()) step = std::min(step, s.front().takes);
        }
        for (can::CanTransport* b : buses) {
            auto& s = static_cast<ScriptedBus*>(b)->script;
            if (!s.empty()) s.front().takes -= std::min(step, s.front().takes);
        }
        clock += step;
        return {};
    }

    // Moves the (shared) clock to `until`; every reply of `buses` due by
    // then is queued. 'z'.
    std::vector<MonoNanos> sleeps;  // how long each sleep_until slept

    can::Result<void> sleep_until(std::span<can::CanTransport* const> buses, MonoNanos until) override {
        log += 'z';
        const MonoNanos step = std::max<MonoNanos>(until - clock, 0);
        sleeps.push_back(step);
        for (can::CanTransport* b : buses) {
            MonoNanos left = step;
            for (Step& st : static_cast<ScriptedBus*>(b)->script) {
                const MonoNanos d = std::min(left, st.takes);
                st.takes -= d;
                left -= d;
                if (st.takes > 0) break;
            }
        }
        clock += step;
        return {};
    }

    MonoNanos now() override { return clock; }
};

}  // namespace torvane::test
