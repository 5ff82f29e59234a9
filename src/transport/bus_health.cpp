#include "transport/bus_health.hpp"

#include <map>
#include <mutex>

namespace torvane::can {

ErrorReading BusHealth::note_error(const CanFrame& f) {
    const ErrorReading r = read_error(f);
    for (std::size_t k = 0; k < errors_.size(); ++k)
        if (r.classes & (1U << k)) add(errors_[k], 1);
    if (r.state) state_.store(*r.state, std::memory_order_relaxed);
    return r;
}

HealthCounts BusHealth::read() const {
    constexpr auto relaxed = std::memory_order_relaxed;
    HealthCounts c;
    c.frames_out = frames_out_.load(relaxed);
    c.frames_in = frames_in_.load(relaxed);
    c.stale = stale_.load(relaxed);
    c.unsolicited = unsolicited_.load(relaxed);
    c.tx_waits = tx_waits_.load(relaxed);
    for (std::size_t k = 0; k < errors_.size(); ++k) c.error_frames[k] = errors_[k].load(relaxed);
    c.state = state_.load(relaxed);
    return c;
}

void BusHealth::reset() {
    constexpr auto relaxed = std::memory_order_relaxed;
    for (Counter* c : {&frames_out_, &frames_in_, &stale_, &unsolicited_, &tx_waits_}) c->store(0, relaxed);
    for (Counter& c : errors_) c.store(0, relaxed);
}

std::shared_ptr<BusHealth> bus_health(std::string_view iface) {
    static std::mutex lock;
    static std::map<std::string, std::shared_ptr<BusHealth>, std::less<>> all;
    std::lock_guard held(lock);
    auto it = all.find(iface);
    if (it == all.end()) it = all.emplace(std::string(iface), std::make_shared<BusHealth>(std::string(iface))).first;
    return it->second;
}

}  // namespace torvane::can
