#pragma once
// One argument binder for every callable of the module, driven by a
// signature table. Every parameter may be given by position or keyword.

#include <Python.h>

#include <cstddef>

namespace torvane::py {

inline constexpr std::size_t kMaxParams = 16;

struct Signature {
    const char* display;        // "Damiao.__new__()", "mit_setpoint()"
    const char* const* names;   // parameter names, in order
    std::size_t count;
    std::size_t required;       // the first `required` parameters have no default
    std::size_t positional = kMaxParams;  // how many may be given by position, the rest by keyword only
};

// Fills out[0..count) with borrowed references, nullptr for an absent
// optional parameter. On a binding error sets TypeError and returns false.
bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);
// The same for the tuple-and-dict convention of tp_new.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace torvane::py
