#include "transport/error_frame.hpp"

#include <linux/can/error.h>

#include <cstdio>
#include <string_view>

namespace torvane::can {

namespace {

struct Named {
    std::uint8_t value;
    const char* name;
};

// Bits of byte 1 (controller), byte 2 (protocol violation type).
constexpr Named kController[] = {{CAN_ERR_CRTL_RX_OVERFLOW, "rx overflow"}, {CAN_ERR_CRTL_TX_OVERFLOW, "tx overflow"},
                                 {CAN_ERR_CRTL_RX_WARNING, "rx error-warning"},
                                 {CAN_ERR_CRTL_TX_WARNING, "tx error-warning"},
                                 {CAN_ERR_CRTL_RX_PASSIVE, "rx error-passive"},
                                 {CAN_ERR_CRTL_TX_PASSIVE, "tx error-passive"},
                                 {CAN_ERR_CRTL_ACTIVE, "error-active"}};
constexpr Named kViolation[] = {{CAN_ERR_PROT_BIT, "bit"},
                                {CAN_ERR_PROT_FORM, "form"},
                                {CAN_ERR_PROT_STUFF, "stuff"},
                                {CAN_ERR_PROT_BIT0, "dominant bit"},
                                {CAN_ERR_PROT_BIT1, "recessive bit"},
                                {CAN_ERR_PROT_OVERLOAD, "overload"},
                                {CAN_ERR_PROT_ACTIVE, "active error announcement"},
                                {CAN_ERR_PROT_TX, "on transmission"}};
// Byte 3 (where the violation was): one value each.
constexpr Named kLocation[] = {{CAN_ERR_PROT_LOC_SOF, "start of frame"},  {CAN_ERR_PROT_LOC_ID28_21, "id"},
                               {CAN_ERR_PROT_LOC_ID20_18, "id"},          {CAN_ERR_PROT_LOC_SRTR, "srtr"},
                               {CAN_ERR_PROT_LOC_IDE, "ide"},             {CAN_ERR_PROT_LOC_ID17_13, "id"},
                               {CAN_ERR_PROT_LOC_ID12_05, "id"},          {CAN_ERR_PROT_LOC_ID04_00, "id"},
                               {CAN_ERR_PROT_LOC_RTR, "rtr"},             {CAN_ERR_PROT_LOC_RES1, "reserved bit"},
                               {CAN_ERR_PROT_LOC_RES0, "reserved bit"},   {CAN_ERR_PROT_LOC_DLC, "dlc"},
                               {CAN_ERR_PROT_LOC_DATA, "data"},           {CAN_ERR_PROT_LOC_CRC_SEQ, "crc"},
                               {CAN_ERR_PROT_LOC_CRC_DEL, "crc delimiter"}, {CAN_ERR_PROT_LOC_ACK, "ack slot"},
                               {CAN_ERR_PROT_LOC_ACK_DEL, "ack delimiter"}, {CAN_ERR_PROT_LOC_EOF, "end of frame"},
                               {CAN_ERR_PROT_LOC_INTERM, "intermission"}};
// Byte 4: a nibble per wire.
constexpr const char* kWire[] = {nullptr, nullptr, nullptr, nullptr, "no wire", "short to battery", "short to vcc",
                                 "short to ground"};

std::uint8_t byte(std::span<const std::uint8_t> d, std::size_t i) { return i < d.size() ? d[i] : 0; }

std::string hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", v);
    return buf;
}

// The names of the bits set in `bits`, joined by ", ".
std::string flags(std::uint8_t bits, std::span<const Named> table) {
    std::string out;
    for (const Named& n : table)
        if (bits & n.value) out += (out.empty() ? "" : ", ") + std::string(n.name);
    return out;
}

// One wire's nibble of byte 4; CANL has one more value than CANH.
std::string wire(std::string_view which, std::uint8_t nibble, bool low) {
    const char* name = nibble < 8 ? kWire[nibble] : nullptr;
    if (!low && nibble == 8) name = "short to canh";
    return std::string(which) + " " + (name ? name : hex(nibble));
}

std::string one(std::uint32_t bit, std::span<const std::uint8_t> d) {
    switch (bit) {
        case CAN_ERR_LOSTARB:
            return byte(d, 0) ? "lost-arbitration at bit " + std::to_string(byte(d, 0)) : "lost-arbitration";
        case CAN_ERR_CRTL: {
            const std::string f = flags(byte(d, 1), kController);
            return f.empty() ? "controller" : "controller " + f;
        }
        case CAN_ERR_PROT: {
            std::string s = "protocol";
            if (const std::string f = flags(byte(d, 2), kViolation); !f.empty()) s += " " + f;
            if (const std::uint8_t at = byte(d, 3)) {
                const char* where = nullptr;
                for (const Named& n : kLocation)
                    if (n.value == at) where = n.name;
                s += std::string(" at ") + (where ? where : hex(at).c_str());
            }
            return s;
        }
        case CAN_ERR_TRX: {
            const std::uint8_t t = byte(d, 4);
            std::string wires;
            if (t & 0x0F) wires = wire("canh", t & 0x0F, true);
            if (t >> 4) wires += (wires.empty() ? "" : ", ") + wire("canl", t >> 4, false);
            return wires.empty() ? "transceiver" : "transceiver " + wires;
        }
        case CAN_ERR_CNT:
            return "counters tx " + std::to_string(byte(d, 6)) + " rx " + std::to_string(byte(d, 7));
        default:
            break;
    }
    for (std::size_t k = 0; k < kErrorClasses.size(); ++k)
        if (bit == (1U << k)) return kErrorClasses[k];
    return "class " + hex(bit);
}

}  // namespace

const char* state_name(BusState state) {
    switch (state) {
        case BusState::ErrorActive: return "error-active";
        case BusState::ErrorWarning: return "error-warning";
        case BusState::ErrorPassive: return "error-passive";
        case BusState::BusOff: return "bus-off";
    }
    return "error-active";
}

ErrorReading read_error(std::uint32_t classes, std::span<const std::uint8_t> data) {
    ErrorReading r{classes, std::nullopt};
    const std::uint8_t crtl = byte(data, 1);
    if (classes & CAN_ERR_BUSOFF)
        r.state = BusState::BusOff;
    else if (classes & CAN_ERR_RESTARTED)
        r.state = BusState::ErrorActive;
    else if (!(classes & CAN_ERR_CRTL))
        r.state = std::nullopt;
    else if (crtl & (CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE))
        r.state = BusState::ErrorPassive;
    else if (crtl & (CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING))
        r.state = BusState::ErrorWarning;
    else if (crtl & CAN_ERR_CRTL_ACTIVE)
        r.state = BusState::ErrorActive;
    return r;
}

std::string error_text(std::uint32_t classes, std::span<const std::uint8_t> data) {
    std::string out;
    for (std::uint32_t bit = 1; bit != 0 && bit <= classes; bit <<= 1)
        if (classes & bit) out += (out.empty() ? "" : "; ") + one(bit, data);
    return out.empty() ? "no class" : out;
}

}  // namespace torvane::can
