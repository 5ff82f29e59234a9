#pragma once
// When a tick's replies can all have come, learned from the ticks before it,
// so that the exchange sleeps once and reads them in one batch instead of
// waking for each reply. Each wake-up is a context switch: CPU the caller's
// control policy does not get, and in a loaded or emulated machine the tick
// rate itself.
//
// The estimate is kept a little short of the last reply's arrival, where a
// sleep costs nothing: a tick whose replies are all in at the wake-up may
// have slept past the last one, and shortens it by 1/16; a tick that still
// has to wait loses no time, only a wake-up, and lengthens it by 1/64. So
// about four ticks in five wake just before their last reply and wait once
// more, and one that sleeps past its last reply does so by about 1/64 of it.

#include "transport/duration.hpp"

namespace torvane::damiao {

class SettleTime {
public:
    // How long after its last command goes out a tick sleeps before it
    // reads; 0 while nothing has been learned.
    can::MonoNanos sleep() const { return estimate_; }

    enum class Woke { WithoutSleep, AllIn, SomeMissing };

    // What a tick that got every reply saw: how long after its last command
    // the last reply was read, and how its first read went.
    void learn(can::MonoNanos last, Woke woke);

    void forget() { estimate_ = 0; }

private:
    can::MonoNanos estimate_ = 0;
};

}  // namespace torvane::damiao
