#pragma once
// What the fuzz targets share: reading typed values off the input, the limit
// sets they try, and a check that stops the run with a message. libFuzzer
// saves the input that made it stop.

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "damiao/mit.hpp"

namespace torvane::fuzz {

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(cond) ((cond) ? void(0) : ::torvane::fuzz::fail(#cond, __FILE__, __LINE__))

// Little-endian values off the front of the input; past its end every read
// yields zeros, so a short input is just an input with zeros appended.
class Input {
public:
    explicit Input(std::span<const std::uint8_t> data) : data_(data) {}

    std::uint8_t u8() { return pos_ < data_.size() ? data_[pos_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
    std::uint32_t u32() { return u16() | (std::uint32_t{u16()} << 16); }
    float f32() { return std::bit_cast<float>(u32()); }
    bool empty() const { return pos_ >= data_.size(); }
    std::span<const std::uint8_t> rest() const { return data_.subspan(pos_ < data_.size() ? pos_ : data_.size()); }

private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

// One selector byte: the fifteen model presets, or (16th value) five raw
// floats from the input, so that both real and hostile limits get tried.
inline damiao::MitLimits take_limits(Input& in) {
    const unsigned pick = in.u8() % 16;
    if (pick < damiao::kPresets.size()) return damiao::kPresets[pick].limits;
    return {in.f32(), in.f32(), in.f32(), in.f32(), in.f32()};
}

// A limit the codec's single-precision arithmetic scales without overflow
// or loss to subnormals; the round-trip bounds are checked for these.
inline bool sane_limit(float m) { return std::isfinite(m) && m >= 1e-30f && m <= 1e30f; }

inline bool same_bits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

}  // namespace torvane::fuzz
