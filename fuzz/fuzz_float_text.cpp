// The float text of messages and reprs, for every bit pattern. float_text:
// no exponent, reads back to the same float, and has exactly as many
// significant digits as the shortest decimal that does (found here by
// trying each length with printf's correctly rounded digits and their
// neighbours). float_text_with_fraction: the same number, always with a
// fractional part. fixed4_text: four decimals, correctly rounded, sign kept.

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "check.hpp"
#include "damiao/float_text.hpp"

using namespace torvane;

namespace {

bool reads_back(const std::string& text, float v) {
    char* end = nullptr;
    const float back = std::strtof(text.c_str(), &end);
    return end == text.c_str() + text.size() && fuzz::same_bits(back, v);
}

// Fewest significant digits of a decimal that reads back to v.
int shortest_digits(float v) {
    for (int n = 1; n <= 9; ++n) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%.*e", n - 1, static_cast<double>(v));
        if (reads_back(buf, v)) return n;
        // The nearest n-digit decimal can miss where the float's rounding
        // interval is lopsided (at powers of two); its neighbours cannot
        // both miss if an n-digit decimal exists.
        std::string s = buf;
        const std::size_t e = s.find('e');
        std::string digits;
        for (char c : s.substr(0, e))
            if (c >= '0' && c <= '9') digits += c;
        const long long mant = std::stoll(digits);
        const int exp = std::atoi(s.c_str() + e + 1) - (n - 1);
        for (long long other : {mant - 1, mant + 1}) {
            if (other <= 0 || std::to_string(other).size() != digits.size()) continue;
            const std::string cand = (v < 0 ? "-" : "") + std::to_string(other) + "e" + std::to_string(exp);
            if (reads_back(cand, v)) return n;
        }
    }
    return 99;
}

int significant_digits(const std::string& text) {
    std::string d;
    for (char c : text)
        if (c >= '0' && c <= '9') d += c;
    const std::size_t first = d.find_first_not_of('0');
    if (first == std::string::npos) return 1;  // zero
    const std::size_t last = d.find_last_not_of('0');
    return static_cast<int>(last - first + 1);
}

// -?digits(.digits)?, with no leading zero before other integer digits.
bool plain_decimal(const std::string& t, bool need_fraction) {
    std::size_t i = t.starts_with('-') ? 1 : 0;
    const std::size_t int_start = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    const std::size_t int_len = i - int_start;
    if (int_len == 0 || (int_len > 1 && t[int_start] == '0')) return false;
    if (i == t.size()) return !need_fraction;
    if (t[i++] != '.') return false;
    const std::size_t frac_start = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    return i == t.size() && i > frac_start;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in({data, size});
    const float v = in.f32();

    const std::string text = damiao::float_text(v);
    const std::string with_fraction = damiao::float_text_with_fraction(v);
    const std::string fixed = damiao::fixed4_text(v);

    if (!std::isfinite(v)) {
        const char* name = std::isnan(v) ? "NaN" : v < 0 ? "-inf" : "inf";
        FUZZ_CHECK(text == name);
        FUZZ_CHECK(with_fraction == name);
        FUZZ_CHECK(fixed == name);
        return 0;
    }

    FUZZ_CHECK(plain_decimal(text, false));
    FUZZ_CHECK(text.find('.') == std::string::npos || !text.ends_with('0'));
    FUZZ_CHECK(reads_back(text, v));
    FUZZ_CHECK(text.starts_with('-') == std::signbit(v));
    FUZZ_CHECK(significant_digits(text) == shortest_digits(v));

    FUZZ_CHECK(plain_decimal(with_fraction, true));
    FUZZ_CHECK(reads_back(with_fraction, v));
    FUZZ_CHECK(with_fraction == (text.find('.') == std::string::npos ? text + ".0" : text));

    const std::size_t point = fixed.find('.');
    FUZZ_CHECK(plain_decimal(fixed, true) && point != std::string::npos && fixed.size() - point == 5);
    FUZZ_CHECK(fixed.starts_with('-') == std::signbit(v));
    const double wide = static_cast<double>(v);
    // Within half of the last place, beyond double's own 17 digits.
    FUZZ_CHECK(std::fabs(std::strtod(fixed.c_str(), nullptr) - wide) <= 0.00005 + std::fabs(wide) * 1e-15);
    return 0;
}
