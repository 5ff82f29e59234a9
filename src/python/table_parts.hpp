#pragma once
// The parts of a class table that do not depend on which module declares the
// class: binder signatures, slots every class shares, entry-point casts.
// Used by class_table.hpp and by torvane_ext's own table.

#include <Python.h>

#include <new>

#include "python/binder.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/fixed_texts.hpp"

namespace torvane::py::table {

template <typename M>
constexpr Signature signature_of() {
    static_assert(M::params::count <= kMaxParams);
    return {M::display, M::params::names.data(), M::params::count, M::params::required, M::params::positional};
}
template <typename M>
inline constexpr Signature signature = signature_of<M>();

template <typename M>
inline constexpr typename M::params* params_of = nullptr;

template <typename T>
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, text::kNoConstructor, class_name<T>);
    return nullptr;
}

// Every instance holds a constructed record, also one Python made without
// the constructor (object.__new__ through a replaced __new__): the default.
template <typename T>
PyObject* alloc(PyTypeObject* type, Py_ssize_t) {
    PyObject* self = PyObject_Init(static_cast<PyObject*>(PyObject_Malloc(sizeof(Boxed<T>))), type);  // null: no memory
    if (self) new (&unbox<T>(self)) T();
    return self;
}

template <typename T>
void dealloc(PyObject* self) {
    // A finalizer may stop what the object still drives; it may also revive it.
    if (Py_TYPE(self)->tp_finalize && PyObject_CallFinalizerFromDealloc(self) < 0) return;
    unbox<T>(self).~T();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

template <auto Fn>
PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<Fn>));
}

inline constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// One class's type object in the making: its module's table fills the
// method and property tables and its own slots, finish() adds what every
// class has and builds the type. The tables outlive the type: one per class.
template <typename T, std::size_t Methods, std::size_t Getters>
struct TypeParts {
    static inline PyMethodDef methods[Methods + 1];
    static inline PyGetSetDef getset[Getters + 1];
    PyType_Slot slots[12];
    int n = 0;
    std::size_t m = 0, g = 0;
    bool constructed = false;

    void slot(int id, auto* p) { slots[n++] = {id, const_cast<void*>(reinterpret_cast<const void*>(p))}; }

    PyTypeObject* finish(const char* name, unsigned int flags) {
        if (!constructed) slot(Py_tp_new, &no_constructor<T>);
        slot(Py_tp_alloc, &alloc<T>);
        slot(Py_tp_dealloc, &dealloc<T>);
        if (m) slot(Py_tp_methods, methods);
        if (g) slot(Py_tp_getset, getset);
        slots[n] = {0, nullptr};
        PyType_Spec spec{name, static_cast<int>(sizeof(Boxed<T>)), 0, flags, slots};
        return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    }
};

}  // namespace torvane::py::table
