#include "damiao/scan.hpp"

#include <algorithm>
#include <array>
#include <optional>

namespace torvane::damiao {

using can::CanFrame;

namespace {

CanFrame mst_id_request(std::uint16_t motor_id) {
    return to_frame({kRegisterId, register_request(motor_id, kRegRead, kRegMasterId, 0)});
}

bool answers(const CanFrame& f, std::uint16_t motor_id) {
    return is_register_answer(f.data(), motor_id, kRegRead, kRegMasterId);
}

}  // namespace

Result<ProbeReply> probe(can::CanTransport& bus, std::uint16_t motor_id, can::Duration timeout) {
    auto reply = bus.request(mst_id_request(motor_id), [&](const CanFrame& f) { return answers(f, motor_id); }, timeout);
    if (!reply) return std::unexpected(Error(reply.error()));
    return ProbeReply{motor_id, reply->id, register_bits(reply->data())};
}

Result<std::vector<ProbeReply>> scan(can::CanTransport& bus, std::span<const std::uint16_t> motor_ids,
                                     can::Duration timeout) {
    std::vector<ProbeReply> found;
    std::array<CanFrame, kScanBatch> requests;
    std::array<CanFrame, can::kBatchMax> scratch;
    while (!motor_ids.empty()) {
        const auto batch = motor_ids.first(std::min(motor_ids.size(), kScanBatch));
        motor_ids = motor_ids.subspan(batch.size());
        for (std::size_t i = 0; i < batch.size(); ++i) requests[i] = mst_id_request(batch[i]);
        if (auto sent = bus.send_batch({requests.data(), batch.size()}); !sent)
            return std::unexpected(Error(sent.error()));

        std::array<std::optional<ProbeReply>, kScanBatch> replies;
        std::size_t answered = 0;
        auto collected = bus.collect(scratch, bus.now() + can::to_nanos(timeout), [&](const CanFrame& f) {
            for (std::size_t i = 0; i < batch.size(); ++i) {
                if (replies[i] || !answers(f, batch[i])) continue;
                replies[i] = ProbeReply{batch[i], f.id, register_bits(f.data())};
                ++answered;
                break;
            }
            return answered == batch.size();
        });
        if (!collected) return std::unexpected(Error(collected.error()));
        for (std::size_t i = 0; i < batch.size(); ++i)
            if (replies[i]) found.push_back(*replies[i]);
    }
    return found;
}

}  // namespace torvane::damiao
