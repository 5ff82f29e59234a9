// The --state file: its text both ways, its errors, and a save that outlives
// the motor that made it.

#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <filesystem>
#include <string>

#include "sim/state_file.hpp"
#include "sim/tests/bench.hpp"

namespace torvane::sim {
namespace {

using namespace sim_test;

std::uint32_t f32(float v) { return std::bit_cast<std::uint32_t>(v); }

MotorArg arg(std::string_view text) { return parse_motor(text).value(); }

TEST(StateText, KeysAreTheMotorArgumentWhateverItsSpelling) {
    EXPECT_EQ(motor_key(arg("1:0x11:dm4310")), "0x001:0x011:dm4310");
    EXPECT_EQ(motor_key(arg("0x1:17:dm4310")), "0x001:0x011:dm4310");
    EXPECT_EQ(motor_key(arg("0x7FE:0x7FF:dmh3510")), "0x7FE:0x7FF:dmh3510");
    // The same motor on another named bus is another motor.
    EXPECT_EQ(motor_key(arg("vcan1:1:17:dm4310")), "vcan1:0x001:0x011:dm4310");
    auto parsed = parse_state("[1:17:dm4310]\n10 CTRL_MODE 3\n");
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->at("0x001:0x011:dm4310"), (SavedRegisters{{10, 3}}));
}

TEST(StateText, RoundTripsEveryValueExactly) {
    const SavedMotors motors{
        {"0x001:0x011:dm4310", {{0, f32(10.0f)}, {2, f32(65.5f)}, {4, f32(1e-7f)}, {5, f32(-10.0f)},
                                {7, 0x15}, {8, 5}, {9, 4294967295u}, {21, f32(12.566f)}, {23, f32(-0.0f)},
                                {34, f32(3.4028235e38f)}}},
        {"0x002:0x012:dm4340", {{10, 1}, {22, f32(std::numeric_limits<float>::infinity())}}},
        {"0x003:0x013:dm8009", {}},
        {"vcan1:0x001:0x011:dm4310", {{9, 20}}},
    };
    const std::string text = format_state(motors);
    EXPECT_TRUE(text.starts_with("# dmsim state"));
    EXPECT_NE(text.find("[0x001:0x011:dm4310]\n0 UV_Value 10\n2 OT_Value 65.5\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n7 MST_ID 21\n8 ESC_ID 5\n9 TIMEOUT 4294967295\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n22 VMAX inf\n"), std::string::npos) << text;
    const auto back = parse_state(text);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(*back, motors);

    const auto nan = parse_state("[1:0x11:dm4310]\n1 KT_Value NaN\n");
    ASSERT_TRUE(nan) << nan.error();
    EXPECT_TRUE(std::isnan(std::bit_cast<float>(nan->begin()->second.at(1))));
}

TEST(StateText, ToleratesBlanksCommentsAndHexIds) {
    const auto parsed = parse_state("\n# saved by hand\n  [0x5:0x15:dm6006]  \r\n\t7   MST_ID\t0x15 \n\n8 ESC_ID 5\r\n");
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(*parsed, (SavedMotors{{"0x005:0x015:dm6006", {{7, 0x15}, {8, 5}}}}));
    EXPECT_EQ(parse_state("")->size(), 0u);
}

struct BadStateCase {
    const char* name;
    const char* text;
    const char* error;
};

void PrintTo(const BadStateCase& c, std::ostream* os) { *os << c.name; }

class BadState : public ::testing::TestWithParam<BadStateCase> {};

TEST_P(BadState, IsRefusedNamingTheLine) {
    const auto& c = GetParam();
    const auto parsed = parse_state(c.text);
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, BadState,
    ::testing::Values(
        BadStateCase{"RegisterBeforeSection", "10 CTRL_MODE 1\n",
                     "line 1: a register line before any [CMD:FB:MODEL] section"},
        BadStateCase{"UnclosedSection", "[1:0x11:dm4310\n", "line 1: a section is [CMD:FB:MODEL]"},
        BadStateCase{"BadMotor", "# c\n[1:0x11:dm9999]\n",
                     "line 2: --motor '1:0x11:dm9999': unknown model; known: dm3507, dm4310, dm4310p, dm4340, "
                     "dm4340p, dm6006, dm6248p, dm8006, dm8009, dm10010, dm10010l, dmg6215, dmh3510, dmh6220, dmjh11"},
        BadStateCase{"SectionTwice", "[1:0x11:dm4310]\n[0x1:17:dm4310]\n",
                     "line 2: motor 0x001:0x011:dm4310 appears twice"},
        BadStateCase{"UnknownRegister", "[1:0x11:dm4310]\n37 X 1\n", "line 2: no writable register 37"},
        BadStateCase{"ReadOnlyRegister", "[1:0x11:dm4310]\n15 SN 7\n", "line 2: no writable register 15"},
        BadStateCase{"NumberTooLarge", "[1:0x11:dm4310]\n300 X 7\n", "line 2: no writable register 300"},
        BadStateCase{"WrongName", "[1:0x11:dm4310]\n7 ESC_ID 5\n", "line 2: register 7 is MST_ID"},
        BadStateCase{"FloatInAnIntegerRegister", "[1:0x11:dm4310]\n10 CTRL_MODE 1.5\n",
                     "line 2: not a Uint32 value: 1.5"},
        BadStateCase{"NegativeInteger", "[1:0x11:dm4310]\n9 TIMEOUT -1\n", "line 2: not a Uint32 value: -1"},
        BadStateCase{"NotAFloat", "[1:0x11:dm4310]\n2 OT_Value hot\n", "line 2: not a Float value: hot"},
        BadStateCase{"MissingValue", "[1:0x11:dm4310]\n2 OT_Value\n", "line 2: expected: NUMBER NAME VALUE"},
        BadStateCase{"ExtraWord", "[1:0x11:dm4310]\n2 OT_Value 80 C\n", "line 2: expected: NUMBER NAME VALUE"},
        BadStateCase{"RegisterTwice", "[1:0x11:dm4310]\n2 OT_Value 80\n\n2 OT_Value 81\n",
                     "line 4: register 2 twice"}),
    [](const auto& info) { return std::string(info.param.name); });

// A folder of its own under the test's temporary directory.
struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "dmsim-state-XXXXXX").string();
        path = ::mkdtemp(tmpl.data());
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

TEST(StateFile, MissingMeansNothingSavedAndWritingReplacesItWhole) {
    TempDir dir;
    const std::string file = (dir.path / "motors.state").string();
    EXPECT_EQ(read_state_file(file)->size(), 0u);

    const SavedMotors first{{"0x001:0x011:dm4310", {{7, 0x15}, {8, 5}}}};
    ASSERT_TRUE(write_state_file(file, first));
    EXPECT_EQ(*read_state_file(file), first);
    const SavedMotors second{{"0x002:0x012:dm4340", {{10, 4}}}};
    ASSERT_TRUE(write_state_file(file, second));
    EXPECT_EQ(*read_state_file(file), second);
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));

    std::FILE* f = std::fopen(file.c_str(), "a");
    std::fputs("garbage\n", f);
    std::fclose(f);
    EXPECT_EQ(read_state_file(file).error(), "state " + file + ", line 5: expected: NUMBER NAME VALUE");

    const std::string nowhere = (dir.path / "no" / "such.state").string();
    EXPECT_EQ(write_state_file(nowhere, first).error(),
              "cannot write state " + nowhere + ".tmp: No such file or directory");
}

TEST(StateFile, CarriesASaveAcrossARestart) {
    Bench b(damiao::kModeMit, "dm4340", 1, 0x11);
    b.write_u32(kRegEscId, 0x23);
    b.write_u32(kRegMasterId, 0x45);
    b.write_float(kRegTMax, 56.0f);
    b.write_u32(damiao::kRegControlMode, damiao::kModeForcePos);
    ASSERT_EQ(b.system(damiao::kOpSave, 0x01).kind, Outcome::Kind::Saved);

    const auto key = motor_key(arg("1:0x11:dm4340"));
    const auto text = parse_state(format_state({{key, b.motor.flash()}}));
    ASSERT_TRUE(text) << text.error();
    MotorConfig cfg{1, 0x11, model("dm4340"), damiao::kModeMit};
    cfg.flash = text->at(key);
    const MotorModel after(cfg, 0);
    EXPECT_EQ(after.cmd_id(), 0x23);
    EXPECT_EQ(after.fb_id(), 0x45);
    EXPECT_EQ(after.control_mode(), damiao::kModeForcePos);
    EXPECT_EQ(after.scaling().t_max, 56.0f);
    for (const auto& r : damiao::kRegisters) EXPECT_EQ(after.read_register(r.number)->bits, b.motor.read_register(r.number)->bits) << r.name;
}

}  // namespace
}  // namespace torvane::sim
