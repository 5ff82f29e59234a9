// Loop, LoopStats, realtime() and monotonic_ns(): arguments checked and
// converted here, the timing and the thread's settings in src/loop. A wait
// runs with the interpreter lock released; a signal that ends its sleep runs
// the Python handlers (Ctrl-C raises KeyboardInterrupt at once), and unless
// one raises, the wait goes on to the same deadline.

#include "torvane_ext/loop_class.hpp"

#include <climits>
#include <cmath>
#include <cstdio>

#include "python/boundary.hpp"
#include "python/ref.hpp"
#include "torvane_ext/ext_table.hpp"

namespace torvane::ext {

using py::Ref;
using py::unbox;

namespace {

constexpr const char* kNotMade = "Loop is not set up: it was made without its constructor";
constexpr const char* kBusy = "Loop is waiting in another thread";

std::string number(const char* format, double v) {
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

PyObject* next_tick(LoopObject& l) {
    l.busy = true;
    for (;;) {
        std::expected<std::uint64_t, loop::Sleep> tick;
        Py_BEGIN_ALLOW_THREADS
        tick = l.core.next(l.timer);
        Py_END_ALLOW_THREADS
        if (tick) {
            l.busy = false;
            return PyLong_FromUnsignedLongLong(*tick);
        }
        if (PyErr_CheckSignals() < 0) {
            l.busy = false;
            return nullptr;
        }
    }
}

// An int through __index__, as a long long; ValueError when it does not fit.
bool int_arg(PyObject* obj, const char* param, long long& out) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) {
        py::reword_type_error(param);
        return false;
    }
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (overflow) {
        PyErr_Format(PyExc_ValueError, "argument '%s': %R is out of range", param, obj);
        return false;
    }
    return !(out == -1 && PyErr_Occurred());
}

}  // namespace

std::expected<LoopObject, ArgError> make_loop(std::optional<double> rate_hz, std::optional<double> period_s,
                                              SpinUs spin) {
    if (rate_hz.has_value() == period_s.has_value())
        return std::unexpected(ArgError{"give exactly one of rate_hz and period_s"});
    const char* name = rate_hz ? "rate_hz" : "period_s";
    const double v = rate_hz ? *rate_hz : *period_s;
    if (!std::isfinite(v) || v <= 0)
        return std::unexpected(ArgError{std::string(name) + " must be positive and finite, not " + number("%g", v)});
    const double ns = rate_hz ? 1e9 / v : v * 1e9;
    if (!(ns >= 1 && ns <= 1e15))
        return std::unexpected(ArgError{"a period of " + number("%g", ns / 1e9) + " s is outside 1 ns .. 1e6 s"});
    if (spin.us < 0 || spin.us > 1'000'000'000)
        return std::unexpected(ArgError{"spin_us must be in 0 .. 1e9, not " + std::to_string(spin.us)});
    auto core = loop::Loop::make(std::llround(ns), spin.us * 1000);
    if (!core) return std::unexpected(ArgError{"the loop refused its period or spin"});
    LoopObject l;
    l.core = *core;
    return l;
}

std::expected<void, loop::RealtimeError> realtime(Priority priority, const std::optional<Cpus>& cpus,
                                                  LockMemory lock_memory) {
    if (priority.value < INT_MIN || priority.value > INT_MAX)
        return std::unexpected(
            loop::RealtimeError{loop::RealtimeError::Invalid, 0, "priority " + std::to_string(priority.value) + " is out of range"});
    loop::RealtimeRequest request{static_cast<int>(priority.value), std::nullopt, lock_memory.on};
    if (cpus) request.cpus = cpus->list;
    return loop::make_realtime(request);
}

PyObject* own_call(PyObject* self, LoopCall call) {
    LoopObject& l = unbox<LoopObject>(self);
    if (l.core.period() == 0) {
        PyErr_SetString(PyExc_RuntimeError, kNotMade);
        return nullptr;
    }
    switch (call) {
        case LoopCall::Next:
            if (l.busy) {
                PyErr_SetString(PyExc_RuntimeError, kBusy);
                return nullptr;
            }
            return next_tick(l);
        case LoopCall::Stats: return py::box(l.core.stats());
    }
    return nullptr;
}

PyObject* own_get(PyObject* self, LoopField field) {
    const LoopObject& l = unbox<LoopObject>(self);
    switch (field) {
        case LoopField::PeriodS: return PyFloat_FromDouble(static_cast<double>(l.core.period()) / 1e9);
        case LoopField::Ticks: return PyLong_FromUnsignedLongLong(l.core.ticks());
        // The tick's own deadline on monotonic_ns()'s clock, so that a caller can
        // tell lateness past a whole period, and which grid point an overrun moved to.
        case LoopField::DeadlineNs: return PyLong_FromUnsignedLongLong(static_cast<std::uint64_t>(l.core.last_deadline()));
    }
    return nullptr;
}

std::string repr_text(const LoopObject& l) {
    if (l.core.period() == 0) return "Loop()";
    return "Loop(period_s=" + number("%.9g", static_cast<double>(l.core.period()) / 1e9) +
           ", spin_us=" + std::to_string(l.core.spin() / 1000) + ", ticks=" + std::to_string(l.core.ticks()) + ")";
}

std::string repr_text(const loop::Stats& s) {
    return "LoopStats(ticks=" + std::to_string(s.ticks) + ", overruns=" + std::to_string(s.overruns) +
           ", p50_us=" + number("%.3f", s.p50_us) + ", p99_us=" + number("%.3f", s.p99_us) +
           ", max_us=" + number("%.3f", s.max_us) + ", busy=" + number("%.4f", s.busy) + ")";
}

void raise_error(ArgError&& err) { PyErr_SetString(PyExc_ValueError, err.message.c_str()); }

void raise_error(loop::RealtimeError&& err) {
    switch (err.kind) {
        case loop::RealtimeError::Permission: PyErr_SetString(PyExc_PermissionError, err.message.c_str()); return;
        case loop::RealtimeError::Invalid: PyErr_SetString(PyExc_ValueError, err.message.c_str()); return;
        case loop::RealtimeError::System: {
            Ref args = Ref::steal(Py_BuildValue("(is)", err.err, err.message.c_str()));
            if (args) PyErr_SetObject(PyExc_OSError, args.get());
            return;
        }
    }
}

}  // namespace torvane::ext

namespace torvane::py {

template <>
bool Convert<double>::from(PyObject* obj, const char* param, double& out) {
    out = PyFloat_AsDouble(obj);
    if (out == -1.0 && PyErr_Occurred()) {
        reword_type_error(param);
        return false;
    }
    return true;
}

template <>
bool Convert<ext::Priority>::from(PyObject* obj, const char* param, ext::Priority& out) {
    long long v = 0;
    return ext::int_arg(obj, param, v) && (out.value = v, true);
}

template <>
bool Convert<ext::SpinUs>::from(PyObject* obj, const char* param, ext::SpinUs& out) {
    long long v = 0;
    return ext::int_arg(obj, param, v) && (out.us = v, true);
}

template <>
bool Convert<ext::LockMemory>::from(PyObject* obj, const char* param, ext::LockMemory& out) {
    return Convert<bool>::from(obj, param, out.on);
}

template <>
bool Convert<ext::Cpus>::from(PyObject* obj, const char* param, ext::Cpus& out) {
    Ref items = Ref::steal(PySequence_Fast(obj, "an iterable of CPU numbers is required"));
    if (!items) {
        reword_type_error(param);
        return false;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    out.list.clear();
    for (Py_ssize_t i = 0; i < n; ++i) {
        long long v = 0;
        if (!ext::int_arg(PySequence_Fast_GET_ITEM(items.get(), i), param, v)) return false;
        if (v < INT_MIN || v > INT_MAX) {
            PyErr_Format(PyExc_ValueError, "argument '%s': no CPU %lld", param, v);
            return false;
        }
        out.list.push_back(static_cast<int>(v));
    }
    return true;
}

}  // namespace torvane::py
