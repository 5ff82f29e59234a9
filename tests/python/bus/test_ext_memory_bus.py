"""A group tick's Python memory: seven MotorStates and their tuple kept per
tick, nothing else, and flat memory over many ticks.

No simulator: the bus socket receives its own frames and each motor's
feedback identifier is its command identifier, so every command is its own
reply and a tick never waits.
"""

import gc
import os
import socket
import sys

import pytest

import torvane
import torvane_ext as tx
from canpeer import IFACE
from memwatch import calls_from_env, measure

pytestmark = pytest.mark.bus

MOTORS = 7
TICKS = calls_from_env("TORVANE_BUS_GROUP_TICKS", 5_000)


def _sockets():
    """This process's sockets (the listing's own descriptor is gone when read)."""
    out = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}").startswith("socket:"):
                out.add(int(fd))
        except FileNotFoundError:
            pass
    return out


def echo_bus():
    """A transport whose socket receives the frames it sends; torvane does not
    hand out its descriptor, so it is the socket that opening it added."""
    before = _sockets()
    bus = torvane.SocketCanTransport(IFACE)
    new = list(_sockets() - before)
    assert len(new) == 1, new
    s = socket.socket(fileno=new[0])
    try:
        s.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_RECV_OWN_MSGS, 1)
    finally:
        s.detach()
    return bus


@pytest.fixture(scope="module")
def arm():
    bus = echo_bus()
    motors = [torvane.Damiao(i, i, timeout_ms=1000) for i in range(1, MOTORS + 1)]
    group = tx.MotorGroup(bus, motors)
    # Each reply is the command's own bytes, so only their presence says anything. A reply is
    # taken as a motor's state only when byte 0 names the motor in its low nibble: each target's
    # top byte is 0x80 + the motor's id.
    setpoints = [torvane.MitSetpoint(((0x80 + m.motor_id) * 256 + 0x80) * 25 / 65535 - 12.5, 1.0, 20.0, 0.5, 0.25)
                 for m in motors]
    assert None not in group.mit_control(setpoints), "the echo did not answer every motor"
    return bus, group, setpoints


def test_a_kept_tick_holds_one_block_per_motor_and_the_tuple(arm):
    _, group, setpoints = arm
    tick = group.mit_control
    for _ in range(500):
        tick(setpoints)
    keep = [None] * TICKS
    gc.collect()
    before = sys.getallocatedblocks()
    for i in range(TICKS):
        keep[i] = tick(setpoints)
    per_tick = (sys.getallocatedblocks() - before) / TICKS
    assert all(None not in r for r in keep)
    # One block more or less per tick would read 9.0 or 7.0; the slack is
    # the interpreter freeing or caching blocks of its own meanwhile.
    assert per_tick == pytest.approx(MOTORS + 1, abs=0.1), per_tick


def test_group_ticks_leave_memory_flat(arm):
    bus, group, setpoints = arm
    watch = [("bus", bus), ("group", group), ("setpoints", setpoints), ("setpoint", setpoints[0]),
             ("class MotorState", torvane.MotorState), ("class MotorGroup", tx.MotorGroup)]
    usage = measure(lambda: group.mit_control(setpoints), TICKS, watch=watch, warmup=1_000)
    print(f"group mit_control: {usage.summary()}")
    assert not usage.problems(), usage.summary()
