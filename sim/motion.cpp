#include "sim/motion.hpp"

#include <algorithm>
#include <cmath>

namespace torvane::sim {

double rate_of(float reg) { return std::isnan(reg) ? 0.0 : std::abs(static_cast<double>(reg)); }

double velocity_toward(double v, double target, double acc, double dec, double dt) {
    const bool speeding_up = target * v >= 0 && std::abs(target) > std::abs(v);
    const double most = (speeding_up ? acc : dec) * dt;
    return v + std::clamp(target - v, -most, most);
}

double approach_velocity(double distance, double v_limit, double dec, double dt) {
    const double e = std::abs(distance);
    // v^2 / 2dec <= e - v dt: what is left after this step must suffice to stop.
    const double braking = std::isinf(dec) ? e / dt : std::sqrt(dec * dec * dt * dt + 2.0 * dec * e) - dec * dt;
    return std::copysign(std::min({std::abs(v_limit), braking, e / dt}), distance);
}

}  // namespace torvane::sim
