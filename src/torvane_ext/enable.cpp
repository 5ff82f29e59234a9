// Before an enable: the core sets each motor's control mode and watchdog up
// as the group asks (damiao/enable_setup), with the interpreter lock
// released; here its outcome becomes an exception naming the motor.

#include <string>

#include "damiao/enable_setup.hpp"
#include "torvane_ext/ext_errors.hpp"
#include "torvane_ext/group_class.hpp"
#include "torvane_ext/on_bus.hpp"

namespace torvane::ext {

using py::Ref;
using py::unbox;

bool prepare_enable(Group& g) {
    const damiao::EnableSetup setup{g.mode.mode, g.set_mode, g.watchdog.ms};
    if (setup.empty()) return true;
    Bus& bus = unbox<Bus>(g.bus.get());
    std::vector<std::optional<std::uint32_t>> before(g.slots.size());
    std::optional<std::expected<std::vector<damiao::WrongMode>, damiao::SetupFailure>> result;
    if (!run_released(bus, [&](can::CanTransport& t) {
            result.emplace(damiao::set_up_for_enable(t, g.group->motors(), setup, before));
        }))
        return false;
    // What the motor had before this process changed it, kept from the first
    // change until it is written back.
    for (std::size_t i = 0; i < before.size(); ++i)
        if (before[i] && !g.watchdog_before[i]) g.watchdog_before[i] = before[i];
    if (!*result) {
        damiao::SetupFailure& f = result->error();
        const std::string where = motor_name(g, f.index);
        raise_error(std::move(f.error));
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
    if (!(*result)->empty()) {
        std::string text = "not in the mode " + std::to_string(*g.mode.mode) + " asked for, nothing enabled:";
        for (const damiao::WrongMode& w : **result) {
            text += ' ';
            text.append(motor_name(g, w.index)).append(" is in mode ").append(std::to_string(w.mode)) += ';';
        }
        text.pop_back();
        PyErr_SetString(exception(Failure::Verify), text.c_str());
        return false;
    }
    return true;
}

}  // namespace torvane::ext
