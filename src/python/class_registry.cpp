#include <array>

#include "python/classes.hpp"

namespace torvane::py {

namespace {

PyTypeObject* create(const ClassDef& def) {
    PyType_Slot slots[8];
    int n = 0;
    auto add = [&](int slot, void* p) {
        if (p) slots[n++] = {slot, p};
    };
    add(Py_tp_new, reinterpret_cast<void*>(def.new_fn));
    add(Py_tp_repr, reinterpret_cast<void*>(def.repr_fn));
    add(Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc_fn));
    add(Py_tp_getset, def.getset);
    add(Py_tp_methods, def.methods);
    add(Py_tp_doc, const_cast<char*>(def.doc));
    slots[n] = {0, nullptr};
    PyType_Spec spec{def.qualified_name, static_cast<int>(def.basicsize), 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

const ClassDef& definition(ClassId id) {
    switch (id) {
        case ClassId::MitLimits: return mit_limits_class();
        case ClassId::MitSetpoint: return mit_setpoint_class();
        case ClassId::MotorState: return motor_state_class();
        case ClassId::Damiao: return damiao_class();
        case ClassId::SocketCanTransport: break;
        case ClassId::Count: break;
    }
    return socketcan_transport_class();
}

}  // namespace

PyTypeObject* type_object(ClassId id) {
    // Filled under the interpreter lock; kept for the life of the process.
    static std::array<PyTypeObject*, static_cast<std::size_t>(ClassId::Count)> types{};
    auto& slot = types[static_cast<std::size_t>(id)];
    if (!slot) slot = create(definition(id));
    return slot;
}

}  // namespace torvane::py
