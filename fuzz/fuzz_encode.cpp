// The encoder on any limits and any setpoint. It fails exactly when a limit
// pair is unusable (negative or NaN limit), naming the first such pair in a
// message whose numbers read back to the pair; otherwise the driver sends
// exactly its 8 bytes, and every field decodes to within one code step of
// the clamped value when the limit is finite, positive and in range. A NaN
// value, a zero limit or an infinite one encodes as code 0.

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "check.hpp"
#include "damiao/driver.hpp"
#include "damiao/mit.hpp"
#include "scripted_bus.hpp"

using namespace torvane;
using damiao::Frame8;
using damiao::MitLimits;
using damiao::MitSetpoint;

namespace {

struct Field {
    float MitSetpoint::*value;
    float MitLimits::*limit;
    bool symmetric;
    double k;
    std::uint32_t (*code)(const Frame8&);
};

// The command layout, in the order the limits are checked.
const Field kFields[] = {
    {&MitSetpoint::q, &MitLimits::p_max, true, 65535, [](const Frame8& d) { return std::uint32_t(d[0] << 8 | d[1]); }},
    {&MitSetpoint::dq, &MitLimits::v_max, true, 4095, [](const Frame8& d) { return std::uint32_t(d[2] << 4 | d[3] >> 4); }},
    {&MitSetpoint::kp, &MitLimits::kp_max, false, 4095, [](const Frame8& d) { return std::uint32_t((d[3] & 15) << 8 | d[4]); }},
    {&MitSetpoint::kd, &MitLimits::kd_max, false, 4095, [](const Frame8& d) { return std::uint32_t(d[5] << 4 | d[6] >> 4); }},
    {&MitSetpoint::tau, &MitLimits::t_max, true, 4095, [](const Frame8& d) { return std::uint32_t((d[6] & 15) << 8 | d[7]); }},
};

// One number of the invalid-limits message: NaN, inf, -inf, or a decimal
// with a fractional part and no exponent that reads back to the same float.
void check_number(std::string_view text, float x) {
    if (std::isnan(x)) return FUZZ_CHECK(text == "NaN");
    if (std::isinf(x)) return FUZZ_CHECK(text == (x < 0 ? "-inf" : "inf"));
    FUZZ_CHECK(text.find('.') != std::string_view::npos);
    FUZZ_CHECK(text.find_first_of("eE") == std::string_view::npos);
    const std::string copy(text);
    char* end = nullptr;
    const float back = std::strtof(copy.c_str(), &end);
    FUZZ_CHECK(end == copy.c_str() + copy.size());
    FUZZ_CHECK(fuzz::same_bits(back, x));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in({data, size});
    const MitLimits limits = fuzz::take_limits(in);
    MitSetpoint sp;
    for (const Field& f : kFields) sp.*f.value = in.f32();
    const damiao::Damiao motor{in.u16(), in.u16(), limits};

    // The first pair that cannot bound its field, worked out here.
    const Field* bad = nullptr;
    float bad_lo = 0;
    for (const Field& f : kFields) {
        const float m = limits.*f.limit;
        const float lo = f.symmetric ? -m : 0.0f;
        if (std::isnan(lo) || std::isnan(m) || lo > m) {
            bad = &f;
            bad_lo = lo;
            break;
        }
    }

    const auto got = damiao::encode(limits, sp);
    test::ScriptedBus bus;
    const auto sent = motor.mit_control(bus, sp);
    FUZZ_CHECK(!sent);  // nothing answers on the scripted bus

    if (bad) {
        FUZZ_CHECK(!got);
        FUZZ_CHECK(fuzz::same_bits(got.error().min, bad_lo));
        FUZZ_CHECK(fuzz::same_bits(got.error().max, limits.*bad->limit));
        const std::string text = got.error().to_string();
        constexpr std::string_view head = "min > max, or either was NaN. min = ", mid = ", max = ";
        FUZZ_CHECK(text.starts_with(head));
        const std::size_t split = text.find(mid, head.size());
        FUZZ_CHECK(split != std::string::npos);
        check_number(std::string_view(text).substr(head.size(), split - head.size()), bad_lo);
        check_number(std::string_view(text).substr(split + mid.size()), limits.*bad->limit);
        // The driver refuses the same way and sends nothing.
        FUZZ_CHECK(bus.sent.empty());
        FUZZ_CHECK(sent.error().get<damiao::InvalidLimits>() != nullptr);
        return 0;
    }
    FUZZ_CHECK(got.has_value());
    const Frame8& frame = *got;

    FUZZ_CHECK(bus.sent.size() == 1);
    const can::CanFrame& out = bus.sent.front();
    FUZZ_CHECK(out.id == can::CanId::standard(motor.motor_id & 0x7FF));
    FUZZ_CHECK(!out.fd && !out.brs);
    FUZZ_CHECK(out.size() == 8);
    FUZZ_CHECK(std::equal(frame.begin(), frame.end(), out.data().begin()));
    FUZZ_CHECK(sent.error().get<can::TransportError>() != nullptr);

    for (const Field& f : kFields) {
        const float m = limits.*f.limit;
        const float x = sp.*f.value;
        const std::uint32_t code = f.code(frame);
        if (m == 0 || std::isinf(m) || std::isnan(x)) {
            FUZZ_CHECK(code == 0);
            continue;
        }
        if (!fuzz::sane_limit(m)) continue;
        const double lo = f.symmetric ? -double(m) : 0.0;
        const double clamped = x < lo ? lo : x > m ? m : x;
        const double step = f.symmetric ? 2.0 * m / f.k : m / f.k;
        const double back = f.symmetric ? code * step - m : code * step;
        // Truncation costs up to one step; single-precision scaling adds at
        // most three roundings of a code below 65536, 1.2% of a step.
        FUZZ_CHECK(std::fabs(back - clamped) <= 1.02 * step);
    }
    return 0;
}
