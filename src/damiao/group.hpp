#pragma once
// A group exchange: several motors on one bus served in one control tick.
// Replies left over from earlier calls are dropped without waiting, every
// command goes out back to back, and the replies are matched to their
// motors by feedback identifier until all have answered or one deadline
// passes. A motor that does not answer is reported as such; it never hides
// the others' replies. A real interface queues only txqueuelen frames (10 by
// default): what does not fit waits for room until the deadline.

#include <optional>
#include <span>
#include <vector>

#include "damiao/driver.hpp"
#include "damiao/settle.hpp"

namespace torvane::damiao {

inline constexpr int kDisableAttempts = 3;

class MotorGroup {
public:
    // One motor's part of an exchange: the command going out, and after the
    // exchange its decoded feedback, or nothing when it did not answer in time.
    struct Slot {
        Command command;
        std::optional<MotorState> state;
        can::MonoNanos answered_at = 0;  // the bus's clock when the state came
    };

    // Refused (DuplicateFeedbackId) when two motors share a feedback
    // identifier (master_id in 11 bits). With `fd` the commands go out as
    // CAN FD frames with bit-rate switch; replies count either way.
    // `spin`: see Pace (multi_bus.hpp). With `settle` the exchanges learn
    // when the replies come and sleep until then (settle.hpp).
    static Result<MotorGroup> make(std::span<const Damiao> motors, can::Duration timeout, bool fd = false,
                                   can::Duration spin = {}, bool settle = true);

    std::size_t size() const { return motors_.size(); }
    std::span<const Damiao> motors() const { return motors_; }
    std::span<const can::CanId> feedback() const { return feedback_; }
    can::Duration timeout() const { return timeout_; }
    can::Duration spin() const { return spin_; }
    bool fd() const { return fd_; }

    // slots[i] is motors()[i]'s (GroupSizeMismatch otherwise, before anything
    // is sent). Fills every slot's state; returns how many answered. Frames on
    // identifiers outside the group, frames too short to decode and a
    // second reply of the same motor are skipped. Fails only when the bus does.
    // A frame on a motor's feedback identifier that is not its state (a
    // register reply, another motor's feedback) is skipped too, and counted
    // in `skipped` if given.
    Result<std::size_t> exchange(can::CanTransport& bus, std::span<Slot> slots, std::size_t* skipped = nullptr) const;

    // Disables every motor: up to kDisableAttempts exchanges, until each has
    // confirmed (answered with any status but ENABLED: disabled, or a latched
    // fault, which drives nothing either). The indexes of those that never
    // did; fails only when the bus does. The one stop of every caller: leaving
    // a block, close(), on_fault="disable", dmtool stop, the LeRobot plugin.
    Result<std::vector<std::size_t>> disable_all(can::CanTransport& bus, std::span<Slot> slots,
                                                 std::size_t* skipped = nullptr) const;

private:
    MotorGroup(std::vector<Damiao> motors, std::vector<can::CanId> feedback, can::Duration timeout, bool fd,
               can::Duration spin, bool settle)
        : motors_(std::move(motors)),
          feedback_(std::move(feedback)),
          timeout_(timeout),
          spin_(spin),
          fd_(fd),
          learns_(settle) {}

    std::vector<Damiao> motors_;
    std::vector<can::CanId> feedback_;
    can::Duration timeout_;
    can::Duration spin_;
    bool fd_ = false;
    bool learns_ = true;
    // When this group's replies come, learned by its exchanges; one caller
    // at a time ticks a group (under its bus's lock).
    mutable SettleTime settle_;
};

}  // namespace torvane::damiao
