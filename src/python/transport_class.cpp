// SocketCanTransport: opening the bus its declaration (api.hpp) names.

#include "python/class_table.hpp"

namespace torvane::py {

can::Result<void> api::open_bus(Bus& bus, std::string_view iface) {
    auto opened = can::SocketCanTransport::open(iface);
    if (!opened) return std::unexpected(opened.error());
    bus.transport.emplace(std::move(*opened));
    return {};
}

template PyTypeObject* create_type<Bus>();

}  // namespace torvane::py
