// However the program ends, what it enabled is stopped: the process keeps a
// list of the groups with motors it enabled, an atexit hook and each group's
// finalizer disable them (with a ResourceWarning naming the group), and
// while the list is not empty SIGTERM and SIGHUP unwind the program as
// Ctrl-C does, raising SystemExit(128 + signal) where Python next runs, so
// with blocks and finally clauses stop the motors. A handler the program
// set itself is left alone; stop_on_signals(False) turns this off.

#include <csignal>
#include <string>
#include <vector>

#include "python/boundary.hpp"
#include "torvane_ext/group_class.hpp"

namespace torvane::ext {

using py::Ref;

namespace {

std::vector<Group*> armed;  // under the interpreter lock
bool signals_on = true;
constexpr int kSignals[] = {SIGTERM, SIGHUP};
bool ours[std::size(kSignals)] = {};
PyObject* handler = nullptr;  // strong, made at import

PyObject* on_signal(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    const long signum = nargs ? PyLong_AsLong(args[0]) : 0;
    if (signum == -1 && PyErr_Occurred()) return nullptr;
    Ref code = Ref::steal(PyLong_FromLong(128 + signum));
    if (code) PyErr_SetObject(PyExc_SystemExit, code.get());
    return nullptr;
}

PyMethodDef handler_def = {"_stop_on_signal", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&on_signal)),
                           METH_FASTCALL, "Raise SystemExit(128 + signum): the program unwinds and stops its motors."};

// Installs or removes the handlers as the list and the switch say. Only the
// main thread may; elsewhere it is tried again at the next change.
void update_signals() {
    PyObject* pending = PyErr_GetRaisedException();
    const bool want = signals_on && !armed.empty();
    Ref signal = Ref::steal(PyImport_ImportModule("signal"));
    Ref dfl = signal ? Ref::steal(PyObject_GetAttrString(signal.get(), "SIG_DFL")) : Ref();
    for (std::size_t k = 0; dfl && k < std::size(kSignals); ++k) {
        if (want == ours[k]) continue;
        Ref now = Ref::steal(PyObject_CallMethod(signal.get(), "getsignal", "i", kSignals[k]));
        if (!now) break;
        if (want && now.get() == dfl.get()) {
            Ref set = Ref::steal(PyObject_CallMethod(signal.get(), "signal", "iO", kSignals[k], handler));
            ours[k] = static_cast<bool>(set);
        } else if (!want) {
            // Put the default back unless the program replaced ours meanwhile.
            if (now.get() == handler) Ref::steal(PyObject_CallMethod(signal.get(), "signal", "iO", kSignals[k], dfl.get()));
            ours[k] = false;
        }
        PyErr_Clear();
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

// Disables what `g` left enabled, as leaving its block would, and says so.
void stop_left(Group& g, const char* when) {
    std::string text = repr_text(g) + " still had motors enabled " + when;
    if (g.safety.on_exit.keep) {
        text += ": left enabled, as on_exit='keep' asks";
    } else if (g.busy) {
        text += ": another thread is using it, nothing sent";
    } else {
        StopReport report;
        {
            Claim claim(g);
            report = stop(g);
            restore_watchdogs(g, report);
        }
        text += report.clean() ? ": disabled them" : ": " + report.text();
    }
    if (PyErr_WarnEx(PyExc_ResourceWarning, text.c_str(), 1) < 0) PyErr_WriteUnraisable(g.self);
}

PyObject* at_exit(PyObject*, PyObject*) {
    const std::vector<Group*> left = armed;
    for (Group* g : left)
        if (!g->safety.closed) stop_left(*g, "at exit");
    Py_RETURN_NONE;
}

PyMethodDef at_exit_def = {"_stop_at_exit", at_exit, METH_NOARGS,
                           "Disable the motors that groups of this process left enabled."};

}  // namespace

bool any_enabled(const Group& g) {
    for (std::uint8_t e : g.enabled)
        if (e) return true;
    return false;
}

void enabled_changed(Group& g, bool gone) {
    const bool on = !gone && !g.safety.closed && any_enabled(g);
    const auto it = std::find(armed.begin(), armed.end(), &g);
    const bool was = it != armed.end();
    if (on == was) return;
    if (on)
        armed.push_back(&g);
    else
        armed.erase(it);
    update_signals();
}

void finalize(Group& g) {
    if (!g.group) return;
    PyObject* pending = PyErr_GetRaisedException();
    if (!g.safety.closed && any_enabled(g)) stop_left(g, "when it was collected");
    enabled_changed(g, true);
    PyErr_SetRaisedException(pending);
}

bool stop_on_signals(bool on) {
    const bool was = signals_on;
    signals_on = on;
    update_signals();
    return was;
}

bool install_exit_guard(PyObject* module) {
    if (!handler && !(handler = PyCFunction_New(&handler_def, nullptr))) return false;
    Ref hook = Ref::steal(PyCFunction_New(&at_exit_def, module));
    Ref atexit = hook ? Ref::steal(PyImport_ImportModule("atexit")) : Ref();
    Ref done = atexit ? Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get())) : Ref();
    return static_cast<bool>(done);
}

}  // namespace torvane::ext
