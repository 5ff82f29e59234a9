#pragma once
// One simulated motor: the firmware's command and register handling, its
// fault latch, and a rigid rotor with thermal state. No I/O and no clock of
// its own: every call is told what time it is, so tests drive time by hand.
// Bound to a joint of a physics model, it leaves the moving to that model:
// the model tells it where the joint is and asks it for its torque.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "damiao/commands.hpp"
#include "damiao/mit.hpp"
#include "damiao/status.hpp"
#include "damiao/registers.hpp"
#include "transport/can_frame.hpp"
#include "transport/duration.hpp"

namespace torvane::sim {

using can::MonoNanos;

// What a model is made of beyond its MIT scaling limits.
struct Physics {
    float inertia;          // kg m^2 seen at the output shaft
    float damping;          // viscous friction, N m s/rad
    float mos_heat;         // K/s the power stage gains at t_max (scales with torque^2)
    float rotor_heat;       // K/s the winding gains at t_max
    float mos_cooling_s;    // time constants of the cooling toward ambient
    float rotor_cooling_s;
    float mos_limit_c;      // power stage trip point; the winding's is the OT_Value register
};

struct MotorKind {
    std::string_view name;
    damiao::MitLimits limits;
    Physics physics;
};

// One entry per preset of the codec, by the same name.
std::span<const MotorKind> models();
std::optional<MotorKind> find_model(std::string_view name);

// The error nibble of the feedback frame.
enum class Fault : std::uint8_t {
    None = 0,
    OverVoltage = 0x8,
    UnderVoltage = 0x9,
    OverCurrent = 0xA,
    MosOverTemp = 0xB,
    RotorOverTemp = 0xC,
    CommLost = 0xD,
    Overload = 0xE,
};
static_assert([] {
    for (auto f : {Fault::OverVoltage, Fault::UnderVoltage, Fault::OverCurrent, Fault::MosOverTemp,
                   Fault::RotorOverTemp, Fault::CommLost, Fault::Overload}) {
        const auto known = damiao::find_status(static_cast<std::uint8_t>(f));
        if (!known || !known->is_fault) return false;
    }
    return true;
}(), "every fault the simulator reports is a fault in the status table");
inline constexpr std::uint8_t kStatusDisabled = 0;
inline constexpr std::uint8_t kStatusEnabled = 1;

// Register numbers the simulation acts on: the core's, and those only the
// motor's own firmware acts on.
using damiao::kRegMasterId;
using damiao::kRegPMax;
using damiao::kRegTMax;
using damiao::kRegVMax;
inline constexpr std::uint8_t kRegUnderVoltage = 0;
inline constexpr std::uint8_t kRegOverTemp = 2;
inline constexpr std::uint8_t kRegAcc = 4;
inline constexpr std::uint8_t kRegDec = 5;
inline constexpr std::uint8_t kRegEscId = 8;
inline constexpr std::uint8_t kRegOverVoltage = 29;
// TIMEOUT counts in these.
inline constexpr MonoNanos kTimeoutUnit = 50'000;
// How long a save keeps the motor deaf while it writes its flash.
inline constexpr MonoNanos kSaveBusy = 30'000'000;
// How far below its limit a temperature must fall before clear_error works,
// so that a motor that just tripped cannot be re-armed at once.
inline constexpr double kTempHysteresis = 2.0;

// The writable registers as a save left them, by number.
using SavedRegisters = std::map<std::uint8_t, std::uint32_t>;

struct MotorConfig {
    std::uint16_t cmd_id = 1;  // factory ids; a saved ESC_ID and MST_ID replace them
    std::uint16_t fb_id = 0x11;
    MotorKind model{};
    std::uint32_t control_mode = damiao::kModePosVel;  // unless the flash holds one
    float ambient_c = 25.0f;
    float supply_v = 24.0f;
    SavedRegisters flash{};  // what earlier runs saved; empty for a new motor
    SavedRegisters start{};  // values it starts with over the flash, not saved by that
    std::uint32_t serial = 0;  // SN; 0: 0x5100 + cmd_id
};

// What became of one received frame.
struct Outcome {
    enum class Kind : std::uint8_t { NotMine, Ignored, Answered, Saved };
    Kind kind = Kind::NotMine;
    std::optional<can::CanFrame> reply;
    const char* why = nullptr;  // Ignored: the reason, for the verbose log

    static Outcome not_mine() { return {}; }
    static Outcome ignored(const char* why) { return {Kind::Ignored, std::nullopt, why}; }
    static Outcome answer(can::CanFrame f) { return {Kind::Answered, std::move(f), nullptr}; }
    static Outcome saved() { return {Kind::Saved, std::nullopt, nullptr}; }
};

// The command a motor follows, one alternative per control mode (the
// variant's index is the mode's number).
using Command = std::variant<std::monostate, damiao::MitSetpoint, damiao::PosVelCommand, damiao::VelCommand,
                             damiao::ForcePosCommand>;

class MotorModel {
public:
    // The physics advance in steps of this size, whatever the call pattern.
    static constexpr MonoNanos kStep = 100'000;

    MotorModel(const MotorConfig& config, MonoNanos start);

    // Run physics and fault checks up to `now` (never backwards).
    void advance(MonoNanos now);

    // From now on the output shaft is a joint of a physics model: advance()
    // keeps the thermal state and the faults but no longer moves the rotor.
    void bind_to_joint() { on_joint_ = true; }
    bool on_joint() const { return on_joint_; }
    // The joint's position and velocity; position() reads it from the zero
    // the motor was last set to.
    void joint_moved(double q, double dq);
    // The torque the control law applies for one step of `dt` to a joint of
    // that effective inertia and viscous damping, on which everything else
    // (gravity, end stops, the other links) acts with `load`; at most the
    // preset's peak. It is what the feedback reports until the next call.
    double joint_torque(double inertia, double damping, double load, double dt);
    // Advance to `now`, then act on one frame seen on the bus.
    Outcome handle(const can::CanFrame& frame, MonoNanos now);
    // Latch `fault` at `at`, whatever the motor is doing then, as if its
    // cause had come and gone; clear_error clears it.
    void schedule_fault(Fault fault, MonoNanos at);

    const MotorConfig& config() const { return config_; }
    // The ids it answers on: the factory ones or those saved before this start.
    std::uint16_t cmd_id() const { return cmd_id_; }
    std::uint16_t fb_id() const { return fb_id_; }
    double position() const { return q_; }
    double velocity() const { return dq_; }
    double torque() const { return torque_; }
    double t_mos() const { return t_mos_; }
    double t_rotor() const { return t_rotor_; }
    bool enabled() const { return enabled_; }
    Fault fault() const { return fault_; }
    std::uint8_t status() const;
    std::uint32_t control_mode() const { return regs_[damiao::kRegControlMode]; }
    // A register's raw bits, or nothing for a number the table lacks.
    std::optional<damiao::RegisterValue> read_register(std::uint8_t reg) const;
    // The state as the next feedback frame will carry it.
    damiao::MotorState report() const;
    // The MIT frames' ranges: registers PMAX, VMAX, TMAX and the fixed gains.
    damiao::MitLimits scaling() const;
    const Command& command() const { return command_; }
    const SavedRegisters& flash() const { return flash_; }
    bool busy() const { return t_ < busy_until_; }

private:
    void step();
    // Faults due at `at`: those scheduled, those whose cause is present, and
    // the command timeout.
    void check_faults(MonoNanos at);
    void latch(Fault f);
    // The inertia J and viscous damping b the motor moves, the rotor's own or
    // a joint's, and the torque of everything else on it.
    struct Load {
        double J, b, torque;
    };
    // Torque and next velocity under the held command.
    std::pair<double, double> drive(const Load& load, double dt) const;
    std::pair<double, double> follow(double v_next, double cap, const Load& load, double dt) const;
    void stop_driving();
    void accept(const Command& c);
    // What is wrong right now; a temperature fault only counts as gone once
    // the temperature is `cooled_by` below its limit.
    Fault fault_cause(double cooled_by) const;
    float reg_float(std::uint8_t reg) const;
    // A reply on the feedback id, FD when the request was.
    can::CanFrame reply(std::span<const std::uint8_t> data, const can::CanFrame& request) const;
    can::CanFrame feedback(const can::CanFrame& request) const;
    Outcome on_command(const can::CanFrame& frame);
    Outcome on_system(const can::CanFrame& frame);
    Outcome on_register(const can::CanFrame& frame);

    MotorConfig config_;
    MonoNanos t_;            // simulated time, a whole number of steps past start
    MonoNanos last_heard_;   // when the last frame addressed to this motor came
    MonoNanos busy_until_;   // end of the flash write of the last save
    std::array<std::uint32_t, 256> regs_{};
    SavedRegisters flash_;
    std::uint16_t cmd_id_, fb_id_;
    std::vector<std::pair<MonoNanos, Fault>> scheduled_;  // by time; the first `fired_` are past
    std::size_t fired_ = 0;

    bool enabled_ = false;
    Fault fault_ = Fault::None;
    Command command_;  // held while applied
    double q_ = 0, dq_ = 0, torque_ = 0;
    double t_mos_, t_rotor_;
    bool on_joint_ = false;
    double joint_zero_ = 0;  // the joint position the motor reads as 0
};

}  // namespace torvane::sim
