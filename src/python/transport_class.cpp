// SocketCanTransport: opening the bus, as its declaration (api.hpp) names it.

#include "python/api.hpp"
#include "python/transport_class.hpp"

namespace torvane::py::api {

can::Result<void> open_bus(Bus& bus, std::string_view iface) {
    auto opened = can::SocketCanTransport::open(iface);
    if (!opened) return std::unexpected(opened.error());
    bus.transport.emplace(std::move(*opened));
    return {};
}

}  // namespace torvane::py::api
