#include <cstdio>
#include <optional>

#include "damiao/driver.hpp"
#include "python/binder.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/error_map.hpp"
#include "python/transport_class.hpp"
#include "python/value_classes.hpp"

namespace torvane::py {

using damiao::Damiao;
using damiao::MotorState;

namespace {

constexpr const char* kNewNames[] = {"motor_id", "master_id", "limits", "timeout_ms"};
constexpr Signature kNew = signature("Damiao.__new__()", kNewNames, 2);

PyObject* damiao_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    if (!bind_tuple(kNew, args, kwargs, a)) return nullptr;
    Damiao d;
    if (!to_u16(a[0], "motor_id", d.motor_id) || !to_u16(a[1], "master_id", d.master_id)) return nullptr;
    if (a[2] && a[2] != Py_None && !to_limits(a[2], "limits", d.limits)) return nullptr;
    std::uint64_t ms = 20;
    if (a[3] && !to_u64(a[3], "timeout_ms", ms)) return nullptr;
    d.timeout = can::Duration::from_millis(ms);
    PyObject* self = type->tp_alloc(type, 0);
    if (self) new (&unbox<Damiao>(self)) Damiao(d);
    return self;
}

PyObject* damiao_repr(PyObject* self) {
    const Damiao& d = unbox<Damiao>(self);
    return PyUnicode_FromFormat("Damiao(motor_id=0x%x, master_id=0x%x)", unsigned{d.motor_id},
                                unsigned{d.master_id});
}

template <std::uint16_t Damiao::*M>
PyObject* get_id(PyObject* self, void*) {
    return PyLong_FromLong(unbox<Damiao>(self).*M);
}

PyGetSetDef kGetters[] = {
    {"motor_id", guarded<&get_id<&Damiao::motor_id>>, nullptr, "", nullptr},
    {"master_id", guarded<&get_id<&Damiao::master_id>>, nullptr, "", nullptr},
    {}};

// ---- bus methods: one shape, six operations -------------------------------

constexpr const char* kBusNames[] = {"bus"};
constexpr const char* kMitNames[] = {"bus", "setpoint"};

// Runs one driver operation under the bus lock and converts its result.
template <typename Op>
PyObject* run_locked(PyObject* bus, Op&& op) {
    using R = decltype(op(std::declval<can::CanTransport&>()));
    std::optional<R> result;
    const bool ok = with_bus(bus, [&](can::CanTransport& t) {
        result.emplace(op(t));
        if (*result) return true;
        dm_err_to_py(std::move(result->error()));
        return false;
    });
    if (!ok) return nullptr;
    if constexpr (std::is_same_v<typename R::value_type, void>)
        Py_RETURN_NONE;
    else
        return new_motor_state(**result);
}

bool check_bus(PyObject* bus) {
    if (is_instance(bus, ClassId::SocketCanTransport)) return true;
    if (!PyErr_Occurred()) raise_not_convertible(bus, "SocketCanTransport", "bus");
    return false;
}

template <damiao::Result<MotorState> (Damiao::*Cmd)(can::CanTransport&) const, const Signature& Sig>
PyObject* command(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bus;
    if (!bind_fast(Sig, args, nargs, kwnames, &bus) || !check_bus(bus)) return nullptr;
    const Damiao& d = unbox<Damiao>(self);
    return run_locked(bus, [&](can::CanTransport& t) { return (d.*Cmd)(t); });
}

constexpr Signature kEnable = signature("Damiao.enable()", kBusNames, 1);
constexpr Signature kDisable = signature("Damiao.disable()", kBusNames, 1);
constexpr Signature kSetZero = signature("Damiao.set_zero()", kBusNames, 1);
constexpr Signature kClearError = signature("Damiao.clear_error()", kBusNames, 1);
constexpr Signature kEnsure = signature("Damiao.ensure_mit_mode()", kBusNames, 1);
constexpr Signature kMit = signature("Damiao.mit_control()", kMitNames, 2);

PyObject* mit_control(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    damiao::MitSetpoint sp;
    if (!bind_fast(kMit, args, nargs, kwnames, a) || !check_bus(a[0]) || !to_setpoint(a[1], "setpoint", sp))
        return nullptr;
    const Damiao& d = unbox<Damiao>(self);
    return run_locked(a[0], [&](can::CanTransport& t) { return d.mit_control(t, sp); });
}

PyObject* ensure_mit_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bus;
    if (!bind_fast(kEnsure, args, nargs, kwnames, &bus) || !check_bus(bus)) return nullptr;
    const Damiao& d = unbox<Damiao>(self);
    return run_locked(bus, [&](can::CanTransport& t) { return d.ensure_control_mode(t, damiao::kModeMit); });
}

template <auto Fn>
PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<Fn>));
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"enable", as_cfunction<&command<&Damiao::enable, kEnable>>(), kFast, "enable($self, bus)\n--\n\n"},
    {"disable", as_cfunction<&command<&Damiao::disable, kDisable>>(), kFast, "disable($self, bus)\n--\n\n"},
    {"set_zero", as_cfunction<&command<&Damiao::set_zero, kSetZero>>(), kFast, "set_zero($self, bus)\n--\n\n"},
    {"clear_error", as_cfunction<&command<&Damiao::clear_error, kClearError>>(), kFast,
     "clear_error($self, bus)\n--\n\n"},
    {"mit_control", as_cfunction<&mit_control>(), kFast, "mit_control($self, bus, setpoint)\n--\n\n"},
    {"ensure_mit_mode", as_cfunction<&ensure_mit_mode>(), kFast,
     "ensure_mit_mode($self, bus)\n--\n\n"
     "Force the firmware into MIT control mode (register 10 = 1). Some\n"
     "motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is\n"
     "silently ignored."},
    {}};

// Two blocks: the bus commands, and the constructor, identifiers and repr.
constexpr ClassDef kCommandBlock{nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, kMethods};
const ClassBlock command_block{ClassId::Damiao, kCommandBlock};

constexpr ClassDef kCoreBlock{"torvane.Damiao",
                              "Damiao(motor_id, master_id, limits=None, timeout_ms=20)\n--\n\n",
                              sizeof(Boxed<Damiao>),
                              guarded<&damiao_new>,
                              guarded<&damiao_repr>,
                              nullptr,
                              kGetters,
                              nullptr};
const ClassBlock core_block{ClassId::Damiao, kCoreBlock};

}  // namespace

}  // namespace torvane::py
