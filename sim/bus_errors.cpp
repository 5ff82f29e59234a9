#include "sim/bus_errors.hpp"

#include <linux/can/error.h>

#include <array>
#include <cstdint>

#include "transport/error_frame.hpp"

namespace torvane::sim {

namespace {

struct Layout {
    std::string_view kind;
    std::uint32_t classes;
    std::array<std::uint8_t, 8> data;
};

// The bytes a driver fills for each class; a stuffing error and an open CANH
// wire stand for their families.
constexpr std::uint8_t kWarning = CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING;
constexpr std::uint8_t kPassive = CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE;
constexpr std::array<Layout, 11> kLayouts{{
    {"tx-timeout", CAN_ERR_TX_TIMEOUT, {}},
    {"lost-arbitration", CAN_ERR_LOSTARB, {CAN_ERR_LOSTARB_UNSPEC}},
    {"controller", CAN_ERR_CRTL, {0, kWarning}},
    {"protocol", CAN_ERR_PROT, {0, 0, CAN_ERR_PROT_STUFF, CAN_ERR_PROT_LOC_UNSPEC}},
    {"transceiver", CAN_ERR_TRX, {0, 0, 0, 0, CAN_ERR_TRX_CANH_NO_WIRE}},
    {"no-ack", CAN_ERR_ACK, {}},
    {"bus-off", CAN_ERR_BUSOFF, {}},
    {"bus-error", CAN_ERR_BUSERROR, {}},
    {"restarted", CAN_ERR_RESTARTED, {}},
    {"error-warning", CAN_ERR_CRTL, {0, kWarning}},
    {"error-passive", CAN_ERR_CRTL, {0, kPassive}},
}};

constexpr std::array<std::string_view, kLayouts.size()> kKinds = [] {
    std::array<std::string_view, kLayouts.size()> out{};
    for (std::size_t i = 0; i < kLayouts.size(); ++i) out[i] = kLayouts[i].kind;
    return out;
}();

static_assert([] {
    for (std::size_t k = 0; k < can::kErrorClasses.size(); ++k)
        if (kLayouts[k].kind != can::kErrorClasses[k] || kLayouts[k].classes != 1u << k) return false;
    return true;
}(), "the first kinds are the core's error classes, in the order of their bits");

}  // namespace

std::span<const std::string_view> bus_error_kinds() { return kKinds; }

std::string bus_error_kind_names() {
    std::string out;
    for (auto k : kKinds) {
        if (!out.empty()) out += ", ";
        out.append(k);
    }
    return out;
}

std::optional<can::CanFrame> bus_error_frame(std::string_view kind) {
    for (const auto& l : kLayouts)
        if (l.kind == kind) return can::CanFrame(can::CanId::error(l.classes), l.data);
    return std::nullopt;
}

}  // namespace torvane::sim
