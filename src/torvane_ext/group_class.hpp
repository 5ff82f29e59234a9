#pragma once
// MotorGroup: a core group exchange on a torvane bus, holding references to
// the bus and the motors it was made with.

#include <Python.h>

#include <optional>
#include <vector>

#include "damiao/group.hpp"
#include "python/ref.hpp"
#include "torvane_ext/ext_api.hpp"

namespace torvane::ext {

struct Group {
    py::Ref bus;     // the SocketCanTransport
    py::Ref motors;  // tuple of Damiao
    // Empty in an instance made without the constructor.
    std::optional<damiao::MotorGroup> group;
    // One per motor, kept so that a tick allocates nothing in C++.
    std::vector<damiao::MotorGroup::Slot> slots;
    // A tick in another thread is using the slots.
    bool busy = false;
};

PyObject* construct_group(PyTypeObject* type, PyObject* args, PyObject* kwargs);
// One exchange: `arg` (or none) fills every slot's command as `frames` says.
PyObject* group_tick(PyObject* self, Frames frames, PyObject* arg);
PyObject* group_get(PyObject* self, GroupField field);
std::string repr_text(const Group& g);

}  // namespace torvane::ext
