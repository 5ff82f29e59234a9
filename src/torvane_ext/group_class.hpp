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

// What a ticking class does to keep the robot safe.
struct Safety {
    OnFault on_fault;
    OnExit on_exit;
    bool closed = false;  // by close(): every call is refused
};

struct Group {
    py::Ref bus;     // the SocketCanTransport
    py::Ref motors;  // tuple of Damiao
    // Empty in an instance made without the constructor.
    std::optional<damiao::MotorGroup> group;
    // One per motor, kept so that a tick allocates nothing in C++.
    std::vector<damiao::MotorGroup::Slot> slots;
    std::vector<MotorRecord> records;
    // Per motor: its limits (none for a motor without), and how many of its
    // commands they changed.
    std::vector<std::optional<damiao::JointLimits>> limits;
    std::vector<std::uint64_t> clamped;
    Safety safety;
    WatchdogMs watchdog;
    ModeCheck mode;
    bool set_mode = false;
    // A tick in another thread is using the slots.
    bool busy = false;
};

struct Robot {
    py::Ref groups;              // tuple of MotorGroup
    std::vector<Group*> members;  // their records, held alive by `groups`
    std::vector<Bus*> buses;      // distinct, in the one global locking order
    std::optional<damiao::MultiBusExchange> exchange;
    std::size_t motors = 0;
    Safety safety;
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
PyObject* computed(PyObject* self, RobotField field);
PyObject* computed(PyObject* self, LimitsField field);

// __enter__, __exit__, close and faults (safety.cpp).
PyObject* call(Group& g, PyObject* self, SafetyCall id, PyObject* const* args);
PyObject* call(Robot& r, PyObject* self, SafetyCall id, PyObject* const* args);

// The safety arguments shared by both constructors; false with an exception set.
bool convert_safety(PyObject* on_fault, PyObject* on_exit, Safety& out);
// A group's own: watchdog_ms, limits (one per motor), mode and set_mode.
bool convert_group_safety(PyObject* const* args, std::size_t motors, Group& g);

// Before a tick's commands are encoded: each motor's limits applied to its
// values (as many as `frames` carries); false with ValueError set when one
// cannot be limited (nothing has been sent).
bool limit_values(Group& g, std::size_t motor, Frames frames, float* v);
// Before an enable: each motor's watchdog and control mode as the group
// asks (nothing when it asks nothing); false with an exception set.
bool prepare_enable(Group& g);
// Whether a state just taken is a fault; {index: Status} of those; MotorFault
// raised with them and the tick's states.
bool any_fault(std::span<Group* const> members);
// `last`: from each motor's last answered state rather than this tick's.
PyObject* faults_of(std::span<Group* const> members, bool last = false);
void raise_fault(PyObject* faults, PyObject* states);
// Disable exchanges (at most three) until every motor confirms: the indexes
// of those that never did; nothing with an exception set.
std::optional<std::vector<std::size_t>> stop(Group& g);
std::optional<std::vector<std::size_t>> stop(Robot& r);
// LastAnswerNs, Missed or LastStates of these records, as a tuple.
PyObject* record_field(std::span<const MotorRecord> records, GroupField field);
PyObject* clamped_tuple(std::span<const std::uint64_t> counts);
// spin_us (an int, absent: 0) as a duration; false with an exception set.
bool convert_spin(PyObject* arg, can::Duration& spin);
std::uint64_t millis(can::Duration d);
std::uint64_t micros(can::Duration d);

std::string repr_text(const Group& g);
std::string repr_text(const Robot& r);

}  // namespace torvane::ext
