#include "loop/loop.hpp"

namespace torvane::loop {

std::expected<Loop, LoopError> Loop::make(Nanos period, Nanos spin) {
    if (period <= 0) return std::unexpected(LoopError::Period);
    if (spin < 0) return std::unexpected(LoopError::Spin);
    Loop l;
    l.period_ = period;
    l.spin_ = spin;
    return l;
}

std::expected<std::uint64_t, Sleep> Loop::next(Timer& timer) {
    if (!started_) {
        timer.started();
        start_ = last_wake_ = last_deadline_ = timer.now();
        started_ = true;
        next_index_ = 1;
        return ticks_++;
    }
    if (!waiting_) {  // not when resuming after a signal: the body ended then
        const Nanos end = timer.now();
        busy_ += end - last_wake_;
        ++bodies_;
        deadline_ = start_ + next_index_ * period_;
        if (end > deadline_) {
            ++overruns_;
            next_index_ = (end - start_) / period_ + 1;
            deadline_ = start_ + next_index_ * period_;
        }
        waiting_ = true;
    }
    if (timer.sleep_until(deadline_ - spin_) == Sleep::Interrupted) return std::unexpected(Sleep::Interrupted);
    Nanos wake = timer.now();
    while (wake < deadline_) wake = timer.now();
    waiting_ = false;
    errors_.add(wake - deadline_);
    last_wake_ = wake;
    last_deadline_ = deadline_;
    ++ticks_;
    return static_cast<std::uint64_t>(next_index_++);
}

Stats Loop::stats() const {
    constexpr double us = 1e3;
    Stats s;
    s.ticks = ticks_;
    s.overruns = overruns_;
    s.p50_us = static_cast<double>(errors_.percentile(0.50)) / us;
    s.p99_us = static_cast<double>(errors_.percentile(0.99)) / us;
    s.max_us = static_cast<double>(errors_.max()) / us;
    s.busy = bodies_ ? static_cast<double>(busy_) / (static_cast<double>(bodies_) * static_cast<double>(period_)) : 0.0;
    return s;
}

}  // namespace torvane::loop
