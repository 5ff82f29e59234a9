#pragma once
// The module as Python sees it: each class, method, property and function
// declared once (declare.hpp), in the order Python lists them. The operations
// named here that are not the core's own are defined beside their classes.
// No Python here: the stub generator reads this too.

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

using LimitsFields = Fields<Field<&MitLimits::p_max, "p_max", "12.5">, Field<&MitLimits::v_max, "v_max", "30.0">,
                            Field<&MitLimits::kp_max, "kp_max", "500.0">, Field<&MitLimits::kd_max, "kd_max", "5.0">,
                            Field<&MitLimits::t_max, "t_max", "10.0">>;
using SetpointFields = Fields<Field<&MitSetpoint::q, "q", "0.0">, Field<&MitSetpoint::dq, "dq", "0.0">,
                              Field<&MitSetpoint::kp, "kp", "0.0">, Field<&MitSetpoint::kd, "kd", "0.0">,
                              Field<&MitSetpoint::tau, "tau", "0.0">>;
using StateFields = Fields<Field<&MotorState::motor_id, "motor_id">, Field<&MotorState::error, "error">,
                           Field<&MotorState::position, "position">, Field<&MotorState::velocity, "velocity">,
                           Field<&MotorState::torque, "torque">, Field<&MotorState::t_mos, "t_mos">,
                           Field<&MotorState::t_rotor, "t_rotor">>;

using MitLimitsClass = Block<MitLimits, FieldConstructor<LimitsFields>, LimitsFields, Repr, Presets<damiao::kPresets>>;
using MitSetpointClass = Block<MitSetpoint, FieldConstructor<SetpointFields>, SetpointFields, Repr>;
using MotorStateClass = Block<MotorState, StateFields, Repr>;
using MitSetpointFunction =
    Function<"mit_setpoint", "Build a `MitSetpoint` (handy when keyword args are awkward).", SetpointFields>;

// ---- Damiao --------------------------------------------------------------------------

void init_damiao(Damiao& d, std::uint16_t motor_id, std::uint16_t master_id, std::optional<MitLimits> limits,
                 std::optional<std::uint64_t> timeout_ms);
damiao::Result<void> ensure_mit_mode(const Damiao& d, can::CanTransport& bus);

using DamiaoClass = Block<Damiao,
                          Constructor<&init_damiao, Arg<"motor_id", std::uint16_t>, Arg<"master_id", std::uint16_t>,
                                      Arg<"limits", std::optional<MitLimits>, "None">,
                                      Arg<"timeout_ms", std::uint64_t, "20">>,
                          Fields<Field<&Damiao::motor_id, "motor_id">, Field<&Damiao::master_id, "master_id">>, Repr>;

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

using SocketCanTransportClass = Block<Bus, Constructor<&open_bus, Arg<"iface", std::string>>>;

// ---- the module ------------------------------------------------------------------------

// The classes in the order the module adds them, and the blocks they are made of.
using Classes = std::tuple<MitLimits, MitSetpoint, MotorState, Damiao, Bus>;
using Blocks = std::tuple<MitLimitsClass, MitSetpointClass, MotorStateClass, DamiaoClass, DamiaoCommands,
                          SocketCanTransportClass>;
using Functions = std::tuple<MitSetpointFunction>;

}  // namespace torvane::py::api
