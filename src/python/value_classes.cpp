// MitLimits, MitSetpoint, MotorState: the functions their declarations
// (api.hpp) name.

#include "damiao/float_text.hpp"
#include "python/api.hpp"

namespace torvane::py::api {

namespace {

// "Name(field=value, ...)", each value in its shortest form.
template <typename T, typename... F>
std::string float_fields_text(const T& v, Fields<F...>*) {
    std::string s = std::string(class_name<T>) + "(";
    ((s += (s.back() == '(' ? "" : ", ") + std::string(F::name) + "=" + damiao::float_text(v.*F::store)), ...);
    return s + ")";
}

}  // namespace

std::string repr_text(const MitLimits& limits) {
    return float_fields_text(limits, static_cast<LimitsFields*>(nullptr));
}

std::string repr_text(const MitSetpoint& setpoint) {
    return float_fields_text(setpoint, static_cast<SetpointFields*>(nullptr));
}

std::string repr_text(const MotorState& s) {
    using damiao::fixed4_text;
    using std::to_string;
    return "MotorState(motor_id=" + to_string(s.motor_id) + ", error=" + to_string(s.error) +
           ", position=" + fixed4_text(s.position) + ", velocity=" + fixed4_text(s.velocity) +
           ", torque=" + fixed4_text(s.torque) + ", t_mos=" + to_string(s.t_mos) + ", t_rotor=" + to_string(s.t_rotor) +
           ")";
}

}  // namespace torvane::py::api
