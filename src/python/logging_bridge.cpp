#include "python/logging_bridge.hpp"

#include <Python.h>

#include "python/boundary.hpp"
#include "python/ref.hpp"

namespace torvane::py::logbridge {

bool install() {
    Ref logging = Ref::steal(PyImport_ImportModule("logging"));
    if (!logging) {
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        Ref text = Ref::steal(exc ? PyObject_Str(exc.get()) : nullptr);
        const char* detail = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        PyErr_Clear();
        raise_panic(std::string("Failed to initialize python logging: ") + (detail ? detail : "unknown error"));
        return false;
    }
    return true;
}

}  // namespace torvane::py::logbridge
