#include "damiao/error.hpp"

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
        },
        value);
}

}  // namespace torvane::damiao
