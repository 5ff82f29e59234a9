#include "python/value_classes.hpp"

#include <string>

#include "damiao/float_text.hpp"
#include "python/binder.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"

namespace torvane::py {

using damiao::MitLimits;
using damiao::MitSetpoint;
using damiao::MotorState;

namespace {

// ---- field tables ----------------------------------------------------------

template <typename T>
struct FloatField {
    const char* name;
    float T::*member;
};

constexpr FloatField<MitLimits> kLimitFields[] = {
    {"p_max", &MitLimits::p_max}, {"v_max", &MitLimits::v_max}, {"kp_max", &MitLimits::kp_max},
    {"kd_max", &MitLimits::kd_max}, {"t_max", &MitLimits::t_max}};
constexpr FloatField<MitSetpoint> kSetpointFields[] = {
    {"q", &MitSetpoint::q}, {"dq", &MitSetpoint::dq}, {"kp", &MitSetpoint::kp},
    {"kd", &MitSetpoint::kd}, {"tau", &MitSetpoint::tau}};

constexpr const char* kLimitNames[] = {"p_max", "v_max", "kp_max", "kd_max", "t_max"};
constexpr const char* kSetpointNames[] = {"q", "dq", "kp", "kd", "tau"};

constexpr Signature kLimitsNew = signature("MitLimits.__new__()", kLimitNames, 0);
constexpr Signature kSetpointNew = signature("MitSetpoint.__new__()", kSetpointNames, 0);
constexpr Signature kSetpointFn = signature("mit_setpoint()", kSetpointNames, 0);

template <typename T, std::size_t N>
bool fill(const FloatField<T> (&fields)[N], PyObject* const* bound, const T& defaults, T& out) {
    for (std::size_t i = 0; i < N; ++i)
        if (!to_f32(bound[i], fields[i].name, defaults.*(fields[i].member), out.*(fields[i].member)))
            return false;
    return true;
}

template <typename T, std::size_t N>
std::string repr_of(const char* cls, const FloatField<T> (&fields)[N], const T& v) {
    std::string s = cls;
    s += '(';
    for (std::size_t i = 0; i < N; ++i) {
        if (i) s += ", ";
        s += fields[i].name;
        s += '=';
        s += damiao::float_text(v.*(fields[i].member));
    }
    return s + ')';
}

PyObject* to_str(const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// ---- getters ---------------------------------------------------------------

template <typename T, float T::*M>
PyObject* get_float(PyObject* self, void*) {
    return PyFloat_FromDouble(static_cast<double>(unbox<T>(self).*M));
}

template <std::uint8_t MotorState::*M>
PyObject* get_u8(PyObject* self, void*) {
    return PyLong_FromLong(unbox<MotorState>(self).*M);
}

#define TV_FLOAT_GETTER(T, f) {#f, guarded<&get_float<T, &T::f>>, nullptr, "", nullptr}
#define TV_U8_GETTER(f) {#f, guarded<&get_u8<&MotorState::f>>, nullptr, "", nullptr}

PyGetSetDef kLimitsGetters[] = {
    TV_FLOAT_GETTER(MitLimits, p_max), TV_FLOAT_GETTER(MitLimits, v_max), TV_FLOAT_GETTER(MitLimits, kp_max),
    TV_FLOAT_GETTER(MitLimits, kd_max), TV_FLOAT_GETTER(MitLimits, t_max), {}};
PyGetSetDef kSetpointGetters[] = {
    TV_FLOAT_GETTER(MitSetpoint, q), TV_FLOAT_GETTER(MitSetpoint, dq), TV_FLOAT_GETTER(MitSetpoint, kp),
    TV_FLOAT_GETTER(MitSetpoint, kd), TV_FLOAT_GETTER(MitSetpoint, tau), {}};
PyGetSetDef kStateGetters[] = {
    TV_U8_GETTER(motor_id), TV_U8_GETTER(error), TV_FLOAT_GETTER(MotorState, position),
    TV_FLOAT_GETTER(MotorState, velocity), TV_FLOAT_GETTER(MotorState, torque), TV_U8_GETTER(t_mos),
    TV_U8_GETTER(t_rotor), {}};

#undef TV_FLOAT_GETTER
#undef TV_U8_GETTER

// ---- constructors and reprs ------------------------------------------------

PyObject* limits_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* bound[5];
    MitLimits v;
    if (!bind_tuple(kLimitsNew, args, kwargs, bound) || !fill(kLimitFields, bound, MitLimits{}, v)) return nullptr;
    PyObject* o = type->tp_alloc(type, 0);
    if (o) unbox<MitLimits>(o) = v;
    return o;
}

PyObject* setpoint_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* bound[5];
    MitSetpoint v;
    if (!bind_tuple(kSetpointNew, args, kwargs, bound) || !fill(kSetpointFields, bound, MitSetpoint{}, v))
        return nullptr;
    PyObject* o = type->tp_alloc(type, 0);
    if (o) unbox<MitSetpoint>(o) = v;
    return o;
}

// A value object owns only its record (trivially destructible): free it and
// drop the heap type's reference, skipping the generic dealloc's look for
// finalizers, weak references and a __dict__ that these classes never have.
void value_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* state_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for MotorState");
    return nullptr;
}

PyObject* limits_repr(PyObject* self) { return to_str(repr_of("MitLimits", kLimitFields, unbox<MitLimits>(self))); }
PyObject* setpoint_repr(PyObject* self) {
    return to_str(repr_of("MitSetpoint", kSetpointFields, unbox<MitSetpoint>(self)));
}

PyObject* state_repr(PyObject* self) {
    const MotorState& s = unbox<MotorState>(self);
    using damiao::fixed4_text;
    using std::to_string;
    return to_str("MotorState(motor_id=" + to_string(s.motor_id) + ", error=" + to_string(s.error) +
                  ", position=" + fixed4_text(s.position) + ", velocity=" + fixed4_text(s.velocity) +
                  ", torque=" + fixed4_text(s.torque) + ", t_mos=" + to_string(s.t_mos) +
                  ", t_rotor=" + to_string(s.t_rotor) + ")");
}

// ---- presets ---------------------------------------------------------------

template <std::size_t I>
PyObject* preset(PyObject*, PyObject*) {
    return box(ClassId::MitLimits, damiao::kPresets[I].limits);
}

#define TV_PRESET(i, name) \
    {name, guarded<&preset<i>>, METH_NOARGS | METH_STATIC, name "()\n--\n\n"}

PyMethodDef kLimitsMethods[] = {
    TV_PRESET(0, "dm3507"),   TV_PRESET(1, "dm4310"),   TV_PRESET(2, "dm4310p"),  TV_PRESET(3, "dm4340"),
    TV_PRESET(4, "dm4340p"),  TV_PRESET(5, "dm6006"),   TV_PRESET(6, "dm6248p"),  TV_PRESET(7, "dm8006"),
    TV_PRESET(8, "dm8009"),   TV_PRESET(9, "dm10010"),  TV_PRESET(10, "dm10010l"), TV_PRESET(11, "dmg6215"),
    TV_PRESET(12, "dmh3510"), TV_PRESET(13, "dmh6220"), TV_PRESET(14, "dmjh11"),  {}};

#undef TV_PRESET

// ---- mit_setpoint ----------------------------------------------------------

PyObject* mit_setpoint(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[5];
    MitSetpoint v;
    if (!bind_fast(kSetpointFn, args, nargs, kwnames, bound) || !fill(kSetpointFields, bound, MitSetpoint{}, v))
        return nullptr;
    return box(ClassId::MitSetpoint, v);
}

PyMethodDef kMitSetpointDef = {
    "mit_setpoint", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<&mit_setpoint>)),
    METH_FASTCALL | METH_KEYWORDS,
    "mit_setpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)\n--\n\n"
    "Build a `MitSetpoint` (handy when keyword args are awkward)."};

}  // namespace

PyObject* new_motor_state(const MotorState& state) { return box(ClassId::MotorState, state); }

PyMethodDef* mit_setpoint_def() { return &kMitSetpointDef; }

namespace {

constexpr ClassDef kLimitsClass{"torvane.MitLimits",
                                "MitLimits(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0)\n--\n\n",
                                sizeof(Boxed<MitLimits>),
                                guarded<&limits_new>,
                                guarded<&limits_repr>,
                                value_dealloc,
                                kLimitsGetters,
                                kLimitsMethods};
const ClassBlock limits_class{ClassId::MitLimits, kLimitsClass};

constexpr ClassDef kSetpointClass{"torvane.MitSetpoint",
                                  "MitSetpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)\n--\n\n",
                                  sizeof(Boxed<MitSetpoint>),
                                  guarded<&setpoint_new>,
                                  guarded<&setpoint_repr>,
                                  value_dealloc,
                                  kSetpointGetters,
                                  nullptr};
const ClassBlock setpoint_class{ClassId::MitSetpoint, kSetpointClass};

constexpr ClassDef kStateClass{"torvane.MotorState", nullptr,       sizeof(Boxed<MotorState>), guarded<&state_new>,
                               guarded<&state_repr>, value_dealloc, kStateGetters,              nullptr};
const ClassBlock state_class{ClassId::MotorState, kStateClass};

}  // namespace

}  // namespace torvane::py
