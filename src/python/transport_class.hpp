#pragma once
// SocketCanTransport: one open bus behind a lock with a sticky poison mark.

#include <Python.h>

#include <mutex>
#include <optional>
#include <string>

#include "python/boundary.hpp"
#include "python/fixed_texts.hpp"
#include "transport/socketcan_backend.hpp"

namespace torvane::py {

// What a SocketCanTransport object holds. An instance Python made without the
// constructor holds the default: no socket, so every command on it fails.
struct Bus {
    std::mutex lock;
    bool poisoned = false;
    std::optional<can::SocketCanTransport> transport;
};

inline constexpr const char* kNotOpened = "SocketCanTransport is not open: it was made without its constructor";

// Run `op` on the locked transport. A poisoned bus raises PanicException
// without running it; a C++ exception escaping `op` poisons the bus and
// raises PanicException. Returns false with the Python exception set.
template <typename Op>
bool with_bus(Bus& bus, Op&& op) {
    std::unique_lock guard(bus.lock);
    if (bus.poisoned) {
        guard.unlock();
        raise_panic(std::string(text::kUnwrapFailed) + text::kPoisonError);
        return false;
    }
    if (!bus.transport) {
        PyErr_SetString(PyExc_RuntimeError, kNotOpened);
        return false;
    }
    try {
        return op(static_cast<can::CanTransport&>(*bus.transport));
    } catch (...) {
        bus.poisoned = true;
        guard.unlock();
        raise_panic_from_current();
        return false;
    }
}

}  // namespace torvane::py
