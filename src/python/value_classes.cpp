// MitLimits, MitSetpoint, MotorState and mit_setpoint: the parts their
// declarations (api.hpp) leave to the classes.

#include "damiao/float_text.hpp"
#include "python/class_table.hpp"

namespace torvane::py {

using damiao::MitLimits;
using damiao::MitSetpoint;
using damiao::MotorState;

namespace {

// "Name(field=value, ...)", each value in its shortest form.
template <typename T, typename... F>
std::string float_fields_text(const T& v, decl::Fields<F...>*) {
    std::string s = std::string(class_name<T>) + "(";
    ((s += (s.back() == '(' ? "" : ", ") + std::string(F::name) + "=" + damiao::float_text(v.*F::member)), ...);
    return s + ")";
}

template <typename... F>
PyMethodDef* function_table(std::tuple<F...>*) {
    static PyMethodDef table[] = {{F::name, table::as_cfunction<&table::function<F>>(), table::kFast, F::doc}..., {}};
    return table;
}

}  // namespace

template <>
std::string repr_text(const MitLimits& v) {
    return float_fields_text(v, static_cast<api::LimitsFields*>(nullptr));
}

template <>
std::string repr_text(const MitSetpoint& v) {
    return float_fields_text(v, static_cast<api::SetpointFields*>(nullptr));
}

template <>
std::string repr_text(const MotorState& s) {
    using damiao::fixed4_text;
    using std::to_string;
    return "MotorState(motor_id=" + to_string(s.motor_id) + ", error=" + to_string(s.error) +
           ", position=" + fixed4_text(s.position) + ", velocity=" + fixed4_text(s.velocity) +
           ", torque=" + fixed4_text(s.torque) + ", t_mos=" + to_string(s.t_mos) + ", t_rotor=" + to_string(s.t_rotor) +
           ")";
}

PyMethodDef* module_functions() { return function_table(static_cast<api::Functions*>(nullptr)); }

template PyTypeObject* create_type<MitLimits>();
template PyTypeObject* create_type<MitSetpoint>();
template PyTypeObject* create_type<MotorState>();

}  // namespace torvane::py
