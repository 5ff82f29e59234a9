#include "damiao/error.hpp"

#include <cstdio>

#include "damiao/float_text.hpp"

namespace torvane::damiao {

namespace {

std::string byte_list(const std::vector<std::uint8_t>& data) {
    std::string s = "[";
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i) s += ", ";
        s += std::to_string(data[i]);
    }
    return s + "]";
}

std::string value_text(RegisterType type, std::uint32_t bits) {
    if (type == RegisterType::Float) return float_text(RegisterValue{type, bits}.as_float());
    return std::to_string(bits);
}

std::string hex_text(std::uint32_t v) {
    char buf[16];
    const int n = std::snprintf(buf, sizeof buf, "0x%x", v);
    return std::string(buf, static_cast<std::size_t>(n));
}

template <class... F>
struct Overload : F... { using F::operator()...; };

}  // namespace

std::string Error::to_string() const {
    using std::to_string;
    return std::visit(
        Overload{
            [](const can::TransportError& e) { return "transport error: " + e.to_string(); },
            [](const NoSuchRegister& e) {
                return "register " + to_string(e.reg) + " is not in the Damiao register table";
            },
            [](const ReadOnlyRegister& e) { return "register " + to_string(e.reg) + " is read-only"; },
            [](const TypeMismatch& e) {
                return "register " + to_string(e.reg) + ": expected " + type_name(e.expected) + ", got " +
                       type_name(e.actual);
            },
            [](const UnexpectedReply& e) {
                return "unexpected reply (data did not match register-reply pattern): " + byte_list(e.data);
            },
            [](const ControlModeMismatch& e) {
                return "control mode verification failed: wrote " + to_string(e.written) + ", motor reports " +
                       to_string(e.reported);
            },
            [](const ShortFeedback& e) { return e.to_string(); },
            [](const InvalidLimits& e) { return e.to_string(); },
            [](const RegisterNotVerified& e) {
                return "register " + to_string(e.reg) + " verification failed: wrote " +
                       value_text(e.type, e.written) + ", motor reports " + value_text(e.type, e.reported);
            },
            [](const DuplicateFeedbackId& e) {
                return "motors " + to_string(e.first) + " and " + to_string(e.second) +
                       " of the group share the feedback identifier " + hex_text(e.id);
            },
            [](const GroupSizeMismatch& e) {
                return "a group of " + to_string(e.motors) + " motors was given " + to_string(e.commands) +
                       " commands";
            },
            [](const SharedBus& e) {
                return "groups " + to_string(e.first) + " and " + to_string(e.second) +
                       " are on the same bus: one could take the other's replies";
            },
            [](const BusOff& e) { return e.iface.empty() ? std::string("bus-off") : e.iface + ": bus-off"; },
        },
        value);
}

}  // namespace torvane::damiao
