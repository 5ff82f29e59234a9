// The feedback decoder on any limits and any bytes: it fails exactly when
// fewer than 8 bytes come, reads nothing past them (the input buffer ends
// where the data does), passes the byte fields through, and for usable
// limits lands within a few ulps of the exact scaling, inside the range,
// monotonic in the code, and one code step from what the motor's encoder
// would make of the value again.

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "damiao/mit.hpp"

using namespace torvane;
using damiao::MitLimits;
using damiao::MotorState;

namespace {

struct Field {
    float MotorState::*value;
    float MitLimits::*limit;
    float k;
    std::uint32_t (*code)(std::span<const std::uint8_t>);
};

// The feedback layout, read independently of the decoder.
constexpr Field kFields[] = {
    {&MotorState::position, &MitLimits::p_max, 65535.0f, [](auto d) { return std::uint32_t(d[1] << 8 | d[2]); }},
    {&MotorState::velocity, &MitLimits::v_max, 4095.0f, [](auto d) { return std::uint32_t(d[3] << 4 | d[4] >> 4); }},
    {&MotorState::torque, &MitLimits::t_max, 4095.0f, [](auto d) { return std::uint32_t((d[4] & 15) << 8 | d[5]); }},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in({data, size});
    const MitLimits limits = fuzz::take_limits(in);
    // A heap copy of exactly the remaining bytes: one byte read past it is
    // an ASan report.
    const std::vector<std::uint8_t> bytes(in.rest().begin(), in.rest().end());

    const auto got = damiao::decode(limits, bytes);
    if (bytes.size() < 8) {
        FUZZ_CHECK(!got);
        FUZZ_CHECK(got.error().length == bytes.size());
        return 0;
    }
    FUZZ_CHECK(got.has_value());
    const MotorState& s = *got;
    FUZZ_CHECK(s.motor_id == (bytes[0] & 0x0F));
    FUZZ_CHECK(s.error == (bytes[0] >> 4));
    FUZZ_CHECK(s.t_mos == bytes[6]);
    FUZZ_CHECK(s.t_rotor == bytes[7]);

    // Bytes after the eighth change nothing.
    const auto first8 = damiao::decode(limits, std::span(bytes).first(8));
    FUZZ_CHECK(first8.has_value());
    for (const Field& f : kFields) FUZZ_CHECK(fuzz::same_bits(first8.value().*f.value, s.*f.value));

    const damiao::Frame8 again = damiao::encode_feedback(limits, s);
    for (const Field& f : kFields) {
        const float m = limits.*f.limit;
        if (!fuzz::sane_limit(m)) continue;
        const float v = s.*f.value;
        const std::uint32_t code = f.code(bytes);
        const double exact = code * (2.0 * m) / f.k - m;
        FUZZ_CHECK(std::fabs(v - exact) <= 4 * FLT_EPSILON * m);
        FUZZ_CHECK(std::fabs(v) <= m * (1 + 4 * FLT_EPSILON));

        const std::uint32_t back = f.code(again);
        FUZZ_CHECK(back + 1 >= code && back <= code + 1);

        // One code more never decodes to less.
        if (code < static_cast<std::uint32_t>(f.k)) {
            // Code + 1 packed into the same layout.
            std::vector<std::uint8_t> up = bytes;
            const std::uint32_t c = code + 1;
            if (f.limit == &MitLimits::p_max) {
                up[1] = std::uint8_t(c >> 8), up[2] = std::uint8_t(c);
            } else if (f.limit == &MitLimits::v_max) {
                up[3] = std::uint8_t(c >> 4), up[4] = std::uint8_t((c & 15) << 4 | (up[4] & 15));
            } else {
                up[4] = std::uint8_t((up[4] & 0xF0) | (c >> 8)), up[5] = std::uint8_t(c);
            }
            FUZZ_CHECK(f.code(up) == c);
            const auto next = damiao::decode(limits, up);
            FUZZ_CHECK(next.has_value() && next.value().*f.value >= v);
        }
    }
    return 0;
}
