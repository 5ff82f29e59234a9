#pragma once
// Bridge from the logging facade (log_facade.hpp) into Python's `logging`.
//
// Records become Python log records on the logger named after their target
// (a::b::c -> a.b.c). Each target's Python logger and the level it had at
// first use are cached in an immutable tree whose root is swapped atomically;
// a record that fails the cached level check never touches the interpreter.

#include <memory>
#include <optional>

namespace torvane::py::logbridge {

struct Cache;

// Through this handle the bridge's logger cache could be emptied, making the
// bridge read the Python loggers' levels again.
class ResetHandle {
public:
    explicit ResetHandle(std::shared_ptr<Cache> cache) : cache_(std::move(cache)) {}
    void reset() const;

private:
    std::shared_ptr<Cache> cache_;
};

// Imports `logging` and installs the bridge into the facade. On failure
// returns nothing, with PanicException set.
std::optional<ResetHandle> init();

}  // namespace torvane::py::logbridge
