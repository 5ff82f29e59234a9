#include "sim/simulator.hpp"

#include <algorithm>
#include <utility>

#include "sim/bus_errors.hpp"

namespace torvane::sim {

namespace {

// The jitter has a generator of its own, so that turning it on leaves the
// drop decisions of a seed as they were.
constexpr std::uint64_t kJitterStream = 0x9E3779B97F4A7C15u;

// The table's own copy of a kind's name, which outlives the options.
std::string_view kind_name(std::string_view kind) {
    const auto kinds = bus_error_kinds();
    return *std::find(kinds.begin(), kinds.end(), kind);
}

MonoNanos after(MonoNanos start, double seconds) { return start + static_cast<MonoNanos>(seconds * 1e9); }

}  // namespace

Simulator::Simulator(const Options& o, SavedMotors saved, MonoNanos start)
    : latency_(static_cast<MonoNanos>(o.latency_us) * 1000),
      jitter_ns_(o.latency_jitter_us * 1000),
      drop_probability_(o.drop_probability),
      fd_replies_(o.fd_replies),
      ifaces_(o.interfaces()),
      saved_(std::move(saved)),
      rng_(o.seed),
      jitter_rng_(o.seed ^ kJitterStream) {
    buses_.resize(ifaces_.size());
    for (auto& bus : buses_) bus.wire = Wire(o.bitrate, o.data_bitrate);
    for (std::size_t i = 0; i < o.motors.size(); ++i) {
        const auto& m = o.motors[i];
        keys_.push_back(motor_key(m));
        MotorConfig config{m.cmd_id, m.fb_id, m.model, o.mode};
        if (const auto it = saved_.find(keys_.back()); it != saved_.end()) config.flash = it->second;
        // parse_options has matched every register to one interface's motors.
        for (const auto& r : o.registers)
            if (r.cmd_id == m.cmd_id && (r.iface.empty() || o.iface_of(m) == r.iface)) config.start[r.number] = r.value;
        // Distinct serials even for motors that share a command id.
        const auto twins = std::count_if(o.motors.begin(), o.motors.begin() + static_cast<std::ptrdiff_t>(i),
                                         [&](const MotorArg& other) { return other.cmd_id == m.cmd_id; });
        config.serial = 0x5100u + m.cmd_id + 0x10000u * static_cast<std::uint32_t>(twins);
        motors_.emplace_back(config, start);
        const auto bus = std::find(ifaces_.begin(), ifaces_.end(), o.iface_of(m));
        iface_of_.push_back(static_cast<std::size_t>(bus - ifaces_.begin()));
        last_ready_.push_back(start);
    }
    const auto bus_of = [&](const std::string& name) -> Bus& {
        return buses_[static_cast<std::size_t>(std::find(ifaces_.begin(), ifaces_.end(), o.iface_named(name)) -
                                               ifaces_.begin())];
    };
    for (const auto& e : o.bus_errors)
        bus_of(e.iface).errors.push_back({after(start, e.at_s), kind_name(e.kind), *bus_error_frame(e.kind)});
    for (const auto& b : o.bus_offs) {
        Bus& bus = bus_of(b.iface);
        const MonoNanos from = after(start, b.at_s), until = after(start, b.at_s + b.duration_s);
        bus.off.emplace_back(from, until);
        bus.errors.push_back({from, "bus-off", *bus_error_frame("bus-off")});
        bus.errors.push_back({until, "restarted", *bus_error_frame("restarted")});
    }
    for (auto& bus : buses_)
        std::stable_sort(bus.errors.begin(), bus.errors.end(),
                         [](const ErrorEvent& a, const ErrorEvent& b) { return a.at < b.at; });
    // parse_options has matched every fault to one interface's motors.
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
    // A bus-off controller puts nothing on the wire.
    if (bus.off_at(now)) {
        ++bus.dropped_off;
        return {"bus-off: request dropped", 0, false, true};
    }
    const MonoNanos arrival = bus.wire.carry(now, r.frame, r.remote);
    if (r.remote) return {"remote frame: carries no data for a motor"};
    if (r.frame.fd && fd_replies_ == FdReplies::None) return {"CAN FD request: --fd-replies none"};
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
                if (fd_replies_ == FdReplies::Classic) out.reply->fd = out.reply->brs = false;
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
        // A reply that would go out while the bus is off never does.
        if (!bus.off_at(*bus.pending.front().carried)) due.push_back(std::move(bus.pending.front().frame));
        bus.pending.pop_front();
    }
    return due;
}

bool Simulator::Bus::off_at(MonoNanos t) const {
    return std::any_of(off.begin(), off.end(), [&](const auto& s) { return s.first <= t && t < s.second; });
}

std::vector<Simulator::ErrorEvent> Simulator::take_errors(std::size_t iface, MonoNanos now) {
    Bus& bus = buses_.at(iface);
    std::vector<ErrorEvent> due;
    while (bus.errors_sent < bus.errors.size() && bus.errors[bus.errors_sent].at <= now)
        due.push_back(bus.errors[bus.errors_sent++]);
    return due;
}

std::optional<MonoNanos> Simulator::next_due() const {
    std::optional<MonoNanos> next;
    for (const auto& bus : buses_) {
        if (bus.errors_sent < bus.errors.size()) {
            const MonoNanos t = bus.errors[bus.errors_sent].at;
            next = next ? std::min(*next, t) : t;
        }
        for (const auto& p : bus.pending) {
            const MonoNanos t = p.carried.value_or(p.ready);
            next = next ? std::min(*next, t) : t;
            if (!p.carried) break;  // later ones are ready later still
        }
    }
    return next;
}

}  // namespace torvane::sim
