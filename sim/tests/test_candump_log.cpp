#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sim/candump_log.hpp"

namespace torvane::sim {
namespace {

using can::CanFrame;
using can::CanId;

struct LineCase {
    const char* name;
    CanFrame frame;
    WallTime at;
    const char* line;
    bool remote = false;
};

CanFrame frame(CanId id, std::vector<std::uint8_t> d, bool fd = false, bool brs = false) {
    return CanFrame(id, d, fd, brs);
}

std::vector<std::uint8_t> counting(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 17);
    return v;
}

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class CandumpLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(CandumpLine, MatchesTheToolsFormat) {
    const auto& c = GetParam();
    EXPECT_EQ(candump_line(c.frame, "vcan0", c.at, c.remote), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, CandumpLine,
    ::testing::Values(
        LineCase{"ErrorFrame", frame(CanId::error(0x40), {0, 0x30, 0, 0, 0, 0, 0, 0}), {1700000000, 5},
                 "(1700000000.000005) vcan0 20000040#0030000000000000"},
        LineCase{"Standard", frame(CanId::standard(0x123), {0xDE, 0xAD, 0xBE, 0xEF}), {1700000000, 123456},
                 "(1700000000.123456) vcan0 123#DEADBEEF"},
        LineCase{"LowIdIsPadded", frame(CanId::standard(0x1), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}),
                 {1700000000, 42}, "(1700000000.000042) vcan0 001#FFFFFFFFFFFFFFFC"},
        LineCase{"Empty", frame(CanId::standard(0x7FF), {}), {5, 0}, "(5.000000) vcan0 7FF#"},
        LineCase{"Extended", frame(CanId::extended(0x1ABCDEF), {0x01, 0x0a}), {1, 999999},
                 "(1.999999) vcan0 01ABCDEF#010A"},
        LineCase{"ExtendedSmallValue", frame(CanId::extended(0x11), {}), {0, 0}, "(0.000000) vcan0 00000011#"},
        LineCase{"FdWithBitRateSwitch", frame(CanId::standard(0x123), {0xDE, 0xAD, 0xBE, 0xEF}, true, true),
                 {1700000000, 123456}, "(1700000000.123456) vcan0 123##1DEADBEEF"},
        LineCase{"FdWithoutBitRateSwitch", frame(CanId::extended(0x1FFFFFFF), counting(12), true),
                 {7, 1}, "(7.000001) vcan0 1FFFFFFF##000112233445566778899AABB"},
        LineCase{"RemoteWithLength", frame(CanId::standard(0x7FF), counting(8)), {2, 0}, "(2.000000) vcan0 7FF#R8",
                 true},
        LineCase{"RemoteEmpty", frame(CanId::extended(0x11), {}), {2, 0}, "(2.000000) vcan0 00000011#R", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameLog, WritesOneLinePerFrameAndNothingWithoutAStream) {
    char* buf = nullptr;
    std::size_t len = 0;
    std::FILE* mem = open_memstream(&buf, &len);
    ASSERT_NE(mem, nullptr);
    const FrameLog log(mem, "can1");
    EXPECT_TRUE(log);
    log.write(frame(CanId::standard(0x11), {0x01, 0x02}), {10, 20});
    log.write(frame(CanId::standard(0x7FF), {0x01, 0x00, 0x33, 0x0A, 0, 0, 0, 0}), {11, 0});
    std::fclose(mem);
    EXPECT_EQ(std::string(buf, len), "(10.000020) can1 011#0102\n(11.000000) can1 7FF#0100330A00000000\n");
    std::free(buf);

    const FrameLog none;
    EXPECT_FALSE(none);
    none.write(frame(CanId::standard(0x11), {0x01}), {0, 0});  // must not crash
}

}  // namespace
}  // namespace torvane::sim
