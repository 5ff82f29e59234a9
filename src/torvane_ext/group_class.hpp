#pragma once
// MotorGroup and Robot: the classes that tick. A MotorGroup is a core group
// exchange on one torvane bus; a Robot ticks several groups, each on its own
// bus, in one multi-bus exchange. Both keep, per motor, when it last
// answered, how many calls in a row it missed, and its last state.

#include <Python.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "damiao/group.hpp"
#include "damiao/multi_bus.hpp"
#include "python/ref.hpp"
#include "torvane_ext/ext_api.hpp"

namespace torvane::ext {

struct MotorRecord {
    std::uint64_t last_answer_ns = 0;  // CLOCK_MONOTONIC; 0: never
    std::uint32_t missed = 0;          // calls in a row without an answer
    std::optional<MotorState> last;
};

struct Group {
    py::Ref bus;     // the SocketCanTransport
    py::Ref motors;  // tuple of Damiao
    // Empty in an instance made without the constructor.
    std::optional<damiao::MotorGroup> group;
    // One per motor, kept so that a tick allocates nothing in C++.
    std::vector<damiao::MotorGroup::Slot> slots;
    std::vector<MotorRecord> records;
    // A tick in another thread is using the slots.
    bool busy = false;
};

struct Robot {
    py::Ref groups;              // tuple of MotorGroup
    std::vector<Group*> members;  // their records, held alive by `groups`
    std::vector<Bus*> buses;      // distinct, in the one global locking order
    std::optional<damiao::MultiBusExchange> exchange;
    std::size_t motors = 0;
    bool busy = false;
};

PyObject* construct(Group*, PyTypeObject* type, PyObject* args, PyObject* kwargs);
PyObject* construct(Robot*, PyTypeObject* type, PyObject* args, PyObject* kwargs);

// One exchange. `arg` (or none) fills every motor's command as `frames`
// says: a sequence of one item per motor, or with `out` a buffer of rows;
// with `out` the states are written there and the count of answers returned.
PyObject* tick(Group& g, Frames frames, PyObject* arg, PyObject* out);
PyObject* tick(Robot& r, Frames frames, PyObject* arg, PyObject* out);

// Made by its constructor and not ticking in another thread; else false
// with RuntimeError set.
bool usable(const Group& g);

PyObject* computed(PyObject* self, GroupField field);
// LastAnswerNs, Missed or LastStates of these records, as a tuple.
PyObject* record_field(std::span<const MotorRecord> records, GroupField field);
// spin_us (an int, absent: 0) as a duration; false with an exception set.
bool convert_spin(PyObject* arg, can::Duration& spin);
std::uint64_t millis(can::Duration d);
std::uint64_t micros(can::Duration d);
PyObject* computed(PyObject* self, RobotField field);

std::string repr_text(const Group& g);
std::string repr_text(const Robot& r);

}  // namespace torvane::ext
