#include "sim/motor_model.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <initializer_list>
#include <type_traits>

#include "damiao/driver.hpp"
#include "sim/motion.hpp"

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

static_assert(std::is_same_v<std::variant_alternative_t<damiao::kModeMit, Command>, damiao::MitSetpoint> &&
              std::is_same_v<std::variant_alternative_t<damiao::kModePosVel, Command>, damiao::PosVelCommand> &&
              std::is_same_v<std::variant_alternative_t<damiao::kModeVel, Command>, damiao::VelCommand> &&
              std::is_same_v<std::variant_alternative_t<damiao::kModeForcePos, Command>, damiao::ForcePosCommand>);

// Where a frame goes inside the firmware.
enum class Channel : std::uint8_t { Mit, PosVel, Vel, ForcePos, System };

std::optional<Channel> route(const can::CanFrame& frame, std::uint16_t cmd_id) {
    if (frame.id.is_extended()) return std::nullopt;
    const std::uint32_t id = frame.id.value;
    if (id == damiao::kRegisterId) {
        const auto d = frame.data();
        if (d.size() < 2 || (d[0] | (d[1] << 8)) != cmd_id) return std::nullopt;
        return Channel::System;
    }
    const std::uint32_t own = cmd_id & can::kStandardMax;
    if (id == own) return Channel::Mit;
    if (id == damiao::kPosVelBase + own) return Channel::PosVel;
    if (id == damiao::kVelBase + own) return Channel::Vel;
    if (id == damiao::kForcePosBase + own) return Channel::ForcePos;
    return std::nullopt;
}

// VEL takes 4 to 8 bytes, the other two exactly 8.
std::optional<Command> decode_mode_command(Channel channel, std::span<const std::uint8_t> d) {
    if (d.size() > 8) return std::nullopt;
    if (channel == Channel::Vel) {
        if (auto c = damiao::decode_vel(d)) return *c;
        return std::nullopt;
    }
    if (d.size() != 8) return std::nullopt;
    if (channel == Channel::PosVel) return *damiao::decode_pos_vel(d);
    auto c = *damiao::decode_force_pos(d);
    // A code past the range is read as its top.
    c.v_limit = std::min(c.v_limit, damiao::kForcePosCodeMax / damiao::kForcePosVelScale);
    c.i_limit = std::min(c.i_limit, damiao::kForcePosCodeMax / damiao::kForcePosCurrentScale);
    return c;
}

bool all_finite(std::initializer_list<float> values) {
    return std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); });
}

bool finite(const Command& c) {
    if (const auto* sp = std::get_if<damiao::MitSetpoint>(&c)) return all_finite({sp->q, sp->dq, sp->kp, sp->kd, sp->tau});
    if (const auto* pv = std::get_if<damiao::PosVelCommand>(&c)) return all_finite({pv->q, pv->dq});
    if (const auto* v = std::get_if<damiao::VelCommand>(&c)) return all_finite({v->dq});
    if (const auto* fp = std::get_if<damiao::ForcePosCommand>(&c)) return all_finite({fp->q});
    return false;
}

}  // namespace

std::span<const MotorKind> models() { return kModels; }

std::optional<MotorKind> find_model(std::string_view name) {
    for (const auto& m : kModels)
        if (m.name == name) return m;
    return std::nullopt;
}

MotorModel::MotorModel(const MotorConfig& config, MonoNanos start)
    : config_(config),
      t_(start),
      last_heard_(start),
      busy_until_(start),
      flash_(config.flash),
      t_mos_(config.ambient_c),
      t_rotor_(config.ambient_c) {
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
    regs_[15] = config.serial ? config.serial : 0x5100u + config.cmd_id;  // SN
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
    // Powering up reads the flash; saved ids are the ones it listens on.
    for (const auto& [number, value] : flash_) regs_[number] = value;
    for (const auto& [number, value] : config.start) regs_[number] = value;
    cmd_id_ = static_cast<std::uint16_t>(regs_[kRegEscId]);
    fb_id_ = static_cast<std::uint16_t>(regs_[kRegMasterId]);
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

damiao::MitLimits MotorModel::scaling() const {
    return {reg_float(kRegPMax), reg_float(kRegVMax), 500.0f, 5.0f, reg_float(kRegTMax)};
}

Fault MotorModel::fault_cause(double cooled_by) const {
    // NaN thresholds compare false and so never trip.
    if (config_.supply_v > reg_float(kRegOverVoltage)) return Fault::OverVoltage;
    if (config_.supply_v < reg_float(kRegUnderVoltage)) return Fault::UnderVoltage;
    if (t_mos_ > config_.model.physics.mos_limit_c - cooled_by) return Fault::MosOverTemp;
    if (t_rotor_ > reg_float(kRegOverTemp) - cooled_by) return Fault::RotorOverTemp;
    return Fault::None;
}

void MotorModel::advance(MonoNanos now) {
    while (now - t_ >= kStep) {
        step();
        check_faults(t_);
    }
    // Also between steps: the timeout is exact to the nanosecond, not the step.
    check_faults(now);
}

void MotorModel::schedule_fault(Fault fault, MonoNanos at) {
    const auto pos = std::upper_bound(scheduled_.begin() + static_cast<std::ptrdiff_t>(fired_), scheduled_.end(), at,
                                      [](MonoNanos t, const auto& s) { return t < s.first; });
    scheduled_.insert(pos, {at, fault});
}

void MotorModel::latch(Fault f) {
    fault_ = f;
    stop_driving();
}

void MotorModel::check_faults(MonoNanos at) {
    while (fired_ < scheduled_.size() && scheduled_[fired_].first <= at) latch(scheduled_[fired_++].second);
    if (fault_ != Fault::None) return;
    Fault f = fault_cause(0.0);
    const MonoNanos timeout = static_cast<MonoNanos>(regs_[damiao::kRegTimeout]) * kTimeoutUnit;
    if (f == Fault::None && enabled_ && timeout > 0 && at - last_heard_ > timeout) f = Fault::CommLost;
    if (f != Fault::None) latch(f);
}

void MotorModel::step() {
    t_ += kStep;
    const double dt = static_cast<double>(kStep) * 1e-9;
    const auto& p = config_.model.physics;
    const double t_max = config_.model.limits.t_max;

    // A joint's model integrates the motion and sets the torque itself.
    if (!on_joint_) {
        const auto [tau, dq_next] = drive({p.inertia, p.damping, 0.0}, dt);
        dq_ = dq_next;
        q_ += dq_ * dt;
        torque_ = tau;
    }

    const double load = t_max > 0 ? (torque_ / t_max) * (torque_ / t_max) : 0.0;
    t_mos_ += dt * (p.mos_heat * load - (t_mos_ - config_.ambient_c) / p.mos_cooling_s);
    t_rotor_ += dt * (p.rotor_heat * load - (t_rotor_ - config_.ambient_c) / p.rotor_cooling_s);
}

void MotorModel::joint_moved(double q, double dq) {
    q_ = q - joint_zero_;
    dq_ = dq;
}

double MotorModel::joint_torque(double inertia, double damping, double load, double dt) {
    const double t_max = config_.model.limits.t_max;
    torque_ = std::clamp(drive({inertia, damping, load}, dt).first, -t_max, t_max);
    return torque_;
}

std::pair<double, double> MotorModel::drive(const Load& load, double dt) const {
    const double J = load.J, b = load.b, t_max = config_.model.limits.t_max;
    // Damping terms are taken at the new velocity so that large kd on a
    // light rotor stays stable at this step size; the load counts in that
    // velocity, so a joint held still by an end stop or gravity is seen still.
    const double coasting = (J * dq_ + dt * load.torque) / (J + dt * b);
    if (!enabled_ || fault_ != Fault::None || command_.index() != control_mode()) return {0.0, coasting};

    if (const auto* sp = std::get_if<damiao::MitSetpoint>(&command_)) {
        const double drive = sp->kp * (sp->q - q_) + sp->kd * sp->dq + sp->tau;
        double dq_next = (J * dq_ + dt * (drive + load.torque)) / (J + dt * (sp->kd + b));
        double tau = drive - sp->kd * dq_next;
        if (std::abs(tau) > t_max) {
            tau = std::copysign(t_max, tau);
            dq_next = (J * dq_ + dt * (tau + load.torque)) / (J + dt * b);
        }
        return {tau, dq_next};
    }
    const double acc = rate_of(reg_float(kRegAcc)), dec = rate_of(reg_float(kRegDec));
    if (const auto* c = std::get_if<damiao::PosVelCommand>(&command_))
        return follow(velocity_toward(dq_, approach_velocity(c->q - q_, c->dq, dec, dt), acc, dec, dt), t_max, load,
                      dt);
    if (const auto* c = std::get_if<damiao::VelCommand>(&command_))
        return follow(velocity_toward(dq_, c->dq, acc, dec, dt), t_max, load, dt);
    // FORCE_POS: no profile; the current limit alone bounds the acceleration.
    const auto& c = std::get<damiao::ForcePosCommand>(command_);
    const double cap = c.i_limit * t_max, reach = cap / J;
    return follow(velocity_toward(dq_, approach_velocity(c.q - q_, c.v_limit, reach, dt), reach, reach, dt), cap, load,
                  dt);
}

// The torque that takes the load to `v_next` in one step against its
// friction and the rest of its load, within +-cap, and the velocity that
// torque really gives.
std::pair<double, double> MotorModel::follow(double v_next, double cap, const Load& load, double dt) const {
    const double J = load.J, b = load.b;
    const double tau = std::clamp(J * (v_next - dq_) / dt + b * dq_ - load.torque, -cap, cap);
    return {tau, dq_ + dt * (tau - b * dq_ + load.torque) / J};
}

void MotorModel::stop_driving() {
    enabled_ = false;
    command_ = std::monostate{};
    torque_ = 0;
}

damiao::MotorState MotorModel::report() const {
    damiao::MotorState s;
    s.motor_id = static_cast<std::uint8_t>(cmd_id_ & 0x0F);
    s.error = status();
    s.position = static_cast<float>(q_);
    s.velocity = static_cast<float>(dq_);
    s.torque = static_cast<float>(torque_);
    s.t_mos = to_byte(t_mos_);
    s.t_rotor = to_byte(t_rotor_);
    return s;
}

can::CanFrame MotorModel::reply(std::span<const std::uint8_t> data, const can::CanFrame& request) const {
    return can::CanFrame(can::CanId::standard(fb_id_ & can::kStandardMax), data, request.fd, request.fd && request.brs);
}

can::CanFrame MotorModel::feedback(const can::CanFrame& request) const {
    return reply(damiao::encode_feedback(scaling(), report()), request);
}

Outcome MotorModel::handle(const can::CanFrame& frame, MonoNanos now) {
    advance(now);
    const auto channel = route(frame, cmd_id_);
    if (!channel) return Outcome::not_mine();
    last_heard_ = now;
    if (busy()) return Outcome::ignored("busy writing its flash");
    switch (*channel) {
        case Channel::Mit:
            return on_command(frame);
        case Channel::System:
            return on_system(frame);
        default:
            break;
    }
    const auto command = decode_mode_command(*channel, frame.data());
    if (!command) return Outcome::ignored("mode command of the wrong length");
    accept(*command);
    return Outcome::answer(feedback(frame));
}

void MotorModel::accept(const Command& c) {
    // A command for another mode, or one that makes no numbers, is answered
    // all the same but not acted on.
    if (enabled_ && fault_ == Fault::None && c.index() == control_mode() && finite(c)) command_ = c;
}

Outcome MotorModel::on_command(const can::CanFrame& frame) {
    const auto d = frame.data();
    if (d.size() != 8) return Outcome::ignored("command is not 8 bytes");

    if (is_fixed_command(d)) {
        switch (d[7]) {
            case 0xFC:  // enable; a latched fault must be cleared first
                if (fault_ == Fault::None) enabled_ = true;
                break;
            case 0xFD:
                stop_driving();
                break;
            case 0xFE:  // zero only while the output is free
                if (!enabled_) {
                    if (on_joint_) joint_zero_ += q_;
                    q_ = 0;
                }
                break;
            case 0xFB:
                if (fault_ != Fault::None && fault_cause(kTempHysteresis) == Fault::None) fault_ = Fault::None;
                break;
        }
        return Outcome::answer(feedback(frame));
    }

    // Everything else on the command id is an MIT frame, read with the
    // ranges the registers hold now.
    damiao::Frame8 bytes{};
    std::copy(d.begin(), d.end(), bytes.begin());
    accept(damiao::decode_setpoint(scaling(), bytes));
    return Outcome::answer(feedback(frame));
}

Outcome MotorModel::on_system(const can::CanFrame& frame) {
    const auto d = frame.data();
    if (d.size() != 8) return Outcome::ignored("register frame is not 8 bytes");
    switch (d[2]) {
        case damiao::kRegRead:
        case damiao::kRegWrite:
            return on_register(frame);
        case damiao::kOpRefresh:
            return Outcome::answer(feedback(frame));
        case damiao::kOpSave:
            if (d[3] != 0x01) return Outcome::ignored("unknown save argument");
            // The firmware writes flash only from rest; the host disables first.
            if (enabled_) return Outcome::ignored("save while enabled");
            for (const auto& r : damiao::kRegisters)
                if (!r.read_only) flash_[r.number] = regs_[r.number];
            busy_until_ = t_ + kSaveBusy;
            return Outcome::saved();
        default:
            return Outcome::ignored("unknown register operation");
    }
}

Outcome MotorModel::on_register(const can::CanFrame& frame) {
    const auto d = frame.data();
    const std::uint8_t op = d[2], reg = d[3];
    const auto info = damiao::find_register(damiao::kRegisters, reg);
    if (!info) return Outcome::ignored("no such register");

    if (op == damiao::kRegRead) return Outcome::answer(reply(damiao::register_request(cmd_id_, op, reg, regs_[reg]), frame));
    if (info->read_only) return Outcome::ignored("register is read-only");
    const std::uint32_t value = d[4] | (std::uint32_t{d[5]} << 8) | (std::uint32_t{d[6]} << 16) |
                                (std::uint32_t{d[7]} << 24);
    if (reg == damiao::kRegControlMode && (value < damiao::kModeMit || value > damiao::kModeForcePos))
        return Outcome::ignored("no such control mode");
    regs_[reg] = value;
    // A new mode starts from no command rather than one meant for the old mode.
    if (reg == damiao::kRegControlMode) command_ = std::monostate{};
    return Outcome::answer(reply(d, frame));
}

}  // namespace torvane::sim
