// Leaving a with block and close(): every motor disabled, each bus on its
// own, the watchdogs put back as they were found, and what may still be
// enabled named without hiding the exception that ended the block.

#include <chrono>
#include <string>
#include <thread>

#include "damiao/registers.hpp"
#include "python/binder.hpp"
#include "torvane_ext/ext_errors.hpp"
#include "torvane_ext/group_class.hpp"
#include "torvane_ext/on_bus.hpp"

namespace torvane::ext {

using py::Ref;
using py::unbox;

namespace {

// How long close() waits for another thread's call to end: a tick ends by
// its deadline, but an enable may first set registers, 100 ms a mode.
constexpr auto kIdleBound = std::chrono::seconds(5);

bool busy(const Group& g) { return g.busy; }
bool busy(const Robot& r) {
    if (r.busy) return true;
    for (const Group* g : r.members)
        if (g->busy) return true;
    return false;
}

// Waits, the interpreter lock released, for another thread's call to end.
template <typename T>
bool wait_idle(const T& t) {
    const auto until = std::chrono::steady_clock::now() + kIdleBound;
    while (busy(t)) {
        if (std::chrono::steady_clock::now() > until) {
            PyErr_Format(PyExc_RuntimeError, "%s is still running a call in another thread after %lld s: nothing sent",
                         py::class_name<T>, static_cast<long long>(kIdleBound.count()));
            return false;
        }
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        Py_END_ALLOW_THREADS
    }
    return true;
}

// `exc` gets `text` as a note (PEP 678); failing that, the note is lost but
// the exception is not.
void add_note(PyObject* exc, const std::string& text) {
    Ref note = Ref::steal(PyUnicode_FromString(text.c_str()));
    Ref done = note ? Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get())) : Ref();
    if (!done) PyErr_Clear();
}

// The report as the error of a stop that ended normally: the first failed
// bus's exception (its type kept) carrying the whole text, or MotorTimeout.
void raise_report(const StopReport& report) {
    const std::string text = report.text();
    if (!report.first_error) {
        PyErr_SetString(exception(Failure::Timeout), text.c_str());
        return;
    }
    PyObject* exc = Py_NewRef(report.first_error.get());
    Ref message = Ref::steal(PyUnicode_FromString(text.c_str()));
    Ref args = message ? Ref::steal(PyTuple_Pack(1, message.get())) : Ref();
    if (!args || PyObject_SetAttrString(exc, "args", args.get()) < 0) PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

// Leaving a with block (`exc`: what ended it, or None), or close().
template <typename T>
PyObject* leave(T& t, std::span<Group* const> members, PyObject* exc, bool closing) {
    if (t.safety.on_exit.keep && !closing) Py_RETURN_FALSE;
    if (closing) t.safety.closing = true;
    if (!wait_idle(t)) {
        t.safety.closing = false;
        return nullptr;
    }
    StopReport report;
    {
        Claim claim(t);
        report = stop(t);
        for (Group* g : members) restore_watchdogs(*g, report);
    }
    // Closed even when a bus failed: a stop button that leaves the object
    // usable would let the control thread drive on.
    if (closing) {
        t.safety.closing = false;
        t.safety.closed = true;
        for (Group* g : members) enabled_changed(*g);
    }
    if (report.clean()) {
        if (closing) Py_RETURN_NONE;
        Py_RETURN_FALSE;
    }
    const std::string text = report.text();
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) < 0) return nullptr;
    const bool ended_normally = closing || !exc || exc == Py_None;
    if (ended_normally) {
        raise_report(report);
        return nullptr;
    }
    // The block's own exception stays the one raised.
    add_note(exc, text);
    Py_RETURN_FALSE;
}

// The indexes of the motors that may still be enabled; a bus that failed
// raises, after every other bus was disabled.
template <typename T>
PyObject* disable_all(T& t) {
    if (!usable(t)) return nullptr;
    StopReport report;
    {
        Claim claim(t);
        report = stop(t);
    }
    if (!report.failures.empty()) {
        raise_report(report);
        return nullptr;
    }
    Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(report.unconfirmed.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < report.unconfirmed.size(); ++i) {
        PyObject* item = PyLong_FromSize_t(report.unconfirmed[i]);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
    }
    return out.release();
}

template <typename T>
PyObject* call_on(T& t, PyObject* self, SafetyCall id, PyObject* const* args, std::span<Group* const> members) {
    switch (id) {
        case SafetyCall::Enter: return Py_NewRef(self);
        case SafetyCall::Exit: return leave(t, members, args[1], false);
        case SafetyCall::Close:
            if (t.safety.closed || t.safety.closing) Py_RETURN_NONE;
            return leave(t, members, nullptr, true);
        case SafetyCall::Faults: return faults_of(members, true);
        case SafetyCall::DisableAll: return disable_all(t);
    }
    return nullptr;
}

}  // namespace

std::string StopReport::text() const {
    std::string names, why;
    for (std::size_t i : unconfirmed) names += (names.empty() ? "" : ", ") + std::to_string(i);
    for (const std::string& f : failures) why += (why.empty() ? "" : "; ") + f;
    if (names.empty()) return why;
    if (why.empty()) return "motors " + names + " did not confirm the disable after 3 exchanges";
    return "motors " + names + " may still be enabled: " + why;
}

void restore_watchdogs(Group& g, StopReport& report) {
    bool any = false;
    for (const auto& w : g.watchdog_before) any = any || w.has_value();
    if (!any) return;
    Bus& bus = unbox<Bus>(g.bus.get());
    const auto motors = g.group->motors();
    std::string failed;
    const bool ran = run_released(bus, [&](can::CanTransport& t) {
        for (std::size_t i = 0; i < motors.size(); ++i) {
            if (!g.watchdog_before[i]) continue;
            auto set = motors[i].set_register(t, damiao::kRegTimeout, damiao::RegisterValue::u32(*g.watchdog_before[i]),
                                              damiao::Verify::Yes);
            if (set)
                g.watchdog_before[i].reset();
            else
                failed += (failed.empty() ? "" : ", ") + motor_name(g, i) + ": " + set.error().to_string();
        }
    });
    if (!ran) {
        PyErr_Clear();
        failed = "the bus could not be used";
    }
    if (!failed.empty())
        report.failures.push_back(bus.transport->name() + ": the watchdog (TIMEOUT) was not restored: " + failed);
}

void note_state(Bus& bus, const Damiao& m, const MotorState& s) {
    if (!bus.transport) return;
    damiao::bus_states(bus.transport->name())
        ->note(can::CanId::standard(m.master_id & can::kStandardMax), s, can::mono_now());
}

PyObject* call(Group& g, PyObject* self, SafetyCall id, PyObject* const* args) {
    Group* one[] = {&g};
    return call_on(g, self, id, args, one);
}

PyObject* call(Robot& r, PyObject* self, SafetyCall id, PyObject* const* args) {
    return call_on(r, self, id, args, r.members);
}

}  // namespace torvane::ext
