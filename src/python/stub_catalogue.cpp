// The signature records of every class, method block and module function,
// registered while the library loads. One static registration per record.
//
// Defaults appear only as "..." in the signature texts; the values themselves
// belong to the live classes.

#include "python/stub_catalogue.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace torvane::py {

constinit LoadList<PyClassInfo> py_class_infos;
constinit LoadList<PyMethodsInfo> py_methods_infos;
constinit LoadList<PyFunctionInfo> py_function_infos;

namespace {

constexpr const char* kModule = "torvane";

constexpr ClassKey kDamiaoKey{"Damiao"};
constexpr ClassKey kMitLimitsKey{"MitLimits"};
constexpr ClassKey kMitSetpointKey{"MitSetpoint"};
constexpr ClassKey kMotorStateKey{"MotorState"};
constexpr ClassKey kSocketCanTransportKey{"SocketCanTransport"};

constexpr TypeRef kFloat = type_input<float>;
constexpr TypeRef kFloatOut = type_output<float>;
constexpr TypeRef kU8Out = type_output<std::uint8_t>;
constexpr TypeRef kIdIn = type_input<std::uint16_t>;
constexpr TypeRef kIdOut = type_output<std::uint16_t>;
constexpr TypeRef kReprOut = type_output<std::string>;

constexpr MethodEntry repr_entry() { return {nullptr, "__repr__", {}, "", kReprOut, false, false}; }

// ---- class records ---------------------------------------------------------

constexpr PyClassInfo kDamiaoClass{&kDamiaoKey, "Damiao", "", {}, kModule};
constexpr PyClassInfo kMitLimitsClass{&kMitLimitsKey, "MitLimits", "", {}, kModule};
constexpr PyClassInfo kMitSetpointClass{&kMitSetpointKey, "MitSetpoint", "", {}, kModule};
constexpr PyClassInfo kMotorStateClass{&kMotorStateKey, "MotorState", "", {}, kModule};
constexpr PyClassInfo kSocketCanTransportClass{&kSocketCanTransportKey, "SocketCanTransport", "", {}, kModule};

const Registration<PyClassInfo> register_damiao_class{py_class_infos, kDamiaoClass};
const Registration<PyClassInfo> register_mit_limits_class{py_class_infos, kMitLimitsClass};
const Registration<PyClassInfo> register_mit_setpoint_class{py_class_infos, kMitSetpointClass};
const Registration<PyClassInfo> register_motor_state_class{py_class_infos, kMotorStateClass};
const Registration<PyClassInfo> register_socketcan_transport_class{py_class_infos, kSocketCanTransportClass};

// ---- Damiao: the bus commands ------------------------------------------------

constexpr ParamEntry kBusParams[] = {{"bus", type_input<PySocketCanTransport>}};
constexpr ParamEntry kMitControlParams[] = {{"bus", type_input<PySocketCanTransport>},
                                            {"setpoint", type_input<PyMitSetpoint>}};

constexpr MethodEntry kDamiaoCommands[] = {
    {nullptr, "enable", kBusParams, "", type_output<PyMotorState>, false, false},
    {nullptr, "disable", kBusParams, "", type_output<PyMotorState>, false, false},
    {nullptr, "set_zero", kBusParams, "", type_output<PyMotorState>, false, false},
    {nullptr, "clear_error", kBusParams, "", type_output<PyMotorState>, false, false},
    {nullptr, "mit_control", kMitControlParams, "", type_output<PyMotorState>, false, false},
    {nullptr, "ensure_mit_mode", kBusParams,
     "Force the firmware into MIT control mode (register 10 = 1). Some\n"
     "motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is\n"
     "silently ignored.",
     type_output<void>, false, false},
};

constexpr PyMethodsInfo kDamiaoCommandBlock{&kDamiaoKey, {}, kDamiaoCommands, nullptr};
const Registration<PyMethodsInfo> register_damiao_commands{py_methods_infos, kDamiaoCommandBlock};

// ---- Damiao: constructor, identifiers, repr ----------------------------------

constexpr ParamEntry kDamiaoNewParams[] = {{"motor_id", kIdIn},
                                           {"master_id", kIdIn},
                                           {"limits", type_input<std::optional<PyMitLimits>>},
                                           {"timeout_ms", type_input<std::uint64_t>}};
constexpr ConstructorEntry kDamiaoNew{kDamiaoNewParams, "motor_id,master_id,limits = ...,timeout_ms = ..."};
constexpr GetterEntry kDamiaoGetters[] = {{"motor_id", kIdOut}, {"master_id", kIdOut}};
constexpr MethodEntry kDamiaoMethods[] = {repr_entry()};

constexpr PyMethodsInfo kDamiaoCoreBlock{&kDamiaoKey, kDamiaoGetters, kDamiaoMethods, &kDamiaoNew};
const Registration<PyMethodsInfo> register_damiao_core{py_methods_infos, kDamiaoCoreBlock};

// ---- MitLimits ---------------------------------------------------------------

constexpr ParamEntry kLimitsParams[] = {
    {"p_max", kFloat}, {"v_max", kFloat}, {"kp_max", kFloat}, {"kd_max", kFloat}, {"t_max", kFloat}};
constexpr ConstructorEntry kLimitsNew{kLimitsParams, "p_max = ...,v_max = ...,kp_max = ...,kd_max = ...,t_max = ..."};
constexpr GetterEntry kLimitsGetters[] = {
    {"p_max", kFloatOut}, {"v_max", kFloatOut}, {"kp_max", kFloatOut}, {"kd_max", kFloatOut}, {"t_max", kFloatOut}};

constexpr MethodEntry preset(const char* name) {
    return {nullptr, name, {}, "", type_output<PyMitLimits>, true, false};
}

constexpr MethodEntry kLimitsMethods[] = {
    repr_entry(),         preset("dm3507"),  preset("dm4310"),   preset("dm4310p"), preset("dm4340"),
    preset("dm4340p"),    preset("dm6006"),  preset("dm6248p"),  preset("dm8006"),  preset("dm8009"),
    preset("dm10010"),    preset("dm10010l"), preset("dmg6215"), preset("dmh3510"), preset("dmh6220"),
    preset("dmjh11"),
};

constexpr PyMethodsInfo kLimitsBlock{&kMitLimitsKey, kLimitsGetters, kLimitsMethods, &kLimitsNew};
const Registration<PyMethodsInfo> register_mit_limits{py_methods_infos, kLimitsBlock};

// ---- MitSetpoint and mit_setpoint --------------------------------------------

constexpr const char* kSetpointSignature = "q = ...,dq = ...,kp = ...,kd = ...,tau = ...";
constexpr ParamEntry kSetpointParams[] = {{"q", kFloat}, {"dq", kFloat}, {"kp", kFloat}, {"kd", kFloat}, {"tau", kFloat}};
constexpr ConstructorEntry kSetpointNew{kSetpointParams, kSetpointSignature};
constexpr GetterEntry kSetpointGetters[] = {
    {"q", kFloatOut}, {"dq", kFloatOut}, {"kp", kFloatOut}, {"kd", kFloatOut}, {"tau", kFloatOut}};
constexpr MethodEntry kSetpointMethods[] = {repr_entry()};

constexpr PyMethodsInfo kSetpointBlock{&kMitSetpointKey, kSetpointGetters, kSetpointMethods, &kSetpointNew};
const Registration<PyMethodsInfo> register_mit_setpoint{py_methods_infos, kSetpointBlock};

constexpr PyFunctionInfo kMitSetpointFunction{"mit_setpoint",
                                              kSetpointParams,
                                              type_output<PyMitSetpoint>,
                                              "Build a `MitSetpoint` (handy when keyword args are awkward).",
                                              kSetpointSignature,
                                              nullptr};
const Registration<PyFunctionInfo> register_mit_setpoint_function{py_function_infos, kMitSetpointFunction};

// ---- MotorState --------------------------------------------------------------

constexpr GetterEntry kStateGetters[] = {{"motor_id", kU8Out},       {"error", kU8Out},     {"position", kFloatOut},
                                         {"velocity", kFloatOut},    {"torque", kFloatOut}, {"t_mos", kU8Out},
                                         {"t_rotor", kU8Out}};
constexpr MethodEntry kStateMethods[] = {repr_entry()};

constexpr PyMethodsInfo kStateBlock{&kMotorStateKey, kStateGetters, kStateMethods, nullptr};
const Registration<PyMethodsInfo> register_motor_state{py_methods_infos, kStateBlock};

// ---- SocketCanTransport ------------------------------------------------------

constexpr ParamEntry kBusNewParams[] = {{"iface", type_input<std::string>}};
constexpr ConstructorEntry kBusNew{kBusNewParams, nullptr};

constexpr PyMethodsInfo kBusBlock{&kSocketCanTransportKey, {}, {}, &kBusNew};
const Registration<PyMethodsInfo> register_socketcan_transport{py_methods_infos, kBusBlock};

}  // namespace

}  // namespace torvane::py
