#pragma once
// Argument conversions shared by the classes. Each returns false with a
// Python exception set.

#include <Python.h>

#include <cstdint>

#include "damiao/mit.hpp"

namespace torvane::py {

// float(obj) narrowed to single precision; absent (nullptr) gives `fallback`.
bool to_f32(PyObject* obj, const char* param, float fallback, float& out);
// A C long in 0..65535.
bool to_u16(PyObject* obj, const char* param, std::uint16_t& out);
// An unsigned 64-bit integer; non-int objects go through __index__.
bool to_u64(PyObject* obj, const char* param, std::uint64_t& out);

// Copy the record out of an instance of the named class.
bool to_limits(PyObject* obj, const char* param, damiao::MitLimits& out);
bool to_setpoint(PyObject* obj, const char* param, damiao::MitSetpoint& out);

// Double to float with round-to-nearest-even; too large becomes infinity.
float narrow(double d);

}  // namespace torvane::py
