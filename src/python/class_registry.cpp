#include <array>
#include <cstddef>
#include <vector>

#include "python/classes.hpp"

namespace torvane::py {

namespace {

constexpr std::size_t kClassCount = static_cast<std::size_t>(ClassId::Count);

constinit std::array<LoadList<ClassDef>, kClassCount> blocks;

// Takes `from` into `into` unless both are set.
template <typename T>
bool take(T& into, T from) {
    if (!from) return true;
    if (into) return false;
    into = from;
    return true;
}

const char* entry_name(const PyGetSetDef& e) { return e.name; }
const char* entry_name(const PyMethodDef& e) { return e.ml_name; }

// The entries of a sentinel-terminated table, appended to `out`.
template <typename Entry>
void append(std::vector<Entry>& out, const Entry* table) {
    for (; table && entry_name(*table); ++table) out.push_back(*table);
}

// A sentinel-terminated copy of `entries` that lives as long as the process:
// the type's descriptors point into it.
template <typename Entry>
Entry* forever(const std::vector<Entry>& entries) {
    if (entries.empty()) return nullptr;
    auto* table = new Entry[entries.size() + 1]{};
    for (std::size_t i = 0; i < entries.size(); ++i) table[i] = entries[i];
    return table;
}

// Out of line: inlined, its frame set-up would be paid by every lookup of a
// type that already exists, three of them per motor command.
[[gnu::noinline]] PyTypeObject* create(ClassId id) {
    ClassDef def{};
    std::vector<PyGetSetDef> getset;
    std::vector<PyMethodDef> methods;
    for (const ClassDef& block : blocks[static_cast<std::size_t>(id)]) {
        const bool merged = take(def.qualified_name, block.qualified_name) && take(def.doc, block.doc) &&
                            take(def.basicsize, block.basicsize) && take(def.new_fn, block.new_fn) &&
                            take(def.repr_fn, block.repr_fn) && take(def.dealloc_fn, block.dealloc_fn);
        if (!merged) {
            PyErr_Format(PyExc_SystemError, "class %d has conflicting definition blocks", static_cast<int>(id));
            return nullptr;
        }
        append(getset, block.getset);
        append(methods, block.methods);
    }
    if (!def.qualified_name || !def.basicsize) {
        PyErr_Format(PyExc_SystemError, "class %d has no definition", static_cast<int>(id));
        return nullptr;
    }

    PyType_Slot slots[8];
    int n = 0;
    auto add = [&](int slot, void* p) {
        if (p) slots[n++] = {slot, p};
    };
    add(Py_tp_new, reinterpret_cast<void*>(def.new_fn));
    add(Py_tp_repr, reinterpret_cast<void*>(def.repr_fn));
    add(Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc_fn));
    add(Py_tp_getset, forever(getset));
    add(Py_tp_methods, forever(methods));
    add(Py_tp_doc, const_cast<char*>(def.doc));
    slots[n] = {0, nullptr};
    PyType_Spec spec{def.qualified_name, static_cast<int>(def.basicsize), 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace

LoadList<ClassDef>& class_blocks(ClassId id) { return blocks[static_cast<std::size_t>(id)]; }

PyTypeObject* type_object(ClassId id) {
    // Filled under the interpreter lock; kept for the life of the process.
    static std::array<PyTypeObject*, kClassCount> types{};
    auto& slot = types[static_cast<std::size_t>(id)];
    if (!slot) slot = create(id);
    return slot;
}

}  // namespace torvane::py
