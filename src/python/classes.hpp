#pragma once
// The module's classes, declared as data. Each class file fills one
// ClassDef; type objects are built from them on first use and kept.

#include <Python.h>

#include <new>
#include <utility>

namespace torvane::py {

enum class ClassId { MitLimits, MitSetpoint, MotorState, Damiao, SocketCanTransport, Count };

struct ClassDef {
    const char* qualified_name;  // "torvane.MitLimits"
    const char* doc;             // text signature, or nullptr for no doc at all
    Py_ssize_t basicsize;
    newfunc new_fn;
    reprfunc repr_fn;       // nullptr: object's default
    destructor dealloc_fn;  // nullptr: the default, for trivially destructible payloads
    PyGetSetDef* getset;    // nullptr-terminated, or nullptr
    PyMethodDef* methods;   // nullptr-terminated, or nullptr
};

const ClassDef& mit_limits_class();
const ClassDef& mit_setpoint_class();
const ClassDef& motor_state_class();
const ClassDef& damiao_class();
const ClassDef& socketcan_transport_class();

// The type object of a class, created on first use. New reference semantics
// are not needed: type objects live for the whole process.
PyTypeObject* type_object(ClassId id);

// A Python object holding one core record by value.
template <typename T>
struct Boxed {
    PyObject_HEAD
    T value;
};

template <typename T>
T& unbox(PyObject* o) {
    return reinterpret_cast<Boxed<T>*>(o)->value;
}

// New instance of `id` holding `value`.
template <typename T>
PyObject* box(ClassId id, const T& value) {
    PyTypeObject* type = type_object(id);
    if (!type) return nullptr;
    PyObject* o = type->tp_alloc(type, 0);
    if (o) new (&unbox<T>(o)) T(value);
    return o;
}

// Instance of exactly the class `id`? (The classes cannot be subclassed.)
inline bool is_instance(PyObject* o, ClassId id) {
    PyTypeObject* type = type_object(id);
    return type && PyObject_TypeCheck(o, type);
}

}  // namespace torvane::py
