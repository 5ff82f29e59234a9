// JointLimits as Python sees it: made from its arguments, its properties
// and repr; the limiting itself is the core's (damiao/joint_limits).

#include <cmath>
#include <cstdio>
#include <string>

#include "python/binder.hpp"
#include "torvane_ext/ext_convert.hpp"
#include "torvane_ext/group_class.hpp"

namespace torvane::ext {

using py::Ref;
using py::unbox;

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
