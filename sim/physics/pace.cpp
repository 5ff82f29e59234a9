#include "sim/physics/pace.hpp"

#include <algorithm>
#include <cstdio>

namespace torvane::sim {

namespace {

// Less than this behind is the event loop's own wake-up delay, not lag.
constexpr double kKeepingUp_s = 0.01;

std::string printf_text(const char* format, auto... values) {
    char buf[128];
    std::snprintf(buf, sizeof buf, format, values...);
    return buf;
}

}  // namespace

StepClock::StepClock(MonoNanos start, MonoNanos step, std::uint64_t most_per_call)
    : start_(start), step_(step), most_(std::max<std::uint64_t>(most_per_call, 1)) {}

std::uint64_t StepClock::due(MonoNanos now) const {
    if (now <= start_) return 0;
    const auto reached = static_cast<std::uint64_t>((now - start_) / step_);
    return reached > done_ ? std::min(reached - done_, most_) : 0;
}

MonoNanos StepClock::behind(MonoNanos now) const {
    const MonoNanos wall = now - start_;
    const MonoNanos due_by_now = wall - wall % step_;
    return std::max<MonoNanos>(due_by_now - simulated(), 0);
}

Pace pace_between(const PaceSample& from, const PaceSample& to) {
    Pace p;
    const double wall = static_cast<double>(to.wall - from.wall);
    const double busy = static_cast<double>(to.busy - from.busy);
    if (wall > 0) {
        p.factor = static_cast<double>(to.simulated - from.simulated) / wall;
        p.core_share = busy / wall;
    }
    if (to.steps > from.steps) p.us_per_step = busy / 1e3 / static_cast<double>(to.steps - from.steps);
    p.behind_s = static_cast<double>(std::max<MonoNanos>(to.wall - to.simulated, 0)) * 1e-9;
    return p;
}

std::string step_text(MonoNanos step) { return printf_text("%g ms", static_cast<double>(step) * 1e-6); }

std::string describe(const Pace& p, MonoNanos step) {
    const std::string lag = p.behind_s < kKeepingUp_s ? "keeping up with the clock"
                                                      : printf_text("behind the clock by %.1f s", p.behind_s);
    return printf_text("real-time factor %.2f (", p.factor) + lag +
           printf_text("), %.1f us per %s step, %.1f%% of a core", p.us_per_step, step_text(step).c_str(),
                       p.core_share * 100.0);
}

}  // namespace torvane::sim
