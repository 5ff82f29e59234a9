#pragma once
// dmsim's command line, parsed into plain values (no I/O, so it is testable).

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/motor_model.hpp"

namespace torvane::sim {

struct MotorArg {
    std::uint16_t cmd_id = 0;
    std::uint16_t fb_id = 0;
    MotorKind model{};
    std::string iface;  // as named in the argument; empty: --iface's
    std::string joint;  // the joint of --model it drives; empty: a rotor of its own
};

// A fault a motor latches at a set time after start.
struct FaultArg {
    std::uint16_t cmd_id = 0;
    Fault fault = Fault::None;
    double at_s = 0;
    std::string iface;  // empty: wherever the motor with this command id is
};

// An error frame written on a bus at a set time after start.
struct BusErrorArg {
    std::string kind;  // one of bus_error_kinds()
    double at_s = 0;
    std::string iface;  // empty: --iface's
};

// A stretch in which a bus is bus-off: no request answered, error frames
// bus-off at its start and restarted at its end.
struct BusOffArg {
    double at_s = 0;
    double duration_s = 0;
    std::string iface;  // empty: --iface's
};

// How requests sent as CAN FD are answered.
enum class FdReplies : std::uint8_t { Fd, Classic, None };

// A register value a motor has at start, over its saved one and the default.
struct RegisterArg {
    std::uint16_t cmd_id = 0;
    std::uint8_t number = 0;
    std::uint32_t value = 0;  // raw bits; a Float register's IEEE pattern
    std::string iface;        // empty: wherever the motor with this command id is
};

struct Options {
    std::string iface = "vcan0";
    std::vector<MotorArg> motors;
    std::uint32_t mode = damiao::kModePosVel;
    std::uint64_t latency_us = 0;
    std::uint64_t latency_jitter_us = 0;  // up to this much more, drawn per reply
    std::uint64_t bitrate = 0;       // bit/s of the wire model; 0: frames take no time
    std::uint64_t data_bitrate = 0;  // CAN FD data phase; 0: the same as bitrate
    std::optional<std::string> state_path;
    std::vector<FaultArg> faults;
    std::vector<BusErrorArg> bus_errors;
    std::vector<BusOffArg> bus_offs;
    FdReplies fd_replies = FdReplies::Fd;
    bool shared_id = false;  // motors of one interface may share a command id
    std::vector<RegisterArg> registers;
    double drop_probability = 0.0;
    std::uint64_t seed = 1;
    std::optional<std::string> log_path;  // "-" is standard output
    std::optional<double> duration_s;
    std::optional<std::string> model_path;  // a physics model whose joints the motors drive
    bool verbose = false;
    bool help = false;

    // The interface a motor is on.
    const std::string& iface_of(const MotorArg& m) const { return m.iface.empty() ? iface : m.iface; }
    const std::string& iface_named(const std::string& name) const { return name.empty() ? iface : name; }
    // Every interface with a motor on it, in the order the motors name them.
    std::vector<std::string> interfaces() const;
};

// "[IFACE:]CMD:FB:MODEL[@JOINT]", ids in decimal or 0x-hex, e.g. 1:0x11:dm4310
// or 2:0x12:dm8009@joint2.
std::expected<MotorArg, std::string> parse_motor(std::string_view text);
// "[IFACE:]ID:NAME@SECONDS", e.g. 1:overcurrent@2.5.
std::expected<FaultArg, std::string> parse_fault(std::string_view text);
// "[IFACE:]KIND@SECONDS", e.g. no-ack@1.5 or vcan1:bus-off@2.
std::expected<BusErrorArg, std::string> parse_bus_error(std::string_view text);
// "[IFACE:]SECONDS+DURATION", e.g. 0.5+0.5.
std::expected<BusOffArg, std::string> parse_bus_off(std::string_view text);
// "[IFACE:]ID:NAME=VALUE", e.g. 1:TIMEOUT=0 or vcan1:2:can_br=2.
std::expected<RegisterArg, std::string> parse_register(std::string_view text);
// The names --fault takes, as the error nibble's codes.
std::optional<Fault> find_fault(std::string_view name);

// Arguments without the program name. The error is one line for the user.
std::expected<Options, std::string> parse_options(std::span<const std::string_view> args);

// The short form for error messages, and the whole --help text.
std::string synopsis();
std::string usage();

}  // namespace torvane::sim
