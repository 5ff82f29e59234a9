// The wire model's arithmetic: bits per frame, time per frame, and a bus
// that carries one frame at a time.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/wire.hpp"

namespace torvane::sim {
namespace {

using can::CanFrame;
using can::CanId;

CanFrame frame(CanId id, std::size_t len, bool fd = false, bool brs = false) {
    return CanFrame(id, std::vector<std::uint8_t>(len, 0x55), fd, brs);
}

struct BitsCase {
    const char* name;
    CanFrame frame;
    bool remote;
    FrameBits bits;
};

void PrintTo(const BitsCase& c, std::ostream* os) { *os << c.name; }

class Bits : public ::testing::TestWithParam<BitsCase> {};

TEST_P(Bits, CountTheFrameWithWorstCaseStuffing) {
    const auto& c = GetParam();
    EXPECT_EQ(frame_bits(c.frame, c.remote), c.bits);
}

// Classic frames: the well-known worst cases, 8 x len + 44 (standard) or 64
// (extended) plus the stuff bits, plus 3 of intermission.
INSTANTIATE_TEST_SUITE_P(
    Sim, Bits,
    ::testing::Values(BitsCase{"StandardEightBytes", frame(CanId::standard(1), 8), false, {135, 0}},
                      BitsCase{"StandardEmpty", frame(CanId::standard(1), 0), false, {55, 0}},
                      BitsCase{"StandardFourBytes", frame(CanId::standard(0x201), 4), false, {95, 0}},
                      BitsCase{"ExtendedEightBytes", frame(CanId::extended(1), 8), false, {160, 0}},
                      BitsCase{"RemoteCarriesNoData", frame(CanId::standard(1), 8), true, {55, 0}},
                      // FD: 21 + 12 at the nominal rate; 5 + 8 n + stuff + 4 + CRC + fixed stuff + 1.
                      BitsCase{"FdEightBytes", frame(CanId::standard(1), 8, true, true), false, {33, 114}},
                      BitsCase{"FdNineBytesGoAsTwelve", frame(CanId::standard(1), 9, true, true), false,
                               {33, 5 + 96 + 25 + 4 + 17 + 6 + 1}},
                      BitsCase{"FdSixtyFourBytes", frame(CanId::standard(1), 64, true), false,
                               {33, 5 + 512 + 129 + 4 + 21 + 7 + 1}},
                      BitsCase{"FdExtended", frame(CanId::extended(1), 8, true, true), false, {36 + 8 + 12, 114}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Wire, TimeIsBitsOverRateWithTheDataPhaseAtItsOwnRateOnlyWhenSwitched) {
    const Wire mbit(1'000'000, 5'000'000), half(500'000, 0);
    EXPECT_EQ(mbit.duration(frame(CanId::standard(1), 8)), 135'000);
    EXPECT_EQ(half.duration(frame(CanId::standard(1), 8)), 270'000);
    EXPECT_EQ(mbit.duration(frame(CanId::standard(1), 8, true, true)), 33'000 + 22'800);
    EXPECT_EQ(mbit.duration(frame(CanId::standard(1), 8, true, false)), 33'000 + 114'000);
    EXPECT_EQ(half.duration(frame(CanId::standard(1), 8, true, true)), 66'000 + 228'000);  // no data rate given
    EXPECT_EQ(Wire(3'000'000, 0).duration(frame(CanId::standard(1), 8)), 45'000);
    EXPECT_EQ(Wire(7'000'000, 0).duration(frame(CanId::standard(1), 8)), 19'286);  // rounded up
    EXPECT_EQ(Wire().duration(frame(CanId::standard(1), 8)), 0);
}

TEST(Wire, CarriesOneFrameAtATimeInTheOrderTheyAreReady) {
    Wire w(1'000'000, 0);
    const auto f = frame(CanId::standard(1), 8);
    EXPECT_EQ(w.carry(1'000'000, f), 1'135'000);
    EXPECT_EQ(w.carry(1'000'000, f), 1'270'000);       // ready together: back to back
    EXPECT_EQ(w.carry(1'200'000, f), 1'405'000);       // ready while the bus is busy: waits
    EXPECT_EQ(w.carry(2'000'000, f), 2'135'000);       // the bus is free again: at once
    EXPECT_EQ(w.carry(2'000'000, f, true), 2'190'000);  // a remote frame takes its 55 bits
}

TEST(Wire, OffCarriesEverythingAtOnce) {
    Wire w;
    EXPECT_FALSE(w.on());
    EXPECT_EQ(w.carry(5, frame(CanId::standard(1), 8)), 5);
    EXPECT_EQ(w.carry(5, frame(CanId::standard(1), 8)), 5);
}

}  // namespace
}  // namespace torvane::sim
