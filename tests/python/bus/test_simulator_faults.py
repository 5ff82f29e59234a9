"""Faults dmsim latches on demand (--fault), as torvane and torvane_ext see
them: the code in every reply, commands ignored, clear_error re-arms."""

import time

import pytest

import torvane
import torvane_ext as tx
from canpeer import IFACE

pytestmark = pytest.mark.bus

SLOW_MS = 500
CODES = {"overvoltage": 0x8, "undervoltage": 0x9, "overcurrent": 0xA, "mos_overtemp": 0xB,
         "rotor_overtemp": 0xC, "overload": 0xE}
DISABLED, ENABLED = 0, 1
# Late enough that the test has checked the motors before it, in a slow guest.
AT_S = 4.0


def motor(i):
    return torvane.Damiao(i, 0x10 + i, timeout_ms=SLOW_MS)


def test_each_fault_reaches_torvane_ext_at_its_time_and_clear_error_rearms(start_dmsim):
    names = list(CODES)
    motors = [f"{i}:0x{0x10 + i:X}:dm4310" for i in range(1, len(names) + 2)]  # the last one stays well
    started = time.monotonic()
    start_dmsim(*motors, args=[a for i, n in enumerate(names, 1) for a in ("--fault", f"{i}:{n}@{AT_S}")])
    bus = torvane.SocketCanTransport(IFACE)
    ids = range(1, len(motors) + 1)
    assert [motor(i).enable(bus).error for i in ids] == [ENABLED] * len(motors)
    assert time.monotonic() - started < AT_S, "too slow to see the motors before their faults"

    deadline = started + AT_S + 30.0
    while time.monotonic() < deadline:
        errors = [tx.refresh(bus, motor(i)).error for i in ids]
        if ENABLED not in errors[:-1]:
            break
        time.sleep(0.05)
    faulted_at = time.monotonic()
    assert errors == [*CODES.values(), ENABLED]
    # Counted from dmsim's start, which came after `started`.
    assert faulted_at - started >= AT_S

    for i, code in enumerate(CODES.values(), 1):
        m = motor(i)
        assert m.enable(bus).error == code          # enable does nothing
        state = m.mit_control(bus, torvane.MitSetpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=2.0))
        assert state.error == code and state.torque == pytest.approx(0.0, abs=0.01)
        assert tx.refresh(bus, m).error == code
        assert m.clear_error(bus).error == DISABLED
        assert tx.refresh(bus, m).error == DISABLED
        assert m.enable(bus).error == ENABLED
    assert tx.refresh(bus, motor(len(motors))).error == ENABLED

