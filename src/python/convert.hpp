#pragma once
// Argument conversions, picked by a parameter's declared type (declare.hpp).
// Convert<T>::from(obj, param, out) stores the value or returns false with a
// Python exception set; `param` names the argument in the message.

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/transport_class.hpp"

namespace torvane::py {

template <typename T>
struct Convert {
    using type = T;
    static bool from(PyObject* obj, const char* param, T& out);
};

// float(obj) narrowed to single precision.
template <>
bool Convert<float>::from(PyObject* obj, const char* param, float& out);
// A C long in 0..65535.
template <>
bool Convert<std::uint16_t>::from(PyObject* obj, const char* param, std::uint16_t& out);
// An unsigned 64-bit integer; non-int objects go through __index__.
template <>
bool Convert<std::uint64_t>::from(PyObject* obj, const char* param, std::uint64_t& out);
// A str, as UTF-8 that lives as long as the object.
template <>
bool Convert<std::string_view>::from(PyObject* obj, const char* param, std::string_view& out);

template <typename T>
bool instance_or_raise(PyObject* obj, const char* param) {
    if (is_instance<T>(obj)) return true;
    if (!PyErr_Occurred()) raise_not_convertible(obj, class_name<T>, param);
    return false;
}

// A record: an instance of the class that holds it, copied out.
template <typename T>
    requires(class_name<T> != nullptr)
struct Convert<T> {
    using type = T;
    static bool from(PyObject* obj, const char* param, T& out) {
        return instance_or_raise<T>(obj, param) && (out = unbox<T>(obj), true);
    }
};

// A bus is borrowed, never copied.
template <>
struct Convert<Bus> {
    using type = Bus*;
    static bool from(PyObject* obj, const char* param, Bus*& out) {
        return instance_or_raise<Bus>(obj, param) && (out = &unbox<Bus>(obj), true);
    }
};

// None, or what T accepts.
template <typename T>
struct Convert<std::optional<T>> {
    using type = std::optional<typename Convert<T>::type>;
    static bool from(PyObject* obj, const char* param, type& out) {
        if (obj != Py_None) return Convert<T>::from(obj, param, out.emplace());
        out.reset();
        return true;
    }
};

}  // namespace torvane::py
