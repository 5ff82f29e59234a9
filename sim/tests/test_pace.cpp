// Physics steps against the clock and the real-time factor, with time by hand.

#include <gtest/gtest.h>

#include "sim/physics/pace.hpp"

namespace torvane::sim {
namespace {

constexpr MonoNanos kMs = 1'000'000;

struct DueCase {
    MonoNanos start, step, now;
    std::uint64_t done, most, due;
};

class Due : public ::testing::TestWithParam<DueCase> {};

TEST_P(Due, TakesTheWholeStepsEndedByNowAtMostAsManyAsACallMay) {
    const auto& c = GetParam();
    StepClock clock(c.start, c.step, c.most);
    clock.took(c.done);
    EXPECT_EQ(clock.due(c.now), c.due);
}

INSTANTIATE_TEST_SUITE_P(Pace, Due,
                         ::testing::Values(DueCase{0, kMs, 0, 0, 10, 0},                // nothing ended yet
                                           DueCase{0, kMs, kMs - 1, 0, 10, 0},          // a step not yet over
                                           DueCase{0, kMs, kMs, 0, 10, 1},              // just over
                                           DueCase{0, kMs, 5 * kMs / 2, 0, 10, 2},      // floor(2.5)
                                           DueCase{7 * kMs, kMs, 10 * kMs, 1, 10, 2},   // from its start, less done
                                           DueCase{0, kMs / 2, 3 * kMs, 0, 10, 6},      // a finer step
                                           DueCase{0, kMs, 50 * kMs, 0, 5, 5},          // far behind: capped
                                           DueCase{0, kMs, 50 * kMs, 48, 5, 2},         // caught up but two
                                           DueCase{0, kMs, 3 * kMs, 5, 5, 0},           // never behind the done
                                           DueCase{5 * kMs, kMs, 0, 0, 5, 0}));         // a clock before start

TEST(Pace, BehindCountsOnlyWholeStepsThatAreDue) {
    StepClock clock(0, kMs, 5);
    EXPECT_EQ(clock.behind(kMs / 2), 0);
    EXPECT_EQ(clock.behind(3 * kMs + 1), 3 * kMs);
    clock.took(clock.due(3 * kMs + 1));
    EXPECT_EQ(clock.behind(3 * kMs + 1), 0);
    EXPECT_EQ(clock.simulated(), 3 * kMs);
}

struct PaceCase {
    const char* name;
    PaceSample from, to;
    double factor, behind_s, us_per_step, core_share;
};

class Factor : public ::testing::TestWithParam<PaceCase> {};

TEST_P(Factor, IsModelTimeGainedOverWallTimePassed) {
    const auto& c = GetParam();
    const auto p = pace_between(c.from, c.to);
    EXPECT_DOUBLE_EQ(p.factor, c.factor);
    EXPECT_DOUBLE_EQ(p.behind_s, c.behind_s);
    EXPECT_DOUBLE_EQ(p.us_per_step, c.us_per_step);
    EXPECT_DOUBLE_EQ(p.core_share, c.core_share);
}

constexpr MonoNanos kS = 1'000'000'000;

INSTANTIATE_TEST_SUITE_P(
    Pace, Factor,
    ::testing::Values(
        // 5 s of 1 ms steps in 5 s, 20 ms of processor time: 4 us a step, 0.4% of a core.
        PaceCase{"KeepingUp", {0, 0, 0, 0}, {5 * kS, 5 * kS, 5000, 20 * kMs}, 1.0, 0.0, 4.0, 0.004},
        // Only 4.65 s done in the next 5 s, every moment of it stepping.
        PaceCase{"Behind", {5 * kS, 5 * kS, 5000, 20 * kMs}, {10 * kS, 9650 * kMs, 9650, 5020 * kMs}, 0.93, 0.35,
                 5000.0 / 4650 * 1000, 1.0},
        // Catching up on an earlier lag runs faster than the clock for a while:
        // 3 s of model time in 2 s, 1 s still to go.
        PaceCase{"CatchingUp", {10 * kS, 8 * kS, 8000, 0}, {12 * kS, 11 * kS, 11000, kS}, 1.5, 1.0, 1000.0 / 3, 0.5},
        PaceCase{"NoTimePassed", {kS, kS, 10, 0}, {kS, kS, 10, 0}, 0.0, 0.0, 0.0, 0.0}),
    [](const auto& info) { return std::string(info.param.name); });

struct TextCase {
    const char* name;
    Pace pace;
    MonoNanos step;
    const char* text;
};

class Text : public ::testing::TestWithParam<TextCase> {};

TEST_P(Text, SaysWhetherThePhysicsKeepsUp) { EXPECT_EQ(describe(GetParam().pace, GetParam().step), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Pace, Text,
    ::testing::Values(
        TextCase{"KeepingUp", {1.0, 0.002, 4.12, 0.0041}, kMs,
                 "real-time factor 1.00 (keeping up with the clock), 4.1 us per 1 ms step, 0.4% of a core"},
        TextCase{"Behind", {0.93, 1.24, 1075.0, 1.0}, kMs,
                 "real-time factor 0.93 (behind the clock by 1.2 s), 1075.0 us per 1 ms step, 100.0% of a core"},
        TextCase{"FinerStep", {1.0, 0.0, 2.0, 0.004}, kMs / 2,
                 "real-time factor 1.00 (keeping up with the clock), 2.0 us per 0.5 ms step, 0.4% of a core"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace torvane::sim
