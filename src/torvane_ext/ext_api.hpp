#pragma once
// torvane_ext as Python sees it, declared once (python/declare.hpp): its
// functions, classes and module attributes. Without Python, like
// python/api.hpp: the stub generator reads it too. The operations are
// defined in operations.cpp, the Python side in the other files here.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "damiao/driver.hpp"
#include "damiao/group.hpp"
#include "damiao/status.hpp"
#include "python/api.hpp"
#include "python/declare.hpp"

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

struct Group;  // MotorGroup: holds its bus and motors (group_class.hpp)

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
       Arg<"ids", ScanIds, "None">, Arg<"timeout_ms", ScanTimeout, "20">>>;

using MotorInfoFields =
    Fields<Field<"motor_id", &MotorInfo::motor_id>, Field<"master_id", &MotorInfo::master_id>,
           Field<"mode", &MotorInfo::mode>, Field<"limits", &MotorInfo::limits>, Field<"hw_ver", &MotorInfo::hw_ver>,
           Field<"sw_ver", &MotorInfo::sw_ver>, Field<"serial", &MotorInfo::serial>>;
using RegisterFields = Fields<Field<"number", &RegisterEntry::number>, Field<"name", &RegisterEntry::name>,
                              Field<"type", &RegisterEntry::type>, Field<"read_only", &RegisterEntry::read_only>>;

enum class Frames { Enable, Disable, SetZero, ClearError, Refresh, Mit, PosVel, Vel, ForcePos };
enum class GroupField { Bus, Motors, TimeoutMs, Fd };

template <Str Name, Frames F, Str Doc, typename... A>
using Tick = GroupTick<Group, Name, F, States, Doc, A...>;

using GroupConstructor =
    HoldingConstructor<Group, Arg<"bus", Bus>, Arg<"motors", Each<Damiao>>,
                       Arg<"timeout_ms", std::optional<std::uint64_t>, "None">, Arg<"fd", bool, "False">>;
using MotorGroupClass = Block<
    Group, GroupConstructor,
    ComputedFields<Computed<"bus", Bus, GroupField::Bus>, Computed<"motors", std::vector<Damiao>, GroupField::Motors>,
                   Computed<"timeout_ms", std::uint64_t, GroupField::TimeoutMs>,
                   Computed<"fd", bool, GroupField::Fd>>,
    Tick<"enable", Frames::Enable, "">, Tick<"disable", Frames::Disable, "">, Tick<"set_zero", Frames::SetZero, "">,
    Tick<"clear_error", Frames::ClearError, "">, Tick<"refresh", Frames::Refresh, "">,
    Tick<"mit_control", Frames::Mit, "", Arg<"setpoints", Each<damiao::MitSetpoint>>>,
    Tick<"pos_vel", Frames::PosVel, "", Arg<"pairs", Each<damiao::PosVelCommand>>>,
    Tick<"vel", Frames::Vel, "", Arg<"velocities", Each<damiao::VelCommand>>>,
    Tick<"force_pos", Frames::ForcePos, "", Arg<"triples", Each<damiao::ForcePosCommand>>>, Repr>;
using MotorInfoClass = Block<MotorInfo, MotorInfoFields, Repr>;
using RegisterInfoClass = Block<RegisterEntry, RegisterFields, Repr>;

using Classes = std::tuple<Group, MotorInfo, RegisterEntry>;
using Blocks = std::tuple<MotorGroupClass, MotorInfoClass, RegisterInfoClass>;

// ---- module attributes made at import ------------------------------------------------------

struct ModeName {
    const char* name;
    std::uint32_t value;
};
inline constexpr std::array<ModeName, 4> kModes{{{"MIT", damiao::kModeMit},
                                                 {"POS_VEL", damiao::kModePosVel},
                                                 {"VEL", damiao::kModeVel},
                                                 {"FORCE_POS", damiao::kModeForcePos}}};

// Status: an IntEnum of damiao::kStatuses, with an is_fault property; and
// status(), which names the code of a MotorState (or a bare code).
inline constexpr char kStatusClass[] = "Status";
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

// The exceptions, each after its base.
struct ExceptionDecl {
    const char* name;
    const char* base;  // null: RuntimeError
    const char* doc;
};
inline constexpr std::array<ExceptionDecl, 5> kExceptions{{
    {"MotorError", nullptr, "Base of every torvane_ext failure."},
    {"MotorTimeout", "MotorError", "A motor did not answer in time."},
    {"BusError", "MotorError", "The bus failed; errno holds the OS error number, or None."},
    {"RegisterError", "MotorError", "A register unknown, read-only, or given a value of the wrong type."},
    {"VerifyError", "MotorError", "A written value or control mode did not read back as written."},
}};

}  // namespace torvane::ext

namespace torvane::py {

template <>
inline constexpr const char* class_name<ext::Group> = "MotorGroup";
template <>
inline constexpr const char* class_name<ext::MotorInfo> = "MotorInfo";
template <>
inline constexpr const char* class_name<ext::RegisterEntry> = "RegisterInfo";

namespace stub_types {
inline TypeInfo in_ext(const char* name) { return in_module(ext::kModule, name); }
}  // namespace stub_types

template <typename T>
    requires(std::is_same_v<T, ext::Group> || std::is_same_v<T, ext::MotorInfo> ||
             std::is_same_v<T, ext::RegisterEntry>)
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

#undef TORVANE_EXT_STUB_TYPE

}  // namespace torvane::py
