#pragma once
// The driver's one error value.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "damiao/mit.hpp"
#include "transport/transport_error.hpp"

namespace torvane::damiao {

enum class RegisterType : std::uint8_t { Float, Uint32 };
const char* type_name(RegisterType t);

struct Error {
    struct NoSuchRegister { std::uint8_t reg; };
    struct ReadOnlyRegister { std::uint8_t reg; };
    struct TypeMismatch { std::uint8_t reg; RegisterType expected, actual; };
    struct UnexpectedReply { std::vector<std::uint8_t> data; };
    struct ControlModeMismatch { std::uint8_t written, reported; };

    // The first six alternatives keep their order; the last two carry the
    // codec's own failures out of a driver call instead of reading past a
    // short reply or sending with unusable limits.
    using Value = std::variant<can::TransportError, NoSuchRegister, ReadOnlyRegister, TypeMismatch,
                               UnexpectedReply, ControlModeMismatch, ShortFeedback, InvalidLimits>;
    Value value;

    Error(can::TransportError e) : value(e) {}  // NOLINT: wrapping is the point
    template <typename T>
    Error(T v) : value(std::move(v)) {}  // NOLINT

    template <typename T>
    const T* get() const { return std::get_if<T>(&value); }

    std::string to_string() const;
};

}  // namespace torvane::damiao
