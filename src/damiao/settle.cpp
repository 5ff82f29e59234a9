#include "damiao/settle.hpp"

namespace torvane::damiao {

void SettleTime::learn(can::MonoNanos last, Woke woke) {
    switch (woke) {
        case Woke::WithoutSleep:
            // Read as it came: `last` is the arrival, give or take a wake-up.
            if (last > 0) estimate_ = last - last / 16;
            return;
        case Woke::AllIn:
            // Maybe long after the last came: sooner next time.
            estimate_ -= estimate_ / 16;
            return;
        case Woke::SomeMissing:
            // Only one wake-up more, no latency: later next time, by less, so
            // that most ticks wake just before their last reply.
            estimate_ += estimate_ / 64 + 1;
            return;
    }
}

}  // namespace torvane::damiao
