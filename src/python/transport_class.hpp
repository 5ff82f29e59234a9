#pragma once
// SocketCanTransport: one open bus behind a lock with a sticky poison mark.

#include <Python.h>

#include <mutex>
#include <optional>
#include <string>

#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/error_map.hpp"
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

// Runs one driver operation on the locked transport and converts its result:
// the value in a new object (None for none), a driver error by dm_err_to_py
// while the lock is held. A poisoned bus raises PanicException without
// running it; a C++ exception escaping `op` poisons the bus and raises
// PanicException.
template <typename Op>
PyObject* run_on_bus(Bus& bus, Op&& op) {
    using R = decltype(op(std::declval<can::CanTransport&>()));
    std::optional<R> result;
    std::unique_lock guard(bus.lock);
    if (bus.poisoned) {
        guard.unlock();
        raise_panic(std::string(text::kUnwrapFailed) + text::kPoisonError);
        return nullptr;
    }
    if (!bus.transport) {
        PyErr_SetString(PyExc_RuntimeError, kNotOpened);
        return nullptr;
    }
    try {
        result.emplace(op(*bus.transport));
        if (!*result) {
            dm_err_to_py(std::move(result->error()));
            return nullptr;
        }
    } catch (...) {
        bus.poisoned = true;
        guard.unlock();
        raise_panic_from_current();
        return nullptr;
    }
    guard.unlock();
    if constexpr (std::is_void_v<typename R::value_type>)
        Py_RETURN_NONE;
    else
        return box(**result);
}

}  // namespace torvane::py
