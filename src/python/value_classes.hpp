#pragma once
// MitLimits, MitSetpoint, MotorState and mit_setpoint as Python sees them.

#include <Python.h>

#include "damiao/mit.hpp"

namespace torvane::py {

// A new MotorState object holding `state`.
PyObject* new_motor_state(const damiao::MotorState& state);

// The module-level function's definition (registered by the module body).
PyMethodDef* mit_setpoint_def();

}  // namespace torvane::py
