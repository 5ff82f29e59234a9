#include "sim/simulator.hpp"

#include <algorithm>
#include <utility>

namespace torvane::sim {

Simulator::Simulator(const Options& o, SavedMotors saved, MonoNanos start)
    : latency_(static_cast<MonoNanos>(o.latency_us) * 1000),
      drop_probability_(o.drop_probability),
      saved_(std::move(saved)),
      wire_(o.bitrate, o.data_bitrate),
      rng_(o.seed) {
    for (const auto& m : o.motors) {
        keys_.push_back(motor_key(m));
        MotorConfig config{m.cmd_id, m.fb_id, m.model, o.mode};
        if (const auto it = saved_.find(keys_.back()); it != saved_.end()) config.flash = it->second;
        motors_.emplace_back(config, start);
    }
}

Simulator::Heard Simulator::hear(const Received& r, MonoNanos now) {
    commit(now);
    // Every frame takes its time on the bus, whoever it is for; a motor has it
    // once it has been carried whole.
    const MonoNanos arrival = wire_.carry(now, r.frame, r.remote);
    if (r.remote) return {"remote frame: carries no data for a motor"};
    Heard heard{"not addressed to any simulated motor"};
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        auto out = motors_[i].handle(r.frame, arrival);
        switch (out.kind) {
            case Outcome::Kind::NotMine:
                continue;
            case Outcome::Kind::Ignored:
                heard.why = out.why;
                continue;
            case Outcome::Kind::Saved:
                heard = {nullptr, heard.dropped, true};
                saved_[keys_[i]] = motors_[i].flash();
                continue;
            case Outcome::Kind::Answered:
                heard.why = nullptr;
                if (drop_probability_ > 0 && drop_(rng_) < drop_probability_) {
                    ++heard.dropped;
                    continue;
                }
                pending_.push_back({arrival + latency_, std::nullopt, std::move(*out.reply)});
        }
    }
    return heard;
}

void Simulator::advance(MonoNanos now) {
    for (auto& m : motors_) m.advance(now);
}

void Simulator::commit(MonoNanos now) {
    for (auto& p : pending_) {
        if (p.carried) continue;
        if (p.ready > now) break;
        p.carried = wire_.carry(p.ready, p.frame);
    }
}

std::vector<can::CanFrame> Simulator::take_due(MonoNanos now) {
    commit(now);
    std::vector<can::CanFrame> due;
    while (!pending_.empty() && pending_.front().carried && *pending_.front().carried <= now) {
        due.push_back(std::move(pending_.front().frame));
        pending_.pop_front();
    }
    return due;
}

std::optional<MonoNanos> Simulator::next_due() const {
    std::optional<MonoNanos> next;
    for (const auto& p : pending_) {
        const MonoNanos t = p.carried.value_or(p.ready);
        next = next ? std::min(*next, t) : t;
        if (!p.carried) break;  // later ones are ready later still
    }
    return next;
}

}  // namespace torvane::sim
