#pragma once
// The motors' last measured states on one interface, shared by everything in
// the process that talks to it: two groups, a robot and single calls that
// reach the same motor all limit from the one position it last reported,
// never from an older copy of their own. Not locked: its users serialise
// their access (torvane_ext under the interpreter lock).

#include <array>
#include <memory>
#include <string_view>

#include "damiao/mit.hpp"
#include "transport/can_frame.hpp"
#include "transport/duration.hpp"

namespace torvane::damiao {

struct MeasuredState {
    MotorState state{};
    can::MonoNanos at = 0;  // CLOCK_MONOTONIC when it came; 0: never
};

class BusStates {
public:
    void note(can::CanId feedback, const MotorState& s, can::MonoNanos at) {
        if (feedback.value <= can::kStandardMax) by_id_[feedback.value] = {s, at};
    }
    // Nothing when the motor never answered here.
    const MeasuredState* find(can::CanId feedback) const {
        if (feedback.value > can::kStandardMax) return nullptr;
        const MeasuredState& m = by_id_[feedback.value];
        return m.at ? &m : nullptr;
    }

    // Frames an exchange skipped: register replies and other motors' feedback.
    std::uint64_t skipped = 0;

private:
    std::array<MeasuredState, can::kStandardMax + 1> by_id_{};
};

// The one record of the interface named `iface`, made on first use and kept
// for the process.
std::shared_ptr<BusStates> bus_states(std::string_view iface);

}  // namespace torvane::damiao
