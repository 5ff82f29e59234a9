#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "guarded_bytes.hpp"
#include "scripted_bus.hpp"
#include "transport/socketcan_backend.hpp"

namespace torvane::test {
namespace {

const CanFrame kQuery = frame(CanId::standard(0x001), {0xFF, 0xFC});
const CanId kReplyId = CanId::standard(0x011);

// --- request -----------------------------------------------------------------

TEST(Request, SendFailureReturnsAtOnceWithoutReading) {
    for (auto err : {TransportError::invalid_id(), TransportError::too_large(9), TransportError::os(19)}) {
        ScriptedBus bus;
        bus.send_results.push_back(err);
        bus.reply(frame(kReplyId, {1}));
        auto got = bus.request(kQuery, kReplyId, ms(20));
        ASSERT_FALSE(got);
        EXPECT_EQ(got.error().to_string(), err.to_string());
        EXPECT_EQ(bus.log, "s");
        EXPECT_EQ(bus.script.size(), 1u);
    }
}

TEST(Request, DeadlineStartsAfterSendAndEveryWaitIsWhatRemains) {
    ScriptedBus bus;
    bus.send_takes = 7 * kMs;  // must not count against the timeout
    bus.reply(frame(CanId::standard(0x012), {1}), 3 * kMs);
    bus.reply(frame(CanId::extended(0x011), {2}), 5 * kMs);  // same number, other kind
    bus.reply(frame(CanId::standard(0x7FF), {3}), 4 * kMs);
    bus.reply(frame(kReplyId, {4, 5}, true, true), 1 * kMs);
    bus.reply(frame(kReplyId, {6}));  // stays queued for a later exchange

    auto got = bus.request(kQuery, kReplyId, ms(20));
    ASSERT_TRUE(got) << got.error().to_string();
    EXPECT_EQ(got->id, kReplyId);
    EXPECT_EQ(bytes_of(*got), (Bytes{4, 5}));
    EXPECT_TRUE(got->fd);
    EXPECT_TRUE(got->brs);
    EXPECT_EQ(bus.waits, (std::vector<Duration>{ms(20), ms(17), ms(12), ms(8)}));
    ASSERT_EQ(bus.sent.size(), 1u);
    EXPECT_EQ(bytes_of(bus.sent[0]), (Bytes{0xFF, 0xFC}));
    EXPECT_EQ(bus.script.size(), 1u);
}

TEST(Request, DeadlineEndsTheExchange) {
    struct Case {
        const char* name;
        MonoNanos first_takes;          // clock advance during the one skipped frame
        std::vector<Duration> waits;    // recv arguments seen
    };
    const Case cases[] = {
        // 1 ns past the deadline: no further read at all.
        {"past", 20 * kMs + 1, {ms(20)}},
        // exactly at the deadline: one more read with nothing left, which times out
        {"at", 20 * kMs, {ms(20), Duration{0, 0}}},
        // before: the rest is waited for and the quiet bus times out
        {"before", 15 * kMs, {ms(20), ms(5)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedBus bus;
        bus.reply(frame(CanId::standard(0x100), {}), c.first_takes);
        auto got = bus.request(kQuery, kReplyId, ms(20));
        ASSERT_FALSE(got);
        EXPECT_EQ(got.error().kind, TransportError::Kind::Timeout);
        EXPECT_EQ(bus.waits, c.waits);
    }
}

TEST(Request, ZeroTimeoutStillSendsAndTakesOnlyAWaitingReply) {
    ScriptedBus quiet;
    auto none = quiet.request(kQuery, kReplyId, Duration{});
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().kind, TransportError::Kind::Timeout);
    EXPECT_EQ(quiet.sent.size(), 1u);
    EXPECT_EQ(quiet.waits, (std::vector<Duration>{Duration{0, 0}}));

    ScriptedBus waiting;
    waiting.reply(frame(kReplyId, {9}));
    auto got = waiting.request(kQuery, kReplyId, Duration{});
    ASSERT_TRUE(got);
    EXPECT_EQ(bytes_of(*got), Bytes{9});
}

TEST(Request, RecvErrorEndsTheExchange) {
    for (auto err : {TransportError::os(100), TransportError::timeout()}) {
        ScriptedBus bus;
        bus.reply(frame(CanId::standard(0x222), {}), 1 * kMs);
        bus.fail(err);
        bus.reply(frame(kReplyId, {1}));
        auto got = bus.request(kQuery, kReplyId, ms(20));
        ASSERT_FALSE(got);
        EXPECT_EQ(got.error().to_string(), err.to_string());
        EXPECT_EQ(bus.log, "srr");
        EXPECT_EQ(bus.script.size(), 1u);
    }
}

// --- batches ------------------------------------------------------------------

TEST(Batch, DefaultSendIsOneSendPerFrameUpToTheFirstFailure) {
    const CanFrame frames[] = {frame(CanId::standard(1), {1}), frame(CanId::standard(2), {2}),
                               frame(CanId::standard(3), {3})};
    ScriptedBus ok;
    ASSERT_TRUE(ok.send_batch(frames));
    EXPECT_EQ(ok.log, "sss");
    EXPECT_EQ(ok.sent.size(), 3u);

    ScriptedBus bus;
    bus.send_results = {std::nullopt, TransportError::os(105)};
    auto r = bus.send_batch(frames);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), TransportError::os(105).to_string());
    EXPECT_EQ(bus.log, "ss");
    ASSERT_EQ(bus.sent.size(), 1u);
    EXPECT_EQ(bus.sent[0].id, CanId::standard(1));
}

TEST(Batch, DefaultReceiveIsOneRecvAndATimeoutIsNoFrame) {
    ScriptedBus bus;
    bus.batch_model = false;
    bus.reply(frame(kReplyId, {1}));
    bus.reply(frame(kReplyId, {2}));
    CanFrame out[4];
    auto got = bus.recv_batch(out, ms(5));
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, 1u);
    EXPECT_EQ(bytes_of(out[0]), Bytes{1});
    EXPECT_EQ(bus.log, "r");
    EXPECT_EQ(bus.waits, std::vector{ms(5)});
    EXPECT_EQ(*bus.recv_batch(std::span<CanFrame>(), ms(5)), 0u);  // no room: nothing read
    EXPECT_EQ(bus.log, "r");

    bus.script.clear();
    EXPECT_EQ(*bus.recv_batch(out, ms(5)), 0u);
    bus.fail(TransportError::os(100));
    auto failed = bus.recv_batch(out, ms(5));
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().os_errno, 100);
}

TEST(Batch, DrainNeverWaitsAndStopsAtItsCap) {
    ScriptedBus bus;
    for (std::size_t i = 0; i < can::kDrainMax + 10; ++i) bus.reply(frame(kReplyId, {1}));
    CanFrame scratch[can::kBatchMax];
    auto drained = bus.drain(scratch);
    ASSERT_TRUE(drained);
    EXPECT_EQ(*drained, can::kDrainMax);
    EXPECT_EQ(bus.script.size(), 10u);
    for (const auto& w : bus.waits) EXPECT_EQ(w, Duration{});

    ScriptedBus later;  // a frame still on its way is not drained
    later.reply(frame(kReplyId, {1}));
    later.reply(frame(kReplyId, {2}), 1);
    EXPECT_EQ(*later.drain(scratch), 1u);
    EXPECT_EQ(later.script.size(), 1u);
    EXPECT_EQ(later.clock, 1'000 * kMs);

    ScriptedBus broken;
    broken.fail(TransportError::os(19));
    EXPECT_FALSE(broken.drain(scratch));
}

TEST(Batch, CollectStopsWhenSatisfiedOrAtTheDeadline) {
    CanFrame scratch[can::kBatchMax];
    ScriptedBus bus;
    bus.reply(frame(kReplyId, {1}), 2 * kMs);
    bus.reply(frame(kReplyId, {2}));
    bus.reply(frame(kReplyId, {3}));
    int seen = 0;
    auto r = bus.collect(scratch, bus.clock + 10 * kMs, [&](const CanFrame&) { return ++seen == 2; });
    ASSERT_TRUE(r);
    EXPECT_EQ(seen, 2);
    EXPECT_EQ(bus.script.size(), 0u);  // the third came in the same batch and was not wanted

    ScriptedBus quiet;
    const MonoNanos start = quiet.clock;
    ASSERT_TRUE(quiet.collect(scratch, start + 10 * kMs, [](const CanFrame&) { return false; }));
    EXPECT_EQ(quiet.clock, start + 10 * kMs);
    EXPECT_EQ(quiet.waits, (std::vector{Duration{}, ms(10)}));
}

TEST(Duration, NanosecondsBackToDuration) {
    const MonoNanos max64 = std::numeric_limits<std::int64_t>::max();
    const std::pair<MonoNanos, Duration> cases[] = {
        {0, {0, 0}},
        {999'999'999, {0, 999'999'999}},
        {1'000'000'000, {1, 0}},
        {20 * kMs + 1, {0, 20'000'001}},
        {max64, {9'223'372'036, 854'775'807}},
        {max64 + 1, {9'223'372'036, 854'775'808}},
        {static_cast<MonoNanos>(1) << 80, {1'208'925'819'614'629, 174'706'176}},
    };
    for (const auto& [nanos, want] : cases) {
        EXPECT_EQ(can::from_nanos(nanos), want);
        EXPECT_EQ(can::to_nanos(want), nanos);
    }
}

TEST(TransportError, DisplayTexts) {
    const std::pair<TransportError, const char*> cases[] = {
        {TransportError::timeout(), "timeout waiting for frame"},
        {TransportError::too_large(9), "frame too large for selected mode: 9 bytes"},
        {TransportError::too_large(65), "frame too large for selected mode: 65 bytes"},
        {TransportError::invalid_id(), "invalid CAN id"},
        {TransportError::os(19), "backend error: No such device (os error 19)"},
        {TransportError::os(22), "backend error: Invalid argument (os error 22)"},
        {TransportError::message("failed to write whole buffer"), "backend error: failed to write whole buffer"},
    };
    for (const auto& [err, text] : cases) EXPECT_EQ(err.to_string(), text);
}

TEST(CanId, EqualOnlyForSameKindAndValue) {
    EXPECT_EQ(CanId::standard(0x11), CanId::standard(0x11));
    EXPECT_NE(CanId::standard(0x11), CanId::extended(0x11));
    EXPECT_NE(CanId::standard(0x11), CanId::standard(0x12));
    EXPECT_NE(CanId::error(0x11), CanId::standard(0x11));
    EXPECT_NE(CanId::error(0x11), CanId::extended(0x11));
    EXPECT_FALSE(CanId::error(0x11).is_extended());
}

// --- SocketCAN pieces that need no kernel -------------------------------------

// Raw records laid out by hand: can_id little-endian at 0, len at 4, flags at 5,
// data from 8; 16 bytes for a classic frame, 72 for an FD frame.
Bytes record(std::size_t size, std::uint32_t can_id, std::uint8_t len, std::uint8_t flags = 0) {
    Bytes r(size, 0);
    for (int i = 0; i < 4; ++i) r[i] = static_cast<std::uint8_t>(can_id >> (8 * i));
    r[4] = len;
    r[5] = flags;
    for (std::size_t i = 8; i < size; ++i) r[i] = static_cast<std::uint8_t>(i - 7);  // 1, 2, 3, ...
    return r;
}

Bytes counting(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i + 1);
    return b;
}

TEST(ParseRecord, ClassicAndFdRecords) {
    struct Case {
        const char* name;
        Bytes raw;
        CanId id;
        std::size_t len;
        bool fd, brs;
    };
    const Case cases[] = {
        {"classic std", record(16, 0x123, 3), CanId::standard(0x123), 3, false, false},
        {"classic empty", record(16, 0x7FF, 0), CanId::standard(0x7FF), 0, false, false},
        {"classic len over 8", record(16, 0x10, 15), CanId::standard(0x10), 8, false, false},
        {"classic pad byte is no brs", record(16, 0x10, 8, 0x01), CanId::standard(0x10), 8, false, false},
        {"classic ext", record(16, 0x80000000u | 0x1FFFFFFF, 2), CanId::extended(0x1FFFFFFF), 2, false, false},
        {"classic ext small", record(16, 0x80000011u, 1), CanId::extended(0x11), 1, false, false},
        {"classic std masked", record(16, 0xF923, 1), CanId::standard(0x123), 1, false, false},
        {"classic rtr as data", record(16, 0x40000000u | 0x123, 2), CanId::standard(0x123), 2, false, false},
        {"error frame", record(16, 0x20000000u | 0x40, 8), CanId::error(0x40), 8, false, false},
        {"error frame over ext", record(16, 0xA0000000u | 0x104, 8), CanId::error(0x104), 8, false, false},
        {"fd no brs", record(72, 0x123, 12, 0x04), CanId::standard(0x123), 12, true, false},
        {"fd brs", record(72, 0x123, 12, 0x05), CanId::standard(0x123), 12, true, true},
        {"fd 8", record(72, 0x80000000u | 0x1234, 8, 0x04), CanId::extended(0x1234), 8, true, false},
        {"fd 64", record(72, 0x1, 64, 0x05), CanId::standard(0x1), 64, true, true},
        {"fd len over 64", record(72, 0x1, 200, 0x04), CanId::standard(0x1), 64, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = can::parse_record(c.raw);
        ASSERT_TRUE(f) << f.error().to_string();
        EXPECT_EQ(f->id, c.id);
        EXPECT_EQ(bytes_of(*f), counting(c.len));
        EXPECT_EQ(f->fd, c.fd);
        EXPECT_EQ(f->brs, c.brs);
    }
}

TEST(ParseRecord, OtherSizesAreBackendErrors) {
    for (std::size_t n : {0, 1, 8, 15, 17, 64, 71, 73}) {
        SCOPED_TRACE(n);
        auto f = can::parse_record(Bytes(n, 0));
        ASSERT_FALSE(f);
        EXPECT_EQ(f.error().kind, TransportError::Kind::Backend);
    }
}

TEST(SocketCan, FdWireLength) {
    for (std::size_t n = 0; n <= 64; ++n) {
        const std::size_t want = n <= 8 ? n : n <= 12 ? 12 : n <= 16 ? 16 : n <= 20 ? 20 : n <= 24 ? 24
                               : n <= 32 ? 32 : n <= 48 ? 48 : 64;
        EXPECT_EQ(can::fd_wire_len(n), want) << n;
    }
}

TEST(SocketCan, ReceiveTimeoutAsTimeval) {
    struct Case {
        Duration in;
        long long sec;
        long long usec;
    };
    const Case cases[] = {
        {{1, 500'000'000}, 1, 500'000},
        {{0, 2'500}, 0, 2},
        {{0, 0}, 0, 1},             // zero would mean "no limit"
        {{0, 999}, 0, 1},           // under a microsecond, same
        {{3, 999}, 3, 0},           // whole seconds left: no rounding up
        {{0, 999'999'999}, 0, 999'999},
        {ms(20), 0, 20'000},
        {{std::numeric_limits<std::uint64_t>::max(), 0}, std::numeric_limits<decltype(timeval{}.tv_sec)>::max(), 0},
    };
    for (const auto& c : cases) {
        const timeval tv = can::to_timeval(c.in);
        EXPECT_EQ(tv.tv_sec, c.sec) << c.in.secs << "s " << c.in.nanos << "ns";
        EXPECT_EQ(tv.tv_usec, c.usec) << c.in.secs << "s " << c.in.nanos << "ns";
    }
}

TEST(SocketCan, OpenFailures) {
    using namespace std::string_literals;
    auto nul = can::SocketCanTransport::open("vcan0\0x"s);
    ASSERT_FALSE(nul);
    EXPECT_EQ(nul.error().kind, TransportError::Kind::Backend);
    EXPECT_EQ(nul.error().to_string(), "backend error: Invalid argument (os error 22)");

    auto missing = can::SocketCanTransport::open("nosuchcan7");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().to_string(), "backend error: No such device (os error 19)");
}

// parse_record copies only what it was given.
TEST(ParseRecord, ReadsNothingPastTheRecord) {
    GuardedBytes guard;
    for (std::size_t n : {16, 17, 72}) {
        auto f = can::parse_record(guard.place(Bytes(n, 0)));
        EXPECT_EQ(f.has_value(), n != 17) << n;
    }
}

}  // namespace
}  // namespace torvane::test
