#include "torvane_ext/ext_convert.hpp"

#include <linux/can.h>

#include <cmath>
#include <cstring>

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

template <>
bool Convert<ext::FrameId>::from(PyObject* obj, const char* param, ext::FrameId& out) {
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) {
        reword_type_error(param);
        return false;
    }
    // An error frame's identifier is its flag and classes, nothing above.
    const bool error = (v & ~static_cast<long long>(CAN_ERR_MASK)) == CAN_ERR_FLAG;
    if (!error && (v < 0 || v > static_cast<long long>(can::kStandardMax))) {
        PyErr_Format(PyExc_ValueError,
                     "argument '%s': a standard identifier is 0..0x7FF, or an error frame's has CAN_ERR_FLAG "
                     "(0x20000000) and its classes, not %lld",
                     param, v);
        return false;
    }
    out.value = static_cast<std::uint32_t>(v);
    return true;
}

template <>
bool Convert<ext::FrameData>::from(PyObject* obj, const char* param, ext::FrameData& out) {
    if (!PyObject_CheckBuffer(obj)) {
        raise_not_convertible(obj, "bytes", param);
        return false;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0) return false;
    const auto size = static_cast<std::size_t>(view.len);
    if (size > out.bytes.size()) {
        PyBuffer_Release(&view);
        PyErr_Format(PyExc_ValueError, "argument '%s': a CAN frame carries at most 64 bytes, not %zu", param, size);
        return false;
    }
    if (size) std::memcpy(out.bytes.data(), view.buf, size);
    out.size = size;
    PyBuffer_Release(&view);
    return true;
}

namespace {

// Anything `in` works on without consuming it: a set, a dict or its keys, a tuple.
bool container(PyObject* obj, const char* param, ext::Lookup& out) {
    const PySequenceMethods* seq = Py_TYPE(obj)->tp_as_sequence;
    if (!seq || !seq->sq_contains) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be a container (a set, a dict's keys, ...), not %.200s",
                     param, Py_TYPE(obj)->tp_name);
        return false;
    }
    out.container = obj;
    return true;
}

}  // namespace

template <>
bool Convert<ext::MotorIds>::from(PyObject* obj, const char* param, ext::MotorIds& out) {
    return container(obj, param, out);
}

template <>
bool Convert<ext::AskedArg>::from(PyObject* obj, const char* param, ext::AskedArg& out) {
    return container(obj, param, out);
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

PyObject* to_py(damiao::FrameKind kind) { return PyUnicode_FromString(damiao::kind_name(kind)); }

PyObject* to_py(const damiao::FrameValues& values) {
    py::Ref dict = py::Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    const NamedValues named = named_values(values);
    for (std::size_t k = 0; k < named.size; ++k) {
        const NamedValue& v = named.items[k];
        py::Ref value = py::Ref::steal(v.is_float ? to_py(v.f) : to_py(v.i));
        if (!value || PyDict_SetItemString(dict.get(), v.name, value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* to_py(const FeedbackStatus& status) {
    return status.code ? status_of(*status.code) : Py_NewRef(Py_None);
}

PyObject* to_py(const StateName& state) { return PyUnicode_FromString(can::state_name(state.state)); }

PyObject* to_py(const ErrorCounts& counts) {
    py::Ref dict = py::Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t k = 0; k < counts.counts.size(); ++k) {
        py::Ref n = py::Ref::steal(PyLong_FromUnsignedLongLong(counts.counts[k]));
        if (!n || PyDict_SetItemString(dict.get(), can::kErrorClasses[k], n.get()) < 0) return nullptr;
    }
    return dict.release();
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
