// Damiao: the functions its declaration (api.hpp) names.

#include <cstdio>

#include "python/api.hpp"

namespace torvane::py::api {

void set_limits(Damiao& d, std::optional<MitLimits> limits) {
    if (limits) d.limits = *limits;
}

void set_timeout(Damiao& d, std::uint64_t timeout_ms) { d.timeout = can::Duration::from_millis(timeout_ms); }

damiao::Result<void> ensure_mit_mode(const Damiao& d, can::CanTransport& bus) {
    return d.ensure_control_mode(bus, damiao::kModeMit);
}

std::string repr_text(const Damiao& d) {
    char text[48];
    std::snprintf(text, sizeof text, "Damiao(motor_id=0x%x, master_id=0x%x)", unsigned{d.motor_id},
                  unsigned{d.master_id});
    return text;
}

}  // namespace torvane::py::api
