// One tick of a MotorGroup or a Robot: the commands filled under the
// interpreter lock (from a sequence of one item per motor, or from a buffer
// of rows), one exchange with it released, the motors' records updated,
// and the states returned as a tuple or written into the caller's buffer.

#include <cmath>
#include <optional>
#include <span>
#include <variant>

#include "python/binder.hpp"
#include "torvane_ext/ext_convert.hpp"
#include "torvane_ext/ext_errors.hpp"
#include "torvane_ext/ext_table.hpp"
#include "torvane_ext/group_class.hpp"
#include "torvane_ext/on_bus.hpp"
#include "torvane_ext/rows.hpp"

namespace torvane::ext {

using py::Convert;
using py::Ref;
using py::unbox;
using damiao::Command;

namespace {

using damiao::CommandKind;
using damiao::kStateWidth;
using damiao::kStatusDisabled;
using damiao::kStatusEnabled;

// The kind of command a tick sends with values, none for the fixed ones.
std::optional<CommandKind> kind_of(Frames f) {
    switch (f) {
        case Frames::Mit: return CommandKind::Mit;
        case Frames::PosVel: return CommandKind::PosVel;
        case Frames::Vel: return CommandKind::Vel;
        case Frames::ForcePos: return CommandKind::ForcePos;
        default: return std::nullopt;
    }
}

// `n` floats out of a tuple or list item, without making objects.
bool floats(PyObject* item, const char* param, float* out, Py_ssize_t n) {
    if (n == 1) return Convert<float>::from(item, param, out[0]);
    Ref fields = Ref::steal(PySequence_Fast(item, "each item must be a tuple of floats"));
    if (!fields) return false;
    if (PySequence_Fast_GET_SIZE(fields.get()) != n) {
        PyErr_Format(PyExc_ValueError, "argument '%s': each item must hold %zd values, got %zd", param, n,
                     PySequence_Fast_GET_SIZE(fields.get()));
        return false;
    }
    PyObject** items = PySequence_Fast_ITEMS(fields.get());
    for (Py_ssize_t k = 0; k < n; ++k)
        if (!Convert<float>::from(items[k], param, out[k])) return false;
    return true;
}

// One motor's command, encoded.
bool make(const Damiao& m, const damiao::AnyCommand& c, Command& out) {
    if (const auto* mit = std::get_if<damiao::MitSetpoint>(&c)) {
        auto made = m.make_mit(*mit);
        if (!made) {
            raise_error(std::move(made.error()));
            return false;
        }
        out = *made;
    } else if (const auto* pv = std::get_if<damiao::PosVelCommand>(&c)) {
        out = m.make_pos_vel(*pv);
    } else if (const auto* v = std::get_if<damiao::VelCommand>(&c)) {
        out = m.make_vel(*v);
    } else {
        out = m.make_force_pos(std::get<damiao::ForcePosCommand>(c));
    }
    return true;
}

Command fixed(const Damiao& m, Frames frames) {
    switch (frames) {
        case Frames::Enable: return m.make_command(damiao::kCmdEnable);
        case Frames::Disable: return m.make_command(damiao::kCmdDisable);
        case Frames::SetZero: return m.make_command(damiao::kCmdSetZero);
        case Frames::ClearError: return m.make_command(damiao::kCmdClearError);
        default: return m.make_refresh();
    }
}

// Every motor's command, the groups' motors in order as one list.
bool fill(std::span<Group* const> members, std::size_t total, Frames frames, PyObject* arg, RowBuffer* rows) {
    const auto kind = kind_of(frames);
    if (!kind) {
        for (Group* g : members) {
            const auto motors = g->group->motors();
            for (std::size_t i = 0; i < motors.size(); ++i) g->slots[i].command = fixed(motors[i], frames);
        }
        return true;
    }
    const damiao::CommandShape& shape = damiao::shape_of(*kind);
    const std::size_t width = shape.fields.size();
    Ref seq;
    if (!rows) {
        seq = Ref::steal(PySequence_Fast(arg, "a sequence with one item per motor is required"));
        if (!seq) return false;
        const auto given = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get()));
        if (given != total) {
            PyErr_Format(PyExc_ValueError, "a group of %zu motors was given %zu %s", total, given, shape.items);
            return false;
        }
    }
    std::size_t row = 0;
    for (Group* g : members) {
        const auto motors = g->group->motors();
        for (std::size_t i = 0; i < motors.size(); ++i, ++row) {
            float v[damiao::kMaxCommandWidth];
            if (rows) {
                for (std::size_t k = 0; k < width; ++k) v[k] = static_cast<float>(rows->get(row, k));
            } else if (*kind == CommandKind::Mit) {
                damiao::MitSetpoint sp;
                if (!Convert<damiao::MitSetpoint>::from(PySequence_Fast_ITEMS(seq.get())[row], shape.items, sp))
                    return false;
                v[0] = sp.q, v[1] = sp.dq, v[2] = sp.kp, v[3] = sp.kd, v[4] = sp.tau;
            } else if (!floats(PySequence_Fast_ITEMS(seq.get())[row], shape.items, v,
                               static_cast<Py_ssize_t>(width))) {
                return false;
            }
            if (!finite({v, width}, shape.fields)) return false;
            auto command = damiao::command_from_row(*kind, {v, width});
            if (!g->limits.empty() && g->limits[i] && !limit_command(*g, i, command)) return false;
            if (!make(motors[i], command, g->slots[i].command)) return false;
        }
    }
    return true;
}

// The tick's answers into the motors' records and the interface's shared
// states, and which motors this process now has enabled.
void record(Group& g, Frames frames, std::size_t skipped) {
    const auto feedback = g.group->feedback();
    bool changed = false;
    for (std::size_t i = 0; i < g.slots.size(); ++i) {
        const auto& slot = g.slots[i];
        MotorRecord& r = g.records[i];
        std::uint8_t enabled = g.enabled[i];
        if (frames == Frames::Enable) enabled = 1;
        if (slot.state) {
            r.last = slot.state;
            r.last_answer_ns = static_cast<std::uint64_t>(slot.answered_at);
            r.missed = 0;
            g.measured->note(feedback[i], *slot.state, slot.answered_at);
            // Disabled, by this tick or by another program: nothing left to stop.
            if (slot.state->error == kStatusDisabled || (frames == Frames::Disable && slot.state->error != kStatusEnabled))
                enabled = 0;
        } else {
            ++r.missed;
        }
        changed |= enabled != g.enabled[i];
        g.enabled[i] = enabled;
    }
    g.measured->skipped += skipped;
    if (changed) enabled_changed(g);
}

PyObject* states(std::span<Group* const> members, std::size_t total) {
    Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(total)));
    if (!out) return nullptr;
    Py_ssize_t at = 0;
    for (Group* g : members)
        for (const auto& slot : g->slots) {
            PyObject* item = slot.state ? py::box(*slot.state) : Py_NewRef(Py_None);
            if (!item) return nullptr;
            PyTuple_SET_ITEM(out.get(), at++, item);
        }
    return out.release();
}

void write(std::span<Group* const> members, RowBuffer& out) {
    std::size_t row = 0;
    for (Group* g : members)
        for (const auto& slot : g->slots) {
            if (const auto& s = slot.state) {
                const double v[kStateWidth] = {s->position, s->velocity, s->torque, double(s->t_mos),
                                               double(s->t_rotor), double(s->error)};
                for (std::size_t k = 0; k < kStateWidth; ++k) out.set(row, k, v[k]);
            } else {
                for (std::size_t k = 0; k < kStateWidth; ++k) out.set(row, k, NAN);
            }
            ++row;
        }
}

// What both kinds of tick do before the exchange: the buffers checked and
// the commands filled; nothing has been sent when this fails.
bool prepare(std::span<Group* const> members, std::size_t total, Frames frames, PyObject* arg, PyObject* out,
             RowBuffer& commands, RowBuffer& results) {
    const auto kind = kind_of(frames);
    if (out) {
        if (kind && !commands.open(arg, "commands", total, damiao::width_of(*kind), false)) return false;
        if (!results.open(out, "out", total, kStateWidth, true)) return false;
        if (kind && commands.memory() == results.memory()) {
            PyErr_SetString(PyExc_ValueError, "'commands' and 'out' must not be the same memory");
            return false;
        }
    }
    return fill(members, total, frames, arg, out && kind ? &commands : nullptr);
}

}  // namespace

bool usable(const Group& g) {
    if (!g.group) {
        PyErr_SetString(PyExc_RuntimeError, "MotorGroup is not set up: it was made without its constructor");
        return false;
    }
    if (g.safety.closed || g.safety.closing) {
        PyErr_SetString(PyExc_RuntimeError, "MotorGroup is closed: its motors were disabled by close()");
        return false;
    }
    if (g.busy) {
        PyErr_SetString(PyExc_RuntimeError, "MotorGroup is running an exchange in another thread");
        return false;
    }
    return true;
}

bool usable(const Robot& r) {
    if (!r.exchange) {
        PyErr_SetString(PyExc_RuntimeError, "Robot is not set up: it was made without its constructor");
        return false;
    }
    if (r.safety.closed || r.safety.closing) {
        PyErr_SetString(PyExc_RuntimeError, "Robot is closed: its motors were disabled by close()");
        return false;
    }
    if (r.busy) {
        PyErr_SetString(PyExc_RuntimeError, "Robot is running an exchange in another thread");
        return false;
    }
    // A closed group's motors stay stopped, whoever ticks them.
    for (Group* g : r.members)
        if (!usable(*g)) return false;
    return true;
}

Claim::Claim(Group& g) : own_(&g.busy) { g.busy = true; }

Claim::Claim(Robot& r) : own_(&r.busy), members_(r.members) {
    r.busy = true;
    for (Group* g : members_) g->busy = true;
}

Claim::~Claim() {
    *own_ = false;
    for (Group* g : members_) g->busy = false;
}

namespace {

std::size_t motors_of(const Group& g) { return g.slots.size(); }
std::size_t motors_of(const Robot& r) { return r.motors; }

// The exchange, with the caller's claim held.
bool run(Group& g, Frames frames, std::size_t& answered) {
    // The object holds the bus; `g` lives as long as this call.
    Bus& bus = unbox<Bus>(g.bus.get());
    std::optional<damiao::Result<std::size_t>> result;
    std::size_t skipped = 0;
    const bool ran =
        run_released(bus, [&](can::CanTransport& t) { result.emplace(g.group->exchange(t, g.slots, &skipped)); });
    if (!ran) return false;
    if (!*result) {
        raise_error(std::move(result->error()), bus.transport->name());
        return false;
    }
    answered = **result;
    record(g, frames, skipped);
    return true;
}

bool run(Robot& r, Frames frames, std::size_t& answered) {
    std::optional<damiao::ShareResult<std::size_t>> result;
    const bool ran = run_released_all(r.buses, [&] { result.emplace(r.exchange->run()); });
    if (!ran) return false;
    if (!*result) {
        damiao::ShareError& e = result->error();
        raise_error(std::move(e.error), unbox<Bus>(r.members[e.share]->bus.get()).transport->name());
        return false;
    }
    answered = **result;
    const auto progress = r.exchange->progress();
    for (std::size_t i = 0; i < r.members.size(); ++i) record(*r.members[i], frames, progress[i].skipped);
    return true;
}

// The core's stop on one group's bus: the indexes (from `base`) of the
// motors that did not confirm, or the bus's failure, into `report`.
void stop_one(Group& g, std::size_t base, StopReport& report) {
    Bus& bus = unbox<Bus>(g.bus.get());
    std::optional<damiao::Result<std::vector<std::size_t>>> result;
    std::size_t skipped = 0;
    const bool ran = run_released(
        bus, [&](can::CanTransport& t) { result.emplace(g.group->disable_all(t, g.slots, &skipped)); });
    if (ran && *result) {
        record(g, Frames::Disable, skipped);
        for (std::size_t i : **result) report.unconfirmed.push_back(base + i);
        return;
    }
    if (ran) raise_error(std::move(result->error()), bus.transport->name());
    PyObject* exc = PyErr_GetRaisedException();
    Ref text = Ref::steal(PyObject_Str(exc));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8) PyErr_Clear();
    report.failures.push_back(utf8 ? utf8 : "the disable failed");
    if (!report.first_error)
        report.first_error = Ref::steal(exc);
    else
        Py_DECREF(exc);
    for (std::size_t i = 0; i < g.slots.size(); ++i) report.unconfirmed.push_back(base + i);
}

// The on_fault reaction to the states just taken; false with MotorFault
// (or the disable's own failure) set.
template <typename T>
bool react(T& t, std::span<Group* const> members) {
    if (t.safety.on_fault.kind == OnFault::Report || !any_fault(members)) return true;
    Ref faults = Ref::steal(faults_of(members));
    Ref seen = faults ? Ref::steal(states(members, motors_of(t))) : Ref();
    if (!seen) return false;
    if (t.safety.on_fault.kind == OnFault::Disable) {
        StopReport report = stop(t);
        if (!report.clean() && PyErr_WarnEx(PyExc_RuntimeWarning, report.text().c_str(), 1) < 0) return false;
    }
    raise_fault(faults.get(), seen.get());
    return false;
}

template <typename T>
PyObject* tick_on(T& t, std::span<Group* const> members, Frames frames, PyObject* arg, PyObject* out) {
    if (!usable(t)) return nullptr;
    // Held before any command is converted: converting may run Python code,
    // which may let another thread in.
    Claim claim(t);
    RowBuffer commands, results;
    if (!prepare(members, motors_of(t), frames, arg, out, commands, results)) return nullptr;
    if (frames == Frames::Enable)
        for (Group* g : members)
            if (!prepare_enable(*g)) return nullptr;
    std::size_t answered = 0;
    if (!run(t, frames, answered) || !react(t, members)) return nullptr;
    if (!out) return states(members, motors_of(t));
    write(members, results);
    return PyLong_FromSize_t(answered);
}

}  // namespace

PyObject* tick(Group& g, Frames frames, PyObject* arg, PyObject* out) {
    Group* one[] = {&g};
    return tick_on(g, one, frames, arg, out);
}

PyObject* tick(Robot& r, Frames frames, PyObject* arg, PyObject* out) {
    return tick_on(r, r.members, frames, arg, out);
}

// Each bus on its own, so that one that is down or failing leaves the
// others' motors disabled.
StopReport stop(Group& g) {
    StopReport report;
    stop_one(g, 0, report);
    return report;
}

StopReport stop(Robot& r) {
    StopReport report;
    std::size_t base = 0;
    for (Group* g : r.members) {
        stop_one(*g, base, report);
        base += g->slots.size();
    }
    return report;
}

}  // namespace torvane::ext
