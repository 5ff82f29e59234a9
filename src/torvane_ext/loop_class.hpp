#pragma once
// Loop and LoopStats, realtime() and monotonic_ns(): the Python side of the
// fixed-rate loop (src/loop), as ext_api.hpp declares them.

#include <Python.h>

#include <string>

#include "loop/loop.hpp"
#include "loop/timer.hpp"
#include "python/convert.hpp"
#include "torvane_ext/loop_api.hpp"

namespace torvane::ext {

struct LoopObject {
    loop::Loop core;  // period 0 in an instance made without the constructor
    loop::MonotonicTimer timer;
    bool busy = false;  // a wait in another thread
};

PyObject* own_call(PyObject* self, LoopCall call);
PyObject* own_get(PyObject* self, LoopField field);
std::string repr_text(const LoopObject& l);

void raise_error(ArgError&& err);               // ValueError
void raise_error(loop::RealtimeError&& err);  // PermissionError, ValueError or OSError

inline PyObject* to_py(double d) { return PyFloat_FromDouble(d); }

}  // namespace torvane::ext

namespace torvane::py {

template <>
bool Convert<double>::from(PyObject* obj, const char* param, double& out);  // a real number
template <>
bool Convert<ext::Priority>::from(PyObject* obj, const char* param, ext::Priority& out);  // an int
template <>
bool Convert<ext::SpinUs>::from(PyObject* obj, const char* param, ext::SpinUs& out);  // an int
template <>
bool Convert<ext::LockMemory>::from(PyObject* obj, const char* param, ext::LockMemory& out);  // a bool
template <>
bool Convert<ext::Cpus>::from(PyObject* obj, const char* param, ext::Cpus& out);  // an iterable of ints

}  // namespace torvane::py
