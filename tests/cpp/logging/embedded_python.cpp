#include "embedded_python.hpp"

#include <gtest/gtest.h>

extern "C" PyObject* PyInit_torvane();

namespace torvane::embedded {

namespace {

PyObject* main_dict() {
    PyObject* main = PyImport_AddModule("__main__");  // borrowed
    return main ? PyModule_GetDict(main) : nullptr;
}

constexpr const char* kSetup = R"(
import sys
logging_before_import = 'logging' in sys.modules
import torvane
logging_after_import = 'logging' in sys.modules

import io
import logging

records = []

class Keep(logging.Handler):
    def emit(self, record):
        records.append(record)

logging.getLogger().addHandler(Keep())
logging.getLogger().setLevel(1)
)";

}  // namespace

void ensure_python() {
    static const bool started = [] {
        if (PyImport_AppendInittab("torvane", PyInit_torvane) < 0) return false;
        Py_InitializeEx(0);
        return run(kSetup);
    }();
    ASSERT_TRUE(started) << "embedded interpreter did not start";
}

bool run(const std::string& code) {
    py::Ref result = py::Ref::steal(PyRun_String(code.c_str(), Py_file_input, main_dict(), main_dict()));
    if (!result) PyErr_Print();
    return static_cast<bool>(result);
}

py::Ref eval(const std::string& expr) {
    py::Ref result = py::Ref::steal(PyRun_String(expr.c_str(), Py_eval_input, main_dict(), main_dict()));
    if (!result) PyErr_Print();
    return result;
}

std::string eval_str(const std::string& expr) {
    py::Ref value = eval(expr);
    py::Ref text = py::Ref::steal(value ? PyObject_Str(value.get()) : nullptr);
    const char* s = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!s) {
        PyErr_Clear();
        return "<error evaluating " + expr + ">";
    }
    return s;
}

long eval_long(const std::string& expr) {
    py::Ref value = eval(expr);
    const long v = value ? PyLong_AsLong(value.get()) : -1;
    if (PyErr_Occurred()) PyErr_Print();
    return v;
}

bool eval_bool(const std::string& expr) {
    py::Ref value = eval(expr);
    const int v = value ? PyObject_IsTrue(value.get()) : -1;
    if (v < 0) PyErr_Print();
    return v == 1;
}

}  // namespace torvane::embedded
