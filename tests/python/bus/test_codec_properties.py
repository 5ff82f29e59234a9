"""Encode, then decode, through the module's own codec, for every model preset.

Python reaches the codec only through a motor exchange, so the round trip
runs on the bus: mit_control sends the encoded setpoint, the peer socket
reads the command frame and packs its position, velocity and torque codes
into a feedback frame, and the next call (enable) decodes that frame. The
replies are queued before each call, since a call holds the interpreter
until its exchange ends. Stiffness and damping have no feedback field; their
codes are read off the command frame.

Property: every field comes back within one code step of the setpoint value
clamped into the preset's range (a NaN value encodes as code 0).
"""

import math
import struct

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import torvane
from canpeer import IFACE, Peer

pytestmark = pytest.mark.bus

PRESETS = ["dm3507", "dm4310", "dm4310p", "dm4340", "dm4340p", "dm6006", "dm6248p", "dm8006", "dm8009",
           "dm10010", "dm10010l", "dmg6215", "dmh3510", "dmh6220", "dmjh11"]
MOTOR_ID, MASTER_ID = 0x01, 0x11
ENABLE = bytes.fromhex("FFFFFFFFFFFFFFFC")
ANY_FEEDBACK = bytes.fromhex("0180008008001E20")
# Replies are queued before each call; the timeout only bounds a failure.
SLOW_MS = 2000

# Truncation takes up to one step off. Single-precision scaling out and back
# in moves a 16-bit code by at most about 2.5% of a step either way.
ROUNDING = 0.03

# Values a MitSetpoint holds exactly: NaN, infinities and subnormals included.
FLOAT32 = st.floats(width=32)


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def command_codes(data):
    """P, V, KP, KD, T of a command frame."""
    return (data[0] << 8 | data[1], data[2] << 4 | data[3] >> 4, (data[3] & 0xF) << 8 | data[4],
            data[5] << 4 | data[6] >> 4, (data[6] & 0xF) << 8 | data[7])


def feedback_frame(p, v, t):
    return bytes([MOTOR_ID, p >> 8, p & 0xFF, v >> 4, (v & 0xF) << 4 | t >> 8, t & 0xFF, 0, 0])


def assert_within_one_step(name, value, got, lo, hi, codes):
    step = (hi - lo) / codes
    value = f32(value)
    if math.isnan(value):
        assert got == lo, f"{name}: NaN must encode as code 0 ({lo}), decoded {got}"
        return
    clamped = min(max(value, lo), hi)
    off = (got - clamped) / step
    assert -1 - ROUNDING <= off <= ROUNDING, (
        f"{name}: {value!r} clamped to {clamped!r} decoded as {got!r}, {off:+.4f} steps of {step!r}")


# Module scope: Hypothesis runs many examples inside one test call.
@pytest.fixture(scope="module")
def bus():
    return torvane.SocketCanTransport(IFACE)


@pytest.fixture(scope="module")
def peer():
    p = Peer()
    yield p
    p.close()


@pytest.mark.parametrize("preset", PRESETS)
@settings(max_examples=20, deadline=None, database=None)
@given(q=FLOAT32, dq=FLOAT32, kp=FLOAT32, kd=FLOAT32, tau=FLOAT32)
@example(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)
@example(q=math.inf, dq=-math.inf, kp=math.inf, kd=-1.0, tau=math.nan)
@example(q=12.566, dq=-280.0, kp=499.99997, kd=5.0, tau=-1e-45)
def test_encode_then_decode_is_within_one_code_step(bus, peer, preset, q, dq, kp, kd, tau):
    limits = getattr(torvane.MitLimits, preset)()
    motor = torvane.Damiao(MOTOR_ID, MASTER_ID, limits, SLOW_MS)

    peer.send(MASTER_ID, ANY_FEEDBACK)
    motor.mit_control(bus, torvane.MitSetpoint(q, dq, kp, kd, tau))
    sent = peer.recv()
    assert sent is not None and sent[0] == MOTOR_ID and len(sent[1]) == 8 and not sent[2], sent
    p, v, kp_code, kd_code, t = command_codes(sent[1])

    peer.send(MASTER_ID, feedback_frame(p, v, t))
    state = motor.enable(bus)
    assert peer.recv() == (MOTOR_ID, ENABLE, False)

    assert_within_one_step("q", q, state.position, -limits.p_max, limits.p_max, 65535)
    assert_within_one_step("dq", dq, state.velocity, -limits.v_max, limits.v_max, 4095)
    assert_within_one_step("tau", tau, state.torque, -limits.t_max, limits.t_max, 4095)
    assert_within_one_step("kp", kp, kp_code * limits.kp_max / 4095, 0.0, limits.kp_max, 4095)
    assert_within_one_step("kd", kd, kd_code * limits.kd_max / 4095, 0.0, limits.kd_max, 4095)
