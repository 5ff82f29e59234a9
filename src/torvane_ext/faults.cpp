// Faults by name: whether a tick's states hold a latched fault, each such
// motor's Status, and MotorFault raised with them and the tick's states.

#include <string>

#include "damiao/status.hpp"
#include "torvane_ext/ext_convert.hpp"
#include "torvane_ext/ext_errors.hpp"
#include "torvane_ext/group_class.hpp"

namespace torvane::ext {

using py::Ref;

namespace {

bool is_fault(const std::optional<MotorState>& s) {
    if (!s) return false;
    const auto info = damiao::find_status(s->error);
    return info && info->is_fault;
}

}  // namespace

bool any_fault(std::span<Group* const> members) {
    for (const Group* g : members)
        for (const auto& slot : g->slots)
            if (is_fault(slot.state)) return true;
    return false;
}

PyObject* faults_of(std::span<Group* const> members, bool last) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    std::size_t index = 0;
    for (const Group* g : members)
        for (std::size_t i = 0; i < g->slots.size(); ++i, ++index) {
            const auto& s = last ? g->records[i].last : g->slots[i].state;
            if (!is_fault(s)) continue;
            Ref key = Ref::steal(PyLong_FromSize_t(index));
            Ref value = key ? Ref::steal(status_of(s->error)) : Ref();
            if (!value || PyDict_SetItem(out.get(), key.get(), value.get()) < 0) return nullptr;
        }
    return out.release();
}

void raise_fault(PyObject* faults, PyObject* states) {
    std::string text = "a motor reported a fault:";
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(faults, &pos, &key, &value)) {
        Ref name = Ref::steal(PyObject_HasAttrString(value, "name") ? PyObject_GetAttrString(value, "name")
                                                                     : PyObject_Str(value));
        if (!name) return;
        text += " motor " + std::to_string(PyLong_AsSsize_t(key)) + " " + PyUnicode_AsUTF8(name.get()) + ",";
    }
    text.pop_back();
    Ref message = Ref::steal(PyUnicode_FromString(text.c_str()));
    Ref exc = message ? Ref::steal(PyObject_CallOneArg(exception(Failure::Fault), message.get())) : Ref();
    if (!exc || PyObject_SetAttrString(exc.get(), "faults", faults) < 0 ||
        PyObject_SetAttrString(exc.get(), "states", states) < 0)
        return;
    PyErr_SetRaisedException(exc.release());
}

}  // namespace torvane::ext
