#include "sim/simulator.hpp"

#include <algorithm>
#include <utility>

namespace torvane::sim {

namespace {

// The jitter has a generator of its own, so that turning it on leaves the
// drop decisions of a seed as they were.
constexpr std::uint64_t kJitterStream = 0x9E3779B97F4A7C15u;

}  // namespace

Simulator::Simulator(const Options& o, SavedMotors saved, MonoNanos start)
    : latency_(static_cast<MonoNanos>(o.latency_us) * 1000),
      jitter_ns_(o.latency_jitter_us * 1000),
      drop_probability_(o.drop_probability),
      ifaces_(o.interfaces()),
      saved_(std::move(saved)),
      rng_(o.seed),
      jitter_rng_(o.seed ^ kJitterStream) {
    for (std::size_t i = 0; i < ifaces_.size(); ++i) buses_.push_back({Wire(o.bitrate, o.data_bitrate), {}});
    for (const auto& m : o.motors) {
        keys_.push_back(motor_key(m));
        MotorConfig config{m.cmd_id, m.fb_id, m.model, o.mode};
        if (const auto it = saved_.find(keys_.back()); it != saved_.end()) config.flash = it->second;
        motors_.emplace_back(config, start);
        const auto bus = std::find(ifaces_.begin(), ifaces_.end(), o.iface_of(m));
        iface_of_.push_back(static_cast<std::size_t>(bus - ifaces_.begin()));
        last_ready_.push_back(start);
    }
    // parse_options has matched every fault to exactly one motor.
    for (const auto& f : o.faults) {
        for (std::size_t i = 0; i < o.motors.size(); ++i) {
            const auto& m = o.motors[i];
            if (m.cmd_id == f.cmd_id && (f.iface.empty() || o.iface_of(m) == f.iface))
                motors_[i].schedule_fault(f.fault, start + static_cast<MonoNanos>(f.at_s * 1e9));
        }
    }
}

MonoNanos Simulator::jitter() {
    if (jitter_ns_ == 0) return 0;
    return std::uniform_int_distribution<std::uint64_t>(0, jitter_ns_)(jitter_rng_);
}

Simulator::Heard Simulator::hear(std::size_t iface, const Received& r, MonoNanos now) {
    Bus& bus = buses_.at(iface);
    commit(bus, now);
    // Every frame takes its time on the bus, whoever it is for; a motor has it
    // once it has been carried whole.
    const MonoNanos arrival = bus.wire.carry(now, r.frame, r.remote);
    if (r.remote) return {"remote frame: carries no data for a motor"};
    // The motors answer with their joints as they are now; the model is not
    // stepped past the clock to where the wire delivers the frame.
    if (mechanism_) mechanism_->advance(now, motors_);
    Heard heard{"not addressed to any simulated motor"};
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        if (iface_of_[i] != iface) continue;
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
                // Ready no sooner than this motor's previous reply, and queued
                // after every reply ready no later, so nothing of one motor is
                // reordered and the queue stays in order of `ready`.
                const MonoNanos ready = std::max(arrival + latency_ + jitter(), last_ready_[i]);
                last_ready_[i] = ready;
                const auto at = std::upper_bound(bus.pending.begin(), bus.pending.end(), ready,
                                                 [](MonoNanos t, const Pending& p) { return t < p.ready; });
                bus.pending.insert(at, {ready, std::nullopt, std::move(*out.reply)});
        }
    }
    return heard;
}

void Simulator::advance(MonoNanos now) {
    if (mechanism_) mechanism_->advance(now, motors_);
    for (auto& m : motors_) m.advance(now);
}

void Simulator::attach(std::unique_ptr<Mechanism> m) {
    mechanism_ = std::move(m);
    if (mechanism_)
        for (auto& motor : motors_) motor.bind_to_joint();
}

void Simulator::commit(Bus& bus, MonoNanos now) {
    for (auto& p : bus.pending) {
        if (p.carried) continue;
        if (p.ready > now) break;
        p.carried = bus.wire.carry(p.ready, p.frame);
    }
}

std::vector<can::CanFrame> Simulator::take_due(std::size_t iface, MonoNanos now) {
    Bus& bus = buses_.at(iface);
    commit(bus, now);
    std::vector<can::CanFrame> due;
    while (!bus.pending.empty() && bus.pending.front().carried && *bus.pending.front().carried <= now) {
        due.push_back(std::move(bus.pending.front().frame));
        bus.pending.pop_front();
    }
    return due;
}

std::optional<MonoNanos> Simulator::next_due() const {
    std::optional<MonoNanos> next;
    for (const auto& bus : buses_) {
        for (const auto& p : bus.pending) {
            const MonoNanos t = p.carried.value_or(p.ready);
            next = next ? std::min(*next, t) : t;
            if (!p.carried) break;  // later ones are ready later still
        }
    }
    return next;
}

}  // namespace torvane::sim
