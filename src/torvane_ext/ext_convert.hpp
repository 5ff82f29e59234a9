#pragma once
// Conversions of torvane_ext's own argument types (ext_api.hpp), beside
// torvane's (python/convert.hpp), and of results back to Python.

#include <Python.h>

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "python/convert.hpp"
#include "torvane_ext/ext_api.hpp"

namespace torvane::ext {

// ControlMode (made at import), for ModeValue results.
PyObject* control_mode_class();  // borrowed
// The Status member of a feedback status code, or the plain int.
PyObject* status_of(std::uint32_t code);

PyObject* to_py(const ModeValue& v);
PyObject* to_py(const damiao::RegisterValue& v);
PyObject* to_py(const std::vector<MotorInfo>& found);
PyObject* to_py(damiao::FrameKind kind);
PyObject* to_py(const damiao::FrameValues& values);  // a dict, named as named_values names them
PyObject* to_py(const FeedbackStatus& status);
PyObject* to_py(const StateName& state);
PyObject* to_py(const ErrorCounts& counts);  // {class name: count}
inline void raise_error(PythonRaised&&) {}  // raised already
inline PyObject* to_py(bool b) { return PyBool_FromLong(b); }
inline PyObject* to_py(float f) { return PyFloat_FromDouble(static_cast<double>(f)); }
inline PyObject* to_py(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
template <typename T>
    requires std::is_integral_v<T>
PyObject* to_py(T v) {
    return PyLong_FromUnsignedLongLong(v);
}
template <typename T>
    requires(py::class_name<T> != nullptr)
PyObject* to_py(const T& record) {
    return py::box(record);
}
template <typename T>
PyObject* to_py(const std::optional<T>& v) {
    return v ? to_py(*v) : Py_NewRef(Py_None);
}

// Checks that need more than one argument, before anything is sent.
template <typename... A>
bool validate(const A&...) {
    return true;
}
bool validate(const Damiao& m, const RegisterArg& reg, const NumberArg& value, const VerifyArg&);
// A command's values: NaN and infinity are refused (ValueError), never sent.
bool validate(const Damiao& m, float q, float dq);
bool validate(const Damiao& m, float dq);
bool validate(const Damiao& m, float q, float v_limit, float i_limit);
// NaN or infinity in `values` named by `names`: ValueError naming the first.
bool finite(std::span<const float> values, std::span<const char* const> names);

}  // namespace torvane::ext

namespace torvane::py {

// Each kept as its own type.
template <>
bool Convert<ext::RegisterArg>::from(PyObject* obj, const char* param, ext::RegisterArg& out);  // 0..255 or a name
template <>
bool Convert<ext::NumberArg>::from(PyObject* obj, const char* param, ext::NumberArg& out);  // int or float, as given
template <>
bool Convert<ext::ModeArg>::from(PyObject* obj, const char* param, ext::ModeArg& out);  // an int (ControlMode) 1..4
template <>
bool Convert<bool>::from(PyObject* obj, const char* param, bool& out);  // a bool, nothing else
template <>
bool Convert<ext::VerifyArg>::from(PyObject* obj, const char* param, ext::VerifyArg& out);
template <>
bool Convert<ext::ScanIds>::from(PyObject* obj, const char* param, ext::ScanIds& out);  // ints 0..65535
template <>
bool Convert<ext::Window>::from(PyObject* obj, const char* param, ext::Window& out);  // (lo, hi)
template <>
bool Convert<ext::ScanTimeout>::from(PyObject* obj, const char* param, ext::ScanTimeout& out);
template <>
bool Convert<ext::FrameId>::from(PyObject* obj, const char* param, ext::FrameId& out);  // 0..0x7FF, or an error frame's
template <>
bool Convert<ext::FrameData>::from(PyObject* obj, const char* param, ext::FrameData& out);  // a buffer, <= 64 bytes
template <>
bool Convert<ext::MotorIds>::from(PyObject* obj, const char* param, ext::MotorIds& out);  // a container, borrowed
template <>
bool Convert<ext::AskedArg>::from(PyObject* obj, const char* param, ext::AskedArg& out);  // a container, borrowed

// A group's per-motor sequence is read by the group itself, borrowed.
template <typename T>
struct Convert<ext::Each<T>> {
    using type = PyObject*;
    static bool from(PyObject* obj, const char*, PyObject*& out) {
        out = obj;
        return true;
    }
};

}  // namespace torvane::py
