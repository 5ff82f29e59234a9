"""Every class and function of torvane, with the types its stubs give them.

Type-checks under `mypy --strict`. Run it with a CAN interface name to drive
one motor (command id 0x01, feedback id 0x11):

    python examples/typed_usage.py can0
"""

from __future__ import annotations

import signal
import sys
from typing import Optional

import torvane
from torvane import Damiao, MitLimits, MitSetpoint, MotorState, SocketCanTransport, mit_setpoint


def limits_for(model: str) -> Optional[MitLimits]:
    presets = {
        "dm4310": MitLimits.dm4310,
        "dm4340": MitLimits.dm4340,
        "dm8009": MitLimits.dm8009,
        "dm10010l": MitLimits.dm10010l,
    }
    make = presets.get(model)
    return make() if make is not None else None


def describe(state: MotorState) -> str:
    temperatures: tuple[int, int] = (state.t_mos, state.t_rotor)
    return (
        f"motor {state.motor_id:#x} error {state.error}: "
        f"q={state.position:.3f} dq={state.velocity:.3f} tau={state.torque:.3f} temps={temperatures}"
    )


def hold(motor: Damiao, bus: SocketCanTransport, target: float) -> MotorState:
    setpoint: MitSetpoint = mit_setpoint(q=target, kp=20.0, kd=0.5)
    gains: float = setpoint.kp + setpoint.kd
    assert gains > 0.0
    return motor.mit_control(bus, setpoint)


def main(iface: str) -> int:
    # `kill PID` stops the motors as Ctrl-C does.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    custom = MitLimits(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0)
    limits = limits_for("dm4310") or custom
    span: float = limits.p_max + limits.v_max + limits.kp_max + limits.kd_max + limits.t_max
    motor = Damiao(0x01, 0x11, limits=limits, timeout_ms=50)
    ids: tuple[int, int] = (motor.motor_id, motor.master_id)
    print(torvane.__version__, repr(motor), ids, span, MitSetpoint(tau=0.1))

    bus = SocketCanTransport(iface)
    motor.ensure_mit_mode(bus)
    print(describe(motor.clear_error(bus)))
    print(describe(motor.enable(bus)))
    try:
        print(describe(hold(motor, bus, 0.0)))
        print(describe(motor.set_zero(bus)))
    finally:
        print(describe(motor.disable(bus)))
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(f"usage: {sys.argv[0]} IFACE", file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
