#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/options.hpp"

namespace torvane::sim {
namespace {

std::expected<Options, std::string> parse(std::vector<std::string_view> args) { return parse_options(args); }

TEST(Options, DefaultsWithOneMotor) {
    auto o = parse({"--motor", "1:0x11:dm4310"});
    ASSERT_TRUE(o.has_value()) << o.error();
    EXPECT_EQ(o->iface, "vcan0");
    EXPECT_EQ(o->mode, 2u);
    EXPECT_EQ(o->latency_us, 0u);
    EXPECT_EQ(o->bitrate, 0u);
    EXPECT_EQ(o->data_bitrate, 0u);
    EXPECT_FALSE(o->state_path);
    EXPECT_EQ(o->drop_probability, 0.0);
    EXPECT_FALSE(o->log_path);
    EXPECT_FALSE(o->duration_s);
    EXPECT_FALSE(o->verbose);
    ASSERT_EQ(o->motors.size(), 1u);
    EXPECT_EQ(o->motors[0].cmd_id, 1);
    EXPECT_EQ(o->motors[0].fb_id, 0x11);
    EXPECT_EQ(o->motors[0].model.name, "dm4310");
}

TEST(Options, EveryOptionInBothSpellings) {
    auto o = parse({"--iface", "can1", "--motor=2:18:dm4340", "--motor", "0x7FE:0X7ff:dmh3510", "--mode=1",
                    "--latency-us", "1500", "--drop-probability=0.25", "--seed", "42", "--log", "-",
                    "--duration=2.5", "--verbose", "--bitrate", "1000000", "--data-bitrate=5000000",
                    "--state", "/tmp/motors.state"});
    ASSERT_TRUE(o.has_value()) << o.error();
    EXPECT_EQ(o->iface, "can1");
    ASSERT_EQ(o->motors.size(), 2u);
    EXPECT_EQ(o->motors[0].cmd_id, 2);
    EXPECT_EQ(o->motors[0].fb_id, 18);
    EXPECT_EQ(o->motors[0].model.limits.t_max, 28.0f);
    EXPECT_EQ(o->motors[1].cmd_id, 0x7FE);
    EXPECT_EQ(o->motors[1].fb_id, 0x7FF);
    EXPECT_EQ(o->mode, 1u);
    EXPECT_EQ(o->latency_us, 1500u);
    EXPECT_EQ(o->bitrate, 1'000'000u);
    EXPECT_EQ(o->data_bitrate, 5'000'000u);
    EXPECT_EQ(o->state_path, "/tmp/motors.state");
    EXPECT_EQ(o->drop_probability, 0.25);
    EXPECT_EQ(o->seed, 42u);
    EXPECT_EQ(o->log_path, "-");
    EXPECT_EQ(o->duration_s, 2.5);
    EXPECT_TRUE(o->verbose);
}

TEST(Options, HelpNeedsNoMotor) {
    auto o = parse({"--help"});
    ASSERT_TRUE(o.has_value());
    EXPECT_TRUE(o->help);
    EXPECT_NE(usage().find("--motor CMD:FB:MODEL"), std::string::npos);
    EXPECT_NE(usage().find("dm10010l"), std::string::npos);
}

struct BadCase {
    const char* name;
    std::vector<std::string_view> args;
    const char* message;
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class BadCommandLine : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadCommandLine, IsRefusedWithAClearMessage) {
    const auto& c = GetParam();
    auto o = parse(c.args);
    ASSERT_FALSE(o.has_value());
    EXPECT_EQ(o.error(), c.message);
}

const std::vector<std::string_view> kOne{"--motor", "1:0x11:dm4310"};

std::vector<std::string_view> with_motor(std::vector<std::string_view> more) {
    more.insert(more.begin(), kOne.begin(), kOne.end());
    return more;
}

INSTANTIATE_TEST_SUITE_P(
    Sim, BadCommandLine,
    ::testing::Values(
        BadCase{"NoMotor", {}, "at least one --motor is required"},
        BadCase{"UnknownArgument", with_motor({"--frobnicate"}), "unknown argument '--frobnicate'"},
        BadCase{"Positional", with_motor({"vcan0"}), "unknown argument 'vcan0'"},
        BadCase{"MissingValue", {"--motor"}, "--motor needs a value"},
        BadCase{"TwoFields", {"--motor", "1:0x11"}, "--motor '1:0x11': expected CMD:FB:MODEL, e.g. 1:0x11:dm4310"},
        BadCase{"FourFields", {"--motor", "1:2:3:dm4310"},
                "--motor '1:2:3:dm4310': expected CMD:FB:MODEL, e.g. 1:0x11:dm4310"},
        BadCase{"CommandIdIsRegisterChannel", {"--motor", "0x7FF:0x11:dm4310"},
                "--motor '0x7FF:0x11:dm4310': command id must be a number from 0 to 0x7FE"},
        BadCase{"CommandIdNotNumber", {"--motor", "one:0x11:dm4310"},
                "--motor 'one:0x11:dm4310': command id must be a number from 0 to 0x7FE"},
        BadCase{"FeedbackIdTooLarge", {"--motor", "1:0x800:dm4310"},
                "--motor '1:0x800:dm4310': feedback id must be a number from 0 to 0x7FF"},
        BadCase{"NegativeId", {"--motor", "-1:0x11:dm4310"},
                "--motor '-1:0x11:dm4310': command id must be a number from 0 to 0x7FE"},
        BadCase{"DuplicateCommandId", with_motor({"--motor", "1:0x12:dm4340"}),
                "--motor '1:0x12:dm4340': command id given twice"},
        BadCase{"ModeOutOfRange", with_motor({"--mode", "5"}),
                "--mode '5': mode must be 1 (MIT), 2 (POS_VEL), 3 (VEL) or 4 (FORCE_POS)"},
        BadCase{"ProbabilityAboveOne", with_motor({"--drop-probability", "1.5"}),
                "--drop-probability '1.5': expected a probability from 0 to 1"},
        BadCase{"ProbabilityNan", with_motor({"--drop-probability=nan"}),
                "--drop-probability 'nan': expected a probability from 0 to 1"},
        BadCase{"LatencyNegative", with_motor({"--latency-us", "-5"}),
                "--latency-us '-5': expected microseconds, at most 60000000"},
        BadCase{"DurationZero", with_motor({"--duration", "0"}),
                "--duration '0': expected a positive number of seconds"},
        BadCase{"BitrateZero", with_motor({"--bitrate", "0"}), "--bitrate '0': expected bit/s, 1000 to 100000000"},
        BadCase{"BitrateWithUnit", with_motor({"--bitrate", "1M"}),
                "--bitrate '1M': expected bit/s, 1000 to 100000000"},
        BadCase{"DataBitrateAlone", with_motor({"--data-bitrate", "5000000"}), "--data-bitrate needs --bitrate"},
        BadCase{"EmptyState", with_motor({"--state="}), "--state '': expected a file name"},
        BadCase{"FlagWithValue", with_motor({"--verbose=yes"}), "--verbose takes no value"},
        BadCase{"EmptyIface", with_motor({"--iface="}), "--iface '': not an interface name"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BadCommandLine, UnknownModelListsTheKnownOnes) {
    auto o = parse({"--motor", "1:0x11:dm9999"});
    ASSERT_FALSE(o.has_value());
    EXPECT_TRUE(o.error().starts_with("--motor '1:0x11:dm9999': unknown model; known: dm3507, dm4310,"));
    EXPECT_TRUE(o.error().ends_with("dmjh11"));
}

}  // namespace
}  // namespace torvane::sim
