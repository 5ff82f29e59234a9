// The safety settings of MotorGroup and Robot as given to their
// constructors: on_fault, on_exit, watchdog_ms, limits, mode and set_mode.

#include <string>

#include "damiao/enable_setup.hpp"
#include "python/binder.hpp"
#include "torvane_ext/ext_convert.hpp"
#include "torvane_ext/ext_errors.hpp"
#include "torvane_ext/ext_table.hpp"
#include "torvane_ext/group_class.hpp"

namespace torvane::ext {

using py::Convert;
using py::Ref;
using py::unbox;

namespace {

bool one_of(PyObject* obj, const char* param, std::initializer_list<const char*> words, int& out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be str, not %.200s", param, Py_TYPE(obj)->tp_name);
        return false;
    }
    int k = 0;
    for (const char* w : words) {
        if (PyUnicode_CompareWithASCIIString(obj, w) == 0) {
            out = k;
            return true;
        }
        ++k;
    }
    PyErr_Format(PyExc_ValueError, "argument '%s' must be one of %s, not %R", param,
                 words.size() == 3 ? "'report', 'raise', 'disable'" : "'disable', 'keep'", obj);
    return false;
}

}  // namespace

std::string motor_name(const Group& g, std::size_t i) {
    return "motor " + std::to_string(i) + " (id " + std::to_string(g.group->motors()[i].motor_id) + ")";
}

bool convert_safety(PyObject* on_fault, PyObject* on_exit, Safety& out) {
    int k = 0;
    if (on_fault) {
        if (!one_of(on_fault, "on_fault", {"report", "raise", "disable"}, k)) return false;
        out.on_fault.kind = static_cast<OnFault::Kind>(k);
    }
    if (on_exit) {
        if (!one_of(on_exit, "on_exit", {"disable", "keep"}, k)) return false;
        out.on_exit.keep = k == 1;
    }
    return true;
}

bool convert_group_safety(const GroupSafetyArgs& args, std::size_t motors, Group& g) {
    if (args.watchdog_ms && args.watchdog_ms != Py_None) {
        if (PyBool_Check(args.watchdog_ms)) {
            PyErr_SetString(PyExc_TypeError, "argument 'watchdog_ms' must be an int (milliseconds) or None, not bool");
            return false;
        }
        std::uint64_t ms = 0;
        if (!Convert<std::uint64_t>::from(args.watchdog_ms, "watchdog_ms", ms)) return false;
        if (ms == 0 || ms > damiao::kWatchdogMaxMs) {
            PyErr_Format(PyExc_ValueError, "watchdog_ms must be in 1..%u, not %llu", damiao::kWatchdogMaxMs,
                         static_cast<unsigned long long>(ms));
            return false;
        }
        g.watchdog.ms = static_cast<std::uint32_t>(ms);
    }
    if (args.limits && args.limits != Py_None) {
        Ref seq = Ref::steal(PySequence_Fast(args.limits, "argument 'limits' must be a sequence of JointLimits or None"));
        if (!seq) return false;
        if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get())) != motors) {
            PyErr_Format(PyExc_ValueError, "argument 'limits': a group of %zu motors was given %zd limits", motors,
                         PySequence_Fast_GET_SIZE(seq.get()));
            return false;
        }
        g.limits.assign(motors, std::nullopt);
        for (std::size_t i = 0; i < motors; ++i) {
            PyObject* item = PySequence_Fast_ITEMS(seq.get())[i];
            if (item == Py_None) continue;
            if (!py::is_instance<LimitsValue>(item)) {
                PyErr_Format(PyExc_TypeError, "argument 'limits': item %zu must be JointLimits or None, not %.200s", i,
                             Py_TYPE(item)->tp_name);
                return false;
            }
            g.limits[i] = unbox<LimitsValue>(item).limits;
        }
    }
    g.clamped.assign(motors, 0);
    if (args.mode && args.mode != Py_None) {
        ModeArg mode;
        if (!Convert<ModeArg>::from(args.mode, "mode", mode)) return false;
        g.mode.mode = mode.mode;
    }
    return !args.set_mode || Convert<bool>::from(args.set_mode, "set_mode", g.set_mode);
}

}  // namespace torvane::ext
