#include "torvane_ext/ext_convert.hpp"

#include <cmath>

#include "python/fixed_texts.hpp"
#include "python/ref.hpp"
#include "torvane_ext/ext_errors.hpp"
#include "torvane_ext/ext_table.hpp"  // the type objects boxed into

namespace torvane::py {

using ext::kModes;

template <>
bool Convert<ext::RegisterArg>::from(PyObject* obj, const char* param, ext::RegisterArg& out) {
    if (PyUnicode_Check(obj)) {
        std::string_view name;
        if (!Convert<std::string_view>::from(obj, param, name)) return false;
        const auto info = damiao::find_register_named(damiao::kRegisters, name);
        if (!info) {
            PyErr_Format(ext::exception(ext::Failure::Register), "register %R is not in the Damiao register table",
                         obj);
            return false;
        }
        out.number = info->number;
        return true;
    }
    if (!PyLong_Check(obj) && !PyIndex_Check(obj)) {
        raise_not_convertible(obj, "int | str", param);
        return false;
    }
    std::uint64_t n;
    if (!Convert<std::uint64_t>::from(obj, param, n)) return false;
    if (n > 0xFF) {
        PyErr_SetString(PyExc_OverflowError, text::kOutOfRange);
        return false;
    }
    out.number = static_cast<std::uint8_t>(n);
    return true;
}

template <>
bool Convert<ext::NumberArg>::from(PyObject* obj, const char* param, ext::NumberArg& out) {
    if (PyLong_Check(obj)) {
        out = {false, 0, PyLong_AsLongLong(obj)};
        if (out.i == -1 && PyErr_Occurred()) return false;  // OverflowError
        return true;
    }
    if (!PyFloat_Check(obj) && !PyNumber_Check(obj)) {
        raise_not_convertible(obj, "int | float", param);
        return false;
    }
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) {
        reword_type_error(param);
        return false;
    }
    out = {true, d, 0};
    return true;
}

template <>
bool Convert<ext::ModeArg>::from(PyObject* obj, const char* param, ext::ModeArg& out) {
    const long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) {
        reword_type_error(param);
        return false;
    }
    for (const auto& m : kModes)
        if (m.value == static_cast<unsigned long>(v)) {
            out.mode = static_cast<std::uint8_t>(v);
            return true;
        }
    PyErr_Format(PyExc_ValueError, "argument '%s': control mode %ld is not one of 1 (MIT), 2 (POS_VEL), 3 (VEL), 4 (FORCE_POS)",
                 param, v);
    return false;
}

template <>
bool Convert<bool>::from(PyObject* obj, const char* param, bool& out) {
    if (!PyBool_Check(obj)) {
        raise_not_convertible(obj, "PyBool", param);
        return false;
    }
    out = obj == Py_True;
    return true;
}

template <>
bool Convert<ext::VerifyArg>::from(PyObject* obj, const char* param, ext::VerifyArg& out) {
    return Convert<bool>::from(obj, param, out.on);
}

template <>
bool Convert<ext::ScanIds>::from(PyObject* obj, const char* param, ext::ScanIds& out) {
    if (obj == Py_None) return true;  // the default stands
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) {
        reword_type_error(param);
        return false;
    }
    out.ids.clear();
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        std::uint16_t id;
        if (!Convert<std::uint16_t>::from(item.get(), param, id)) return false;
        out.ids.push_back(id);
    }
    return !PyErr_Occurred();
}

template <>
bool Convert<ext::ScanTimeout>::from(PyObject* obj, const char* param, ext::ScanTimeout& out) {
    return Convert<std::uint64_t>::from(obj, param, out.ms);
}

}  // namespace torvane::py

namespace torvane::ext {

bool validate(const Damiao& m, const RegisterArg& reg, const NumberArg& value, const VerifyArg&) {
    const auto info = damiao::find_register(m.registers, reg.number);
    if (info && !register_value(*info, value)) {
        PyErr_SetString(PyExc_OverflowError, py::text::kOutOfRange);
        return false;
    }
    return true;
}

bool finite(std::span<const float> values, std::span<const char* const> names) {
    for (std::size_t k = 0; k < values.size(); ++k)
        if (!std::isfinite(values[k])) {
            PyErr_Format(PyExc_ValueError, "%s must be a finite number, not %R", names[k],
                         py::Ref::steal(PyFloat_FromDouble(values[k])).get());
            return false;
        }
    return true;
}

bool validate(const Damiao&, float q, float dq) {
    const float v[] = {q, dq};
    constexpr const char* names[] = {"q", "dq"};
    return finite(v, names);
}

bool validate(const Damiao&, float dq) {
    constexpr const char* names[] = {"dq"};
    return finite({&dq, 1}, names);
}

bool validate(const Damiao&, float q, float v_limit, float i_limit) {
    const float v[] = {q, v_limit, i_limit};
    constexpr const char* names[] = {"q", "v_limit", "i_limit"};
    return finite(v, names);
}

PyObject* to_py(const ModeValue& v) {
    for (const auto& m : kModes)
        if (m.value == v.mode) return PyObject_CallFunction(control_mode_class(), "I", v.mode);
    return PyLong_FromUnsignedLong(v.mode);
}

PyObject* to_py(const damiao::RegisterValue& v) {
    if (v.type == damiao::RegisterType::Float) return PyFloat_FromDouble(static_cast<double>(v.as_float()));
    return PyLong_FromUnsignedLong(v.bits);
}

PyObject* to_py(const std::vector<MotorInfo>& found) {
    py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < found.size(); ++i) {
        PyObject* info = py::box(found[i]);
        if (!info) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), info);
    }
    return list.release();
}

}  // namespace torvane::ext
