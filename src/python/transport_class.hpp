#pragma once
// SocketCanTransport: one open bus behind a lock with a sticky poison mark.

#include <Python.h>

#include <mutex>

#include "python/boundary.hpp"
#include "transport/socketcan_backend.hpp"

namespace torvane::py {

struct PySocketCanTransport {
    PyObject_HEAD
    std::mutex lock;
    bool poisoned;
    can::SocketCanTransport transport;
};

inline constexpr const char* kPoisonMessage = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

// Run `op` on the locked transport. A poisoned bus raises PanicException
// without running it; a C++ exception escaping `op` poisons the bus and
// raises PanicException. Returns false with the Python exception set.
template <typename Op>
bool with_bus(PyObject* bus_obj, Op&& op) {
    auto* bus = reinterpret_cast<PySocketCanTransport*>(bus_obj);
    std::unique_lock guard(bus->lock);
    if (bus->poisoned) {
        guard.unlock();
        raise_panic(kPoisonMessage);
        return false;
    }
    try {
        return op(static_cast<can::CanTransport&>(bus->transport));
    } catch (...) {
        bus->poisoned = true;
        guard.unlock();
        raise_panic_from_current();
        return false;
    }
}

}  // namespace torvane::py
