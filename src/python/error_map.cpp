#include "python/error_map.hpp"

#include <Python.h>

namespace torvane::py {

namespace {

void raise_text(PyObject* type, const std::string& text) {
    PyErr_SetString(type, text.c_str());
}

}  // namespace

void dm_err_to_py(damiao::Error&& err) {
    const std::string text = err.to_string();
    PyObject* type = err.get<damiao::InvalidLimits>() ? PyExc_ValueError : PyExc_RuntimeError;
    { damiao::Error released = std::move(err); }
    raise_text(type, text);
}

void transport_err_to_py(const can::TransportError& err) {
    using K = can::TransportError::Kind;
    switch (err.kind) {
        case K::Timeout: return raise_text(PyExc_OSError, "CAN timeout");
        case K::FrameTooLarge:
            return raise_text(PyExc_ValueError, "oversized frame: " + std::to_string(err.length) + " bytes");
        case K::InvalidId: return raise_text(PyExc_ValueError, "invalid CAN id");
        case K::Backend: return raise_text(PyExc_OSError, err.system_text());
    }
}

}  // namespace torvane::py
