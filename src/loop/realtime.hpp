#pragma once
// Making the calling thread real-time: SCHED_FIFO at a priority, pinned to
// CPUs, the process's memory locked. All of it or nothing: what is not
// permitted is found before anything changes, and a step that fails anyway
// undoes the ones before it.

#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace torvane::loop {

struct RealtimeRequest {
    int priority = 50;
    std::optional<std::vector<int>> cpus;  // none: keep the affinity
    bool lock_memory = true;
};

struct RealtimeError {
    enum Kind { Invalid, Permission, System } kind;
    int err = 0;  // errno of a failed call, or 0
    std::string message;
};

std::expected<void, RealtimeError> make_realtime(const RealtimeRequest& request);

}  // namespace torvane::loop
