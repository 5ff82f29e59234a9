#pragma once
// Bridge from the module's logging facade into Python's `logging`.

namespace torvane::py::logbridge {

// Installs the bridge; false with a Python exception (PanicException) set.
bool install();

}  // namespace torvane::py::logbridge
