"""Property: whatever a controller asks, no MIT frame on the wire carries a
position outside the motor's window or a step beyond max_step from its
last measured position (dmsim plays the motors, a peer socket reads every
command frame). The emulated guest runs a thousand sequences; the core's
own test (test_joint_limits.cpp) runs 10,000 through the same limiting and
encoding."""

import math
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import torvane
import torvane_ext as tx
from canpeer import IFACE, Peer

pytestmark = pytest.mark.bus

LIMITS = torvane.MitLimits.dm4310()
WINDOWS = [(-0.5, 0.8), (0.1, 0.3)]
STEP = 0.1
CODE_STEP = 2 * LIMITS.p_max / 65535  # one position code


def commanded_positions(peer):
    """Every MIT command frame's position, by command id, read without waiting."""
    peer.sock.setblocking(False)
    out = {}
    try:
        while True:
            try:
                raw = peer.sock.recv(72)
            except BlockingIOError:
                return out
            can_id, length = struct.unpack_from("=IB", raw)
            data = raw[8:8 + length]
            if can_id in (1, 2) and len(data) == 8 and data[:7] != b"\xff" * 7:
                code = (data[0] << 8) | data[1]
                out[can_id] = code * (2 * LIMITS.p_max) / 65535 - LIMITS.p_max
    finally:
        peer.sock.setblocking(True)


@pytest.fixture
def limited(start_dmsim):
    start_dmsim("1:0x11:dm4310", "2:0x12:dm4310", args=["--mode", "1"])
    bus = torvane.SocketCanTransport(IFACE)
    arm = [torvane.Damiao(i, 0x10 + i, LIMITS, timeout_ms=300) for i in (1, 2)]
    limits = [tx.JointLimits(position=w, max_step=STEP) for w in WINDOWS]
    # Hypothesis takes its time between examples: the states stay a base for the step.
    group = tx.MotorGroup(bus, arm, limits=limits, max_state_age_ms=600_000)
    group.enable()
    yield group
    group.disable()


targets = st.floats(allow_nan=False, width=32) | st.floats(-2, 2)


@settings(max_examples=1000, deadline=None, derandomize=True,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(st.lists(st.tuples(targets, targets), min_size=1, max_size=4))
def test_no_frame_crosses_the_window_or_the_step(limited, sequence):
    peer = Peer(IFACE)
    try:
        for q1, q2 in sequence:
            measured = [s.position for s in limited.last_states]
            setpoints = [torvane.mit_setpoint(q=q1, kp=20, kd=1), torvane.mit_setpoint(q=q2, kp=20, kd=1)]
            if not (math.isfinite(q1) and math.isfinite(q2)):
                # Infinity is no target: refused, nothing sent.
                with pytest.raises(ValueError, match="finite"):
                    limited.mit_control(setpoints)
                assert commanded_positions(peer) == {}
                continue
            limited.mit_control(setpoints)
            sent = commanded_positions(peer)
            assert set(sent) == {1, 2}
            for i, (lo, hi) in enumerate(WINDOWS):
                q = sent[i + 1]
                assert lo - CODE_STEP <= q <= hi + CODE_STEP, (i, q)
                assert abs(q - measured[i]) <= STEP + CODE_STEP or not lo <= measured[i] <= hi, (i, q, measured[i])
    finally:
        peer.close()


def test_nan_and_a_motor_never_measured_send_nothing(start_dmsim):
    # A feedback id no other test uses: this process has never measured that motor.
    start_dmsim("1:0x1d:dm4310", args=["--mode", "1"])
    bus = torvane.SocketCanTransport(IFACE)
    group = tx.MotorGroup(bus, [torvane.Damiao(1, 0x1D, LIMITS, timeout_ms=300)],
                          limits=[tx.JointLimits(position=(-1, 1), max_step=0.2, velocity=1.0)],
                          max_state_age_ms=1000)
    peer = Peer(IFACE, timeout=0.3)
    try:
        with pytest.raises(ValueError, match="no measured state"):
            group.mit_control([torvane.mit_setpoint(q=0.1)])
        assert peer.drain(0.3) == []
        group.refresh()
        peer.drain(0.2)
        for bad in (torvane.mit_setpoint(q=math.nan), torvane.mit_setpoint(dq=math.nan)):
            with pytest.raises(ValueError, match="finite"):
                group.mit_control([bad])
        assert peer.drain(0.3) == []
        group.refresh()
        group.mit_control([torvane.mit_setpoint(q=5.0, dq=9.0)])
        assert group.clamped == (1,)
    finally:
        peer.close()
