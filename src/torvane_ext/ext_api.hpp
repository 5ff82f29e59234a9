#pragma once
// torvane_ext as Python sees it, declared once (ext_declare.hpp): its
// functions, classes and module attributes. Without Python, like
// python/api.hpp: the stub generator reads it too. The operations are
// defined in operations.cpp, the Python side in the other files here.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "damiao/command_kinds.hpp"
#include "damiao/driver.hpp"
#include "damiao/frame_kind.hpp"
#include "damiao/group.hpp"
#include "damiao/joint_limits.hpp"
#include "damiao/status.hpp"
#include "python/api.hpp"
#include "torvane_ext/ext_declare.hpp"
#include "torvane_ext/loop_api.hpp"
#include "transport/bus_health.hpp"

namespace torvane::ext {

using damiao::Damiao;
using damiao::MitLimits;
using damiao::MotorState;
using damiao::Result;

inline constexpr char kModule[] = "torvane_ext";

// ---- records of its own classes ---------------------------------------------------

struct ModeValue {  // a ControlMode member, or the plain int when it is none
    std::uint32_t mode = 0;
};

struct MotorInfo {
    std::uint16_t motor_id = 0;
    std::uint32_t master_id = 0;  // register 7 as the motor reports it
    ModeValue mode;               // register 10
    MitLimits limits{};
    std::uint32_t hw_ver = 0, sw_ver = 0, serial = 0;
};

struct RegisterEntry {
    std::uint8_t number = 0;
    std::string_view name;
    std::string_view type;  // "float" or "int"
    bool read_only = false;
};

// A frame as decode_frame reads it (damiao::read_frame).
struct FeedbackStatus {  // a Status member, the plain int for a code not in Status, or None
    std::optional<std::uint8_t> code;
};
struct StateName {  // a controller's state as its name: "error-active", ..., "bus-off"
    can::BusState state = can::BusState::ErrorActive;
};
struct DecodedFrame {
    damiao::FrameKind kind = damiao::FrameKind::Raw;
    std::optional<std::uint16_t> motor_id;
    damiao::FrameValues values;
    FeedbackStatus status;  // feedback only
    // Error frames only: what it reports in words, and the state it says
    // the controller is in (if it says one).
    std::optional<std::string> error;
    std::optional<StateName> state;
};
// One value a frame carries, as its Python dict names it.
struct NamedValue {
    const char* name = "";
    bool is_float = false;
    float f = 0;
    std::uint32_t i = 0;
};
struct NamedValues {
    std::array<NamedValue, 8> items{};
    std::size_t size = 0;
};
// Once for the dict and the repr: the names dmtool's events and CSV columns use.
NamedValues named_values(const damiao::FrameValues& values);
std::string repr_text(const DecodedFrame& frame);

// BusHealth: an interface's record (can::BusHealth) as read at one time.
struct ErrorCounts {  // {class name: error frames}, every class of can::kErrorClasses
    std::array<std::uint64_t, can::kErrorClasses.size()> counts{};
};
struct HealthRecord {
    std::string iface;
    std::uint64_t frames_out = 0, frames_in = 0, stale = 0, unsolicited = 0, tx_waits = 0;
    ErrorCounts error_frames;
    StateName state;
};
HealthRecord health_record(const can::BusHealth& h);
std::string repr_text(const HealthRecord& h);

struct Group;  // MotorGroup: holds its bus and motors (group_class.hpp)
struct Robot;  // Robot: holds its groups (robot_class.hpp)

// ---- argument and result types ---------------------------------------------------------

struct RegisterArg {  // a register number, or a name looked up in the table
    std::uint8_t number = 0;
};
struct NumberArg {  // an int or a float, kept as given
    bool is_float = false;
    double f = 0;
    long long i = 0;
};
struct ModeArg {  // 1..4
    std::uint8_t mode = 0;
};
struct VerifyArg {
    bool on = true;
};
struct ScanIds {  // None: 1..16
    std::vector<std::uint16_t> ids{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
};
struct ScanTimeout {
    std::uint64_t ms = 20;
};
// A sequence with one T per motor of a group.
template <typename T>
struct Each {};
struct States {};  // a tuple of MotorState or None, in motor order
// A buffer of float64 or float32 rows, N values per motor: commands read
// from it, or (Out) results written into it.
template <std::size_t N>
struct Rows {};
template <std::size_t N>
struct OutRows {};
// A kind's command rows; the states written back.
template <damiao::CommandKind K>
using CommandRows = Rows<damiao::width_of(K)>;
using StateRows = OutRows<damiao::kStateWidth>;
struct Answered {};  // how many motors answered
// The safety settings of a ticking class, as given.
struct OnFault {  // "report", "raise" or "disable"
    enum Kind : std::uint8_t { Report, Raise, Disable } kind = Report;
};
struct OnExit {  // "disable" or "keep"
    bool keep = false;
};
struct WatchdogMs {  // None, or 1..3276 ms (TIMEOUT counts 50 us in 16 bits)
    std::optional<std::uint32_t> ms;
};
struct LimitsArg {};  // None, or a sequence of JointLimits or None, one per motor
struct ModeCheck {    // None, or the control mode enable() checks first
    std::optional<std::uint8_t> mode;
};
struct AnyObject {};  // passed on as it is
struct Faults {};     // {motor index: Status}
struct Clamped {};    // per motor, how many commands its limits changed
struct FrameId {  // a standard identifier 0..0x7FF, or an error frame's: its classes | CAN_ERR_FLAG
    std::uint32_t value = 0;
};
struct FrameData {  // a classic or CAN FD payload: at most 64 bytes, copied
    std::array<std::uint8_t, can::kFdMaxLen> bytes{};
    std::size_t size = 0;
};
// A Python container looked up with `in`, borrowed for the call: copied, a
// listener's thousands of motors and requests would cost every frame.
struct Lookup {
    void* container = nullptr;  // PyObject*; null: holds nothing
};
struct MotorIds : Lookup {};  // command ids
struct AskedArg : Lookup {};  // (kind, motor_id, register) of each request not answered yet
struct PythonRaised {};       // a lookup raised: its exception is set

// JointLimits as Python sees it.
struct LimitsValue {
    damiao::JointLimits limits;
};
struct Window {  // (lo, hi)
    double lo = 0, hi = 0;
};
std::expected<LimitsValue, ArgError> make_joint_limits(Window position, std::optional<double> max_step,
                                                       std::optional<double> velocity, std::optional<double> torque,
                                                       std::optional<double> kp, std::optional<double> kd);
// The SIGTERM and SIGHUP handling of exit_guard.cpp on or off; whether it was on.
bool stop_on_signals(bool on);
std::string repr_text(const LimitsValue& v);

// ---- operations: on the bus with the interpreter lock released --------------------------

Result<MitLimits> read_limits(can::CanTransport& bus, const Damiao& m);
Result<damiao::RegisterValue> read_register(can::CanTransport& bus, const Damiao& m, RegisterArg reg);
Result<void> write_register(can::CanTransport& bus, const Damiao& m, RegisterArg reg, NumberArg value,
                            VerifyArg verify);
Result<void> save_parameters(can::CanTransport& bus, const Damiao& m);
Result<void> set_control_mode(can::CanTransport& bus, const Damiao& m, ModeArg mode);
Result<MotorState> pos_vel(can::CanTransport& bus, const Damiao& m, float q, float dq);
Result<MotorState> vel(can::CanTransport& bus, const Damiao& m, float dq);
Result<MotorState> force_pos(can::CanTransport& bus, const Damiao& m, float q, float v_limit, float i_limit);
Result<MotorState> refresh(can::CanTransport& bus, const Damiao& m);
Result<std::vector<MotorInfo>> scan(can::CanTransport& bus, const ScanIds& ids, ScanTimeout timeout);

std::expected<DecodedFrame, PythonRaised> decode_frame(FrameId can_id, const FrameData& data,
                                                       const std::optional<MitLimits>& limits,
                                                       std::optional<std::uint16_t> feedback_of, const MotorIds& motors,
                                                       const AskedArg& asked);

// The record of the bus's interface, read without an exchange (nor the
// bus's lock); the same with its counters set to zero.
std::expected<HealthRecord, PythonRaised> bus_health(py::Bus* bus);
std::expected<void, PythonRaised> reset_bus_health(py::Bus* bus);

// The value a write of `value` to register `info` sends, or nothing when an
// int does not fit a Uint32 register (a float there is the core's type error).
std::optional<damiao::RegisterValue> register_value(const damiao::RegisterInfo& info, const NumberArg& value);

std::string repr_text(const MotorInfo& info);
std::string repr_text(const RegisterEntry& entry);

// ---- declarations ------------------------------------------------------------------------

using namespace py::decl;
using py::Bus;

using MotorArg = Arg<"motor", Damiao>;
template <Str Name, auto Op, Str Doc, typename... A>
using Fn = BusFunction<kModule, Name, Op, Doc, A...>;

using RealtimeFunction = PlainFunction<
    kModule, "realtime", &realtime,
    "Make the calling thread real-time: SCHED_FIFO at `priority`, pinned to `cpus` if given, and with\n"
    "lock_memory all of the process's memory locked (mlockall, now and later). All or nothing: what is\n"
    "not permitted raises PermissionError, naming what is missing, before anything changes.",
    Arg<"priority", Priority, "50">, Arg<"cpus", std::optional<Cpus>, "None">, Arg<"lock_memory", LockMemory, "True">>;
using MonotonicFunction = PlainFunction<kModule, "monotonic_ns", &monotonic_ns,
                                        "CLOCK_MONOTONIC in nanoseconds: the clock Loop keeps time by, as "
                                        "time.monotonic_ns().">;

using StopOnSignalsFunction = PlainFunction<
    kModule, "stop_on_signals", &stop_on_signals,
    "While a group of this process has motors it enabled, SIGTERM and SIGHUP raise SystemExit(128 + signal)\n"
    "in the main thread, so with blocks and finally clauses disable them, where the program left the\n"
    "signal's default handling in place (on by default). Returns whether it was on.",
    Arg<"on", bool>>;

using DecodeFrameFunction = PlainFunction<
    kModule, "decode_frame", &decode_frame,
    "One standard CAN frame read as dmtool listen reads it, from what a listener knows: its kind ('mit',\n"
    "'pos_vel', 'vel', 'force_pos', 'enable', 'disable', 'set_zero', 'clear_error', 'refresh', 'save',\n"
    "'reg_read', 'reg_write', 'reg_reply', 'reg_ack', 'feedback', 'error' or 'raw'), the motor it concerns, its\n"
    "values and, for feedback, its status. A can_id with CAN_ERR_FLAG (0x20000000), as a raw socket gives an\n"
    "error frame, is 'error': its classes and bytes as values, .error in words, .state the controller's state\n"
    "it reports. Otherwise, in this order: a request on 0x7FF; an answer to one of `asked`, the\n"
    "(kind, motor_id, register) of reg_read and reg_write frames not answered yet; with feedback_of, that\n"
    "motor's state if byte 0 names it; otherwise a command by its identifier, a command id in `motors`\n"
    "before the plain ranges. `motors` and `asked` are containers (a set, a dict's keys), looked up with\n"
    "`in`. `limits` scale MIT values: motor feedback_of's, or those of the motor whose command id can_id is.",
    Arg<"can_id", FrameId>, Arg<"data", FrameData>, Arg<"limits", std::optional<MitLimits>, "None">,
    KwOnly<Arg<"feedback_of", std::optional<std::uint16_t>, "None">>, KwOnly<Arg<"motors", MotorIds, "()">>,
    KwOnly<Arg<"asked", AskedArg, "()">>>;

using BusHealthFunction = PlainFunction<
    kModule, "bus_health", &bus_health,
    "What the process has seen on the bus's interface, from every object on it, since the first torvane_ext\n"
    "call on it (or the last reset_bus_health): frames out and in, stale replies (an earlier tick's, dropped\n"
    "by the next), unsolicited frames (no motor's reply), waits for room in the transmit queue, error frames\n"
    "by class and the controller's last state. Read at once, with no exchange and no lock.",
    Arg<"bus", Bus>>;
using ResetBusHealthFunction = PlainFunction<
    kModule, "reset_bus_health", &reset_bus_health,
    "Set the interface's counters of bus_health() back to zero; the state stays the controller's last word.",
    Arg<"bus", Bus>>;

using Functions = std::tuple<
    Fn<"read_limits", &read_limits, "PMAX, VMAX and TMAX (registers 21-23) as MitLimits, kp_max 500 and kd_max 5.",
       MotorArg>,
    Fn<"read_register", &read_register,
       "A register by number or table name: an int for Uint32 registers, a float for Float ones.", MotorArg,
       Arg<"reg", RegisterArg>>,
    Fn<"write_register", &write_register,
       "Write a register (an int for Uint32 registers, a float or int for Float ones); with verify, read it\n"
       "back and compare.",
       MotorArg, Arg<"reg", RegisterArg>, Arg<"value", NumberArg>, Arg<"verify", VerifyArg, "True">>,
    Fn<"save_parameters", &save_parameters, "Disable the motor, save its registers to flash, wait for the write.",
       MotorArg>,
    Fn<"set_control_mode", &set_control_mode, "Read the control mode; if it differs, write it, wait, and verify.",
       MotorArg, Arg<"mode", ModeArg>>,
    Fn<"pos_vel", &pos_vel, "A POS_VEL command: target position and velocity limit.", MotorArg, Arg<"q", float>,
       Arg<"dq", float>>,
    Fn<"vel", &vel, "A VEL command: target velocity.", MotorArg, Arg<"dq", float>>,
    Fn<"force_pos", &force_pos, "A FORCE_POS command: target position, velocity limit, current limit (0..1).",
       MotorArg, Arg<"q", float>, Arg<"v_limit", float>, Arg<"i_limit", float>>,
    Fn<"refresh", &refresh, "The motor's state; nothing moves.", MotorArg>,
    Fn<"scan", &scan,
       "Ask each candidate command id (None: range(1, 17)) for register 7 (MST_ID), taking the answer on\n"
       "any identifier; then read the mode, limits and versions of each motor that answered.",
       Arg<"ids", ScanIds, "None">, Arg<"timeout_ms", ScanTimeout, "20">>,
    RealtimeFunction, MonotonicFunction, StopOnSignalsFunction, DecodeFrameFunction, BusHealthFunction,
    ResetBusHealthFunction>;

using MotorInfoFields =
    Fields<Field<"motor_id", &MotorInfo::motor_id>, Field<"master_id", &MotorInfo::master_id>,
           Field<"mode", &MotorInfo::mode>, Field<"limits", &MotorInfo::limits>, Field<"hw_ver", &MotorInfo::hw_ver>,
           Field<"sw_ver", &MotorInfo::sw_ver>, Field<"serial", &MotorInfo::serial>>;
using DecodedFrameFields =
    Fields<Field<"kind", &DecodedFrame::kind>, Field<"motor_id", &DecodedFrame::motor_id>,
           Field<"values", &DecodedFrame::values>, Field<"status", &DecodedFrame::status>,
           Field<"error", &DecodedFrame::error>, Field<"state", &DecodedFrame::state>>;
using HealthFields =
    Fields<Field<"iface", &HealthRecord::iface>, Field<"frames_out", &HealthRecord::frames_out>,
           Field<"frames_in", &HealthRecord::frames_in>, Field<"stale", &HealthRecord::stale>,
           Field<"unsolicited", &HealthRecord::unsolicited>, Field<"tx_waits", &HealthRecord::tx_waits>,
           Field<"error_frames", &HealthRecord::error_frames>, Field<"state", &HealthRecord::state>>;
using RegisterFields = Fields<Field<"number", &RegisterEntry::number>, Field<"name", &RegisterEntry::name>,
                              Field<"type", &RegisterEntry::type>, Field<"read_only", &RegisterEntry::read_only>>;

enum class Frames { Enable, Disable, SetZero, ClearError, Refresh, Mit, PosVel, Vel, ForcePos };
enum class GroupField {
    Bus, Motors, TimeoutMs, Fd, SpinUs, LastAnswerNs, Missed, LastStates, Clamped, WatchdogMs, MaxStateAgeMs, Skipped,
    Health
};
enum class RobotField { Groups, TimeoutMs, SpinUs, LastAnswerNs, Missed, LastStates, Clamped, Health };
enum class LimitsField { Position, MaxStep, Velocity, Torque, Kp, Kd };
// The calls that keep a robot safe, on groups and robots alike.
enum class SafetyCall { Enter, Exit, Close, Faults, DisableAll };

// What every ticking class (MotorGroup, Robot) has: the same calls, each one
// exchange, as a tuple of states or written into a caller's buffer.
template <typename Record, Str Name, Frames F, Str Doc, typename... A>
using Tick = GroupTick<Record, Name, F, States, Doc, A...>;
template <typename Record, Str Name, Frames F, Str Doc, typename... A>
using TickInto = GroupTick<Record, Name, F, Answered, Doc, A...>;
inline constexpr char kIntoDoc[] =
    "The same exchange, reading each motor's row of a float64 or float32 C-contiguous buffer and writing\n"
    "position, velocity, torque, t_mos, t_rotor and status into its row of `out` (NaN for a silent\n"
    "motor); returns how many answered.";
template <typename R>
using Ticks = std::tuple<
    Tick<R, "enable", Frames::Enable,
         "Enable every motor (with watchdog_ms and mode= set up first) in one exchange; each motor's\n"
         "MotorState, or None where it did not answer.">,
    Tick<R, "disable", Frames::Disable,
         "Disable every motor in one exchange; each motor's MotorState, or None where it did not answer.">,
    Tick<R, "set_zero", Frames::SetZero,
         "Make every motor's present position its zero in one exchange; each MotorState or None.">,
    Tick<R, "clear_error", Frames::ClearError,
         "Clear every motor's latched fault in one exchange; each MotorState or None.">,
    Tick<R, "refresh", Frames::Refresh,
         "Ask every motor for its state, moving nothing, in one exchange; each MotorState or None.">,
    Tick<R, "mit_control", Frames::Mit,
         "One MIT setpoint (torvane.MitSetpoint) per motor, limited by the group's JointLimits, in one\n"
         "exchange; each motor's MotorState, or None where it did not answer.",
         Arg<"setpoints", Each<damiao::MitSetpoint>>>,
    Tick<R, "pos_vel", Frames::PosVel,
         "One POS_VEL command (q, dq) per motor, limited by the group's JointLimits, in one exchange;\n"
         "each MotorState or None.",
         Arg<"pairs", Each<damiao::PosVelCommand>>>,
    Tick<R, "vel", Frames::Vel,
         "One VEL command (a velocity) per motor, limited by the group's JointLimits, in one exchange;\n"
         "each MotorState or None.",
         Arg<"velocities", Each<damiao::VelCommand>>>,
    Tick<R, "force_pos", Frames::ForcePos,
         "One FORCE_POS command (q, v_limit, i_limit) per motor, limited by the group's JointLimits, in\n"
         "one exchange; each MotorState or None.",
         Arg<"triples", Each<damiao::ForcePosCommand>>>,
    TickInto<R, "refresh_into", Frames::Refresh,
             "The same exchange, writing position, velocity, torque, t_mos, t_rotor and status into each\n"
             "motor's row of `out`, a float64 or float32 C-contiguous buffer (NaN for a silent motor); returns\n"
             "how many answered.",
             Arg<"out", StateRows>>,
    TickInto<R, "mit_control_into", Frames::Mit, kIntoDoc, Arg<"commands", CommandRows<damiao::CommandKind::Mit>>,
             Arg<"out", StateRows>>,
    TickInto<R, "pos_vel_into", Frames::PosVel, kIntoDoc, Arg<"commands", CommandRows<damiao::CommandKind::PosVel>>,
             Arg<"out", StateRows>>,
    TickInto<R, "vel_into", Frames::Vel, kIntoDoc, Arg<"commands", CommandRows<damiao::CommandKind::Vel>>,
             Arg<"out", StateRows>>,
    TickInto<R, "force_pos_into", Frames::ForcePos, kIntoDoc,
             Arg<"commands", CommandRows<damiao::CommandKind::ForcePos>>, Arg<"out", StateRows>>>;

// Block<R, Members..., the tick calls...>
template <typename R, typename Calls, typename... M>
struct WithTicks;
template <typename R, typename... C, typename... M>
struct WithTicks<R, std::tuple<C...>, M...> {
    using type = Block<R, M..., C...>;
};

template <typename R>
using SafetyCalls = std::tuple<
    RecordCall<R, "__enter__", SafetyCall::Enter, R, "The object itself; leaving the block disables the motors.">,
    RecordCall<R, "__exit__", SafetyCall::Exit, bool,
               "Unless on_exit='keep': disable every motor, each bus on its own, up to three exchanges for\n"
               "those that do not confirm, and put back the watchdogs watchdog_ms changed. What may still be\n"
               "enabled is named in a warning, and in the error raised when the block ended normally, or as a\n"
               "note on the exception that ended it.",
               Arg<"exc_type", AnyObject>, Arg<"exc", AnyObject>, Arg<"tb", AnyObject>>,
    RecordCall<R, "close", SafetyCall::Close, void,
               "Disable every motor as leaving a with block does (whatever on_exit says), after a call\n"
               "running in another thread ends; every later call is refused.">,
    RecordCall<R, "faults", SafetyCall::Faults, Faults,
               "Each motor whose last state is a fault, by index: its Status.">,
    RecordCall<R, "disable_all", SafetyCall::DisableAll, std::vector<std::uint64_t>,
               "Disable every motor, each bus on its own, up to three exchanges until each confirms (answers\n"
               "with any status but ENABLED); the indexes of those that never did, empty when all did. The\n"
               "object stays open.">>;

template <typename A, typename B>
struct Join;
template <typename... A, typename... B>
struct Join<std::tuple<A...>, std::tuple<B...>> {
    using type = std::tuple<A..., B...>;
};


using GroupConstructor = HoldingConstructor<
    Group,
    "The motors of one bus, served in one exchange per call: every command out back to back, then one\n"
    "wait until all have answered or timeout_ms (default: the longest of the motors' own) has passed.\n"
    "on_fault, on_exit, watchdog_ms, limits (one JointLimits or None per motor), mode and set_mode keep\n"
    "the robot safe; a limit that needs a measured state refuses one older than max_state_age_ms.\n"
    "With settle (the default) a tick learns when its replies come and sleeps until then, waking once\n"
    "to read them all; settle=False wakes for each reply.",
    Arg<"bus", Bus>, Arg<"motors", Each<Damiao>>, Arg<"timeout_ms", std::optional<std::uint64_t>, "None">,
    Arg<"fd", bool, "False">, KwOnly<Arg<"spin_us", SpinUs, "0">>, KwOnly<Arg<"on_fault", OnFault, "'report'">>,
    KwOnly<Arg<"on_exit", OnExit, "'disable'">>, KwOnly<Arg<"watchdog_ms", WatchdogMs, "None">>,
    KwOnly<Arg<"limits", LimitsArg, "None">>, KwOnly<Arg<"mode", ModeCheck, "None">>,
    KwOnly<Arg<"set_mode", bool, "False">>, KwOnly<Arg<"max_state_age_ms", std::uint64_t, "50">>,
    KwOnly<Arg<"settle", bool, "True">>>;
using MotorGroupClass = typename WithTicks<
    Group, typename Join<Ticks<Group>, SafetyCalls<Group>>::type, GroupConstructor,
    ComputedFields<Computed<"bus", Bus, GroupField::Bus>, Computed<"motors", std::vector<Damiao>, GroupField::Motors>,
                   Computed<"timeout_ms", std::uint64_t, GroupField::TimeoutMs>,
                   Computed<"fd", bool, GroupField::Fd>, Computed<"spin_us", std::uint64_t, GroupField::SpinUs>,
                   Computed<"last_answer_ns", std::vector<std::uint64_t>, GroupField::LastAnswerNs>,
                   Computed<"missed", std::vector<std::uint32_t>, GroupField::Missed>,
                   Computed<"last_states", States, GroupField::LastStates>,
                   Computed<"clamped", Clamped, GroupField::Clamped>,
                   Computed<"watchdog_ms", std::optional<std::uint64_t>, GroupField::WatchdogMs>,
                   Computed<"max_state_age_ms", std::uint64_t, GroupField::MaxStateAgeMs>,
                   Computed<"skipped", std::uint64_t, GroupField::Skipped>,
                   Computed<"health", HealthRecord, GroupField::Health>>,
    Repr>::type;

using RobotConstructor =
    HoldingConstructor<Robot,
                       "Several MotorGroups, each on its own bus, served in one exchange per call: every group's\n"
                       "commands out, then one wait on all the buses until every motor has answered or timeout_ms\n"
                       "(default: the longest of the groups') has passed. Each group's limits, mode and watchdog\n"
                       "hold for its motors; on_fault and on_exit are the Robot's. settle as MotorGroup's.",
                       Arg<"groups", Each<Group>>, Arg<"timeout_ms", std::optional<std::uint64_t>, "None">,
                       KwOnly<Arg<"spin_us", SpinUs, "0">>, KwOnly<Arg<"on_fault", OnFault, "'report'">>,
                       KwOnly<Arg<"on_exit", OnExit, "'disable'">>, KwOnly<Arg<"settle", bool, "True">>>;
using RobotClass = typename WithTicks<
    Robot, typename Join<Ticks<Robot>, SafetyCalls<Robot>>::type, RobotConstructor,
    ComputedFields<Computed<"groups", std::vector<Group>, RobotField::Groups>,
                   Computed<"timeout_ms", std::uint64_t, RobotField::TimeoutMs>,
                   Computed<"spin_us", std::uint64_t, RobotField::SpinUs>,
                   Computed<"last_answer_ns", std::vector<std::uint64_t>, RobotField::LastAnswerNs>,
                   Computed<"missed", std::vector<std::uint32_t>, RobotField::Missed>,
                   Computed<"last_states", States, RobotField::LastStates>,
                   Computed<"clamped", Clamped, RobotField::Clamped>,
                   Computed<"health", std::vector<HealthRecord>, RobotField::Health>>,
    Repr>::type;

using JointLimitsClass = Block<
    LimitsValue,
    MakingConstructor<LimitsValue, &make_joint_limits,
                      "Limits a command cannot cross: the target position is clamped into the window, with\n"
                      "max_step to at most that many radians from the motor's last measured position; velocities\n"
                      "to plus or minus their limit, and a VEL command at a window's edge never further out; kp\n"
                      "and kd to at most their bounds; and torque bounds all a command asks of the motor: at its\n"
                      "last measured state, kp*(q - pos) + kd*(dq - vel) + tau (FORCE_POS: its current limit).",
                      Arg<"position", Window>, Arg<"max_step", std::optional<double>, "None">,
                      Arg<"velocity", std::optional<double>, "None">, Arg<"torque", std::optional<double>, "None">,
                      Arg<"kp", std::optional<double>, "None">, Arg<"kd", std::optional<double>, "None">>,
    ComputedFields<Computed<"position", Window, LimitsField::Position>,
                   Computed<"max_step", std::optional<double>, LimitsField::MaxStep>,
                   Computed<"velocity", std::optional<double>, LimitsField::Velocity>,
                   Computed<"torque", std::optional<double>, LimitsField::Torque>,
                   Computed<"kp", std::optional<double>, LimitsField::Kp>,
                   Computed<"kd", std::optional<double>, LimitsField::Kd>>,
    Repr>;
using MotorInfoClass =
    Block<MotorInfo, MotorInfoFields,
          ClassDoc<"A motor that answered scan(): its ids, control mode, limits (registers 21-23), versions and serial.">,
          Repr>;
using RegisterInfoClass =
    Block<RegisterEntry, RegisterFields,
          ClassDoc<"One register of the motors' table: its number, name, type ('float' or 'int') and whether it is "
                   "read-only.">,
          Repr>;
using DecodedFrameClass =
    Block<DecodedFrame, DecodedFrameFields,
          ClassDoc<"One CAN frame as decode_frame() read it: its kind, the motor it concerns, its values and, for "
                   "feedback, the status; for an error frame, what it reports and the controller's state.">,
          Repr>;
using BusHealthClass =
    Block<HealthRecord, HealthFields,
          ClassDoc<"One interface's bus health as bus_health() read it: frames out and in, stale replies, "
                   "unsolicited frames, waits for transmit room, error frames by class and the controller's "
                   "state ('error-active', 'error-warning', 'error-passive' or 'bus-off').">,
          Repr>;
using LoopClass = Block<
    LoopObject,
    MakingConstructor<LoopObject, &make_loop,
                      "A fixed-rate loop: exactly one of rate_hz or period_s. Iterating yields tick numbers n:\n"
                      "0 at once, starting the clock, then each n at its deadline start + n x period (on\n"
                      "CLOCK_MONOTONIC, with the interpreter lock released). A body that ends after the next\n"
                      "deadline is an overrun: counted, and the loop goes on at the first deadline still ahead,\n"
                      "skipping the numbers of the periods missed. With spin_us the wait sleeps until that long before the deadline\n"
                      "and busy-waits the rest: less jitter for CPU time. Starting sets the thread's timer slack\n"
                      "to 1 ns, since the default 50 us would make every wake-up that late.",
                      Arg<"rate_hz", std::optional<double>, "None">, Arg<"period_s", std::optional<double>, "None">,
                      KwOnly<Arg<"spin_us", SpinUs, "0">>>,
    Iterates<LoopObject, LoopCall::Next, std::uint64_t>,
    Call<LoopObject, "wait", LoopCall::Next, std::uint64_t,
         "End this tick and wait for the next deadline, as one iteration does; its tick number.">,
    Call<LoopObject, "stats", LoopCall::Stats, loop::Stats, "What the loop has measured so far.">,
    OwnComputed<Computed<"period_s", double, LoopField::PeriodS>, Computed<"ticks", std::uint64_t, LoopField::Ticks>,
                Computed<"deadline_ns", std::uint64_t, LoopField::DeadlineNs>>,
    Repr>;
using LoopStatsFields =
    Fields<Field<"ticks", &loop::Stats::ticks>, Field<"overruns", &loop::Stats::overruns>,
           Field<"p50_us", &loop::Stats::p50_us>, Field<"p99_us", &loop::Stats::p99_us>,
           Field<"max_us", &loop::Stats::max_us>, Field<"busy", &loop::Stats::busy>>;
using LoopStatsClass =
    Block<loop::Stats, LoopStatsFields,
          ClassDoc<"What a Loop has measured: ticks begun, overruns, wake-up lateness (p50, p99, max, in us) and the "
                   "share of the period its bodies took.">,
          Repr>;

using Classes = std::tuple<Group, Robot, LimitsValue, MotorInfo, RegisterEntry, LoopObject, loop::Stats, DecodedFrame,
                           HealthRecord>;
using Blocks = std::tuple<MotorGroupClass, RobotClass, JointLimitsClass, MotorInfoClass, RegisterInfoClass, LoopClass,
                          LoopStatsClass, DecodedFrameClass, BusHealthClass>;

// ---- module attributes made at import ------------------------------------------------------

struct ModeName {
    const char* name;
    std::uint32_t value;
};
inline constexpr std::array<ModeName, 4> kModes{{{"MIT", damiao::kModeMit},
                                                 {"POS_VEL", damiao::kModePosVel},
                                                 {"VEL", damiao::kModeVel},
                                                 {"FORCE_POS", damiao::kModeForcePos}}};

// The row layouts of the *_into calls, so Python code reads them rather than
// repeating numbers: {call: its command columns} and the state columns.
inline constexpr char kCommandColumnsName[] = "COMMAND_COLUMNS";
inline constexpr char kStateColumnsName[] = "STATE_COLUMNS";
// The error classes by bit (can::kErrorClasses): the keys of
// BusHealth.error_frames, and what an error frame's "classes" value holds.
inline constexpr char kErrorClassesName[] = "ERROR_CLASSES";

// Status: an IntEnum of damiao::kStatuses, with an is_fault property; and
// status(), which names the code of a MotorState (or a bare code).
inline constexpr char kStatusClass[] = "Status";
inline constexpr char kStatusDoc[] = "The status nibble of a motor's feedback (MotorState.error), by name.";
inline constexpr char kControlModeDoc[] = "A motor's control mode (register 10, CTRL_MODE).";
inline constexpr char kIsFaultDoc[] = "True for a latched fault (0x8-0xE): the motor drives nothing until cleared.";
struct ImportFunction {
    const char* name;
    const char* params;       // as its text signature shows them
    const char* stub_params;  // the same, typed
    const char* stub_result;
    const char* doc;
};
inline constexpr ImportFunction kStatusFunction{
    "status", "state, /", "state: torvane.MotorState | int, /", "Status | int",
    "The Status member of a MotorState's status code, or of a code; the plain int for a code not in Status."};

// The exceptions, each after its base: one table, which the module makes
// them from, raises them by (Failure, the index here) and writes their stubs
// from. `fields`: the stub lines of attributes the class carries.
enum class Failure { Motor, Timeout, Bus, Register, Verify, Fault };
struct ExceptionDecl {
    Failure failure;
    const char* name;
    const char* base;  // null: RuntimeError
    const char* doc;
    const char* fields = "";
};
inline constexpr std::array<ExceptionDecl, 6> kExceptions{{
    {Failure::Motor, "MotorError", nullptr, "Base of every torvane_ext failure."},
    {Failure::Timeout, "MotorTimeout", "MotorError", "A motor did not answer in time."},
    {Failure::Bus, "BusError", "MotorError", "The bus failed; errno holds the OS error number, or None.",
     "    errno: int | None\n"},
    {Failure::Register, "RegisterError", "MotorError", "A register unknown, read-only, or given a value of the wrong type."},
    {Failure::Verify, "VerifyError", "MotorError", "A written value or control mode did not read back as written."},
    {Failure::Fault, "MotorFault", "MotorError",
     "A motor reported a fault; .faults maps motor indexes to Status, .states is that tick's.",
     "    faults: dict[int, Status]\n    states: tuple[torvane.MotorState | None, ...]\n"},
}};
static_assert([] {
    for (std::size_t i = 0; i < kExceptions.size(); ++i)
        if (static_cast<std::size_t>(kExceptions[i].failure) != i) return false;
    return true;
}(), "kExceptions is in Failure's order");

}  // namespace torvane::ext

namespace torvane::py {

template <>
inline constexpr const char* class_name<ext::Group> = "MotorGroup";
template <>
inline constexpr const char* class_name<ext::Robot> = "Robot";
template <>
inline constexpr const char* class_name<ext::LimitsValue> = "JointLimits";
template <>
inline constexpr const char* class_name<ext::MotorInfo> = "MotorInfo";
template <>
inline constexpr const char* class_name<ext::RegisterEntry> = "RegisterInfo";
template <>
inline constexpr const char* class_name<ext::DecodedFrame> = "DecodedFrame";
template <>
inline constexpr const char* class_name<ext::HealthRecord> = "BusHealth";

namespace stub_types {
inline TypeInfo in_ext(const char* name) { return in_module(ext::kModule, name); }
}  // namespace stub_types

template <typename T>
    requires(std::is_same_v<T, ext::Group> || std::is_same_v<T, ext::Robot> || std::is_same_v<T, ext::LimitsValue> ||
             std::is_same_v<T, ext::MotorInfo> || std::is_same_v<T, ext::RegisterEntry> ||
             std::is_same_v<T, ext::DecodedFrame> || std::is_same_v<T, ext::HealthRecord>)
struct PyTypeInfo<T> {
    static TypeInfo type_input() { return stub_types::in_ext(class_name<T>); }
    static TypeInfo type_output() { return type_input(); }
};

#define TORVANE_EXT_STUB_TYPE(T, input, output)              \
    template <>                                              \
    struct PyTypeInfo<T> {                                   \
        static TypeInfo type_input() { return input; }       \
        static TypeInfo type_output() { return output; }     \
    }

TORVANE_EXT_STUB_TYPE(ext::ModeValue, stub_types::in_ext("ControlMode | int"), stub_types::in_ext("ControlMode | int"));
TORVANE_EXT_STUB_TYPE(damiao::RegisterValue, stub_types::builtin("int | float"), stub_types::builtin("int | float"));
TORVANE_EXT_STUB_TYPE(ext::RegisterArg, stub_types::builtin("int | str"), stub_types::builtin("int"));
TORVANE_EXT_STUB_TYPE(ext::NumberArg, stub_types::builtin("int | float"), stub_types::builtin("int | float"));
TORVANE_EXT_STUB_TYPE(ext::ModeArg, stub_types::builtin("int"), stub_types::in_ext("ControlMode"));
TORVANE_EXT_STUB_TYPE(ext::VerifyArg, stub_types::builtin("bool"), stub_types::builtin("bool"));
TORVANE_EXT_STUB_TYPE(ext::ScanIds, (TypeInfo{"typing.Iterable[int] | None", {ModuleRef{"typing"}}}),
                      (TypeInfo{"typing.Iterable[int] | None", {ModuleRef{"typing"}}}));
TORVANE_EXT_STUB_TYPE(ext::ScanTimeout, stub_types::builtin("int"), stub_types::builtin("int"));
TORVANE_EXT_STUB_TYPE(std::vector<ext::MotorInfo>, stub_types::builtin("list[MotorInfo]"),
                      stub_types::builtin("list[MotorInfo]"));
TORVANE_EXT_STUB_TYPE(std::vector<damiao::Damiao>, (TypeInfo{"typing.Sequence[torvane.Damiao]", {ModuleRef{"typing"}, ModuleRef{"torvane"}}}),
                      (TypeInfo{"tuple[torvane.Damiao, ...]", {ModuleRef{"torvane"}}}));
TORVANE_EXT_STUB_TYPE(ext::States, stub_types::builtin("tuple[torvane.MotorState | None, ...]"),
                      (TypeInfo{"tuple[torvane.MotorState | None, ...]", {ModuleRef{"torvane"}}}));
TORVANE_EXT_STUB_TYPE(ext::Each<damiao::Damiao>,
                      (TypeInfo{"typing.Sequence[torvane.Damiao]", {ModuleRef{"typing"}, ModuleRef{"torvane"}}}),
                      stub_types::builtin("None"));
TORVANE_EXT_STUB_TYPE(ext::Each<damiao::MitSetpoint>,
                      (TypeInfo{"typing.Sequence[torvane.MitSetpoint]", {ModuleRef{"typing"}, ModuleRef{"torvane"}}}),
                      stub_types::builtin("None"));
TORVANE_EXT_STUB_TYPE(ext::Each<damiao::PosVelCommand>,
                      (TypeInfo{"typing.Sequence[tuple[float, float]]", {ModuleRef{"typing"}}}),
                      stub_types::builtin("None"));
TORVANE_EXT_STUB_TYPE(ext::Each<damiao::VelCommand>, (TypeInfo{"typing.Sequence[float]", {ModuleRef{"typing"}}}),
                      stub_types::builtin("None"));
TORVANE_EXT_STUB_TYPE(ext::Each<damiao::ForcePosCommand>,
                      (TypeInfo{"typing.Sequence[tuple[float, float, float]]", {ModuleRef{"typing"}}}),
                      stub_types::builtin("None"));

TORVANE_EXT_STUB_TYPE(ext::Each<ext::Group>, (TypeInfo{"typing.Sequence[MotorGroup]", {ModuleRef{"typing"}}}),
                      stub_types::builtin("None"));
TORVANE_EXT_STUB_TYPE(std::vector<ext::Group>, stub_types::builtin("tuple[MotorGroup, ...]"),
                      stub_types::builtin("tuple[MotorGroup, ...]"));
TORVANE_EXT_STUB_TYPE(std::vector<std::uint64_t>, stub_types::builtin("tuple[int, ...]"),
                      stub_types::builtin("tuple[int, ...]"));
TORVANE_EXT_STUB_TYPE(std::vector<std::uint32_t>, stub_types::builtin("tuple[int, ...]"),
                      stub_types::builtin("tuple[int, ...]"));
TORVANE_EXT_STUB_TYPE(ext::Answered, stub_types::builtin("int"), stub_types::builtin("int"));
TORVANE_EXT_STUB_TYPE(ext::OnFault, (TypeInfo{"typing.Literal['report', 'raise', 'disable']", {ModuleRef{"typing"}}}),
                      stub_types::builtin("str"));
TORVANE_EXT_STUB_TYPE(ext::OnExit, (TypeInfo{"typing.Literal['disable', 'keep']", {ModuleRef{"typing"}}}),
                      stub_types::builtin("str"));
TORVANE_EXT_STUB_TYPE(ext::WatchdogMs, (TypeInfo{"typing.Optional[int]", {ModuleRef{"typing"}}}),
                      (TypeInfo{"typing.Optional[int]", {ModuleRef{"typing"}}}));
TORVANE_EXT_STUB_TYPE(ext::LimitsArg, (TypeInfo{"typing.Optional[typing.Sequence[JointLimits | None]]", {ModuleRef{"typing"}}}),
                      stub_types::builtin("None"));
TORVANE_EXT_STUB_TYPE(ext::ModeCheck, (TypeInfo{"typing.Optional[int]", {ModuleRef{"typing"}}}),
                      (TypeInfo{"typing.Optional[int]", {ModuleRef{"typing"}}}));
TORVANE_EXT_STUB_TYPE(ext::AnyObject, stub_types::builtin("object"), stub_types::builtin("object"));
TORVANE_EXT_STUB_TYPE(ext::Faults, stub_types::builtin("dict[int, Status]"), stub_types::builtin("dict[int, Status]"));
TORVANE_EXT_STUB_TYPE(ext::Clamped, stub_types::builtin("tuple[int, ...]"), stub_types::builtin("tuple[int, ...]"));
TORVANE_EXT_STUB_TYPE(ext::Window, stub_types::builtin("tuple[float, float]"), stub_types::builtin("tuple[float, float]"));
TORVANE_EXT_STUB_TYPE(ext::FrameId, stub_types::builtin("int"), stub_types::builtin("int"));
TORVANE_EXT_STUB_TYPE(ext::StateName, stub_types::builtin("str"), stub_types::builtin("str"));
TORVANE_EXT_STUB_TYPE(ext::ErrorCounts, stub_types::builtin("dict[str, int]"), stub_types::builtin("dict[str, int]"));
TORVANE_EXT_STUB_TYPE(std::vector<ext::HealthRecord>, stub_types::builtin("tuple[BusHealth, ...]"),
                      stub_types::builtin("tuple[BusHealth, ...]"));
TORVANE_EXT_STUB_TYPE(ext::FrameData, (TypeInfo{"collections.abc.Buffer", {ModuleRef{"collections.abc"}}}),
                      (TypeInfo{"collections.abc.Buffer", {ModuleRef{"collections.abc"}}}));
TORVANE_EXT_STUB_TYPE(ext::MotorIds, (TypeInfo{"typing.Container[int]", {ModuleRef{"typing"}}}),
                      (TypeInfo{"typing.Container[int]", {ModuleRef{"typing"}}}));
TORVANE_EXT_STUB_TYPE(ext::AskedArg, (TypeInfo{"typing.Container[tuple[str, int, int]]", {ModuleRef{"typing"}}}),
                      (TypeInfo{"typing.Container[tuple[str, int, int]]", {ModuleRef{"typing"}}}));
TORVANE_EXT_STUB_TYPE(damiao::FrameKind, stub_types::builtin("str"), stub_types::builtin("str"));
TORVANE_EXT_STUB_TYPE(damiao::FrameValues, stub_types::builtin("dict[str, float | int]"),
                      stub_types::builtin("dict[str, float | int]"));
TORVANE_EXT_STUB_TYPE(ext::FeedbackStatus, stub_types::builtin("Status | int | None"),
                      stub_types::builtin("Status | int | None"));
template <std::size_t N>
struct PyTypeInfo<ext::Rows<N>> {
    static TypeInfo type_input() { return {"collections.abc.Buffer", {ModuleRef{"collections.abc"}}}; }
    static TypeInfo type_output() { return stub_types::builtin("None"); }
};
template <std::size_t N>
struct PyTypeInfo<ext::OutRows<N>> : PyTypeInfo<ext::Rows<N>> {};

#undef TORVANE_EXT_STUB_TYPE

}  // namespace torvane::py
