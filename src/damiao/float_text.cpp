#include "damiao/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace torvane::damiao {

namespace {

const char* non_finite(float v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    return nullptr;
}

}  // namespace

std::string float_text(float v) {
    if (const char* s = non_finite(v)) return s;
    // Shortest round-trip digits come from the scientific form ("1.2345e-07");
    // fixed form would print every digit of the exact binary value instead.
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    const std::size_t e = sci.find('e');
    std::string_view mantissa = sci.substr(0, e);
    int exponent = 0;
    std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+'), sci.data() + sci.size(), exponent);

    std::string out;
    if (mantissa.front() == '-') {
        out += '-';
        mantissa.remove_prefix(1);
    }
    std::string digits;
    for (char c : mantissa)
        if (c != '.') digits += c;
    // digits d0 d1 d2 ... stand for d0.d1d2... x 10^exponent
    const int point = exponent + 1;  // digits before the decimal point
    const int n = static_cast<int>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

std::string float_text_with_fraction(float v) {
    std::string s = float_text(v);
    if (std::isfinite(v) && s.find('.') == std::string::npos) s += ".0";
    return s;
}

std::string fixed4_text(float v) {
    if (const char* s = non_finite(v)) return s;
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, "%.4f", static_cast<double>(v));
    return std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace torvane::damiao
