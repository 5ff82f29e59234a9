#pragma once
// The driver's one error value.

#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "damiao/mit.hpp"
#include "damiao/registers.hpp"
#include "transport/transport_error.hpp"

namespace torvane::damiao {

template <typename T, typename Variant>
inline constexpr bool is_variant_alternative = false;
template <typename T, typename... A>
inline constexpr bool is_variant_alternative<T, std::variant<A...>> = (std::is_same_v<T, A> || ...);

struct Error {
    struct NoSuchRegister { std::uint8_t reg; };
    struct ReadOnlyRegister { std::uint8_t reg; };
    struct TypeMismatch { std::uint8_t reg; RegisterType expected, actual; };
    struct UnexpectedReply { std::vector<std::uint8_t> data; };
    struct ControlModeMismatch { std::uint8_t written, reported; };
    struct RegisterNotVerified { std::uint8_t reg; RegisterType type; std::uint32_t written, reported; };
    struct DuplicateFeedbackId { std::uint16_t id; std::size_t first, second; };
    struct GroupSizeMismatch { std::size_t motors, commands; };
    struct SharedBus { std::size_t first, second; };
    // An error frame said the controller is bus-off; its interface, if known.
    struct BusOff { std::string iface; };

    // The first six alternatives keep their order; the next two carry the
    // codec's own failures out of a driver call instead of reading past a
    // short reply or sending with unusable limits. New ones go at the end.
    using Value = std::variant<can::TransportError, NoSuchRegister, ReadOnlyRegister, TypeMismatch,
                               UnexpectedReply, ControlModeMismatch, ShortFeedback, InvalidLimits,
                               RegisterNotVerified, DuplicateFeedbackId, GroupSizeMismatch, SharedBus, BusOff>;
    Value value;

    template <typename T>
    static constexpr bool is_alternative = is_variant_alternative<T, Value>;

    // Built from exactly one of the alternatives, never from anything that
    // merely converts to one.
    template <typename T>
        requires is_alternative<T>
    Error(T v) : value(std::move(v)) {}  // NOLINT: wrapping is the point

    template <typename T>
    const T* get() const { return std::get_if<T>(&value); }

    std::string to_string() const;
};

}  // namespace torvane::damiao
