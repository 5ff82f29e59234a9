#pragma once
// The Python objects of the module's classes: each holds one record by value
// (Boxed<T>), and the class that holds a T has one type object per process,
// built on first use from the class's declaration (class_table.hpp).

#include <Python.h>

#include <new>

#include "python/stub_catalogue.hpp"

namespace torvane::py {

template <typename T>
struct Boxed {
    PyObject_HEAD
    T value;
};

template <typename T>
T& unbox(PyObject* o) {
    return reinterpret_cast<Boxed<T>*>(o)->value;
}

// Builds the type object of the class that holds T from its declarations
// (class_table.hpp, which every user of the types includes).
template <typename T>
PyTypeObject* create_type();

// The type object of the class that holds T in this shared object. A module
// that works on another module's classes (torvane_ext) adopts their type
// objects here before first use, so it never makes a copy of them.
template <typename T>
PyTypeObject*& type_slot() {
    static PyTypeObject* type = nullptr;
    return type;
}

template <typename T>
void adopt_type(PyTypeObject* type) {
    type_slot<T>() = type;
}

// Created under the interpreter lock on first use, kept for the process. The
// creation stays out of line: every lookup of an existing type, three per
// motor command, pays only this test.
template <typename T>
PyTypeObject* type_object() {
    PyTypeObject*& type = type_slot<T>();
    if (!type) type = create_type<T>();
    return type;
}

// An instance of the class that holds T? (The classes cannot be subclassed.)
template <typename T>
bool is_instance(PyObject* o) {
    PyTypeObject* type = type_object<T>();
    return type && PyObject_TypeCheck(o, type);
}

// A new instance holding `value`. The classes are not garbage collected and
// have a fixed size, so the plain object allocator suffices.
template <typename T>
PyObject* box(const T& value) {
    PyTypeObject* type = type_object<T>();
    if (!type) return nullptr;
    auto* o = PyObject_New(Boxed<T>, type);
    if (!o) return nullptr;
    new (&o->value) T(value);
    return reinterpret_cast<PyObject*>(o);
}

}  // namespace torvane::py
