// Robot: several MotorGroups, each on its own bus, ticked as one multi-bus
// exchange (tick.cpp). Its buses are locked in one global order (by
// address), so Robots that share buses listed in other orders cannot
// deadlock.

#include <algorithm>
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

constexpr const char* kNotMade = "Robot is not set up: it was made without its constructor";

}  // namespace

PyObject* construct(Robot*, PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    using P = RobotConstructor::params;
    PyObject* bound[P::count];
    if (!py::bind_tuple(table::signature<RobotConstructor>, args, kwargs, bound)) return nullptr;
    Ref groups = Ref::steal(PySequence_Tuple(bound[P::at<"groups">]));
    if (!groups) {
        py::reword_type_error("groups");
        return nullptr;
    }
    PyTypeObject* group_type = py::type_object<Group>();
    if (!group_type) return nullptr;
    std::vector<Group*> members;
    std::vector<damiao::Share> shares;
    std::vector<Bus*> buses;
    std::size_t motors = 0;
    can::Duration longest{};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(groups.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(groups.get(), i);
        if (!PyObject_TypeCheck(item, group_type)) {
            PyErr_Format(PyExc_TypeError, "argument 'groups': item %zd must be a MotorGroup, not %.200s", i,
                         Py_TYPE(item)->tp_name);
            return nullptr;
        }
        Group& g = unbox<Group>(item);
        if (!g.group) {
            PyErr_SetString(PyExc_RuntimeError, "MotorGroup is not set up: it was made without its constructor");
            return nullptr;
        }
        Bus& bus = unbox<Bus>(g.bus.get());
        if (!bus.transport) {
            PyErr_SetString(PyExc_RuntimeError, py::kNotOpened);
            return nullptr;
        }
        members.push_back(&g);
        shares.push_back({&*bus.transport, &*g.group, g.slots});
        buses.push_back(&bus);
        motors += g.slots.size();
        if (can::to_nanos(g.group->timeout()) > can::to_nanos(longest)) longest = g.group->timeout();
    }
    std::optional<std::uint64_t> timeout_ms;
    can::Duration spin{};
    PyObject* const timeout_arg = bound[P::at<"timeout_ms">];
    if ((timeout_arg && !Convert<std::optional<std::uint64_t>>::from(timeout_arg, "timeout_ms", timeout_ms)) ||
        !convert_spin(bound[P::at<"spin_us">], spin))
        return nullptr;
    bool settle = true;
    if (PyObject* a = bound[P::at<"settle">]; a && !Convert<bool>::from(a, "settle", settle)) return nullptr;
    Safety safety;
    if (!convert_safety(bound[P::at<"on_fault">], bound[P::at<"on_exit">], safety)) return nullptr;
    // A tick of the Robot reacts as the Robot says: a group's own choice
    // that differs would silently not hold.
    for (std::size_t i = 0; i < members.size(); ++i) {
        const Safety& own = members[i]->safety;
        const char* which = own.on_fault.kind != safety.on_fault.kind ? "on_fault"
                            : own.on_exit.keep != safety.on_exit.keep ? "on_exit"
                                                                      : nullptr;
        if (which) {
            PyErr_Format(PyExc_ValueError,
                         "argument 'groups': item %zu has its own %s, which a Robot's calls do not follow: set %s on "
                         "the Robot (Robot(groups, %s=...))",
                         i, which, which, which);
            return nullptr;
        }
        if (own.closed) {
            PyErr_Format(PyExc_RuntimeError, "argument 'groups': item %zu is closed", i);
            return nullptr;
        }
    }
    // By default the longest of the groups' timeouts.
    const can::Duration timeout = timeout_ms ? can::Duration::from_millis(*timeout_ms) : longest;
    auto made = damiao::MultiBusExchange::make(std::move(shares), {timeout, spin}, settle);
    if (!made) {
        raise_error(std::move(made.error()));
        return nullptr;
    }
    std::ranges::sort(buses, std::less<>{});
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Robot& r = unbox<Robot>(self.get());
    r.groups = std::move(groups);
    r.members = std::move(members);
    r.buses = std::move(buses);
    r.motors = motors;
    r.safety = safety;
    r.exchange.emplace(std::move(*made));
    return self.release();
}

PyObject* computed(PyObject* self, RobotField field) {
    Robot& r = unbox<Robot>(self);
    if (!r.exchange) {
        PyErr_SetString(PyExc_RuntimeError, kNotMade);
        return nullptr;
    }
    const damiao::Pace& pace = r.exchange->pace();
    switch (field) {
        case RobotField::Groups: return Py_NewRef(r.groups.get());
        case RobotField::TimeoutMs: return PyLong_FromUnsignedLongLong(millis(pace.timeout));
        case RobotField::SpinUs: return PyLong_FromUnsignedLongLong(micros(pace.spin));
        default: break;
    }
    if (field == RobotField::Health) {
        Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(r.members.size())));
        if (!out) return nullptr;
        for (std::size_t i = 0; i < r.members.size(); ++i) {
            const auto& bus = unbox<Bus>(r.members[i]->bus.get());
            PyObject* item = py::box(health_record(*can::bus_health(bus.transport->name())));
            if (!item) return nullptr;
            PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
        }
        return out.release();
    }
    if (field == RobotField::Clamped) {
        std::vector<std::uint64_t> all;
        for (const Group* g : r.members) all.insert(all.end(), g->clamped.begin(), g->clamped.end());
        return clamped_tuple(all);
    }
    // The groups' records, one list.
    std::vector<MotorRecord> all;
    all.reserve(r.motors);
    for (const Group* g : r.members) all.insert(all.end(), g->records.begin(), g->records.end());
    const GroupField as = field == RobotField::LastAnswerNs ? GroupField::LastAnswerNs
                          : field == RobotField::Missed    ? GroupField::Missed
                                                           : GroupField::LastStates;
    return record_field(all, as);
}

std::string repr_text(const Robot& r) {
    if (!r.exchange) return "Robot()";
    std::string names;
    for (const Group* g : r.members)
        names += (names.empty() ? "'" : ", '") + unbox<Bus>(g->bus.get()).transport->name() + "'";
    return "Robot(buses=[" + names + "], motors=" + std::to_string(r.motors) +
           ", timeout_ms=" + std::to_string(millis(r.exchange->pace().timeout)) + ")";
}

}  // namespace torvane::ext
