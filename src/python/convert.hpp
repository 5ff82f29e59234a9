#pragma once
// Argument conversions, picked by a parameter's declared type (declare.hpp).
// Convert<T>::from(obj, param, out) stores the value or returns false with a
// Python exception set; `param` names the argument in the message.

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/transport_class.hpp"

namespace torvane::py {

template <typename T>
struct Convert;

// float(obj) narrowed to single precision.
template <>
struct Convert<float> {
    using type = float;
    static bool from(PyObject* obj, const char* param, float& out);
};

// A C long in 0..65535.
template <>
struct Convert<std::uint16_t> {
    using type = std::uint16_t;
    static bool from(PyObject* obj, const char* param, std::uint16_t& out);
};

// An unsigned 64-bit integer; non-int objects go through __index__.
template <>
struct Convert<std::uint64_t> {
    using type = std::uint64_t;
    static bool from(PyObject* obj, const char* param, std::uint64_t& out);
};

// A str, as UTF-8 that lives as long as the object.
template <>
struct Convert<std::string> {
    using type = std::string_view;
    static bool from(PyObject* obj, const char* param, std::string_view& out);
};

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
        if (!instance_or_raise<T>(obj, param)) return false;
        out = unbox<T>(obj);
        return true;
    }
};

// A bus is borrowed, never copied.
template <>
struct Convert<Bus> {
    using type = Bus*;
    static bool from(PyObject* obj, const char* param, Bus*& out) {
        if (!instance_or_raise<Bus>(obj, param)) return false;
        out = &unbox<Bus>(obj);
        return true;
    }
};

// None, or what T accepts.
template <typename T>
struct Convert<std::optional<T>> {
    using type = std::optional<typename Convert<T>::type>;
    static bool from(PyObject* obj, const char* param, type& out) {
        if (obj == Py_None) {
            out.reset();
            return true;
        }
        return Convert<T>::from(obj, param, out.emplace());
    }
};

// Double to float with round-to-nearest-even; too large becomes infinity.
float narrow(double d);

}  // namespace torvane::py
