#pragma once
// When a tick's replies can all have come, learned from the ticks before it,
// so that the exchange sleeps once and reads them in one batch instead of
// waking for each reply. Each wake-up is a context switch: CPU the caller's
// control policy does not get, and in a loaded or emulated machine the tick
// rate itself.
//
// The estimate is kept a little short of the last reply's arrival: a tick
// whose replies are all in at the wake-up shortens it (it may have slept
// past the last one), a tick that still had to wait moves it to just under
// what it saw. So a tick never sleeps long past its last reply, and most
// wait once more at most, for the last few.

#include "transport/duration.hpp"

namespace torvane::damiao {

class SettleTime {
public:
    // How long after its last command goes out a tick sleeps before it
    // reads; 0 while nothing has been learned.
    can::MonoNanos sleep() const { return estimate_; }

    // What a tick that got every reply saw: how long after its last command
    // the last reply was read, and whether it slept and found them all in at
    // the wake-up (then the last may have come well before).
    void learn(can::MonoNanos last, bool all_in_at_wake);

    void forget() { estimate_ = 0; }

private:
    can::MonoNanos estimate_ = 0;
};

}  // namespace torvane::damiao
