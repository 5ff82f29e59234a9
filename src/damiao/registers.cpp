#include "damiao/registers.hpp"

#include <algorithm>
#include <array>
#include <bit>

namespace torvane::damiao {

namespace {

constexpr auto F = RegisterType::Float;
constexpr auto U = RegisterType::Uint32;

}  // namespace

const char* type_name(RegisterType t) { return t == RegisterType::Float ? "Float" : "Uint32"; }

// Read-only: what the firmware reports (versions, serial) and what it
// measures or calibrates itself (motor constants, encoder offsets and
// position); it drops writes to them.
const std::array<RegisterInfo, 45> kRegisters{{
    {0, "UV_Value", F, false},  {1, "KT_Value", F, false},  {2, "OT_Value", F, false},
    {3, "OC_Value", F, false},  {4, "ACC", F, false},       {5, "DEC", F, false},
    {6, "MAX_SPD", F, false},   {7, "MST_ID", U, false},    {8, "ESC_ID", U, false},
    {9, "TIMEOUT", U, false},   {10, "CTRL_MODE", U, false}, {11, "Damp", F, true},
    {12, "Inertia", F, true},   {13, "hw_ver", U, true},    {14, "sw_ver", U, true},
    {15, "SN", U, true},        {16, "NPP", U, true},       {17, "Rs", F, true},
    {18, "LS", F, true},        {19, "Flux", F, true},      {20, "Gr", F, true},
    {21, "PMAX", F, false},     {22, "VMAX", F, false},     {23, "TMAX", F, false},
    {24, "I_BW", F, false},     {25, "KP_ASR", F, false},   {26, "KI_ASR", F, false},
    {27, "KP_APR", F, false},   {28, "KI_APR", F, false},   {29, "OV_Value", F, false},
    {30, "GREF", F, false},     {31, "Deta", F, false},     {32, "V_BW", F, false},
    {33, "IQ_c1", F, false},    {34, "VL_c1", F, false},    {35, "can_br", U, false},
    {36, "sub_ver", U, true},   {50, "u_off", F, true},     {51, "v_off", F, true},
    {52, "k1", F, true},        {53, "k2", F, true},        {54, "m_off", F, true},
    {55, "dir", F, true},       {80, "p_m", F, true},       {81, "xout", F, true},
}};

std::optional<RegisterInfo> find_register(std::span<const RegisterInfo> table, std::uint8_t number) {
    for (const auto& r : table)
        if (r.number == number) return r;
    return std::nullopt;
}

std::optional<RegisterInfo> find_register_named(std::span<const RegisterInfo> table, std::string_view name) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; };
    for (const auto& r : table) {
        const std::string_view candidate(r.name);
        if (std::ranges::equal(candidate, name, {}, lower, lower)) return r;
    }
    return std::nullopt;
}

RegisterValue RegisterValue::f32(float v) { return {RegisterType::Float, std::bit_cast<std::uint32_t>(v)}; }
float RegisterValue::as_float() const { return std::bit_cast<float>(bits); }

}  // namespace torvane::damiao
