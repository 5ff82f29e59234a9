#pragma once
// torvane_ext's exceptions: made at import from their declarations
// (ext_api.hpp), and the core's error values raised as them.

#include <Python.h>

#include <string_view>

#include "damiao/error.hpp"
#include "torvane_ext/ext_api.hpp"

namespace torvane::ext {

// Creates the classes; false with an exception set.
bool make_exceptions();
PyObject* exception(Failure f);  // borrowed; null before make_exceptions

// The error's own text (Error::to_string) as the exception for its kind:
// a timeout, a bus failure with .errno (a bus-off one: None), a register
// refused, a value or mode that did not verify; bad limits, duplicate ids
// and a wrong count of setpoints are bad arguments (ValueError).
void raise_error(damiao::Error&& err);
// The same; a bus failure's text starts with the interface it happened on.
void raise_error(damiao::Error&& err, std::string_view iface);

}  // namespace torvane::ext
