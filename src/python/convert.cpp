#include "python/convert.hpp"

#include <cmath>

#include "python/boundary.hpp"
#include "python/fixed_texts.hpp"
#include "python/ref.hpp"

namespace torvane::py {

namespace {

float narrow(double d) {
    // Halfway between FLT_MAX and 2^128 rounds (to even) up to infinity; a
    // plain cast of anything past FLT_MAX would be undefined.
    constexpr double kOverflow = 0x1.ffffffp127;
    if (std::isfinite(d) && std::fabs(d) >= kOverflow) return d > 0 ? INFINITY : -INFINITY;
    return static_cast<float>(d);
}

}  // namespace

template <>
bool Convert<float>::from(PyObject* obj, const char* param, float& out) {
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

template <>
bool Convert<std::uint16_t>::from(PyObject* obj, const char* param, std::uint16_t& out) {
    const long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) {
        reword_type_error(param);
        return false;
    }
    if (v < 0 || v > 0xFFFF) {
        PyErr_SetString(PyExc_OverflowError, text::kOutOfRange);
        return false;
    }
    out = static_cast<std::uint16_t>(v);
    return true;
}

template <>
bool Convert<std::uint64_t>::from(PyObject* obj, const char* param, std::uint64_t& out) {
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

template <>
bool Convert<std::string_view>::from(PyObject* obj, const char* param, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        raise_not_convertible(obj, text::kStrClass, param);
        return false;
    }
    Py_ssize_t len;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!utf8) return false;
    out = {utf8, static_cast<std::size_t>(len)};
    return true;
}

}  // namespace torvane::py
