"""Instances made without their class's own constructor.

The classes are not immutable, so Python can replace a class's __new__ with
one that calls object.__new__; the instance then gets the memory the class
allocates and nothing its constructor would have put there. Such an instance
holds its record's default (a bus: no socket), and nothing done with it may
crash the interpreter or close a descriptor it never opened. Each case runs
in an interpreter of its own, whose standard input stays open throughout."""

import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import gc, os, torvane

def forged(cls):
    cls.__new__ = lambda c, *args, **kwargs: object.__new__(c)
    return cls()

def attempt(call):
    try:
        return repr(call())
    except Exception as e:
        return f"{type(e).__name__}: {e}"

def destroy(*names):
    for name in names:
        del globals()[name]  # the last reference
    gc.collect()
    os.fstat(0)
    return "destroyed, stdin open"
"""

NOT_OPEN = "RuntimeError: SocketCanTransport is not open: it was made without its constructor"
COMMANDS = ["enable", "disable", "set_zero", "clear_error", "ensure_mit_mode"]

CASES = {
    "bus": (
        """
        bus = forged(torvane.SocketCanTransport)
        motor = torvane.Damiao(1, 0x11)
        for name in COMMANDS:
            print(attempt(lambda: getattr(motor, name)(bus)))
        print(attempt(lambda: motor.mit_control(bus, torvane.MitSetpoint(q=1.0))))
        print(attempt(lambda: motor.enable(bus=bus)))
        print(destroy("bus"))
        """,
        [NOT_OPEN] * 7 + ["destroyed, stdin open"],
    ),
    "bus-unused": (
        """
        bus = forged(torvane.SocketCanTransport)
        print(type(bus).__name__, repr(bus).startswith("<torvane.SocketCanTransport object at "))
        print(destroy("bus"))
        """,
        ["SocketCanTransport True", "destroyed, stdin open"],
    ),
    "damiao": (
        """
        motor = forged(torvane.Damiao)
        print(repr(motor), motor.motor_id, motor.master_id)
        bus = forged(torvane.SocketCanTransport)
        for name in COMMANDS:
            print(attempt(lambda: getattr(motor, name)(bus)))
        print(attempt(lambda: motor.mit_control(bus, torvane.MitSetpoint())))
        print(attempt(lambda: motor.enable(None)))
        print(destroy("motor", "bus"))
        """,
        ["Damiao(motor_id=0x0, master_id=0x0) 0 0"] + [NOT_OPEN] * 6
        + ["TypeError: argument 'bus': 'NoneType' object cannot be converted to 'SocketCanTransport'",
           "destroyed, stdin open"],
    ),
    "values": (
        """
        limits = forged(torvane.MitLimits)
        setpoint = forged(torvane.MitSetpoint)
        state = forged(torvane.MotorState)
        print(repr(limits), limits.p_max, limits.t_max)
        print(repr(setpoint), setpoint.q, setpoint.tau)
        print(repr(state), state.motor_id, state.position, state.t_rotor)
        print(repr(limits.dm4340()))
        motor = torvane.Damiao(1, 2, limits=limits)
        bus = forged(torvane.SocketCanTransport)
        print(attempt(lambda: motor.mit_control(bus, setpoint)))
        print(destroy("motor", "bus", "limits", "setpoint", "state"))
        """,
        ["MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=10) 12.5 10.0",
         "MitSetpoint(q=0, dq=0, kp=0, kd=0, tau=0) 0.0 0.0",
         "MotorState(motor_id=0, error=0, position=0.0000, velocity=0.0000, torque=0.0000, t_mos=0, t_rotor=0) "
         "0 0.0 0",
         "MitLimits(p_max=12.5, v_max=10, kp_max=500, kd_max=5, t_max=28)",
         NOT_OPEN, "destroyed, stdin open"],
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_forged_instance_fails_cleanly(case):
    code, expected = CASES[case]
    script = PRELUDE + f"COMMANDS = {COMMANDS!r}\n" + textwrap.dedent(code)
    result = subprocess.run([sys.executable, "-c", script], stdin=subprocess.PIPE, capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"
    assert result.stderr == ""
    assert result.stdout.splitlines() == expected
