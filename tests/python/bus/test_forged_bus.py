"""A bus object made without its constructor (tests/python/test_forged_instances.py)
beside a real bus: its commands fail and put nothing on the wire, while a
real bus in the same process, and the same motor object, work on."""

import subprocess
import sys

import pytest

from canpeer import IFACE, Peer

pytestmark = pytest.mark.bus

SCRIPT = f"""
import torvane
real = torvane.SocketCanTransport({IFACE!r})
motor = torvane.Damiao(1, 0x11, timeout_ms=0)
torvane.SocketCanTransport.__new__ = lambda cls, *args: object.__new__(cls)
forged = torvane.SocketCanTransport({IFACE!r})
for call in (motor.enable, motor.disable, motor.set_zero, motor.clear_error, motor.ensure_mit_mode,
             lambda bus: motor.mit_control(bus, torvane.MitSetpoint())):
    try:
        call(forged)
    except RuntimeError as e:
        print(e)
print("forged done", flush=True)
try:
    motor.enable(real)
except RuntimeError as e:
    print(e)
"""


def test_forged_bus_sends_nothing_and_a_real_one_still_works():
    peer = Peer()
    try:
        result = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=300)
        frames = peer.drain()
    finally:
        peer.close()
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == (
        ["SocketCanTransport is not open: it was made without its constructor"] * 6
        + ["forged done", "transport error: timeout waiting for frame"])
    # Only the real bus's enable went out.
    assert frames == [(0x001, bytes.fromhex("FFFFFFFFFFFFFFFC"), False)]
