#include "damiao/settle.hpp"


namespace torvane::damiao {

void SettleTime::learn(can::MonoNanos last, bool all_in_at_wake) {
    if (last <= 0) return;
    if (all_in_at_wake) {
        estimate_ -= estimate_ / 32;
        return;
    }
    // Read as it came: `last` is the arrival, give or take a wake-up.
    estimate_ = last - last / 16;
}

}  // namespace torvane::damiao
