#include "torvane_ext/rows.hpp"

#include <string_view>

namespace torvane::ext {

namespace {

// 'd' or 'f' in native or little-endian order: what numpy, array.array and
// memoryview report for float64 and float32 on this platform.
int item_kind(const char* format) {
    std::string_view f = format ? format : "B";
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == '<')) f.remove_prefix(1);
    if (f == "d") return 8;
    if (f == "f") return 4;
    return 0;
}

}  // namespace

bool RowBuffer::open(PyObject* obj, const char* param, std::size_t motors, std::size_t width, bool writable) {
    if (!PyObject_CheckBuffer(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must support the buffer protocol, not %.200s", param,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) return false;
    const int size = item_kind(view_.format);
    if (size == 0 || view_.itemsize != size) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must hold float64 or float32 values, not format '%s'", param,
                     view_.format ? view_.format : "B");
        return false;
    }
    if (writable && view_.readonly) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be writable", param);
        return false;
    }
    const bool flat = view_.ndim == 1 && width == 1;
    if (!(view_.ndim == 2 || flat) || static_cast<std::size_t>(view_.shape[0]) != motors ||
        (!flat && static_cast<std::size_t>(view_.shape[1]) != width)) {
        PyErr_Format(PyExc_ValueError, "argument '%s' must have shape (%zu, %zu) for %zu motors", param, motors, width,
                     motors);
        return false;
    }
    if (!PyBuffer_IsContiguous(&view_, 'C')) {
        PyErr_Format(PyExc_ValueError, "argument '%s' must be C-contiguous", param);
        return false;
    }
    width_ = width;
    is_double_ = size == 8;
    return true;
}

}  // namespace torvane::ext
