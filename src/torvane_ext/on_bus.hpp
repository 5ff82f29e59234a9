#pragma once
// Running a core operation with the interpreter lock released.
//
// The arguments are converted and the records copied before; then the
// interpreter lock is released, the bus's lock taken, the operation run,
// the bus's lock released, and only then the interpreter lock taken back.
// So a thread never waits for the interpreter lock while holding a bus, and
// torvane's own methods, which take the bus's lock while holding the
// interpreter lock, can only wait for a bus this call is about to release.

#include <Python.h>

#include <exception>
#include <optional>
#include <span>
#include <string>

#include "python/boundary.hpp"
#include "python/fixed_texts.hpp"
#include "python/transport_class.hpp"
#include "torvane_ext/ext_errors.hpp"

namespace torvane::ext {

using py::Bus;

// op() with every bus of `buses` locked; false with an exception set when it
// could not run: a poisoned bus (PanicException), a bus made without its
// constructor (RuntimeError), or a C++ exception out of `op`, which poisons
// them all. The same outcomes, with the same texts, as torvane's run_on_bus.
// `buses` are distinct and in the one global order (by address), so that
// two callers locking overlapping sets cannot deadlock. A bus torvane_ext
// uses receives error frames and counts its traffic from its first call on
// (SocketCanTransport::watch_health); torvane's own calls on it skip error
// frames as they skip any frame not their reply.
template <typename Op>
bool run_released_all(std::span<Bus* const> buses, Op&& op) {
    enum { Done, Poisoned, NotOpen, Unwatched, Threw } outcome = Done;
    std::exception_ptr thrown;
    std::optional<can::TransportError> unwatched;
    std::string unwatched_on;
    Py_BEGIN_ALLOW_THREADS
    for (Bus* b : buses) b->lock.lock();
    for (Bus* b : buses) {
        if (b->poisoned) outcome = Poisoned;
        else if (!b->transport && outcome == Done) outcome = NotOpen;
    }
    for (Bus* b : buses) {
        if (outcome != Done || b->transport->health()) continue;
        if (auto w = b->transport->watch_health(); !w) {
            unwatched = w.error();
            unwatched_on = b->transport->name();
            outcome = Unwatched;
        }
    }
    if (outcome == Done) {
        try {
            op();
        } catch (...) {
            for (Bus* b : buses) b->poisoned = true;
            thrown = std::current_exception();
            outcome = Threw;
        }
    }
    for (auto b = buses.rbegin(); b != buses.rend(); ++b) (*b)->lock.unlock();
    Py_END_ALLOW_THREADS
    switch (outcome) {
        case Done: return true;
        case Poisoned: py::raise_panic(std::string(py::text::kUnwrapFailed) + py::text::kPoisonError); break;
        case NotOpen: PyErr_SetString(PyExc_RuntimeError, py::kNotOpened); break;
        case Unwatched: raise_error(damiao::Error(*unwatched), unwatched_on); break;
        case Threw:
            try {
                std::rethrow_exception(thrown);
            } catch (...) {
                py::raise_panic_from_current();
            }
            break;
    }
    return false;
}

// op(transport) on one bus.
template <typename Op>
bool run_released(Bus& bus, Op&& op) {
    Bus* one[] = {&bus};
    return run_released_all(one, [&] { op(*bus.transport); });
}

}  // namespace torvane::ext
