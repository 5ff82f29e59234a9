#pragma once
// Core error values to Python exceptions.

#include "damiao/error.hpp"
#include "transport/transport_error.hpp"

namespace torvane::py {

// Driver errors: RuntimeError with the error's text; refused limits are a
// bad argument value, so ValueError. Sets the exception.
void dm_err_to_py(damiao::Error&& err);

// Opening a bus: OSError / ValueError with a single string argument.
void transport_err_to_py(const can::TransportError& err);

}  // namespace torvane::py
