#pragma once
// Rules every Python entry point shares: internal faults become
// PanicException, conversion TypeErrors name their parameter, class-typed
// arguments are checked by exact class.

#include <Python.h>

#include <exception>
#include <string>

namespace torvane::py {

// The BaseException subclass for broken invariants; created once.
PyObject* panic_type();
void raise_panic(const std::string& message);
// Raise PanicException for whatever C++ exception is in flight.
void raise_panic_from_current();

// A TypeError raised while converting `param` becomes
// "argument '{param}': {message}", keeping the original's __cause__.
void reword_type_error(const char* param);

// "'{type}' object cannot be converted to '{Class}'", reworded for `param`.
void raise_not_convertible(PyObject* obj, const char* class_name, const char* param);

// Wraps an entry point so that no C++ exception crosses into the interpreter.
template <auto Fn>
struct Guard;

template <typename R, typename... A, R (*Fn)(A...)>
struct Guard<Fn> {
    static R call(A... args) noexcept {
        try {
            return Fn(args...);
        } catch (...) {
            raise_panic_from_current();
            if constexpr (std::is_pointer_v<R>)
                return nullptr;
            else
                return R(-1);
        }
    }
};

template <auto Fn>
inline constexpr auto guarded = &Guard<Fn>::call;

}  // namespace torvane::py
