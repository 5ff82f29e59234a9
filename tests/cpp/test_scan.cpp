// Finding motors by asking candidate ids for MST_ID.

#include <gtest/gtest.h>

#include <vector>

#include "damiao/scan.hpp"
#include "scripted_bus.hpp"

namespace torvane::damiao {
namespace {

using test::Bytes;
using test::frame;
using test::kMs;
using test::ms;
using test::ScriptedBus;
using can::CanFrame;
using can::CanId;
using can::TransportError;

CanFrame mst_answer(std::uint16_t id, std::uint32_t master, CanId on, std::uint8_t reg = kRegMasterId) {
    return frame(on, {std::uint8_t(id), std::uint8_t(id >> 8), kRegRead, reg, std::uint8_t(master),
                      std::uint8_t(master >> 8), 0, 0});
}

Bytes mst_request(std::uint16_t id) { return {std::uint8_t(id), std::uint8_t(id >> 8), 0x33, 0x07, 0, 0, 0, 0}; }

TEST(Probe, AnswerOnAnyIdentifierNamesBothIds) {
    ScriptedBus bus;
    bus.reply(mst_answer(0x0102, 0x21, CanId::standard(0x21)), 1 * kMs);  // another candidate
    bus.reply(mst_answer(0x0003, 0x21, CanId::standard(0x21), 8), 1 * kMs);  // another register
    bus.reply(mst_answer(0x0003, 0x0345, CanId::standard(0x345)), 1 * kMs);
    auto p = probe(bus, 3, ms(20));
    ASSERT_TRUE(p) << p.error().to_string();
    EXPECT_EQ(p->motor_id, 3);
    EXPECT_EQ(p->reply_id, CanId::standard(0x345));
    EXPECT_EQ(p->master_id, 0x345u);
    ASSERT_EQ(bus.sent.size(), 1u);
    EXPECT_EQ(bus.sent[0].id, CanId::standard(0x7FF));
    EXPECT_EQ(test::bytes_of(bus.sent[0]), mst_request(3));

    ScriptedBus quiet;
    auto none = probe(quiet, 3, ms(20));
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().to_string(), "transport error: timeout waiting for frame");
}

TEST(Scan, AllCandidatesAskedAtOnceAndFoundInOrder) {
    ScriptedBus bus;
    bus.reply(mst_answer(4, 0x14, CanId::standard(0x14)), 2 * kMs);
    bus.reply(mst_answer(2, 0x55, CanId::standard(0x55), 8));  // ESC_ID, not the answer asked for
    bus.reply(mst_answer(1, 0x11, CanId::standard(0x11)), 1 * kMs);
    bus.reply(mst_answer(1, 0x11, CanId::standard(0x11)));     // a second copy
    const std::vector<std::uint16_t> ids{1, 2, 3, 4};
    auto found = scan(bus, ids, ms(20));
    ASSERT_TRUE(found) << found.error().to_string();
    ASSERT_EQ(found->size(), 2u);
    EXPECT_EQ((*found)[0].motor_id, 1);
    EXPECT_EQ((*found)[0].reply_id, CanId::standard(0x11));
    EXPECT_EQ((*found)[1].motor_id, 4);
    EXPECT_EQ((*found)[1].master_id, 0x14u);
    ASSERT_EQ(bus.sent.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(test::bytes_of(bus.sent[i]), mst_request(ids[i]));
    EXPECT_EQ(bus.log, "ssssbbbb");  // nothing queued, two arrivals, then the rest of the 20 ms
    EXPECT_EQ(bus.waits, (std::vector{ms(0), ms(20), ms(18), ms(17)}));
}

TEST(Scan, EndsAsSoonAsAllAnswered) {
    ScriptedBus bus;
    bus.reply(mst_answer(2, 0x12, CanId::standard(0x12)), 1 * kMs);
    bus.reply(mst_answer(1, 0x11, CanId::standard(0x11)));
    bus.reply(mst_answer(1, 0x11, CanId::standard(0x11)), 1 * kMs);
    const std::vector<std::uint16_t> ids{1, 2};
    auto found = scan(bus, ids, ms(20));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->size(), 2u);
    EXPECT_EQ(bus.script.size(), 1u);
}

TEST(Scan, CandidatesGoOutInBatchesEachWithItsDeadline) {
    ScriptedBus bus;
    bus.reply(mst_answer(10, 0x1A, CanId::standard(0x1A)), 25 * kMs);  // past the first batch's deadline
    std::vector<std::uint16_t> ids;
    for (std::uint16_t i = 1; i <= 10; ++i) ids.push_back(i);
    auto found = scan(bus, ids, ms(20));
    ASSERT_TRUE(found);
    ASSERT_EQ(found->size(), 1u);
    EXPECT_EQ((*found)[0].motor_id, 10);
    EXPECT_EQ(bus.log, "ssssssssbbssbbb");
    EXPECT_EQ(bus.waits, (std::vector{ms(0), ms(20), ms(0), ms(20), ms(15)}));
}

TEST(Scan, BusFailureEndsIt) {
    ScriptedBus bus;
    bus.fail(TransportError::os(100), 1 * kMs);
    const std::vector<std::uint16_t> ids{1, 2};
    auto found = scan(bus, ids, ms(20));
    ASSERT_FALSE(found);
    EXPECT_EQ(found.error().to_string(), "transport error: backend error: Network is down (os error 100)");

    ScriptedBus refused;
    refused.send_results.push_back(TransportError::os(105));
    auto r = scan(refused, ids, ms(20));
    ASSERT_FALSE(r);
    EXPECT_EQ(refused.log, "s");
}

}  // namespace
}  // namespace torvane::damiao
