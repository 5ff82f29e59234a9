#pragma once
// A group exchange: several motors on one bus served in one control tick.
// Replies left over from earlier calls are dropped without waiting, every
// command goes out back to back, and the replies are matched to their
// motors by feedback identifier until all have answered or one deadline
// passes. A motor that does not answer is reported as such; it never hides
// the others' replies.

#include <optional>
#include <span>
#include <vector>

#include "damiao/driver.hpp"

namespace torvane::damiao {

class MotorGroup {
public:
    // One motor's part of an exchange: the command going out, and after the
    // exchange its decoded feedback, or nothing when it did not answer in time.
    struct Slot {
        Command command;
        std::optional<MotorState> state;
    };

    // Refused (DuplicateFeedbackId) when two motors share a feedback
    // identifier (master_id in 11 bits). With `fd` the commands go out as
    // CAN FD frames with bit-rate switch; replies count either way.
    static Result<MotorGroup> make(std::span<const Damiao> motors, can::Duration timeout, bool fd = false);

    std::size_t size() const { return motors_.size(); }
    std::span<const Damiao> motors() const { return motors_; }
    can::Duration timeout() const { return timeout_; }
    bool fd() const { return fd_; }

    // slots[i] is motors()[i]'s (GroupSizeMismatch otherwise, before anything
    // is sent). Fills every slot's state; returns how many answered. Frames on
    // identifiers outside the group, frames too short to decode and a
    // second reply of the same motor are skipped. Fails only when the bus does.
    Result<std::size_t> exchange(can::CanTransport& bus, std::span<Slot> slots) const;

private:
    MotorGroup(std::vector<Damiao> motors, std::vector<can::CanId> feedback, can::Duration timeout, bool fd)
        : motors_(std::move(motors)), feedback_(std::move(feedback)), timeout_(timeout), fd_(fd) {}

    Result<void> send_all(can::CanTransport& bus, std::span<const Slot> slots) const;

    std::vector<Damiao> motors_;
    std::vector<can::CanId> feedback_;
    can::Duration timeout_;
    bool fd_ = false;
};

}  // namespace torvane::damiao
