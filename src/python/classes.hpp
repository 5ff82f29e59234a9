#pragma once
// The module's classes, declared as data. Each class file registers its
// ClassDef blocks while the library loads, in the class's own list: one block
// per class, two for Damiao (its bus commands; its constructor, identifiers
// and repr). Type objects are built from the blocks on first use and kept.

#include <Python.h>

#include <new>
#include <utility>

#include "python/load_list.hpp"

namespace torvane::py {

enum class ClassId { MitLimits, MitSetpoint, MotorState, Damiao, SocketCanTransport, Count };

// One block of a class. Exactly one block of a class carries its name and
// size; any other field may come from any one block (a field set in two
// blocks is a fault), and the getters and methods of all blocks add up.
struct ClassDef {
    const char* qualified_name;  // "torvane.MitLimits"; nullptr in a block that only adds members
    const char* doc;             // text signature, or nullptr for no doc at all
    Py_ssize_t basicsize;        // 0 in a block that only adds members
    newfunc new_fn;
    reprfunc repr_fn;       // nullptr: object's default
    destructor dealloc_fn;  // nullptr: the default, for trivially destructible payloads
    PyGetSetDef* getset;    // nullptr-terminated, or nullptr
    PyMethodDef* methods;   // nullptr-terminated, or nullptr
};

// The blocks registered for a class; complete once the library is loaded.
LoadList<ClassDef>& class_blocks(ClassId id);

// A static object of this type registers one block at load.
struct ClassBlock : Registration<ClassDef> {
    ClassBlock(ClassId id, const ClassDef& def) : Registration<ClassDef>(class_blocks(id), def) {}
    ClassBlock(ClassId, const ClassDef&&) = delete;  // the list keeps a pointer to the block
};

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

// New instance of `id` holding `value`. The classes are not garbage
// collected and have a fixed size, so the plain object allocator suffices
// (tp_alloc would also zero the memory that `value` then overwrites).
template <typename T>
PyObject* box(ClassId id, const T& value) {
    PyTypeObject* type = type_object(id);
    if (!type) return nullptr;
    auto* o = PyObject_New(Boxed<T>, type);
    if (!o) return nullptr;
    new (&o->value) T(value);
    return reinterpret_cast<PyObject*>(o);
}

// Instance of exactly the class `id`? (The classes cannot be subclassed.)
inline bool is_instance(PyObject* o, ClassId id) {
    PyTypeObject* type = type_object(id);
    return type && PyObject_TypeCheck(o, type);
}

}  // namespace torvane::py
