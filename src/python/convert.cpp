#include "python/convert.hpp"

#include <cmath>

#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/ref.hpp"

namespace torvane::py {

float narrow(double d) {
    // Halfway between FLT_MAX and 2^128 rounds (to even) up to infinity; a
    // plain cast of anything past FLT_MAX would be undefined.
    constexpr double kOverflow = 0x1.ffffffp127;
    if (std::isfinite(d) && std::fabs(d) >= kOverflow) return d > 0 ? INFINITY : -INFINITY;
    return static_cast<float>(d);
}

bool to_f32(PyObject* obj, const char* param, float fallback, float& out) {
    if (!obj) {
        out = fallback;
        return true;
    }
    double d;
    if (PyFloat_CheckExact(obj)) {
        d = PyFloat_AS_DOUBLE(obj);
    } else {
        d = PyFloat_AsDouble(obj);
        if (d == -1.0 && PyErr_Occurred()) {
            reword_type_error(param);
            return false;
        }
    }
    out = narrow(d);
    return true;
}

bool to_u16(PyObject* obj, const char* param, std::uint16_t& out) {
    const long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) {
        reword_type_error(param);
        return false;
    }
    if (v < 0 || v > 0xFFFF) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint16_t>(v);
    return true;
}

bool to_u64(PyObject* obj, const char* param, std::uint64_t& out) {
    Ref index;
    if (!PyLong_Check(obj)) {
        index = Ref::steal(PyNumber_Index(obj));
        if (!index) {
            reword_type_error(param);
            return false;
        }
        obj = index.get();
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        reword_type_error(param);
        return false;
    }
    out = v;
    return true;
}

bool to_limits(PyObject* obj, const char* param, damiao::MitLimits& out) {
    if (!is_instance(obj, ClassId::MitLimits)) {
        if (!PyErr_Occurred()) raise_not_convertible(obj, "MitLimits", param);
        return false;
    }
    out = unbox<damiao::MitLimits>(obj);
    return true;
}

bool to_setpoint(PyObject* obj, const char* param, damiao::MitSetpoint& out) {
    if (!is_instance(obj, ClassId::MitSetpoint)) {
        if (!PyErr_Occurred()) raise_not_convertible(obj, "MitSetpoint", param);
        return false;
    }
    out = unbox<damiao::MitSetpoint>(obj);
    return true;
}

}  // namespace torvane::py
