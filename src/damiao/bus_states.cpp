#include "damiao/bus_states.hpp"

#include <map>
#include <mutex>
#include <string>

namespace torvane::damiao {

std::shared_ptr<BusStates> bus_states(std::string_view iface) {
    static std::mutex lock;
    static std::map<std::string, std::shared_ptr<BusStates>, std::less<>> all;
    std::lock_guard held(lock);
    auto it = all.find(iface);
    if (it == all.end()) it = all.emplace(std::string(iface), std::make_shared<BusStates>()).first;
    return it->second;
}

}  // namespace torvane::damiao
