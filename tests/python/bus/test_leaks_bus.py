"""The entry points that need a bus, called many times: memory stays flat
and reference counts come back (see test_leaks.py for the rest).

These run where there is vcan, usually the qemu guest, where Python runs
about 16 times slower than natively, so the counts are far below the
million of the native check:

- TORVANE_BUS_LEAK_CALLS (default 20,000) calls of each failing bus call:
  the timeouts (timeout_ms=0: the frame still goes out and the call gives up
  at once), refused limits, a setpoint of the wrong class; as many opens and
  closes of a bus, and calls of each MotorState getter and of its repr (they
  need a bus only to get a MotorState at all);
- TORVANE_BUS_LEAK_EXCHANGES (default 500) answered exchanges with the
  simulator, a few milliseconds each in the guest; malloc's own count of
  bytes in use catches a native leak of even a few bytes a call here.
"""

import os
import sys

import pytest

import torvane
from canpeer import IFACE, Peer
from memwatch import calls_from_env, measure

pytestmark = pytest.mark.bus

CALLS = calls_from_env("TORVANE_BUS_LEAK_CALLS", 20_000)
EXCHANGES = calls_from_env("TORVANE_BUS_LEAK_EXCHANGES", 500)
WARMUP = 2_000
STATE_FIELDS = ("motor_id", "error", "position", "velocity", "torque", "t_mos", "t_rotor")


def check(usage, what):
    print(f"{what}: {usage.summary()}")
    assert not usage.problems(), f"{what}: {usage.summary()}"


@pytest.fixture(scope="module")
def bus():
    return torvane.SocketCanTransport(IFACE)


SETPOINT = torvane.mit_setpoint(q=1.0, kp=2.0)
REFUSED = torvane.Damiao(1, 0x11, torvane.MitLimits(kd_max=float("nan")), 1000)
QUIET = torvane.Damiao(0x7E, 0x7E, timeout_ms=0)  # no one answers on 0x7E

BUS_CALLS = {
    "enable timeout": (lambda b: QUIET.enable(b), RuntimeError),
    "disable timeout": (lambda b: QUIET.disable(b), RuntimeError),
    "set_zero timeout": (lambda b: QUIET.set_zero(b), RuntimeError),
    "clear_error timeout": (lambda b: QUIET.clear_error(b), RuntimeError),
    "mit_control timeout": (lambda b: QUIET.mit_control(b, SETPOINT), RuntimeError),
    "ensure_mit_mode timeout": (lambda b: QUIET.ensure_mit_mode(b), RuntimeError),
    "mit_control refused limits": (lambda b: REFUSED.mit_control(b, SETPOINT), ValueError),
    "mit_control setpoint class": (lambda b: QUIET.mit_control(b, b), TypeError),
}


@pytest.mark.parametrize("name", BUS_CALLS)
def test_failing_bus_calls(bus, name):
    fn, raises = BUS_CALLS[name]
    watch = [("bus", bus), ("setpoint", SETPOINT), ("motor", QUIET), ("refusing motor", REFUSED),
             ("class SocketCanTransport", torvane.SocketCanTransport), ("class Damiao", torvane.Damiao)]
    check(measure(lambda: fn(bus), CALLS, raises=raises, watch=watch, warmup=WARMUP), name)


def _open_fds():
    return sorted(os.listdir("/proc/self/fd"))


def test_open_and_close():
    before = _open_fds()
    usage = measure(lambda: torvane.SocketCanTransport(IFACE), CALLS, warmup=WARMUP,
                    watch=[("class SocketCanTransport", torvane.SocketCanTransport)])
    check(usage, "open and close")
    assert _open_fds() == before


@pytest.fixture(scope="module")
def state(bus):
    peer = Peer()
    try:
        peer.send(0x11, bytes.fromhex("1F7FFF7FF7FF282D"))
        return torvane.Damiao(1, 0x11, timeout_ms=1000).enable(bus)
    finally:
        peer.close()


@pytest.mark.parametrize("name", [*STATE_FIELDS, "repr"])
def test_motor_state_getters_and_repr(state, name):
    fn = (lambda: repr(state)) if name == "repr" else (lambda: getattr(state, name))
    check(measure(fn, CALLS, warmup=WARMUP, watch=[("state", state), ("class MotorState", torvane.MotorState)]),
          f"MotorState.{name}")


def test_answered_exchanges(bus, start_dmsim):
    start_dmsim("1:0x11:dm4310", args=["--mode", "1"], log=False)
    motor = torvane.Damiao(1, 0x11, timeout_ms=1000)
    calls = {
        "enable": lambda: motor.enable(bus),
        "mit_control": lambda: motor.mit_control(bus, SETPOINT),
        "ensure_mit_mode": lambda: motor.ensure_mit_mode(bus),
    }
    watch = [("bus", bus), ("setpoint", SETPOINT), ("motor", motor), ("class MotorState", torvane.MotorState)]
    for what, fn in calls.items():
        result = fn()
        assert result is None or sys.getrefcount(result) == 2, "a result someone else holds too"
        # 8 KiB: 16 bytes a call at the default count, where malloc's count
        # otherwise moves by a few hundred bytes at most.
        check(measure(fn, EXCHANGES, watch=watch, warmup=200, heap_bound=8 << 10), f"answered {what}")
