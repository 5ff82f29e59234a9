// The fixed-rate loop's timing against a scripted clock.

#include <gtest/gtest.h>

#include <cmath>

#include "loop/loop.hpp"
#include "scripted_timer.hpp"

namespace torvane::loop {
namespace {

using test::ScriptedTimer;

constexpr Nanos kUs = 1'000, kMs = 1'000'000;

Loop make(Nanos period, Nanos spin = 0) {
    auto l = Loop::make(period, spin);
    EXPECT_TRUE(l.has_value());
    return *l;
}

// Runs `ticks` ticks after the first, each body taking body(n) of the clock.
template <typename Body>
void run(Loop& loop, ScriptedTimer& t, int ticks, Body body) {
    for (int n = 0; n < ticks; ++n) {
        t.clock += body(n);
        ASSERT_TRUE(loop.next(t).has_value());
    }
}

TEST(Loop, RefusesBadPeriodAndSpin) {
    EXPECT_EQ(Loop::make(0).error(), LoopError::Period);
    EXPECT_EQ(Loop::make(-kMs).error(), LoopError::Period);
    EXPECT_EQ(Loop::make(kMs, -1).error(), LoopError::Spin);
    EXPECT_TRUE(Loop::make(1, 0).has_value());
}

TEST(Loop, FirstTickIsImmediateAndStartsTheClock) {
    ScriptedTimer t;
    Loop loop = make(kMs);
    const Nanos start = t.clock;
    EXPECT_EQ(loop.next(t), 0u);
    EXPECT_EQ(t.starts, 1);
    EXPECT_TRUE(t.sleeps.empty());
    EXPECT_EQ(t.clock, start);
    EXPECT_EQ(loop.last_deadline(), start);
    EXPECT_EQ(loop.next(t), 1u);
    EXPECT_EQ(t.starts, 1);
    EXPECT_EQ(t.sleeps, std::vector<Nanos>{start + kMs});
}

TEST(Loop, DeadlinesAreAbsoluteSoLatenessDoesNotDrift) {
    ScriptedTimer t;
    Loop loop = make(kMs);
    const Nanos start = t.clock;
    for (int i = 0; i < 1000; ++i) t.wakes.push_back({30 * kUs});
    ASSERT_EQ(loop.next(t), 0u);
    run(loop, t, 1000, [](int) { return 100 * kUs; });
    ASSERT_EQ(t.sleeps.size(), 1000u);
    for (std::size_t k = 0; k < t.sleeps.size(); ++k) ASSERT_EQ(t.sleeps[k], start + Nanos(k + 1) * kMs) << k;
    const Stats s = loop.stats();
    EXPECT_EQ(s.ticks, 1001u);
    EXPECT_EQ(s.overruns, 0u);
    EXPECT_NEAR(s.p50_us, 30, 0.5);
    EXPECT_NEAR(s.p99_us, 30, 0.5);
    EXPECT_DOUBLE_EQ(s.max_us, 30);
    // Woken 30 µs late, the body runs 100 µs of each period.
    EXPECT_NEAR(s.busy, 0.1, 1e-9);
}

struct OverrunCase {
    const char* name;
    Nanos body;          // of the long tick, which begins on deadline 5
    Nanos next_deadline;  // the one after it, from the start
    std::uint64_t overruns;
};

class Overrun : public ::testing::TestWithParam<OverrunCase> {};

TEST_P(Overrun, IsCountedAndRephasedToTheNextDeadlineAhead) {
    const OverrunCase c = GetParam();
    ScriptedTimer t;
    Loop loop = make(kMs);
    const Nanos start = t.clock;
    ASSERT_EQ(loop.next(t), 0u);
    run(loop, t, 5, [](int) { return 10 * kUs; });
    ASSERT_EQ(t.clock, start + 5 * kMs);
    t.clock += c.body;
    // The number is the period's: those of the periods missed are skipped.
    ASSERT_EQ(loop.next(t), static_cast<std::uint64_t>(c.next_deadline / kMs));
    EXPECT_EQ(t.sleeps.back(), start + c.next_deadline);
    EXPECT_EQ(loop.stats().overruns, c.overruns);
    // Then on the grid again, one period apart.
    run(loop, t, 3, [](int) { return 10 * kUs; });
    for (int k = 1; k <= 3; ++k) EXPECT_EQ(t.sleeps[t.sleeps.size() - 4 + k], start + c.next_deadline + k * kMs);
    EXPECT_EQ(loop.stats().overruns, c.overruns);
    EXPECT_EQ(loop.stats().max_us, 0);  // a re-phased wake-up is on time
}

INSTANTIATE_TEST_SUITE_P(
    Loop, Overrun,
    ::testing::Values(OverrunCase{"within", 900 * kUs, 6 * kMs, 0}, OverrunCase{"exactly", kMs, 6 * kMs, 0},
                      OverrunCase{"just_over", kMs + 1, 7 * kMs, 1}, OverrunCase{"three_and_a_half", 3500 * kUs, 9 * kMs, 1},
                      OverrunCase{"onto_a_deadline", 3 * kMs, 9 * kMs, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Loop, SpinSleepsShortOfTheDeadlineAndReadsTheClockUpToIt) {
    ScriptedTimer t;
    t.read_cost = 7 * kUs;
    Loop loop = make(kMs, 200 * kUs);
    const Nanos start = t.clock;
    ASSERT_EQ(loop.next(t), 0u);
    t.clock = start + 100 * kUs;
    t.reads = 0;
    ASSERT_EQ(loop.next(t), 1u);
    EXPECT_EQ(t.sleeps, std::vector<Nanos>{start + kMs - 200 * kUs});
    // One reading ends the body; after the sleep 30 step 7 µs from 800 µs up to the deadline.
    EXPECT_EQ(t.reads, 1 + 30);
    EXPECT_GE(t.clock, start + kMs);
    EXPECT_LT(loop.stats().max_us, 7);
    EXPECT_DOUBLE_EQ(loop.stats().max_us, 3);  // 200 = 28 x 7 + 4: the 29th reading is 3 µs past
}

TEST(Loop, SpinLongerThanTheTimeLeftOnlySpins) {
    ScriptedTimer t;
    t.read_cost = 1 * kUs;
    Loop loop = make(kMs, 500 * kUs);
    const Nanos start = t.clock;
    ASSERT_EQ(loop.next(t), 0u);
    t.clock = start + 800 * kUs;
    ASSERT_EQ(loop.next(t), 1u);
    EXPECT_EQ(t.sleeps, std::vector<Nanos>{start + kMs - 500 * kUs});  // already past: no sleep
    EXPECT_EQ(t.clock, start + kMs + 1 * kUs);
    EXPECT_EQ(loop.stats().max_us, 0);
}

TEST(Loop, ASignalEndsTheWaitWhichThenResumesForTheSameDeadline) {
    ScriptedTimer t;
    Loop loop = make(kMs);
    const Nanos start = t.clock;
    ASSERT_EQ(loop.next(t), 0u);
    t.clock += 200 * kUs;
    t.wakes = {{300 * kUs, true}, {300 * kUs, true}, {5 * kUs}};
    EXPECT_EQ(loop.next(t).error(), Sleep::Interrupted);
    EXPECT_EQ(loop.next(t).error(), Sleep::Interrupted);
    EXPECT_EQ(loop.next(t), 1u);
    EXPECT_EQ(t.sleeps, (std::vector<Nanos>{start + kMs, start + kMs, start + kMs}));
    const Stats s = loop.stats();
    EXPECT_EQ(s.ticks, 2u);
    EXPECT_DOUBLE_EQ(s.max_us, 5);
    // The body ended at 200 µs, when the wait began, not when it resumed.
    EXPECT_NEAR(s.busy, 0.2, 1e-9);
}

TEST(Loop, PercentilesOfTheWakeUpErrors) {
    ScriptedTimer t;
    Loop loop = make(10 * kMs);
    // 1..1000 µs late, in a scrambled order.
    for (int i = 0; i < 1000; ++i) t.wakes.push_back({Nanos((i * 617) % 1000 + 1) * kUs});
    ASSERT_EQ(loop.next(t), 0u);
    run(loop, t, 1000, [](int) { return 0; });
    const Stats s = loop.stats();
    EXPECT_EQ(s.overruns, 0u);
    // Within a bucket: 1/32 of the value.
    EXPECT_NEAR(s.p50_us, 500, 500.0 / 32);
    EXPECT_NEAR(s.p99_us, 990, 990.0 / 32);
    EXPECT_DOUBLE_EQ(s.max_us, 1000);
    EXPECT_DOUBLE_EQ(s.busy, 0);
}

TEST(Loop, StatsBeforeAnyWait) {
    ScriptedTimer t;
    Loop loop = make(kMs);
    EXPECT_EQ(loop.stats().ticks, 0u);
    ASSERT_EQ(loop.next(t), 0u);
    const Stats s = loop.stats();
    EXPECT_EQ(s.ticks, 1u);
    EXPECT_EQ(s.p99_us, 0);
    EXPECT_EQ(s.busy, 0);
}

TEST(ErrorHistogram, BucketsHoldTheirValuesAndAreNarrow) {
    for (Nanos v : {Nanos{0}, Nanos{1}, Nanos{63}, Nanos{64}, Nanos{65}, Nanos{127}, Nanos{128}, Nanos{1000},
                    Nanos{999'999}, Nanos{1'000'000}, Nanos{123'456'789}, (Nanos{1} << 41) - 1}) {
        const std::size_t b = ErrorHistogram::bucket_of(v);
        ASSERT_LT(b, ErrorHistogram::kBuckets) << v;
        EXPECT_LE(ErrorHistogram::bucket_low(b), v) << v;
        EXPECT_LT(v, ErrorHistogram::bucket_low(b) + ErrorHistogram::bucket_width(b)) << v;
        EXPECT_LE(ErrorHistogram::bucket_width(b) * 32, std::max<Nanos>(v, 32)) << v;
        if (b + 1 < ErrorHistogram::kBuckets) {
            EXPECT_EQ(ErrorHistogram::bucket_low(b + 1), ErrorHistogram::bucket_low(b) + ErrorHistogram::bucket_width(b));
        }
    }
    EXPECT_EQ(ErrorHistogram::bucket_of(Nanos{1} << 50), ErrorHistogram::kBuckets - 1);
    EXPECT_EQ(ErrorHistogram::bucket_of(-5), 0u);
}

TEST(ErrorHistogram, PercentileIsNeverAboveTheMax) {
    ErrorHistogram h;
    EXPECT_EQ(h.percentile(0.5), 0);
    h.add(1000);
    h.add(70);
    EXPECT_EQ(h.percentile(1.0), 1000);
    EXPECT_EQ(h.percentile(0.5), 71);  // the middle of 70's bucket, [70, 72)
    EXPECT_EQ(h.count(), 2u);
    EXPECT_EQ(h.max(), 1000);
}

}  // namespace
}  // namespace torvane::loop
