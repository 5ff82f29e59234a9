#pragma once
// The motor's register map, as far as the host needs to know it.

#include <cstdint>
#include <array>
#include <optional>
#include <span>
#include <string_view>

namespace torvane::damiao {

enum class RegisterType : std::uint8_t { Float, Uint32 };
const char* type_name(RegisterType t);

struct RegisterInfo {
    std::uint8_t number;
    const char* name;
    RegisterType type;
    bool read_only;
};

extern const std::array<RegisterInfo, 45> kRegisters;

inline constexpr std::uint8_t kRegMasterId = 7;  // MST_ID, the feedback identifier
inline constexpr std::uint8_t kRegControlMode = 10;
inline constexpr std::uint8_t kRegTimeout = 9;
inline constexpr std::uint8_t kRegPMax = 21;
inline constexpr std::uint8_t kRegVMax = 22;
inline constexpr std::uint8_t kRegTMax = 23;

enum ControlMode : std::uint32_t { kModeMit = 1, kModePosVel = 2, kModeVel = 3, kModeForcePos = 4 };

std::optional<RegisterInfo> find_register(std::span<const RegisterInfo> table, std::uint8_t number);
// By name, ignoring ASCII case: "TIMEOUT", "timeout" and "Timeout" are register 9.
std::optional<RegisterInfo> find_register_named(std::span<const RegisterInfo> table, std::string_view name);

struct RegisterValue {
    RegisterType type = RegisterType::Uint32;
    std::uint32_t bits = 0;  // the raw 32 bits; a Float register's IEEE pattern

    static RegisterValue u32(std::uint32_t v) { return {RegisterType::Uint32, v}; }
    static RegisterValue f32(float v);
    float as_float() const;
};

}  // namespace torvane::damiao
