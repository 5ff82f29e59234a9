#pragma once
// The file --state keeps the motors' flash in, so that saved registers
// survive a restart of dmsim as they survive a power cycle of a motor:
//
//   # dmsim state: the registers each motor saved
//   [0x001:0x011:dm4310]
//   0 UV_Value 10
//   7 MST_ID 21
//   ...
//
// A section per motor, named by its --motor argument (any spelling of the
// ids; written in hex; the interface if the argument names one), so a
// restart with the same arguments finds it. In a
// section, one line per writable register: number, name, value (Uint32 in
// decimal or 0x-hex, Float as a decimal; written in the shortest form that
// reads back exactly). Blank lines and lines starting with '#' are skipped.

#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "sim/motor_model.hpp"
#include "sim/options.hpp"

namespace torvane::sim {

// Saved registers by motor key.
using SavedMotors = std::map<std::string, SavedRegisters>;

std::string motor_key(const MotorArg& motor);
// A register's value as written in the file or on the command line: Uint32
// decimal or 0x-hex, Float a decimal.
std::optional<std::uint32_t> parse_register_value(damiao::RegisterType type, std::string_view text);

// Errors name the line: "line 4: ...".
std::expected<SavedMotors, std::string> parse_state(std::string_view text);
std::string format_state(const SavedMotors& motors);

// A file that does not exist yet holds nothing.
std::expected<SavedMotors, std::string> read_state_file(const std::string& path);
// Replaces the file whole (written beside it, then renamed over it).
std::expected<void, std::string> write_state_file(const std::string& path, const SavedMotors& motors);

}  // namespace torvane::sim
