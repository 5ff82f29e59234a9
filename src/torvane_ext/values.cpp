// MotorInfo and RegisterInfo: their reprs, as their declarations (ext_api.hpp) name them.

#include <cstdio>

#include "damiao/float_text.hpp"
#include "python/api.hpp"
#include "torvane_ext/ext_api.hpp"

namespace torvane::ext {

std::string repr_text(const MotorInfo& info) {
    char head[160];
    std::snprintf(head, sizeof head, "MotorInfo(motor_id=0x%x, master_id=0x%x, mode=%u, limits=", unsigned{info.motor_id},
                  unsigned{info.master_id}, unsigned{info.mode.mode});
    return head + py::api::repr_text(info.limits) + ", hw_ver=" + std::to_string(info.hw_ver) +
           ", sw_ver=" + std::to_string(info.sw_ver) + ", serial=" + std::to_string(info.serial) + ")";
}

std::string repr_text(const RegisterEntry& entry) {
    return "RegisterInfo(number=" + std::to_string(entry.number) + ", name='" + std::string(entry.name) +
           "', type='" + std::string(entry.type) + "', read_only=" + (entry.read_only ? "True" : "False") + ")";
}

}  // namespace torvane::ext
