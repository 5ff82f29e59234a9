// A group's JointLimits applied to one motor's command before it is encoded,
// from the last state measured on the group's interface (shared by every
// object of the process there) and only while that state is fresh.

#include <string>

#include "torvane_ext/group_class.hpp"

namespace torvane::ext {

namespace {

template <typename Command>
std::expected<bool, damiao::LimitRefusal> apply(const damiao::JointLimits& l, std::optional<damiao::Measured> m,
                                                const Damiao&, Command& c) {
    return damiao::limit(l, m, c);
}

std::expected<bool, damiao::LimitRefusal> apply(const damiao::JointLimits& l, std::optional<damiao::Measured> m,
                                                const Damiao& motor, damiao::ForcePosCommand& c) {
    return damiao::limit(l, m, c, motor.limits.t_max);
}

// The state to limit from; false with ValueError set when the one there is
// too old to go by.
bool basis(Group& g, std::size_t i, std::optional<damiao::Measured>& out) {
    const damiao::MeasuredState* m = g.measured->find(g.group->feedback()[i]);
    if (!m) return true;
    const can::MonoNanos age = can::mono_now() - m->at;
    if (age > can::to_nanos(g.max_state_age)) {
        PyErr_Format(PyExc_ValueError,
                     "%s cannot be commanded within its limits: its last measured state is %llu ms old, older than "
                     "max_state_age_ms=%llu; refresh it first",
                     motor_name(g, i).c_str(), static_cast<unsigned long long>(age / 1'000'000),
                     static_cast<unsigned long long>(millis(g.max_state_age)));
        return false;
    }
    out = damiao::Measured{m->state.position, m->state.velocity};
    return true;
}

template <typename Command>
bool limit_one(Group& g, std::size_t i, Command& c) {
    const damiao::JointLimits& l = *g.limits[i];
    std::optional<damiao::Measured> measured;
    if (damiao::needs_state(l, c) && !basis(g, i, measured)) return false;
    auto changed = apply(l, measured, g.group->motors()[i], c);
    if (!changed) {
        PyErr_Format(PyExc_ValueError, "%s cannot be commanded within its limits: %s", motor_name(g, i).c_str(),
                     damiao::to_string(changed.error()));
        return false;
    }
    g.clamped[i] += *changed;
    return true;
}

}  // namespace

bool limit_command(Group& g, std::size_t i, damiao::AnyCommand& c) {
    return std::visit([&](auto& command) { return limit_one(g, i, command); }, c);
}

}  // namespace torvane::ext
