#include "sim/motor_model.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "damiao/driver.hpp"

namespace torvane::sim {

namespace {

using damiao::kPresets;
using damiao::MitLimits;

constexpr MitLimits limits_of(std::string_view name) {
    for (const auto& p : kPresets)
        if (std::string_view(p.name) == name) return p.limits;
    return {};  // unreachable for the names below; checked by the tests
}

// Output-side inertia includes a light load; friction is what the gearbox and
// bearings show at speed. Heating is given at peak torque, which no motor
// holds for long: the winding then crosses a default OT_Value within about
// half a minute, while the power stage settles below its own limit.
//                                               J       b       mos  rotor mos_s rotor_s mos_lim
constexpr std::array<MotorKind, 15> kModels{{
    {"dm3507", limits_of("dm3507"), {4.0e-4f, 0.005f, 2.0f, 3.0f, 20.0f, 90.0f, 100.0f}},
    {"dm4310", limits_of("dm4310"), {1.5e-3f, 0.020f, 2.0f, 3.0f, 30.0f, 120.0f, 100.0f}},
    {"dm4310p", limits_of("dm4310p"), {1.5e-3f, 0.020f, 2.0f, 3.0f, 30.0f, 120.0f, 100.0f}},
    {"dm4340", limits_of("dm4340"), {4.0e-3f, 0.050f, 2.0f, 3.0f, 30.0f, 150.0f, 100.0f}},
    {"dm4340p", limits_of("dm4340p"), {4.0e-3f, 0.050f, 2.0f, 3.0f, 30.0f, 150.0f, 100.0f}},
    {"dm6006", limits_of("dm6006"), {3.0e-3f, 0.040f, 2.0f, 3.0f, 40.0f, 180.0f, 100.0f}},
    {"dm6248p", limits_of("dm6248p"), {2.0e-2f, 0.300f, 1.5f, 2.5f, 60.0f, 300.0f, 100.0f}},
    {"dm8006", limits_of("dm8006"), {6.0e-3f, 0.060f, 1.5f, 2.5f, 50.0f, 240.0f, 100.0f}},
    {"dm8009", limits_of("dm8009"), {8.0e-3f, 0.080f, 1.5f, 2.5f, 50.0f, 240.0f, 100.0f}},
    {"dm10010", limits_of("dm10010"), {5.0e-2f, 0.500f, 1.5f, 2.0f, 60.0f, 360.0f, 100.0f}},
    {"dm10010l", limits_of("dm10010l"), {5.0e-2f, 0.500f, 1.5f, 2.0f, 60.0f, 360.0f, 100.0f}},
    {"dmg6215", limits_of("dmg6215"), {2.0e-3f, 0.020f, 2.0f, 3.0f, 40.0f, 180.0f, 100.0f}},
    {"dmh3510", limits_of("dmh3510"), {5.0e-5f, 0.0005f, 2.0f, 3.0f, 20.0f, 60.0f, 100.0f}},
    {"dmh6220", limits_of("dmh6220"), {2.0e-3f, 0.020f, 2.0f, 3.0f, 40.0f, 180.0f, 100.0f}},
    {"dmjh11", limits_of("dmjh11"), {3.0e-3f, 0.050f, 2.0f, 3.0f, 30.0f, 150.0f, 100.0f}},
}};

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

std::uint8_t to_byte(double celsius) {
    return static_cast<std::uint8_t>(std::clamp(std::lround(celsius), 0L, 255L));
}

bool is_fixed_command(std::span<const std::uint8_t> d) {
    return std::all_of(d.begin(), d.begin() + 7, [](std::uint8_t b) { return b == 0xFF; }) && d[7] >= 0xFB &&
           d[7] <= 0xFE;
}

}  // namespace

std::span<const MotorKind> models() { return kModels; }

std::optional<MotorKind> find_model(std::string_view name) {
    for (const auto& m : kModels)
        if (m.name == name) return m;
    return std::nullopt;
}

MotorModel::MotorModel(const MotorConfig& config, MonoNanos start)
    : config_(config), t_(start), last_heard_(start), t_mos_(config.ambient_c), t_rotor_(config.ambient_c) {
    const auto& l = config.model.limits;
    const auto& p = config.model.physics;
    // Factory values of a fresh motor; what the host can read back.
    regs_[0] = bits(10.0f);   // UV_Value, V
    regs_[1] = bits(1.0f);    // KT_Value
    regs_[2] = bits(80.0f);   // OT_Value, deg C
    regs_[3] = bits(0.98f);   // OC_Value
    regs_[4] = bits(10.0f);   // ACC
    regs_[5] = bits(-10.0f);  // DEC
    regs_[6] = bits(l.v_max);  // MAX_SPD
    regs_[7] = config.fb_id;   // MST_ID
    regs_[8] = config.cmd_id;  // ESC_ID
    regs_[9] = 0;              // TIMEOUT: never
    regs_[10] = config.control_mode;
    regs_[11] = bits(p.damping);
    regs_[12] = bits(p.inertia);
    regs_[13] = 1;  // hw_ver
    regs_[14] = 1;  // sw_ver
    regs_[15] = 0x5100u + config.cmd_id;  // SN
    regs_[16] = 14;  // NPP
    regs_[17] = bits(0.5f);
    regs_[18] = bits(2.0e-4f);
    regs_[19] = bits(5.0e-3f);
    regs_[20] = bits(10.0f);  // Gr
    regs_[21] = bits(l.p_max);
    regs_[22] = bits(l.v_max);
    regs_[23] = bits(l.t_max);
    regs_[24] = bits(1000.0f);
    regs_[29] = bits(32.0f);  // OV_Value, V
    regs_[35] = 4;  // can_br: 1 Mbit/s
    regs_[36] = 1;  // sub_ver
}

std::uint8_t MotorModel::status() const {
    if (fault_ != Fault::None) return static_cast<std::uint8_t>(fault_);
    return enabled_ ? kStatusEnabled : kStatusDisabled;
}

std::optional<damiao::RegisterValue> MotorModel::read_register(std::uint8_t reg) const {
    const auto info = damiao::find_register(damiao::kRegisters, reg);
    if (!info) return std::nullopt;
    return damiao::RegisterValue{info->type, regs_[reg]};
}

float MotorModel::reg_float(std::uint8_t reg) const { return std::bit_cast<float>(regs_[reg]); }

Fault MotorModel::fault_cause(double cooled_by) const {
    // NaN thresholds compare false and so never trip.
    if (config_.supply_v > reg_float(kRegOverVoltage)) return Fault::OverVoltage;
    if (config_.supply_v < reg_float(kRegUnderVoltage)) return Fault::UnderVoltage;
    if (t_mos_ > config_.model.physics.mos_limit_c - cooled_by) return Fault::MosOverTemp;
    if (t_rotor_ > reg_float(kRegOverTemp) - cooled_by) return Fault::RotorOverTemp;
    return Fault::None;
}

void MotorModel::advance(MonoNanos now) {
    while (now - t_ >= kStep) step();
}

void MotorModel::step() {
    t_ += kStep;
    const double dt = static_cast<double>(kStep) * 1e-9;
    const auto& p = config_.model.physics;
    const double J = p.inertia, b = p.damping, t_max = config_.model.limits.t_max;

    // Damping terms are taken at the new velocity so that large kd on a
    // light rotor stays stable at this step size.
    double dq_next = J * dq_ / (J + dt * b);
    double tau = 0;
    if (enabled_ && fault_ == Fault::None && control_mode() == damiao::kModeMit && setpoint_) {
        const auto& sp = *setpoint_;
        const double drive = sp.kp * (sp.q - q_) + sp.kd * sp.dq + sp.tau;
        dq_next = (J * dq_ + dt * drive) / (J + dt * (sp.kd + b));
        tau = drive - sp.kd * dq_next;
        if (std::abs(tau) > t_max) {
            tau = std::copysign(t_max, tau);
            dq_next = (J * dq_ + dt * tau) / (J + dt * b);
        }
    }
    dq_ = dq_next;
    q_ += dq_ * dt;
    torque_ = tau;

    const double load = t_max > 0 ? (tau / t_max) * (tau / t_max) : 0.0;
    t_mos_ += dt * (p.mos_heat * load - (t_mos_ - config_.ambient_c) / p.mos_cooling_s);
    t_rotor_ += dt * (p.rotor_heat * load - (t_rotor_ - config_.ambient_c) / p.rotor_cooling_s);

    if (fault_ != Fault::None) return;
    Fault f = fault_cause(0.0);
    const MonoNanos timeout = static_cast<MonoNanos>(regs_[damiao::kRegTimeout]) * kTimeoutUnit;
    if (f == Fault::None && enabled_ && timeout > 0 && t_ - last_heard_ > timeout) f = Fault::CommLost;
    if (f != Fault::None) {
        fault_ = f;
        enabled_ = false;
        setpoint_.reset();
        torque_ = 0;
    }
}

damiao::MotorState MotorModel::report() const {
    damiao::MotorState s;
    s.motor_id = static_cast<std::uint8_t>(config_.cmd_id & 0x0F);
    s.error = status();
    s.position = static_cast<float>(q_);
    s.velocity = static_cast<float>(dq_);
    s.torque = static_cast<float>(torque_);
    s.t_mos = to_byte(t_mos_);
    s.t_rotor = to_byte(t_rotor_);
    return s;
}

can::CanFrame MotorModel::feedback() const {
    return can::CanFrame(can::CanId::standard(config_.fb_id & can::kStandardMax),
                         damiao::encode_feedback(config_.model.limits, report()));
}

Outcome MotorModel::handle(const can::CanFrame& frame, MonoNanos now) {
    advance(now);
    if (frame.id.is_extended()) return Outcome::not_mine();
    if (frame.id.value == (config_.cmd_id & can::kStandardMax) && frame.id.value != damiao::kRegisterId) {
        last_heard_ = t_;
        return on_command(frame);
    }
    if (frame.id.value != damiao::kRegisterId) return Outcome::not_mine();
    const auto d = frame.data();
    if (d.size() < 2 || (d[0] | (d[1] << 8)) != config_.cmd_id) return Outcome::not_mine();
    last_heard_ = t_;
    if (frame.fd) return Outcome::ignored("register frame sent as CAN FD");
    return on_register(d);
}

Outcome MotorModel::on_command(const can::CanFrame& frame) {
    if (frame.fd) return Outcome::ignored("command sent as CAN FD");
    const auto d = frame.data();
    if (d.size() != 8) return Outcome::ignored("command is not 8 bytes");

    if (is_fixed_command(d)) {
        switch (d[7]) {
            case 0xFC:  // enable; a latched fault must be cleared first
                if (fault_ == Fault::None) enabled_ = true;
                break;
            case 0xFD:
                enabled_ = false;
                setpoint_.reset();
                torque_ = 0;
                break;
            case 0xFE:  // zero only while the output is free
                if (!enabled_) q_ = 0;
                break;
            case 0xFB:
                if (fault_ != Fault::None && fault_cause(kTempHysteresis) == Fault::None) fault_ = Fault::None;
                break;
        }
        return Outcome::answer(feedback());
    }

    // Everything else on the command id is an MIT frame; outside MIT mode the
    // firmware answers it without acting on it.
    if (enabled_ && fault_ == Fault::None && control_mode() == damiao::kModeMit) {
        damiao::Frame8 bytes{};
        std::copy(d.begin(), d.end(), bytes.begin());
        setpoint_ = damiao::decode_setpoint(config_.model.limits, bytes);
    }
    return Outcome::answer(feedback());
}

Outcome MotorModel::on_register(std::span<const std::uint8_t> d) {
    if (d.size() != 8) return Outcome::ignored("register frame is not 8 bytes");
    const std::uint8_t op = d[2], reg = d[3];
    const auto info = damiao::find_register(damiao::kRegisters, reg);
    if (op != damiao::kRegRead && op != damiao::kRegWrite) return Outcome::ignored("unknown register operation");
    if (!info) return Outcome::ignored("no such register");
    const auto reply_id = can::CanId::standard(config_.fb_id & can::kStandardMax);

    if (op == damiao::kRegRead) {
        const auto reply = damiao::register_request(config_.cmd_id, damiao::kRegRead, reg, regs_[reg]);
        return Outcome::answer(can::CanFrame(reply_id, reply));
    }
    if (info->read_only) return Outcome::ignored("register is read-only");
    const std::uint32_t value = d[4] | (std::uint32_t{d[5]} << 8) | (std::uint32_t{d[6]} << 16) |
                                (std::uint32_t{d[7]} << 24);
    if (reg == damiao::kRegControlMode && (value < damiao::kModeMit || value > damiao::kModeForcePos))
        return Outcome::ignored("no such control mode");
    regs_[reg] = value;
    // A new mode starts from no command rather than one meant for the old mode.
    if (reg == damiao::kRegControlMode) setpoint_.reset();
    return Outcome::answer(can::CanFrame(reply_id, d));
}

}  // namespace torvane::sim
