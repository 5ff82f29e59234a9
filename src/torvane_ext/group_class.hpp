#pragma once
// MotorGroup and Robot: the classes that tick. A MotorGroup is a core group
// exchange on one torvane bus; a Robot ticks several groups, each on its own
// bus, in one multi-bus exchange. Both keep, per motor, when it last
// answered, how many calls in a row it missed, and its last state.

#include <Python.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "damiao/bus_states.hpp"
#include "damiao/command_kinds.hpp"
#include "damiao/group.hpp"
#include "damiao/multi_bus.hpp"
#include "python/ref.hpp"
#include "torvane_ext/ext_api.hpp"

namespace torvane::ext {

inline constexpr std::uint64_t kDefaultStateAgeMs = 50;

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
    bool closing = false; // close() is under way, maybe waiting for a tick
};

struct Group {
    PyObject* self = nullptr;  // borrowed: the object this record is in
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
    // The last states measured on the group's interface, shared by everything
    // in the process on it; limits start from these, never older than this.
    std::shared_ptr<damiao::BusStates> measured;
    can::Duration max_state_age = can::Duration::from_millis(kDefaultStateAgeMs);
    // Per motor: enabled by this process and not disabled since (a tick of
    // the group or of a Robot holding it); what exit, finalizer and signal
    // handling stop.
    std::vector<std::uint8_t> enabled;
    // Per motor: the TIMEOUT register as found, where watchdog_ms changed it.
    std::vector<std::optional<std::uint32_t>> watchdog_before;
    Safety safety;
    WatchdogMs watchdog;
    ModeCheck mode;
    bool set_mode = false;
    // Claimed by a call from its start (before any command is converted)
    // to its end: a second thread's call is refused, close() waits.
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

// Made by its constructor, not closed and not ticking in another thread;
// else false with RuntimeError set.
bool usable(const Group& g);
bool usable(const Robot& r);

// A call's hold on a group or robot (and a robot's groups): set busy, and
// cleared however the call ends.
class Claim {
public:
    Claim(Group& g);
    Claim(Robot& r);
    ~Claim();
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

private:
    bool* own_;
    std::span<Group* const> members_;
};

// Whether any motor of `g` is enabled by this process.
bool any_enabled(const Group& g);
// Keeps the process's list of groups with enabled motors, and with it the
// SIGTERM and SIGHUP handling, up to date after `g`'s flags changed
// (exit_guard.cpp). `gone`: the object is being finalized.
void enabled_changed(Group& g, bool gone = false);
// The finalizer of MotorGroup: disable what it left enabled, with a
// ResourceWarning.
void finalize(Group& g);
// For the module: the atexit hook registered, the stop_on_signals switch.
bool install_exit_guard(PyObject* module);

PyObject* computed(PyObject* self, GroupField field);
PyObject* computed(PyObject* self, RobotField field);
PyObject* computed(PyObject* self, LimitsField field);

// __enter__, __exit__, close and faults (safety.cpp).
PyObject* call(Group& g, PyObject* self, SafetyCall id, PyObject* const* args);
PyObject* call(Robot& r, PyObject* self, SafetyCall id, PyObject* const* args);

// The safety arguments shared by both constructors; false with an exception set.
bool convert_safety(PyObject* on_fault, PyObject* on_exit, Safety& out);
// A group's own: watchdog_ms, limits (one per motor), mode and set_mode,
// each null when absent.
struct GroupSafetyArgs {
    PyObject* watchdog_ms;
    PyObject* limits;
    PyObject* mode;
    PyObject* set_mode;
};
bool convert_group_safety(const GroupSafetyArgs& args, std::size_t motors, Group& g);

// Before a tick's commands are encoded: a motor's limits applied to its
// command in place; false with ValueError set when it cannot be limited
// (nothing has been sent).
bool limit_command(Group& g, std::size_t motor, damiao::AnyCommand& c);
// Before an enable: each motor's watchdog and control mode as the group
// asks (nothing when it asks nothing); false with an exception set.
bool prepare_enable(Group& g);
// Whether a state just taken is a fault; {index: Status} of those; MotorFault
// raised with them and the tick's states.
bool any_fault(std::span<Group* const> members);
// `last`: from each motor's last answered state rather than this tick's.
PyObject* faults_of(std::span<Group* const> members, bool last = false);
void raise_fault(PyObject* faults, PyObject* states);
// What stopping found: motors (by index) that may still be enabled, and
// each failed bus's text ("vcan1: ..."), with the first failure's exception.
struct StopReport {
    std::vector<std::size_t> unconfirmed;
    std::vector<std::string> failures;
    py::Ref first_error;
    bool clean() const { return unconfirmed.empty() && failures.empty(); }
    std::string text() const;
};
// Disable exchanges, each bus on its own (at most three for those that do
// not confirm); a bus that fails leaves the others' motors disabled.
// Nothing is raised: the report says what is left. The caller holds a Claim.
StopReport stop(Group& g);
StopReport stop(Robot& r);
// The TIMEOUT registers watchdog_ms changed, written back; failures are
// added to `report`.
void restore_watchdogs(Group& g, StopReport& report);
// After a state reached Python code from outside a tick: the shared record.
void note_state(Bus& bus, const Damiao& m, const MotorState& s);
// LastAnswerNs, Missed or LastStates of these records, as a tuple.
PyObject* record_field(std::span<const MotorRecord> records, GroupField field);
PyObject* clamped_tuple(std::span<const std::uint64_t> counts);
// spin_us (an int, absent: 0) as a duration; false with an exception set.
bool convert_spin(PyObject* arg, can::Duration& spin);
std::uint64_t millis(can::Duration d);
std::uint64_t micros(can::Duration d);

// "motor 2 (id 3)": the group's motor i.
std::string motor_name(const Group& g, std::size_t i);
std::string repr_text(const Group& g);
std::string repr_text(const Robot& r);

}  // namespace torvane::ext
