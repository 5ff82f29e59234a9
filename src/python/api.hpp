#pragma once
// The module as Python sees it: each class, method, property and function
// declared once (declare.hpp), in the order Python lists them. The functions
// declared here are defined beside their classes (damiao_class.cpp, ...),
// without Python like this header, which the stub generator reads too.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "damiao/driver.hpp"
#include "python/declare.hpp"

namespace torvane::py::api {

using namespace decl;
using damiao::Damiao;
using damiao::MitLimits;
using damiao::MitSetpoint;
using damiao::MotorState;

// ---- MitLimits, MitSetpoint, MotorState, mit_setpoint ------------------------------

using LimitsFields = Fields<Field<"p_max", &MitLimits::p_max, "12.5">, Field<"v_max", &MitLimits::v_max, "30.0">,
                            Field<"kp_max", &MitLimits::kp_max, "500.0">, Field<"kd_max", &MitLimits::kd_max, "5.0">,
                            Field<"t_max", &MitLimits::t_max, "10.0">>;
using SetpointFields = Fields<Field<"q", &MitSetpoint::q, "0.0">, Field<"dq", &MitSetpoint::dq, "0.0">,
                              Field<"kp", &MitSetpoint::kp, "0.0">, Field<"kd", &MitSetpoint::kd, "0.0">,
                              Field<"tau", &MitSetpoint::tau, "0.0">>;
using StateFields = Fields<Field<"motor_id", &MotorState::motor_id>, Field<"error", &MotorState::error>,
                           Field<"position", &MotorState::position>, Field<"velocity", &MotorState::velocity>,
                           Field<"torque", &MotorState::torque>, Field<"t_mos", &MotorState::t_mos>,
                           Field<"t_rotor", &MotorState::t_rotor>>;

std::string repr_text(const MitLimits& limits);
std::string repr_text(const MitSetpoint& setpoint);
std::string repr_text(const MotorState& state);

using MitLimitsClass = Block<MitLimits, Constructor<LimitsFields>, LimitsFields, Repr, Presets<damiao::kPresets>>;
using MitSetpointClass = Block<MitSetpoint, Constructor<SetpointFields>, SetpointFields, Repr>;
using MotorStateClass = Block<MotorState, StateFields, Repr>;
using MitSetpointFunction =
    Function<"mit_setpoint", "Build a `MitSetpoint` (handy when keyword args are awkward).", SetpointFields>;

// ---- Damiao --------------------------------------------------------------------------

std::string repr_text(const Damiao& d);
void set_limits(Damiao& d, std::optional<MitLimits> limits);  // None keeps the default
void set_timeout(Damiao& d, std::uint64_t timeout_ms);
damiao::Result<void> ensure_mit_mode(const Damiao& d, can::CanTransport& bus);

using MotorId = Field<"motor_id", &Damiao::motor_id>;
using MasterId = Field<"master_id", &Damiao::master_id>;
using DamiaoClass = Block<Damiao,
                          Constructor<MotorId, MasterId, Field<"limits", &set_limits, "None">,
                                      Field<"timeout_ms", &set_timeout, "20">>,
                          Fields<MotorId, MasterId>, Repr>;

using BusArg = Arg<"bus", Bus>;
using DamiaoCommands = Block<Damiao, Method<"enable", &Damiao::enable, "", BusArg>,
                             Method<"disable", &Damiao::disable, "", BusArg>,
                             Method<"set_zero", &Damiao::set_zero, "", BusArg>,
                             Method<"clear_error", &Damiao::clear_error, "", BusArg>,
                             Method<"mit_control", &Damiao::mit_control, "", BusArg, Arg<"setpoint", MitSetpoint>>,
                             Method<"ensure_mit_mode", &ensure_mit_mode,
                                    "Force the firmware into MIT control mode (register 10 = 1). Some\n"
                                    "motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is\n"
                                    "silently ignored.",
                                    BusArg>>;

// ---- SocketCanTransport ----------------------------------------------------------------

can::Result<void> open_bus(Bus& bus, std::string_view iface);

using SocketCanTransportClass = Block<Bus, Constructor<Field<"iface", &open_bus>>>;

// ---- the module ------------------------------------------------------------------------

// The classes in the order the module adds them, and the blocks they are made of.
using Classes = std::tuple<MitLimits, MitSetpoint, MotorState, Damiao, Bus>;
using Blocks = std::tuple<MitLimitsClass, MitSetpointClass, MotorStateClass, DamiaoClass, DamiaoCommands,
                          SocketCanTransportClass>;
using Functions = std::tuple<MitSetpointFunction>;

}  // namespace torvane::py::api
