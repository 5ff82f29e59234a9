// Damiao: the parts of the class that its declaration (api.hpp) names.

#include <cstdio>

#include "python/class_table.hpp"

namespace torvane::py {

using damiao::Damiao;

void api::init_damiao(Damiao& d, std::uint16_t motor_id, std::uint16_t master_id, std::optional<MitLimits> limits,
                      std::optional<std::uint64_t> timeout_ms) {
    d.motor_id = motor_id;
    d.master_id = master_id;
    if (limits) d.limits = *limits;
    if (timeout_ms) d.timeout = can::Duration::from_millis(*timeout_ms);
}

damiao::Result<void> api::ensure_mit_mode(const Damiao& d, can::CanTransport& bus) {
    return d.ensure_control_mode(bus, damiao::kModeMit);
}

template <>
std::string repr_text(const Damiao& d) {
    char text[48];
    std::snprintf(text, sizeof text, "Damiao(motor_id=0x%x, master_id=0x%x)", unsigned{d.motor_id},
                  unsigned{d.master_id});
    return text;
}

template PyTypeObject* create_type<Damiao>();

}  // namespace torvane::py
