// One tick of a MotorGroup or a Robot: the commands filled under the
// interpreter lock (from a sequence of one item per motor, or from a buffer
// of rows), one exchange with it released, the motors' records updated,
// and the states returned as a tuple or written into the caller's buffer.

#include <cmath>
#include <span>

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

constexpr const char* kWhat[] = {"setpoints", "pairs", "velocities", "triples"};
constexpr std::size_t kWidth[] = {5, 2, 1, 3};
constexpr std::size_t kOutWidth = 6;

int kind_of(Frames f) { return static_cast<int>(f) - static_cast<int>(Frames::Mit); }
bool carries_values(Frames f) { return kind_of(f) >= 0; }

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

// One motor's command from its values (v: as many as the kind takes).
bool make(const Damiao& m, Frames frames, const float* v, Command& out) {
    switch (frames) {
        case Frames::Mit: {
            auto made = m.make_mit({v[0], v[1], v[2], v[3], v[4]});
            if (!made) {
                raise_error(std::move(made.error()));
                return false;
            }
            out = *made;
            return true;
        }
        case Frames::PosVel: out = m.make_pos_vel({v[0], v[1]}); return true;
        case Frames::Vel: out = m.make_vel({v[0]}); return true;
        default: out = m.make_force_pos({v[0], v[1], v[2]}); return true;
    }
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
    if (!carries_values(frames)) {
        for (Group* g : members) {
            const auto motors = g->group->motors();
            for (std::size_t i = 0; i < motors.size(); ++i) g->slots[i].command = fixed(motors[i], frames);
        }
        return true;
    }
    const int kind = kind_of(frames);
    Ref seq;
    if (!rows) {
        seq = Ref::steal(PySequence_Fast(arg, "a sequence with one item per motor is required"));
        if (!seq) return false;
        const auto given = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get()));
        if (given != total) {
            PyErr_Format(PyExc_ValueError, "a group of %zu motors was given %zu %s", total, given, kWhat[kind]);
            return false;
        }
    }
    std::size_t row = 0;
    for (Group* g : members) {
        const auto motors = g->group->motors();
        for (std::size_t i = 0; i < motors.size(); ++i, ++row) {
            float v[5];
            if (rows) {
                for (std::size_t k = 0; k < kWidth[kind]; ++k) v[k] = static_cast<float>(rows->get(row, k));
            } else if (frames == Frames::Mit) {
                damiao::MitSetpoint sp;
                if (!Convert<damiao::MitSetpoint>::from(PySequence_Fast_ITEMS(seq.get())[row], kWhat[kind], sp))
                    return false;
                v[0] = sp.q, v[1] = sp.dq, v[2] = sp.kp, v[3] = sp.kd, v[4] = sp.tau;
            } else if (!floats(PySequence_Fast_ITEMS(seq.get())[row], kWhat[kind], v,
                               static_cast<Py_ssize_t>(kWidth[kind]))) {
                return false;
            }
            if (!make(motors[i], frames, v, g->slots[i].command)) return false;
        }
    }
    return true;
}

void record(Group& g) {
    for (std::size_t i = 0; i < g.slots.size(); ++i) {
        const auto& slot = g.slots[i];
        MotorRecord& r = g.records[i];
        if (slot.state) {
            r.last = slot.state;
            r.last_answer_ns = static_cast<std::uint64_t>(slot.answered_at);
            r.missed = 0;
        } else {
            ++r.missed;
        }
    }
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
                const double v[kOutWidth] = {s->position, s->velocity, s->torque, double(s->t_mos),
                                             double(s->t_rotor), double(s->error)};
                for (std::size_t k = 0; k < kOutWidth; ++k) out.set(row, k, v[k]);
            } else {
                for (std::size_t k = 0; k < kOutWidth; ++k) out.set(row, k, NAN);
            }
            ++row;
        }
}

// What both kinds of tick do before the exchange: the buffers checked and
// the commands filled; nothing has been sent when this fails.
bool prepare(std::span<Group* const> members, std::size_t total, Frames frames, PyObject* arg, PyObject* out,
             RowBuffer& commands, RowBuffer& results) {
    if (out) {
        if (carries_values(frames) &&
            !commands.open(arg, "commands", total, kWidth[kind_of(frames)], false))
            return false;
        if (!results.open(out, "out", total, kOutWidth, true)) return false;
        if (carries_values(frames) && commands.memory() == results.memory()) {
            PyErr_SetString(PyExc_ValueError, "'commands' and 'out' must not be the same memory");
            return false;
        }
    }
    return fill(members, total, frames, arg, out && carries_values(frames) ? &commands : nullptr);
}

PyObject* finish(std::span<Group* const> members, std::size_t total, PyObject* out, RowBuffer& results,
                 std::size_t answered) {
    for (Group* g : members) record(*g);
    if (!out) return states(members, total);
    write(members, results);
    return PyLong_FromSize_t(answered);
}

}  // namespace

bool usable(const Group& g) {
    if (!g.group) {
        PyErr_SetString(PyExc_RuntimeError, "MotorGroup is not set up: it was made without its constructor");
        return false;
    }
    if (g.busy) {
        PyErr_SetString(PyExc_RuntimeError, "MotorGroup is running an exchange in another thread");
        return false;
    }
    return true;
}

PyObject* tick(Group& g, Frames frames, PyObject* arg, PyObject* out) {
    if (!usable(g)) return nullptr;
    Group* members[] = {&g};
    RowBuffer commands, results;
    if (!prepare(members, g.slots.size(), frames, arg, out, commands, results)) return nullptr;
    // The object holds the bus; `g` lives as long as this call.
    Bus& bus = unbox<Bus>(g.bus.get());
    std::optional<damiao::Result<std::size_t>> result;
    g.busy = true;
    const bool ran = run_released(bus, [&](can::CanTransport& t) { result.emplace(g.group->exchange(t, g.slots)); });
    g.busy = false;
    if (!ran) return nullptr;
    if (!*result) {
        raise_error(std::move(result->error()), bus.transport->name());
        return nullptr;
    }
    return finish(members, g.slots.size(), out, results, **result);
}

PyObject* tick(Robot& r, Frames frames, PyObject* arg, PyObject* out) {
    if (!r.exchange) {
        PyErr_SetString(PyExc_RuntimeError, "Robot is not set up: it was made without its constructor");
        return nullptr;
    }
    if (r.busy) {
        PyErr_SetString(PyExc_RuntimeError, "Robot is running an exchange in another thread");
        return nullptr;
    }
    for (Group* g : r.members)
        if (!usable(*g)) return nullptr;
    RowBuffer commands, results;
    if (!prepare(r.members, r.motors, frames, arg, out, commands, results)) return nullptr;
    std::optional<damiao::ShareResult<std::size_t>> result;
    r.busy = true;
    for (Group* g : r.members) g->busy = true;
    const bool ran = run_released_all(r.buses, [&] { result.emplace(r.exchange->run()); });
    for (Group* g : r.members) g->busy = false;
    r.busy = false;
    if (!ran) return nullptr;
    if (!*result) {
        damiao::ShareError& e = result->error();
        raise_error(std::move(e.error), unbox<Bus>(r.members[e.share]->bus.get()).transport->name());
        return nullptr;
    }
    return finish(r.members, r.motors, out, results, **result);
}

}  // namespace torvane::ext
