#pragma once
// Whole-string number parsing for the command line and the state file.

#include <charconv>
#include <optional>
#include <string_view>

namespace torvane::sim {

// Decimal, or hex after 0x/0X; nothing for any other text or an overflow.
template <typename T>
std::optional<T> parse_uint(std::string_view s) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
        base = 16;
    }
    T value{};
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
    if (s.empty() || ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
    return value;
}

// Any text from_chars reads whole, NaN and infinities included.
template <typename T>
std::optional<T> parse_real(std::string_view s) {
    T value{};
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
    return value;
}

}  // namespace torvane::sim
