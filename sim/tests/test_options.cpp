#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <tuple>
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
    EXPECT_EQ(o->latency_jitter_us, 0u);
    EXPECT_TRUE(o->faults.empty());
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

struct GoodCase {
    const char* name;
    std::vector<std::string_view> args;
    std::vector<std::string> interfaces;
    std::vector<std::string> motor_ifaces;  // each motor's, resolved
};

void PrintTo(const GoodCase& c, std::ostream* os) { *os << c.name; }

class Interfaces : public ::testing::TestWithParam<GoodCase> {};

TEST_P(Interfaces, EachMotorIsOnItsOwnOrTheDefault) {
    const auto& c = GetParam();
    auto o = parse(c.args);
    ASSERT_TRUE(o.has_value()) << o.error();
    EXPECT_EQ(o->interfaces(), c.interfaces);
    std::vector<std::string> got;
    for (const auto& m : o->motors) got.push_back(o->iface_of(m));
    EXPECT_EQ(got, c.motor_ifaces);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, Interfaces,
    ::testing::Values(
        GoodCase{"DefaultOnly", {"--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm4310"}, {"vcan0"}, {"vcan0", "vcan0"}},
        GoodCase{"NamedOnly", {"--motor", "vcan1:1:0x11:dm4310"}, {"vcan1"}, {"vcan1"}},
        GoodCase{"IfaceAfterTheMotors", {"--motor", "1:0x11:dm4310", "--iface", "can0"}, {"can0"}, {"can0"}},
        GoodCase{"SameIdOnTwoBuses",
                 {"--motor", "1:0x11:dm4310", "--motor", "vcan1:1:0x11:dm4310", "--motor", "vcan1:2:0x12:dm4340"},
                 {"vcan0", "vcan1"},
                 {"vcan0", "vcan1", "vcan1"}},
        GoodCase{"OrderOfFirstMention",
                 {"--motor", "can2:1:0x11:dm4310", "--motor", "5:0x15:dm4310", "--motor", "can1:1:0x11:dm4310",
                  "--motor", "can2:3:0x13:dm4310", "--iface", "can9"},
                 {"can2", "can9", "can1"},
                 {"can2", "can9", "can1", "can2"}},
        GoodCase{"TheDefaultNamedIsTheDefault", {"--motor", "vcan0:1:0x11:dm4310", "--motor", "2:0x12:dm4310"},
                 {"vcan0"}, {"vcan0", "vcan0"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Options, AMotorsInterfaceIsPartOfItsArgumentOnly) {
    auto o = parse({"--motor", "vcan1:0x1:17:dm4310", "--motor", "2:0x12:dm4340"});
    ASSERT_TRUE(o.has_value()) << o.error();
    EXPECT_EQ(o->motors[0].iface, "vcan1");
    EXPECT_EQ(o->motors[0].cmd_id, 1);
    EXPECT_EQ(o->motors[0].fb_id, 0x11);
    EXPECT_EQ(o->motors[1].iface, "");
}

TEST(Options, JitterAndFaults) {
    auto o = parse({"--motor", "1:0x11:dm4310", "--motor", "vcan1:1:0x11:dm4310", "--motor", "0x7E:0x7F:dm4340",
                    "--latency-jitter-us", "250", "--fault", "vcan0:1:overvoltage@0", "--fault=vcan1:1:overload@2.5",
                    "--fault", "0x7e:undervoltage@1e-3", "--fault", "126:overcurrent@3", "--fault",
                    "0x7E:mos_overtemp@4", "--fault", "0x7E:rotor_overtemp@5"});
    ASSERT_TRUE(o.has_value()) << o.error();
    EXPECT_EQ(o->latency_jitter_us, 250u);
    struct Want {
        std::string iface;
        std::uint16_t id;
        Fault fault;
        double at_s;
    };
    const std::vector<Want> want{{"vcan0", 1, Fault::OverVoltage, 0.0},   {"vcan1", 1, Fault::Overload, 2.5},
                                 {"", 0x7E, Fault::UnderVoltage, 1e-3},   {"", 0x7E, Fault::OverCurrent, 3.0},
                                 {"", 0x7E, Fault::MosOverTemp, 4.0},     {"", 0x7E, Fault::RotorOverTemp, 5.0}};
    ASSERT_EQ(o->faults.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(o->faults[i].iface, want[i].iface);
        EXPECT_EQ(o->faults[i].cmd_id, want[i].id);
        EXPECT_EQ(o->faults[i].fault, want[i].fault);
        EXPECT_EQ(o->faults[i].at_s, want[i].at_s);
    }
    // The codes of the error nibble, by the names the option takes.
    const std::vector<std::pair<std::string_view, std::uint8_t>> codes{
        {"overvoltage", 0x8}, {"undervoltage", 0x9}, {"overcurrent", 0xA},
        {"mos_overtemp", 0xB}, {"rotor_overtemp", 0xC}, {"overload", 0xE}};
    for (const auto& [name, code] : codes) {
        EXPECT_EQ(static_cast<std::uint8_t>(find_fault(name).value_or(Fault::None)), code) << name;
        EXPECT_NE(usage().find(name), std::string::npos) << name;
    }
}

TEST(Options, HelpNeedsNoMotor) {
    auto o = parse({"--help"});
    ASSERT_TRUE(o.has_value());
    EXPECT_TRUE(o->help);
    EXPECT_NE(usage().find("--motor [IFACE:]CMD:FB:MODEL"), std::string::npos);
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
        BadCase{"TwoFields", {"--motor", "1:0x11"},
                "--motor '1:0x11': expected [IFACE:]CMD:FB:MODEL, e.g. 1:0x11:dm4310 or vcan1:1:0x11:dm4310"},
        BadCase{"FiveFields", {"--motor", "vcan1:1:2:3:dm4310"},
                "--motor 'vcan1:1:2:3:dm4310': expected [IFACE:]CMD:FB:MODEL, e.g. 1:0x11:dm4310 or "
                "vcan1:1:0x11:dm4310"},
        BadCase{"EmptyMotorIface", {"--motor", ":1:0x11:dm4310"},
                "--motor ':1:0x11:dm4310': not an interface name: ''"},
        BadCase{"LongMotorIface", {"--motor", "abcdefghijklmnop:1:0x11:dm4310"},
                "--motor 'abcdefghijklmnop:1:0x11:dm4310': not an interface name: 'abcdefghijklmnop'"},
        BadCase{"DuplicateOnTheDefaultNamed", with_motor({"--motor", "vcan0:1:0x12:dm4340"}),
                "--motor 'vcan0:1:0x12:dm4340': command id given twice (--shared-id lets motors share one)"},
        BadCase{"DuplicateOnTheDefaultNamedLater", {"--motor", "can1:1:0x11:dm4310", "--motor", "1:0x12:dm4340",
                                                   "--iface", "can1"},
                "--motor '1:0x12:dm4340': command id given twice (--shared-id lets motors share one)"},
        BadCase{"JitterNegative", with_motor({"--latency-jitter-us", "-1"}),
                "--latency-jitter-us '-1': expected microseconds, at most 60000000"},
        BadCase{"JitterTooLarge", with_motor({"--latency-jitter-us=60000001"}),
                "--latency-jitter-us '60000001': expected microseconds, at most 60000000"},
        BadCase{"JitterMissing", with_motor({"--latency-jitter-us"}), "--latency-jitter-us needs a value"},
        BadCase{"FaultWithoutTime", with_motor({"--fault", "1:overcurrent"}),
                "--fault '1:overcurrent': expected [IFACE:]ID:NAME@SECONDS, e.g. 1:overcurrent@2.5"},
        BadCase{"FaultWithoutId", with_motor({"--fault", "overcurrent@1"}),
                "--fault 'overcurrent@1': expected [IFACE:]ID:NAME@SECONDS, e.g. 1:overcurrent@2.5"},
        BadCase{"FaultTooManyFields", with_motor({"--fault", "a:b:1:overload@1"}),
                "--fault 'a:b:1:overload@1': expected [IFACE:]ID:NAME@SECONDS, e.g. 1:overcurrent@2.5"},
        BadCase{"FaultUnknownName", with_motor({"--fault", "1:meltdown@1"}),
                "--fault '1:meltdown@1': unknown fault; known: overvoltage, undervoltage, overcurrent, overload, "
                "mos_overtemp, rotor_overtemp"},
        BadCase{"FaultNameIsCaseSensitive", with_motor({"--fault", "1:OVERLOAD@1"}),
                "--fault '1:OVERLOAD@1': unknown fault; known: overvoltage, undervoltage, overcurrent, overload, "
                "mos_overtemp, rotor_overtemp"},
        BadCase{"FaultCommLostIsNotInjected", with_motor({"--fault", "1:comm_lost@1"}),
                "--fault '1:comm_lost@1': unknown fault; known: overvoltage, undervoltage, overcurrent, overload, "
                "mos_overtemp, rotor_overtemp"},
        BadCase{"FaultBadId", with_motor({"--fault", "0x7FF:overload@1"}),
                "--fault '0x7FF:overload@1': command id must be a number from 0 to 0x7FE"},
        BadCase{"FaultNegativeTime", with_motor({"--fault", "1:overload@-1"}),
                "--fault '1:overload@-1': expected seconds after start, e.g. @2.5"},
        BadCase{"FaultNanTime", with_motor({"--fault", "1:overload@nan"}),
                "--fault '1:overload@nan': expected seconds after start, e.g. @2.5"},
        BadCase{"FaultEmptyTime", with_motor({"--fault=1:overload@"}),
                "--fault '1:overload@': expected seconds after start, e.g. @2.5"},
        BadCase{"FaultTwoAts", with_motor({"--fault", "1:overload@1@2"}),
                "--fault '1:overload@1@2': unknown fault; known: overvoltage, undervoltage, overcurrent, overload, "
                "mos_overtemp, rotor_overtemp"},
        BadCase{"FaultForNoMotor", with_motor({"--fault", "2:overload@1"}),
                "--fault '2:overload@1': no --motor with that command id"},
        BadCase{"FaultOnTheWrongInterface", with_motor({"--fault", "vcan1:1:overload@1"}),
                "--fault 'vcan1:1:overload@1': no --motor with that command id"},
        BadCase{"FaultAmbiguous", with_motor({"--motor", "vcan1:1:0x11:dm4310", "--fault", "1:overload@1"}),
                "--fault '1:overload@1': that command id is on several interfaces; name one as "
                "IFACE:ID:NAME@SECONDS"},
        BadCase{"CommandIdIsRegisterChannel", {"--motor", "0x7FF:0x11:dm4310"},
                "--motor '0x7FF:0x11:dm4310': command id must be a number from 0 to 0x7FE"},
        BadCase{"CommandIdNotNumber", {"--motor", "one:0x11:dm4310"},
                "--motor 'one:0x11:dm4310': command id must be a number from 0 to 0x7FE"},
        BadCase{"FeedbackIdTooLarge", {"--motor", "1:0x800:dm4310"},
                "--motor '1:0x800:dm4310': feedback id must be a number from 0 to 0x7FF"},
        BadCase{"NegativeId", {"--motor", "-1:0x11:dm4310"},
                "--motor '-1:0x11:dm4310': command id must be a number from 0 to 0x7FE"},
        BadCase{"DuplicateCommandId", with_motor({"--motor", "1:0x12:dm4340"}),
                "--motor '1:0x12:dm4340': command id given twice (--shared-id lets motors share one)"},
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
        BadCase{"EmptyIface", with_motor({"--iface="}), "--iface '': not an interface name"},
        BadCase{"BusErrorUnknownKind", with_motor({"--bus-error", "smoke@1"}),
                "--bus-error 'smoke@1': unknown kind; known: tx-timeout, lost-arbitration, controller, protocol, "
                "transceiver, no-ack, bus-off, bus-error, restarted, error-warning, error-passive"},
        BadCase{"BusErrorWithoutTime", with_motor({"--bus-error", "no-ack"}),
                "--bus-error 'no-ack': expected [IFACE:]KIND@SECONDS, e.g. no-ack@1.5 or vcan1:bus-off@2"},
        BadCase{"BusErrorTooManyFields", with_motor({"--bus-error", "a:vcan0:no-ack@1"}),
                "--bus-error 'a:vcan0:no-ack@1': expected [IFACE:]KIND@SECONDS, e.g. no-ack@1.5 or vcan1:bus-off@2"},
        BadCase{"BusErrorNegativeTime", with_motor({"--bus-error=no-ack@-1"}),
                "--bus-error 'no-ack@-1': expected seconds after start, e.g. @1.5"},
        BadCase{"BusErrorOnABusWithoutMotors", with_motor({"--bus-error", "vcan1:no-ack@1"}),
                "--bus-error: no --motor on vcan1"},
        BadCase{"BusOffWithoutDuration", with_motor({"--bus-off", "0.5"}),
                "--bus-off '0.5': expected SECONDS+DURATION, e.g. 0.5+0.5"},
        BadCase{"BusOffZeroDuration", with_motor({"--bus-off", "0.5+0"}),
                "--bus-off '0.5+0': expected a positive duration after '+'"},
        BadCase{"BusOffNoStart", with_motor({"--bus-off", "+1"}),
                "--bus-off '+1': expected seconds after start before '+', e.g. 0.5+0.5"},
        BadCase{"BusOffTooManyFields", with_motor({"--bus-off", "a:b:1+1"}),
                "--bus-off 'a:b:1+1': expected [IFACE:]SECONDS+DURATION, e.g. 0.5+0.5 or vcan1:2+1"},
        BadCase{"BusOffOverlapping", with_motor({"--bus-off", "1+1", "--bus-off", "vcan0:1.5+3"}),
                "--bus-off 'vcan0:1.5+3': overlaps '1+1'"},
        BadCase{"BusOffOnABusWithoutMotors", with_motor({"--bus-off", "vcan2:1+1"}),
                "--bus-off 'vcan2:1+1': no --motor on vcan2"},
        BadCase{"FdRepliesUnknown", with_motor({"--fd-replies", "sometimes"}),
                "--fd-replies 'sometimes': expected fd, classic or none"},
        BadCase{"SharedIdWithValue", with_motor({"--shared-id=1"}), "--shared-id takes no value"},
        BadCase{"RegisterUnknownName", with_motor({"--register", "1:TIMEOUTS=0"}),
                "--register '1:TIMEOUTS=0': no register named 'TIMEOUTS' ('dmtool info ID' lists every register)"},
        BadCase{"RegisterReadOnly", with_motor({"--register", "1:sn=5"}), "--register '1:sn=5': SN is read-only"},
        BadCase{"RegisterWithoutValue", with_motor({"--register", "1:TIMEOUT"}),
                "--register '1:TIMEOUT': expected [IFACE:]ID:NAME=VALUE, e.g. 1:TIMEOUT=0"},
        BadCase{"RegisterNotAnInteger", with_motor({"--register", "1:TIMEOUT=1.5"}),
                "--register '1:TIMEOUT=1.5': TIMEOUT takes an integer from 0 to 4294967295"},
        BadCase{"RegisterNotANumber", with_motor({"--register", "1:PMAX=wide"}),
                "--register '1:PMAX=wide': PMAX takes a number"},
        BadCase{"RegisterBadMode", with_motor({"--register", "1:CTRL_MODE=7"}),
                "--register '1:CTRL_MODE=7': CTRL_MODE must be 1 (MIT), 2 (POS_VEL), 3 (VEL) or 4 (FORCE_POS)"},
        BadCase{"RegisterForNoMotor", with_motor({"--register", "2:TIMEOUT=0"}),
                "--register '2:TIMEOUT=0': no --motor with that command id"},
        BadCase{"RegisterAmbiguous", with_motor({"--motor", "vcan1:1:0x11:dm4310", "--register", "1:TIMEOUT=0"}),
                "--register '1:TIMEOUT=0': that command id is on several interfaces; name one as "
                "IFACE:ID:NAME=VALUE"},
        BadCase{"SharedIdStillOnePerInterfaceForAFault",
                with_motor({"--shared-id", "--motor", "1:0x11:dm4310", "--motor", "vcan1:1:0x11:dm4310", "--fault",
                            "1:overload@1"}),
                "--fault '1:overload@1': that command id is on several interfaces; name one as "
                "IFACE:ID:NAME@SECONDS"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Options, BadBusAndMisconfiguredMotors) {
    auto o = parse({"--motor", "1:0x11:dm4310", "--motor", "vcan1:1:0x11:dm4310", "--motor", "vcan1:1:0x12:dm4340",
                    "--shared-id", "--bus-error", "no-ack@1.5", "--bus-error=vcan1:error-passive@0",
                    "--bus-off", "0.5+0.25", "--bus-off=vcan1:2+1e-1", "--bus-off", "vcan0:3+1",
                    "--fd-replies=classic", "--register", "vcan0:1:timeout=1000", "--register=vcan1:1:can_br=2",
                    "--register", "vcan0:0x1:PMAX=-3.5"});
    ASSERT_TRUE(o.has_value()) << o.error();
    EXPECT_TRUE(o->shared_id);
    EXPECT_EQ(o->fd_replies, FdReplies::Classic);
    ASSERT_EQ(o->bus_errors.size(), 2u);
    EXPECT_EQ(std::tie(o->bus_errors[0].iface, o->bus_errors[0].kind, o->bus_errors[0].at_s),
              std::make_tuple(std::string(), std::string("no-ack"), 1.5));
    EXPECT_EQ(std::tie(o->bus_errors[1].iface, o->bus_errors[1].kind, o->bus_errors[1].at_s),
              std::make_tuple(std::string("vcan1"), std::string("error-passive"), 0.0));
    ASSERT_EQ(o->bus_offs.size(), 3u);
    const std::vector<std::tuple<std::string, double, double>> offs{{"", 0.5, 0.25}, {"vcan1", 2, 0.1}, {"vcan0", 3, 1}};
    for (std::size_t i = 0; i < offs.size(); ++i)
        EXPECT_EQ(std::tie(o->bus_offs[i].iface, o->bus_offs[i].at_s, o->bus_offs[i].duration_s), offs[i]) << i;
    // By the core's table's names in any case, as raw bits of the register's type.
    ASSERT_EQ(o->registers.size(), 3u);
    const std::vector<std::tuple<std::string, std::uint16_t, std::uint8_t, std::uint32_t>> regs{
        {"vcan0", 1, 9, 1000}, {"vcan1", 1, 35, 2}, {"vcan0", 1, 21, std::bit_cast<std::uint32_t>(-3.5f)}};
    for (std::size_t i = 0; i < regs.size(); ++i)
        EXPECT_EQ(std::tie(o->registers[i].iface, o->registers[i].cmd_id, o->registers[i].number,
                           o->registers[i].value),
                  regs[i])
            << i;
    for (const char* v : {"fd", "none"}) {
        auto other = parse({"--motor", "1:0x11:dm4310", "--fd-replies", v});
        ASSERT_TRUE(other.has_value()) << other.error();
        EXPECT_EQ(other->fd_replies, std::string_view(v) == "fd" ? FdReplies::Fd : FdReplies::None);
    }
    auto plain = parse(kOne);
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(plain->fd_replies, FdReplies::Fd);
    EXPECT_FALSE(plain->shared_id);
    EXPECT_TRUE(plain->bus_errors.empty() && plain->bus_offs.empty() && plain->registers.empty());
    for (const char* name : {"--bus-error [IFACE:]KIND@SECONDS", "--bus-off [IFACE:]SECONDS+DURATION",
                             "--fd-replies fd|classic|none", "--shared-id", "--register [IFACE:]ID:NAME=VALUE",
                             "error-passive"})
        EXPECT_NE(usage().find(name), std::string::npos) << name;
}

TEST(BadCommandLine, UnknownModelListsTheKnownOnes) {
    auto o = parse({"--motor", "1:0x11:dm9999"});
    ASSERT_FALSE(o.has_value());
    EXPECT_TRUE(o.error().starts_with("--motor '1:0x11:dm9999': unknown model; known: dm3507, dm4310,"));
    EXPECT_TRUE(o.error().ends_with("dmjh11"));
}

}  // namespace
}  // namespace torvane::sim

namespace torvane::sim {
namespace {

struct JointCase {
    const char* name;
    std::vector<std::string_view> args;
    std::vector<std::string> joints;  // each motor's, in order
    std::vector<std::string> ifaces;  // as the arguments name them
};

class Joints : public ::testing::TestWithParam<JointCase> {};

TEST_P(Joints, EachMotorNamesItsJointAfterTheLastField) {
    auto o = parse_options(GetParam().args);
    ASSERT_TRUE(o.has_value()) << o.error();
    EXPECT_EQ(o->model_path, "arm.xml");
    std::vector<std::string> joints, ifaces;
    for (const auto& m : o->motors) {
        joints.push_back(m.joint);
        ifaces.push_back(m.iface);
        EXPECT_EQ(m.model.name, "dm8009");  // the joint is not read as part of the model's name
    }
    EXPECT_EQ(joints, GetParam().joints);
    EXPECT_EQ(ifaces, GetParam().ifaces);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, Joints,
    ::testing::Values(
        JointCase{"Plain", {"--model", "arm.xml", "--motor", "2:0x12:dm8009@joint2"}, {"joint2"}, {""}},
        JointCase{"OnANamedBus",
                  {"--motor=vcan1:1:0x11:dm8009@joint1", "--model=arm.xml", "--motor", "2:0x12:dm8009@joint2"},
                  {"joint1", "joint2"},
                  {"vcan1", ""}},
        // A joint's name may hold colons and dots; only '@' ends the motor.
        JointCase{"NameWithColons", {"--model", "arm.xml", "--motor", "1:0x11:dm8009@left:shoulder.pitch"},
                  {"left:shoulder.pitch"}, {""}},
        JointCase{"TwoBuses",
                  {"--model", "arm.xml", "--motor", "1:0x11:dm8009@a", "--motor", "vcan1:1:0x11:dm8009@b"},
                  {"a", "b"},
                  {"", "vcan1"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Options, WithoutModelNoMotorHasAJoint) {
    auto o = parse_options(std::vector<std::string_view>{"--motor", "1:0x11:dm4310"});
    ASSERT_TRUE(o.has_value()) << o.error();
    EXPECT_FALSE(o->model_path);
    EXPECT_EQ(o->motors[0].joint, "");
    EXPECT_NE(usage().find("--model FILE"), std::string::npos);
    EXPECT_NE(synopsis().find("[--model FILE]"), std::string::npos);
}

}  // namespace
}  // namespace torvane::sim
