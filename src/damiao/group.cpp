#include "damiao/group.hpp"

#include <algorithm>
#include <array>

namespace torvane::damiao {

using can::CanFrame;

Result<MotorGroup> MotorGroup::make(std::span<const Damiao> motors, can::Duration timeout, bool fd) {
    std::vector<can::CanId> feedback;
    feedback.reserve(motors.size());
    for (std::size_t i = 0; i < motors.size(); ++i) {
        const auto id = can::CanId::standard(motors[i].master_id & can::kStandardMax);
        for (std::size_t j = 0; j < i; ++j)
            if (feedback[j] == id) return std::unexpected(Error(Error::DuplicateFeedbackId{
                                           static_cast<std::uint16_t>(id.value), j, i}));
        feedback.push_back(id);
    }
    return MotorGroup({motors.begin(), motors.end()}, std::move(feedback), timeout, fd);
}

Result<void> MotorGroup::send_all(can::CanTransport& bus, std::span<const Slot> slots) const {
    std::array<CanFrame, can::kBatchMax> frames;
    while (!slots.empty()) {
        const std::size_t n = std::min(slots.size(), frames.size());
        for (std::size_t i = 0; i < n; ++i) frames[i] = to_frame(slots[i].command, fd_);
        if (auto sent = bus.send_batch({frames.data(), n}); !sent) return sent;
        slots = slots.subspan(n);
    }
    return {};
}

Result<std::size_t> MotorGroup::exchange(can::CanTransport& bus, std::span<Slot> slots) const {
    if (slots.size() != motors_.size())
        return std::unexpected(Error(Error::GroupSizeMismatch{motors_.size(), slots.size()}));
    for (Slot& s : slots) s.state.reset();
    if (slots.empty()) return 0;

    std::array<CanFrame, can::kBatchMax> scratch;
    if (auto drained = bus.drain(scratch); !drained) return std::unexpected(Error(drained.error()));
    if (auto sent = send_all(bus, slots); !sent) return std::unexpected(Error(sent.error()));

    const can::MonoNanos deadline = bus.now() + can::to_nanos(timeout_);
    std::size_t answered = 0;
    auto collected = bus.collect(scratch, deadline, [&](const CanFrame& f) {
        for (std::size_t i = 0; i < feedback_.size(); ++i) {
            if (feedback_[i] != f.id) continue;
            if (slots[i].state) break;
            if (auto state = decode(motors_[i].limits, f.data())) {
                slots[i].state = *state;
                ++answered;
            }
            break;
        }
        return answered == slots.size();
    });
    if (!collected) return std::unexpected(Error(collected.error()));
    return answered;
}

}  // namespace torvane::damiao
