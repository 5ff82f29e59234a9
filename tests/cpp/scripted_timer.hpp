#pragma once
// A clock for loop tests: time moves only when the test moves it, when a
// sleep ends (at its deadline plus the lateness scripted for it), and by
// `read_cost` at every reading, so that a busy-wait ends.

#include <cstdint>
#include <deque>
#include <vector>

#include "loop/timer.hpp"

namespace torvane::test {

class ScriptedTimer final : public loop::Timer {
public:
    struct Wake {
        loop::Nanos late = 0;      // past the deadline
        bool interrupted = false;  // a signal: the clock moves `late` from now instead
    };

    loop::Nanos clock = 5'000'000'000;
    loop::Nanos read_cost = 0;
    std::deque<Wake> wakes;  // empty: on time
    std::vector<loop::Nanos> sleeps;  // every deadline asked for
    int reads = 0, starts = 0;

    loop::Nanos now() override {
        ++reads;
        const loop::Nanos t = clock;
        clock += read_cost;
        return t;
    }
    loop::Sleep sleep_until(loop::Nanos deadline) override {
        sleeps.push_back(deadline);
        Wake w;
        if (!wakes.empty()) {
            w = wakes.front();
            wakes.pop_front();
        }
        if (w.interrupted) {
            clock += w.late;
            return loop::Sleep::Interrupted;
        }
        if (clock < deadline) clock = deadline;
        clock += w.late;
        return loop::Sleep::Reached;
    }
    void started() override { ++starts; }
};

}  // namespace torvane::test
