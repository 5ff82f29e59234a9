// MotorGroup: made from a torvane bus and torvane motors; each call one core
// group exchange with the interpreter lock released (tick.cpp).

#include <string>

#include "python/binder.hpp"
#include "torvane_ext/ext_errors.hpp"
#include "torvane_ext/ext_table.hpp"
#include "torvane_ext/group_class.hpp"

namespace torvane::ext {

using py::Convert;
using py::Ref;
using py::unbox;

namespace {

template <typename Get>
PyObject* per_motor(std::span<const MotorRecord> records, Get&& get) {
    Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(records.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < records.size(); ++i) {
        PyObject* item = get(records[i]);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
    }
    return out.release();
}

}  // namespace

PyObject* clamped_tuple(std::span<const std::uint64_t> counts) {
    Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(counts.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        PyObject* item = PyLong_FromUnsignedLongLong(counts[i]);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
    }
    return out.release();
}

PyObject* record_field(std::span<const MotorRecord> records, GroupField field) {
    switch (field) {
        case GroupField::LastAnswerNs:
            return per_motor(records, [](const MotorRecord& r) { return PyLong_FromUnsignedLongLong(r.last_answer_ns); });
        case GroupField::Missed:
            return per_motor(records, [](const MotorRecord& r) { return PyLong_FromUnsignedLong(r.missed); });
        default:
            return per_motor(records, [](const MotorRecord& r) { return r.last ? py::box(*r.last) : Py_NewRef(Py_None); });
    }
}

bool convert_spin(PyObject* arg, can::Duration& spin) {
    std::uint64_t us = 0;
    if (arg && !Convert<std::uint64_t>::from(arg, "spin_us", us)) return false;
    spin = {us / 1'000'000, static_cast<std::uint32_t>(us % 1'000'000 * 1000)};
    return true;
}

PyObject* construct(Group*, PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    using P = GroupConstructor::params;
    PyObject* bound[P::count];
    if (!py::bind_tuple(table::signature<GroupConstructor>, args, kwargs, bound)) return nullptr;
    Bus* bus;
    if (!Convert<Bus>::from(bound[P::at<"bus">], "bus", bus)) return nullptr;
    Ref motors = Ref::steal(PySequence_Tuple(bound[P::at<"motors">]));
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
    can::Duration spin{};
    PyObject* const timeout_arg = bound[P::at<"timeout_ms">];
    PyObject* const fd_arg = bound[P::at<"fd">];
    if ((timeout_arg && !Convert<std::optional<std::uint64_t>>::from(timeout_arg, "timeout_ms", timeout_ms)) ||
        (fd_arg && !Convert<bool>::from(fd_arg, "fd", fd)) || !convert_spin(bound[P::at<"spin_us">], spin))
        return nullptr;
    bool settle = true;
    if (PyObject* a = bound[P::at<"settle">]; a && !Convert<bool>::from(a, "settle", settle)) return nullptr;
    Group settings;
    const GroupSafetyArgs safety_args{bound[P::at<"watchdog_ms">], bound[P::at<"limits">], bound[P::at<"mode">],
                                      bound[P::at<"set_mode">]};
    if (!convert_safety(bound[P::at<"on_fault">], bound[P::at<"on_exit">], settings.safety) ||
        !convert_group_safety(safety_args, records.size(), settings))
        return nullptr;
    if (PyObject* age = bound[P::at<"max_state_age_ms">]) {
        std::uint64_t ms = 0;
        if (!Convert<std::uint64_t>::from(age, "max_state_age_ms", ms)) return nullptr;
        if (ms == 0) {
            PyErr_SetString(PyExc_ValueError, "max_state_age_ms must be at least 1");
            return nullptr;
        }
        settings.max_state_age = can::Duration::from_millis(ms);
    }
    if (!bus->transport) {
        PyErr_SetString(PyExc_RuntimeError, py::kNotOpened);
        return nullptr;
    }
    // By default the longest of the motors' own timeouts.
    can::Duration timeout{};
    if (timeout_ms)
        timeout = can::Duration::from_millis(*timeout_ms);
    else
        for (const Damiao& m : records)
            if (can::to_nanos(m.timeout) > can::to_nanos(timeout)) timeout = m.timeout;
    auto made = damiao::MotorGroup::make(records, timeout, fd, spin, settle);
    if (!made) {
        raise_error(std::move(made.error()));
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Group& g = unbox<Group>(self.get());
    g.self = self.get();
    g.bus = Ref::borrow(bound[P::at<"bus">]);
    g.measured = damiao::bus_states(bus->transport->name());
    g.max_state_age = settings.max_state_age;
    g.enabled.assign(made->size(), 0);
    g.watchdog_before.assign(made->size(), std::nullopt);
    g.motors = std::move(motors);
    g.slots.resize(made->size());
    g.records.resize(made->size());
    g.limits = std::move(settings.limits);
    g.clamped = std::move(settings.clamped);
    g.safety = settings.safety;
    g.watchdog = settings.watchdog;
    g.mode = settings.mode;
    g.set_mode = settings.set_mode;
    g.group.emplace(std::move(*made));
    return self.release();
}

std::uint64_t millis(can::Duration d) { return static_cast<std::uint64_t>(can::to_nanos(d) / 1'000'000); }
std::uint64_t micros(can::Duration d) { return static_cast<std::uint64_t>(can::to_nanos(d) / 1'000); }

PyObject* computed(PyObject* self, GroupField field) {
    Group& g = unbox<Group>(self);
    if (!g.group) {
        PyErr_SetString(PyExc_RuntimeError, "MotorGroup is not set up: it was made without its constructor");
        return nullptr;
    }
    switch (field) {
        case GroupField::Bus: return Py_NewRef(g.bus.get());
        case GroupField::Motors: return Py_NewRef(g.motors.get());
        case GroupField::TimeoutMs: return PyLong_FromUnsignedLongLong(millis(g.group->timeout()));
        case GroupField::Fd: return PyBool_FromLong(g.group->fd());
        case GroupField::SpinUs: return PyLong_FromUnsignedLongLong(micros(g.group->spin()));
        case GroupField::WatchdogMs:
            return g.watchdog.ms ? PyLong_FromUnsignedLong(*g.watchdog.ms) : Py_NewRef(Py_None);
        case GroupField::Clamped: return clamped_tuple(g.clamped);
        case GroupField::MaxStateAgeMs: return PyLong_FromUnsignedLongLong(millis(g.max_state_age));
        case GroupField::Skipped: return PyLong_FromUnsignedLongLong(g.measured->skipped);
        case GroupField::Health:
            return py::box(health_record(*can::bus_health(unbox<Bus>(g.bus.get()).transport->name())));
        default: return record_field(g.records, field);
    }
}

std::string repr_text(const Group& g) {
    if (!g.group) return "MotorGroup()";
    std::string ids;
    for (const Damiao& m : g.group->motors()) ids += (ids.empty() ? "" : ", ") + std::to_string(m.motor_id);
    return "MotorGroup(motors=[" + ids + "], timeout_ms=" + std::to_string(millis(g.group->timeout())) +
           ", fd=" + (g.group->fd() ? "True" : "False") + ")";
}

}  // namespace torvane::ext
