// MotorGroup: made from a torvane bus and torvane motors; each call one core
// group exchange with the interpreter lock released.

#include "torvane_ext/group_class.hpp"

#include <algorithm>
#include <string>

#include "python/binder.hpp"
#include "torvane_ext/ext_table.hpp"

namespace torvane::ext {

using py::Convert;
using py::Ref;
using py::unbox;
using Slot = damiao::MotorGroup::Slot;

namespace {

constexpr const char* kNotMade = "MotorGroup is not set up: it was made without its constructor";
constexpr const char* kBusy = "MotorGroup is running an exchange in another thread";

using Ctor = GroupConstructor;

// Whatever a sequence of one item per motor must be, before anything is sent.
PyObject* per_motor(PyObject* arg, const char* what, std::size_t motors) {
    PyObject* seq = PySequence_Fast(arg, "a sequence with one item per motor is required");
    if (!seq) return nullptr;
    const auto given = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq));
    if (given != motors) {
        Py_DECREF(seq);
        PyErr_Format(PyExc_ValueError, "a group of %zu motors was given %zu %s", motors, given, what);
        return nullptr;
    }
    return seq;
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

bool fill(Group& g, Frames frames, PyObject* arg) {
    const auto motors = g.group->motors();
    const std::size_t n = motors.size();
    auto each = [&](auto&& command) {
        for (std::size_t i = 0; i < n; ++i) g.slots[i].command = command(motors[i]);
        return true;
    };
    switch (frames) {
        case Frames::Enable: return each([](const Damiao& m) { return m.make_command(damiao::kCmdEnable); });
        case Frames::Disable: return each([](const Damiao& m) { return m.make_command(damiao::kCmdDisable); });
        case Frames::SetZero: return each([](const Damiao& m) { return m.make_command(damiao::kCmdSetZero); });
        case Frames::ClearError: return each([](const Damiao& m) { return m.make_command(damiao::kCmdClearError); });
        case Frames::Refresh: return each([](const Damiao& m) { return m.make_refresh(); });
        default: break;
    }
    static constexpr const char* what[] = {"setpoints", "pairs", "velocities", "triples"};
    const int kind = static_cast<int>(frames) - static_cast<int>(Frames::Mit);
    Ref seq = Ref::steal(per_motor(arg, what[kind], n));
    if (!seq) return false;
    PyObject** items = PySequence_Fast_ITEMS(seq.get());
    for (std::size_t i = 0; i < n; ++i) {
        const Damiao& m = motors[i];
        float v[3];
        switch (frames) {
            case Frames::Mit: {
                damiao::MitSetpoint sp;
                if (!Convert<damiao::MitSetpoint>::from(items[i], what[kind], sp)) return false;
                auto made = m.make_mit(sp);
                if (!made) {
                    raise_error(std::move(made.error()));
                    return false;
                }
                g.slots[i].command = *made;
                break;
            }
            case Frames::PosVel:
                if (!floats(items[i], what[kind], v, 2)) return false;
                g.slots[i].command = m.make_pos_vel({v[0], v[1]});
                break;
            case Frames::Vel:
                if (!floats(items[i], what[kind], v, 1)) return false;
                g.slots[i].command = m.make_vel({v[0]});
                break;
            default:
                if (!floats(items[i], what[kind], v, 3)) return false;
                g.slots[i].command = m.make_force_pos({v[0], v[1], v[2]});
                break;
        }
    }
    return true;
}

}  // namespace

PyObject* construct_group(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* bound[Ctor::params::count];
    if (!py::bind_tuple(table::signature<Ctor>, args, kwargs, bound)) return nullptr;
    Bus* bus;
    if (!Convert<Bus>::from(bound[0], "bus", bus)) return nullptr;
    Ref motors = Ref::steal(PySequence_Tuple(bound[1]));
    if (!motors) {
        py::reword_type_error("motors");
        return nullptr;
    }
    std::vector<Damiao> records(static_cast<std::size_t>(PyTuple_GET_SIZE(motors.get())));
    for (std::size_t i = 0; i < records.size(); ++i)
        if (!Convert<Damiao>::from(PyTuple_GET_ITEM(motors.get(), static_cast<Py_ssize_t>(i)), "motors", records[i]))
            return nullptr;
    std::optional<std::uint64_t> timeout_ms;
    bool fd = false;
    if ((bound[2] && !Convert<std::optional<std::uint64_t>>::from(bound[2], "timeout_ms", timeout_ms)) ||
        (bound[3] && !Convert<bool>::from(bound[3], "fd", fd)))
        return nullptr;
    // By default the longest of the motors' own timeouts.
    can::Duration timeout{};
    if (timeout_ms)
        timeout = can::Duration::from_millis(*timeout_ms);
    else
        for (const Damiao& m : records)
            if (can::to_nanos(m.timeout) > can::to_nanos(timeout)) timeout = m.timeout;
    auto made = damiao::MotorGroup::make(records, timeout, fd);
    if (!made) {
        raise_error(std::move(made.error()));
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Group& g = unbox<Group>(self.get());
    g.bus = Ref::borrow(bound[0]);
    g.motors = std::move(motors);
    g.slots.resize(made->size());
    g.group.emplace(std::move(*made));
    return self.release();
}

PyObject* group_tick(PyObject* self, Frames frames, PyObject* arg) {
    Group& g = unbox<Group>(self);
    if (!g.group) {
        PyErr_SetString(PyExc_RuntimeError, kNotMade);
        return nullptr;
    }
    if (g.busy) {
        PyErr_SetString(PyExc_RuntimeError, kBusy);
        return nullptr;
    }
    if (!fill(g, frames, arg)) return nullptr;
    // The object holds the bus; `self` lives as long as this call.
    Bus& bus = unbox<Bus>(g.bus.get());
    std::optional<damiao::Result<std::size_t>> result;
    g.busy = true;
    const bool ran = run_released(bus, [&](can::CanTransport& t) { result.emplace(g.group->exchange(t, g.slots)); });
    g.busy = false;
    if (!ran) return nullptr;
    if (!*result) {
        raise_error(std::move(result->error()));
        return nullptr;
    }
    Ref states = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(g.slots.size())));
    if (!states) return nullptr;
    for (std::size_t i = 0; i < g.slots.size(); ++i) {
        PyObject* item = g.slots[i].state ? py::box(*g.slots[i].state) : Py_NewRef(Py_None);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(states.get(), static_cast<Py_ssize_t>(i), item);
    }
    return states.release();
}

PyObject* group_get(PyObject* self, GroupField field) {
    Group& g = unbox<Group>(self);
    if (!g.group) {
        PyErr_SetString(PyExc_RuntimeError, kNotMade);
        return nullptr;
    }
    switch (field) {
        case GroupField::Bus: return Py_NewRef(g.bus.get());
        case GroupField::Motors: return Py_NewRef(g.motors.get());
        case GroupField::TimeoutMs: return PyLong_FromUnsignedLongLong(can::to_nanos(g.group->timeout()) / 1'000'000);
        case GroupField::Fd: return PyBool_FromLong(g.group->fd());
    }
    return nullptr;
}

std::string repr_text(const Group& g) {
    if (!g.group) return "MotorGroup()";
    std::string ids;
    for (const Damiao& m : g.group->motors()) ids += (ids.empty() ? "" : ", ") + std::to_string(m.motor_id);
    return "MotorGroup(motors=[" + ids + "], timeout_ms=" +
           std::to_string(static_cast<long long>(can::to_nanos(g.group->timeout()) / 1'000'000)) + ", fd=" + (g.group->fd() ? "True" : "False") +
           ")";
}

}  // namespace torvane::ext
