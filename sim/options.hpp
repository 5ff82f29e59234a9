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
};

struct Options {
    std::string iface = "vcan0";
    std::vector<MotorArg> motors;
    std::uint32_t mode = damiao::kModePosVel;
    std::uint64_t latency_us = 0;
    std::uint64_t bitrate = 0;       // bit/s of the wire model; 0: frames take no time
    std::uint64_t data_bitrate = 0;  // CAN FD data phase; 0: the same as bitrate
    std::optional<std::string> state_path;
    double drop_probability = 0.0;
    std::uint64_t seed = 1;
    std::optional<std::string> log_path;  // "-" is standard output
    std::optional<double> duration_s;
    bool verbose = false;
    bool help = false;
};

// "CMD:FB:MODEL", ids in decimal or 0x-hex, e.g. 1:0x11:dm4310.
std::expected<MotorArg, std::string> parse_motor(std::string_view text);

// Arguments without the program name. The error is one line for the user.
std::expected<Options, std::string> parse_options(std::span<const std::string_view> args);

// The short form for error messages, and the whole --help text.
std::string synopsis();
std::string usage();

}  // namespace torvane::sim
