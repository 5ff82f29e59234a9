#include "damiao/group.hpp"

#include "damiao/multi_bus.hpp"
#include "damiao/status.hpp"

namespace torvane::damiao {

Result<MotorGroup> MotorGroup::make(std::span<const Damiao> motors, can::Duration timeout, bool fd,
                                    can::Duration spin, bool settle) {
    std::vector<can::CanId> feedback;
    feedback.reserve(motors.size());
    for (std::size_t i = 0; i < motors.size(); ++i) {
        const auto id = can::CanId::standard(motors[i].master_id & can::kStandardMax);
        for (std::size_t j = 0; j < i; ++j)
            if (feedback[j] == id) return std::unexpected(Error(Error::DuplicateFeedbackId{
                                           static_cast<std::uint16_t>(id.value), j, i}));
        feedback.push_back(id);
    }
    return MotorGroup({motors.begin(), motors.end()}, std::move(feedback), timeout, fd, spin, settle);
}

Result<std::size_t> MotorGroup::exchange(can::CanTransport& bus, std::span<Slot> slots, std::size_t* skipped) const {
    const Share share{&bus, this, slots};
    Progress progress;
    can::CanTransport* waiting = nullptr;
    auto answered = damiao::exchange({&share, 1}, {timeout_, spin_, learns_ ? &settle_ : nullptr}, {&progress, 1}, {&waiting, 1});
    if (skipped) *skipped = progress.skipped;
    if (!answered) return std::unexpected(std::move(answered.error().error));
    return *answered;
}

Result<std::vector<std::size_t>> MotorGroup::disable_all(can::CanTransport& bus, std::span<Slot> slots,
                                                         std::size_t* skipped) const {
    if (slots.size() != motors_.size())
        return std::unexpected(Error(Error::GroupSizeMismatch{motors_.size(), slots.size()}));
    std::vector<std::size_t> unconfirmed;
    for (int attempt = 0; attempt < kDisableAttempts; ++attempt) {
        for (std::size_t i = 0; i < slots.size(); ++i) slots[i].command = motors_[i].make_command(kCmdDisable);
        std::size_t skipped_now = 0;
        auto answered = exchange(bus, slots, &skipped_now);
        if (skipped) *skipped += skipped_now;
        if (!answered) return std::unexpected(std::move(answered.error()));
        unconfirmed.clear();
        for (std::size_t i = 0; i < slots.size(); ++i)
            if (!slots[i].state || slots[i].state->error == kStatusEnabled) unconfirmed.push_back(i);
        if (unconfirmed.empty()) break;
    }
    return unconfirmed;
}

}  // namespace torvane::damiao
