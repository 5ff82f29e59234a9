// The module's entry point: owner check, one module object per process, and
// the module body that fills it.

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/api.hpp"
#include "python/boundary.hpp"
#include "python/class_table.hpp"
#include "python/fixed_texts.hpp"
#include "python/logging_bridge.hpp"
#include "python/ref.hpp"

namespace torvane::py {

namespace {

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "torvane", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* module_cache = nullptr;  // strong; set once, under the interpreter lock

// Append `name` to __all__ (creating it if absent), then set the attribute.
bool add(PyObject* module, const char* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
    return PyObject_SetAttr(module, key.get(), value) == 0;
}

template <typename T>
bool add_class(PyObject* module) {
    PyTypeObject* type = type_object<T>();
    return type && add(module, class_name<T>, reinterpret_cast<PyObject*>(type));
}

bool module_body(PyObject* module) {
    if (!logbridge::init()) return false;  // the cache handle is dropped at once

    Ref version = Ref::steal(PyUnicode_FromString(TORVANE_VERSION));
    if (!version || !add(module, "__version__", version.get())) return false;

    const bool classes = [module]<typename... T>(std::type_identity<std::tuple<T...>>) {
        return (add_class<T>(module) && ...);
    }(std::type_identity<api::Classes>{});
    if (!classes) return false;

    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    for (PyMethodDef* def = module_functions(); def->ml_name; ++def) {
        Ref fn = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
        if (!fn || !add(module, def->ml_name, fn.get())) return false;
    }
    return true;
}

PyObject* init() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, text::kNoException);
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "torvane does not support sub-interpreters: it is already loaded in another interpreter");
        return nullptr;
    }
    if (module_cache) return Py_NewRef(module_cache);

    Ref module = Ref::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    if (!module || !module_body(module.get())) return nullptr;
    module_cache = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace torvane::py

PyMODINIT_FUNC PyInit_torvane() { return torvane::py::guarded<&torvane::py::init>(); }
