#pragma once
// The fixed-rate loop and real-time setup as torvane_ext shows them: the
// records, argument types and operations its declarations (ext_api.hpp)
// name. Without Python, like ext_api.hpp.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "loop/loop.hpp"
#include "loop/realtime.hpp"
#include "python/stub_catalogue.hpp"

namespace torvane::ext {

struct LoopObject;  // Loop: a core loop and its clock (loop_class.hpp)

// What Loop's functions serve (loop_class.cpp).
enum class LoopCall { Next, Stats };
enum class LoopField { PeriodS, Ticks, DeadlineNs };

// ---- argument types ------------------------------------------------------------------

struct Priority {
    std::int64_t value = loop::RealtimeRequest{}.priority;
};
struct Cpus {  // CPU numbers
    std::vector<int> list;
};
struct LockMemory {
    bool on = loop::RealtimeRequest{}.lock_memory;
};
struct SpinUs {
    std::int64_t us = 0;
};
struct ArgError {  // raised as ValueError
    std::string message;
};

// ---- operations -----------------------------------------------------------------------

std::expected<LoopObject, ArgError> make_loop(std::optional<double> rate_hz, std::optional<double> period_s,
                                              SpinUs spin);
std::expected<void, loop::RealtimeError> realtime(Priority priority, const std::optional<Cpus>& cpus,
                                                  LockMemory lock_memory);
inline std::uint64_t monotonic_ns() { return static_cast<std::uint64_t>(loop::monotonic_now()); }

std::string repr_text(const loop::Stats& s);

}  // namespace torvane::ext

namespace torvane::py {

template <>
inline constexpr const char* class_name<ext::LoopObject> = "Loop";
template <>
inline constexpr const char* class_name<loop::Stats> = "LoopStats";

#define TORVANE_LOOP_STUB_TYPE(T, text)                                   \
    template <>                                                           \
    struct PyTypeInfo<T> {                                                \
        static TypeInfo type_input() { return text; }                    \
        static TypeInfo type_output() { return type_input(); }           \
    }

TORVANE_LOOP_STUB_TYPE(ext::LoopObject, stub_types::in_module("torvane_ext", "Loop"));
TORVANE_LOOP_STUB_TYPE(loop::Stats, stub_types::in_module("torvane_ext", "LoopStats"));
TORVANE_LOOP_STUB_TYPE(double, stub_types::builtin("float"));
TORVANE_LOOP_STUB_TYPE(ext::Priority, stub_types::builtin("int"));
TORVANE_LOOP_STUB_TYPE(ext::SpinUs, stub_types::builtin("int"));
TORVANE_LOOP_STUB_TYPE(ext::LockMemory, stub_types::builtin("bool"));
TORVANE_LOOP_STUB_TYPE(ext::Cpus, (TypeInfo{"typing.Iterable[int]", {ModuleRef{"typing"}}}));

#undef TORVANE_LOOP_STUB_TYPE

}  // namespace torvane::py
