// What keeps a robot safe on MotorGroup and Robot: faults by name and the
// on_fault reaction, a stop however a with block is left, the motors' own
// watchdog and control mode set up before enabling, and limits a command
// cannot cross (JointLimits).

#include <cmath>
#include <string>

#include "damiao/registers.hpp"
#include "damiao/status.hpp"
#include "python/binder.hpp"
#include "torvane_ext/ext_convert.hpp"
#include "torvane_ext/ext_errors.hpp"
#include "torvane_ext/ext_table.hpp"
#include "torvane_ext/group_class.hpp"
#include "torvane_ext/on_bus.hpp"

namespace torvane::ext {

using py::Convert;
using py::Ref;
using py::unbox;

namespace {

// TIMEOUT counts 50 us; the firmware keeps it in 16 bits.
constexpr std::uint32_t kWatchdogUnitsPerMs = 20;
constexpr std::uint32_t kWatchdogMaxMs = 0xFFFF / kWatchdogUnitsPerMs;

bool is_fault(const std::optional<MotorState>& s) {
    if (!s) return false;
    const auto info = damiao::find_status(s->error);
    return info && info->is_fault;
}

bool one_of(PyObject* obj, const char* param, std::initializer_list<const char*> words, int& out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be str, not %.200s", param, Py_TYPE(obj)->tp_name);
        return false;
    }
    int k = 0;
    for (const char* w : words) {
        if (PyUnicode_CompareWithASCIIString(obj, w) == 0) {
            out = k;
            return true;
        }
        ++k;
    }
    PyErr_Format(PyExc_ValueError, "argument '%s' must be one of %s, not %R", param,
                 words.size() == 3 ? "'report', 'raise', 'disable'" : "'disable', 'keep'", obj);
    return false;
}

}  // namespace

std::string motor_name(const Group& g, std::size_t i) {
    return "motor " + std::to_string(i) + " (id " + std::to_string(g.group->motors()[i].motor_id) + ")";
}

bool convert_safety(PyObject* on_fault, PyObject* on_exit, Safety& out) {
    int k = 0;
    if (on_fault) {
        if (!one_of(on_fault, "on_fault", {"report", "raise", "disable"}, k)) return false;
        out.on_fault.kind = static_cast<OnFault::Kind>(k);
    }
    if (on_exit) {
        if (!one_of(on_exit, "on_exit", {"disable", "keep"}, k)) return false;
        out.on_exit.keep = k == 1;
    }
    return true;
}

// args: watchdog_ms, limits, mode, set_mode (each may be null: absent).
bool convert_group_safety(PyObject* const* args, std::size_t motors, Group& g) {
    if (args[0] && args[0] != Py_None) {
        if (PyBool_Check(args[0])) {
            PyErr_SetString(PyExc_TypeError, "argument 'watchdog_ms' must be an int (milliseconds) or None, not bool");
            return false;
        }
        std::uint64_t ms = 0;
        if (!Convert<std::uint64_t>::from(args[0], "watchdog_ms", ms)) return false;
        if (ms == 0 || ms > kWatchdogMaxMs) {
            PyErr_Format(PyExc_ValueError, "watchdog_ms must be in 1..%u, not %llu", kWatchdogMaxMs,
                         static_cast<unsigned long long>(ms));
            return false;
        }
        g.watchdog.ms = static_cast<std::uint32_t>(ms);
    }
    if (args[1] && args[1] != Py_None) {
        Ref seq = Ref::steal(PySequence_Fast(args[1], "argument 'limits' must be a sequence of JointLimits or None"));
        if (!seq) return false;
        if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get())) != motors) {
            PyErr_Format(PyExc_ValueError, "argument 'limits': a group of %zu motors was given %zd limits", motors,
                         PySequence_Fast_GET_SIZE(seq.get()));
            return false;
        }
        g.limits.assign(motors, std::nullopt);
        for (std::size_t i = 0; i < motors; ++i) {
            PyObject* item = PySequence_Fast_ITEMS(seq.get())[i];
            if (item == Py_None) continue;
            if (!py::is_instance<LimitsValue>(item)) {
                PyErr_Format(PyExc_TypeError, "argument 'limits': item %zu must be JointLimits or None, not %.200s", i,
                             Py_TYPE(item)->tp_name);
                return false;
            }
            g.limits[i] = unbox<LimitsValue>(item).limits;
        }
    }
    g.clamped.assign(motors, 0);
    if (args[2] && args[2] != Py_None) {
        ModeArg mode;
        if (!Convert<ModeArg>::from(args[2], "mode", mode)) return false;
        g.mode.mode = mode.mode;
    }
    return !args[3] || Convert<bool>::from(args[3], "set_mode", g.set_mode);
}

bool prepare_enable(Group& g) {
    if (!g.watchdog.ms && !g.mode.mode) return true;
    struct Wrong {
        std::size_t index;
        std::uint32_t mode;
    };
    std::vector<Wrong> wrong;
    std::optional<damiao::Error> failed;
    std::size_t failed_at = 0;
    Bus& bus = unbox<Bus>(g.bus.get());
    const auto motors = g.group->motors();
    std::vector<std::optional<std::uint32_t>> before(motors.size());
    const bool ran = run_released(bus, [&](can::CanTransport& t) {
        for (std::size_t i = 0; i < motors.size() && !failed; ++i) {
            const Damiao& m = motors[i];
            auto fail = [&](damiao::Error&& e) { failed.emplace(std::move(e)), failed_at = i; };
            if (g.mode.mode) {
                auto mode = m.get_register(t, damiao::kRegControlMode);
                if (!mode) {
                    fail(std::move(mode.error()));
                } else if (mode->bits != *g.mode.mode) {
                    if (!g.set_mode) {
                        wrong.push_back({i, mode->bits});
                    } else if (auto set = m.ensure_control_mode(t, *g.mode.mode); !set) {
                        fail(std::move(set.error()));
                    }
                }
            }
            if (g.watchdog.ms && !failed) {
                // RAM only, never saved: the next power cycle brings the motor's own setting back.
                const std::uint32_t units = *g.watchdog.ms * kWatchdogUnitsPerMs;
                auto now = m.get_register(t, damiao::kRegTimeout);
                if (!now) {
                    fail(std::move(now.error()));
                } else if (now->bits != units) {
                    if (auto set = m.set_register(t, damiao::kRegTimeout, damiao::RegisterValue::u32(units),
                                                  damiao::Verify::Yes);
                        !set)
                        fail(std::move(set.error()));
                    else
                        before[i] = now->bits;
                }
            }
        }
    });
    if (!ran) return false;
    // What the motor had before this process changed it, kept from the first
    // change until it is written back.
    for (std::size_t i = 0; i < before.size(); ++i)
        if (before[i] && !g.watchdog_before[i]) g.watchdog_before[i] = before[i];
    if (failed) {
        const std::string where = motor_name(g, failed_at);
        raise_error(std::move(*failed));
        // Say which motor, keeping the exception's type.
        PyObject* exc = PyErr_GetRaisedException();
        Ref text = Ref::steal(PyObject_Str(exc));
        Ref wrapped = text ? Ref::steal(PyUnicode_FromFormat("%s: %U", where.c_str(), text.get())) : Ref();
        if (wrapped) {
            Ref args = Ref::steal(PyTuple_Pack(1, wrapped.get()));
            if (args) PyObject_SetAttrString(exc, "args", args.get());
        }
        PyErr_SetRaisedException(exc);
        return false;
    }
    if (!wrong.empty()) {
        std::string text = "not in the mode " + std::to_string(*g.mode.mode) + " asked for, nothing enabled:";
        for (const Wrong& w : wrong) {
            text += ' ';
            text.append(motor_name(g, w.index)).append(" is in mode ").append(std::to_string(w.mode)) += ';';
        }
        text.pop_back();
        PyErr_SetString(exception(Failure::Verify), text.c_str());
        return false;
    }
    return true;
}

bool any_fault(std::span<Group* const> members) {
    for (const Group* g : members)
        for (const auto& slot : g->slots)
            if (is_fault(slot.state)) return true;
    return false;
}

PyObject* faults_of(std::span<Group* const> members, bool last) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    std::size_t index = 0;
    for (const Group* g : members)
        for (std::size_t i = 0; i < g->slots.size(); ++i, ++index) {
            const auto& s = last ? g->records[i].last : g->slots[i].state;
            if (!is_fault(s)) continue;
            Ref key = Ref::steal(PyLong_FromSize_t(index));
            Ref value = key ? Ref::steal(status_of(s->error)) : Ref();
            if (!value || PyDict_SetItem(out.get(), key.get(), value.get()) < 0) return nullptr;
        }
    return out.release();
}

void raise_fault(PyObject* faults, PyObject* states) {
    std::string text = "a motor reported a fault:";
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(faults, &pos, &key, &value)) {
        Ref name = Ref::steal(PyObject_HasAttrString(value, "name") ? PyObject_GetAttrString(value, "name")
                                                                     : PyObject_Str(value));
        if (!name) return;
        text += " motor " + std::to_string(PyLong_AsSsize_t(key)) + " " + PyUnicode_AsUTF8(name.get()) + ",";
    }
    text.pop_back();
    Ref message = Ref::steal(PyUnicode_FromString(text.c_str()));
    Ref exc = message ? Ref::steal(PyObject_CallOneArg(exception(Failure::Fault), message.get())) : Ref();
    if (!exc || PyObject_SetAttrString(exc.get(), "faults", faults) < 0 ||
        PyObject_SetAttrString(exc.get(), "states", states) < 0)
        return;
    PyErr_SetRaisedException(exc.release());
}

// ---- JointLimits ---------------------------------------------------------------

std::expected<LimitsValue, ArgError> make_joint_limits(Window position, std::optional<double> max_step,
                                                       std::optional<double> velocity, std::optional<double> torque,
                                                       std::optional<double> kp, std::optional<double> kd) {
    if (std::isnan(position.lo) || std::isnan(position.hi) || position.lo > position.hi)
        return std::unexpected(ArgError{"position must be (lo, hi) with lo <= hi"});
    for (const auto& [name, v] : {std::pair{"max_step", max_step}, {"velocity", velocity}, {"torque", torque},
                                  {"kp", kp}, {"kd", kd}})
        if (v && !(*v >= 0))
            return std::unexpected(ArgError{std::string(name) + " must be None or at least 0"});
    LimitsValue out;
    out.limits.lo = static_cast<float>(position.lo);
    out.limits.hi = static_cast<float>(position.hi);
    if (max_step) out.limits.max_step = static_cast<float>(*max_step);
    if (velocity) out.limits.velocity = static_cast<float>(*velocity);
    if (torque) out.limits.torque = static_cast<float>(*torque);
    if (kp) out.limits.kp = static_cast<float>(*kp);
    if (kd) out.limits.kd = static_cast<float>(*kd);
    return out;
}

PyObject* computed(PyObject* self, LimitsField field) {
    const damiao::JointLimits& l = unbox<LimitsValue>(self).limits;
    auto optional = [](const std::optional<float>& v) {
        return v ? PyFloat_FromDouble(*v) : Py_NewRef(Py_None);
    };
    switch (field) {
        case LimitsField::Position: return Py_BuildValue("(dd)", double(l.lo), double(l.hi));
        case LimitsField::MaxStep: return optional(l.max_step);
        case LimitsField::Velocity: return optional(l.velocity);
        case LimitsField::Torque: return optional(l.torque);
        case LimitsField::Kp: return optional(l.kp);
        case LimitsField::Kd: return optional(l.kd);
    }
    return nullptr;
}

std::string repr_text(const LimitsValue& v) {
    auto text = [](std::optional<float> f) {
        if (!f) return std::string("None");
        char buf[32];
        std::snprintf(buf, sizeof buf, "%g", double(*f));
        return std::string(buf);
    };
    return "JointLimits(position=(" + text(v.limits.lo) + ", " + text(v.limits.hi) + "), max_step=" +
           text(v.limits.max_step) + ", velocity=" + text(v.limits.velocity) + ", torque=" + text(v.limits.torque) +
           ", kp=" + text(v.limits.kp) + ", kd=" + text(v.limits.kd) + ")";
}

}  // namespace torvane::ext

namespace torvane::py {

template <>
bool Convert<ext::Window>::from(PyObject* obj, const char* param, ext::Window& out) {
    Ref seq = Ref::steal(PySequence_Fast(obj, "position must be a pair (lo, hi)"));
    if (!seq) return false;
    if (PySequence_Fast_GET_SIZE(seq.get()) != 2) {
        PyErr_Format(PyExc_ValueError, "argument '%s' must be a pair (lo, hi)", param);
        return false;
    }
    float lo = 0, hi = 0;
    if (!Convert<float>::from(PySequence_Fast_ITEMS(seq.get())[0], param, lo) ||
        !Convert<float>::from(PySequence_Fast_ITEMS(seq.get())[1], param, hi))
        return false;
    out = {lo, hi};
    return true;
}

}  // namespace torvane::py
