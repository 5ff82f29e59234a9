"""Faults on a real bus: the interface going away or down while a call
waits, a flood of other traffic, CAN FD and remote frames where a reply is
expected, a motor that answers twice, a signal during a wait. Each ends in
an ordinary result or exception, and the bus object keeps working wherever
its interface still exists.

Interfaces that a test takes down or deletes are its own (tvflt0), never the
shared vcan0.
"""

import contextlib
import os
import signal
import subprocess
import time

import pytest

import torvane
from canpeer import CAN_EFF_FLAG, CANFD_BRS, IFACE, Peer
from peerproc import PeerProcess

pytestmark = pytest.mark.bus

FEEDBACK = bytes.fromhex("0180008008001E20")
FEEDBACK_REPR = ("MotorState(motor_id=1, error=0, position=0.0002, velocity=0.0073, "
                 "torque=0.0024, t_mos=30, t_rotor=32)")
ENABLE = bytes.fromhex("FFFFFFFFFFFFFFFC")
TIMEOUT_TEXT = "transport error: timeout waiting for frame"
BACKEND = "transport error: backend error: "
NETWORK_DOWN = BACKEND + "Network is down (os error 100)"
NO_ADDRESS = BACKEND + "No such device or address (os error 6)"
# A call that a fault must end long before its own deadline.
LONG_MS = 10_000
# How far past its deadline a call may end: the slow qemu guest included.
LATE_S = 1.5
PRIVATE = "tvflt0"


def ip(*args):
    subprocess.run(["ip", "link", *args], check=True, capture_output=True)


@pytest.fixture
def private_iface():
    """A vcan of the test's own, up; deleted afterwards whatever happened."""
    subprocess.run(["ip", "link", "del", PRIVATE], capture_output=True)  # left by an aborted run
    try:
        ip("add", PRIVATE, "type", "vcan")
        ip("set", PRIVATE, "mtu", "72", "up")
    except (OSError, subprocess.CalledProcessError) as exc:
        pytest.fail(f"cannot create a vcan interface here (needs root and the vcan module): {exc}")
    yield PRIVATE
    subprocess.run(["ip", "link", "del", PRIVATE], capture_output=True)


@pytest.fixture
def peer():
    p = Peer()
    yield p
    p.close()


@contextlib.contextmanager
def later(delay_s, *argv):
    """Run argv in another process after delay_s, while this one is blocked."""
    proc = subprocess.Popen(["sh", "-c", f'sleep {delay_s}; exec "$@"', "sh", *argv])
    try:
        yield proc
    finally:
        assert proc.wait(60) == 0, f"{argv} failed"


def timed(call):
    """(exception or result, seconds) of one call."""
    start = time.monotonic()
    try:
        result = call()
    except Exception as e:  # noqa: BLE001 - the caller checks it
        result = e
    return result, time.monotonic() - start


def assert_runtime_error(result, text):
    assert type(result) is RuntimeError, repr(result)
    assert result.args == (text,)


def open_fds():
    return set(os.listdir("/proc/self/fd"))


# ---- the interface goes away ---------------------------------------------

def test_interface_set_down_during_a_wait(private_iface):
    bus = torvane.SocketCanTransport(private_iface)
    motor = torvane.Damiao(1, 0x11, timeout_ms=LONG_MS)
    with later(0.5, "ip", "link", "set", private_iface, "down"):
        result, took = timed(lambda: motor.enable(bus))
    assert_runtime_error(result, NETWORK_DOWN)
    assert 0.3 < took < LONG_MS / 1000 / 2, "the wait did not end with the interface"
    # While it is down, sending fails at once.
    result, took = timed(lambda: motor.enable(bus))
    assert_runtime_error(result, NETWORK_DOWN)
    assert took < LATE_S
    # Up again, the same object works: nothing was closed or poisoned.
    ip("set", private_iface, "up")
    peer = Peer(private_iface)
    try:
        peer.send(0x11, FEEDBACK)
        assert repr(motor.enable(bus)) == FEEDBACK_REPR
        assert peer.drain() == [(0x001, ENABLE, False)]
    finally:
        peer.close()


def test_interface_down_and_up_between_calls_fails_the_next_call_once(private_iface):
    # The socket keeps the "network down" notice until a socket call collects
    # it: the next call's send reports it and nothing goes out; the call after
    # that works and finds the reply that was already queued.
    bus = torvane.SocketCanTransport(private_iface)
    motor = torvane.Damiao(1, 0x11, timeout_ms=LONG_MS)
    ip("set", private_iface, "down")
    ip("set", private_iface, "up")
    peer = Peer(private_iface)
    try:
        peer.send(0x11, FEEDBACK)
        result, took = timed(lambda: motor.enable(bus))
        assert_runtime_error(result, NETWORK_DOWN)
        assert took < LATE_S
        assert peer.drain() == []
        assert repr(motor.enable(bus)) == FEEDBACK_REPR
        assert peer.drain() == [(0x001, ENABLE, False)]
    finally:
        peer.close()


def test_interface_deleted_during_a_wait(private_iface):
    before = open_fds()
    bus = torvane.SocketCanTransport(private_iface)
    motor = torvane.Damiao(1, 0x11, timeout_ms=LONG_MS)
    # Deleting takes the interface down first, and that is what the wait sees.
    with later(0.5, "ip", "link", "del", private_iface):
        result, took = timed(lambda: motor.enable(bus))
    assert_runtime_error(result, NETWORK_DOWN)
    assert 0.3 < took < LONG_MS / 1000 / 2, "the wait did not end with the interface"
    # The socket lost its interface: every call fails at once, on sending.
    for _ in range(3):
        result, took = timed(lambda: motor.enable(bus))
        assert_runtime_error(result, NO_ADDRESS)
        assert took < LATE_S
    # A new interface of the same name is another device: the old object
    # does not follow it, a new one opens it normally.
    ip("add", private_iface, "type", "vcan")
    ip("set", private_iface, "up")
    result, _ = timed(lambda: motor.enable(bus))
    assert_runtime_error(result, NO_ADDRESS)
    fresh = torvane.SocketCanTransport(private_iface)
    peer = Peer(private_iface)
    try:
        peer.send(0x11, FEEDBACK)
        assert repr(motor.enable(fresh)) == FEEDBACK_REPR
    finally:
        peer.close()
    del bus, fresh
    assert open_fds() == before


def test_signal_during_a_wait_ends_it_with_the_interrupted_read(peer):
    # An interrupted read is not repeated: the call fails, the handler runs
    # once the call has returned, and the bus goes on working.
    bus = torvane.SocketCanTransport(IFACE)
    motor = torvane.Damiao(1, 0x11, timeout_ms=LONG_MS)
    seen = []
    old = signal.signal(signal.SIGUSR1, lambda *_: seen.append(time.monotonic()))
    try:
        with later(0.5, "kill", "-USR1", str(os.getpid())):
            result, took = timed(lambda: motor.enable(bus))
    finally:
        signal.signal(signal.SIGUSR1, old)
    assert_runtime_error(result, BACKEND + "Interrupted system call (os error 4)")
    assert 0.3 < took < LONG_MS / 1000 / 2
    assert len(seen) == 1
    peer.send(0x11, FEEDBACK)
    assert repr(motor.enable(bus)) == FEEDBACK_REPR


# ---- a flood of other traffic ---------------------------------------------

FLOOD_TIMEOUT_MS = 1000


def test_flood_of_other_frames_does_not_stretch_the_deadline():
    bus = torvane.SocketCanTransport(IFACE)
    motor = torvane.Damiao(1, 0x11, timeout_ms=FLOOD_TIMEOUT_MS)
    took_all = []
    with PeerProcess("flood", IFACE) as flood:
        before = flood.mark()
        # The one-frame exchange, and the register read's loop of its own.
        for call in (motor.enable, lambda b: motor.mit_control(b, torvane.MitSetpoint()), motor.ensure_mit_mode):
            result, took = timed(lambda: call(bus))
            assert_runtime_error(result, TIMEOUT_TEXT)
            took_all.append(took)
        during = flood.mark() - before
    print(f"flood: {during} frames during the calls; they took {', '.join(f'{t:.3f}' for t in took_all)} s")
    assert during >= 1000, f"the flood sent only {during} frames during the calls"
    # The socket's wait is counted in kernel ticks, so the last read may give
    # up as much as one tick (10 ms at the slowest tick rate) early.
    for took in took_all:
        assert FLOOD_TIMEOUT_MS / 1000 - 0.01 <= took < FLOOD_TIMEOUT_MS / 1000 + LATE_S, took_all


def test_reply_inside_a_flood_is_found():
    bus = torvane.SocketCanTransport(IFACE)
    motor = torvane.Damiao(1, 0x11, timeout_ms=LONG_MS)
    with PeerProcess("flood", IFACE, "--reply-every", 500) as flood:
        states = [motor.enable(bus) for _ in range(3)]
        sent = int(flood.stop()[-1])
    assert sent >= 1500
    assert [(s.t_mos, s.t_rotor) for s in states] == [(77, 0)] * 3


# ---- CAN FD and remote frames -----------------------------------------------

def fd(can_id, data, flags=0):
    return ("fd", can_id, data, flags)


def classic(can_id, data, extended=False, remote=False):
    return ("classic", can_id, data, extended, remote)


def put(peer, frames):
    for kind, can_id, data, *rest in frames:
        if kind == "fd":
            peer.send_fd(can_id, data, rest[0])
        else:
            peer.send(can_id, data, extended=rest[0], remote=rest[1])


def too_short(n):
    return f"feedback frame too short to decode: {n} bytes, expected 8"


NOISE = [
    fd(0x012, FEEDBACK), fd(0x011 | CAN_EFF_FLAG, FEEDBACK, CANFD_BRS), classic(0x011, FEEDBACK, extended=True),
    classic(0x010, FEEDBACK, remote=True), classic(0x011, b"", extended=True, remote=True),
]


@pytest.mark.parametrize("frames, expected", [
    pytest.param([fd(0x011, FEEDBACK)], FEEDBACK_REPR, id="fd-8-reply"),
    pytest.param([fd(0x011, FEEDBACK + bytes(range(56)), CANFD_BRS)], FEEDBACK_REPR, id="fd-64-brs-reply"),
    pytest.param([fd(0x011, FEEDBACK[:5])], too_short(5), id="fd-5-reply"),
    pytest.param([fd(0x011, b"")], too_short(0), id="fd-0-reply"),
    pytest.param([classic(0x011, FEEDBACK, remote=True)], FEEDBACK_REPR, id="remote-8-reply"),
    pytest.param([classic(0x011, FEEDBACK[:3], remote=True)], too_short(3), id="remote-3-reply"),
    pytest.param([classic(0x011, b"", remote=True)], too_short(0), id="remote-0-reply"),
    pytest.param([*NOISE, classic(0x011, FEEDBACK)], FEEDBACK_REPR, id="noise-then-reply"),
    pytest.param(NOISE, TIMEOUT_TEXT, id="noise-only"),
])
def test_fd_and_remote_frames_as_replies_and_noise(peer, frames, expected):
    bus = torvane.SocketCanTransport(IFACE)
    motor = torvane.Damiao(1, 0x11, timeout_ms=300)
    put(peer, frames)
    result, _ = timed(lambda: motor.enable(bus))
    if expected.startswith("MotorState("):
        assert repr(result) == expected
    else:
        assert_runtime_error(result, expected)
    assert peer.drain() == [(0x001, ENABLE, False)]
    peer.send(0x11, FEEDBACK)
    assert repr(motor.enable(bus)) == FEEDBACK_REPR


def reg_reply(value):
    return bytes([1, 0, 0x33, 10]) + value.to_bytes(4, "little")


@pytest.mark.parametrize("frames", [
    pytest.param([fd(0x011, reg_reply(1))], id="fd-8"),
    pytest.param([classic(0x011, reg_reply(1), remote=True)], id="remote-8"),
    pytest.param([fd(0x011, reg_reply(2) + bytes(4)), classic(0x011, reg_reply(2)[:7], remote=True),
                  classic(0x123, reg_reply(1), extended=True, remote=True)], id="skipped-then-remote-extended"),
])
def test_fd_and_remote_frames_as_register_replies(peer, frames):
    # A register reply is recognised by its 8 data bytes alone: identifier,
    # FD flag and remote flag play no part. Mode 1 read back: no write.
    bus = torvane.SocketCanTransport(IFACE)
    put(peer, frames)
    assert torvane.Damiao(1, 0x11, timeout_ms=300).ensure_mit_mode(bus) is None
    assert peer.drain() == [(0x7FF, bytes.fromhex("0100330A00000000"), False)]


# ---- a motor that answers twice ---------------------------------------------

def test_motor_answering_twice_shifts_every_later_reply():
    # Replies are matched by identifier alone and nothing is ever flushed:
    # call k returns the k-th frame on the feedback id, whichever request it
    # answered. Each duplicate adds one stale frame to the backlog, and the
    # backlog is only used up by calls that then return at once.
    bus = torvane.SocketCanTransport(IFACE)
    motor = torvane.Damiao(1, 0x11, timeout_ms=2000)
    with PeerProcess("double", IFACE) as motor_process:
        got = [(s.t_mos, s.t_rotor) for s in (motor.enable(bus) for _ in range(4))]
        while motor_process.line() != "answered 4":
            pass
    assert got == [(1, 0), (1, 1), (2, 0), (2, 1)]
    # The motor is gone; four answers are still queued and come back at once.
    quick = torvane.Damiao(1, 0x11, timeout_ms=1000)
    got, took = [], []
    for _ in range(5):
        result, t = timed(lambda: quick.enable(bus))
        got.append((result.t_mos, result.t_rotor) if isinstance(result, torvane.MotorState) else str(result))
        took.append(t)
    assert got == [(3, 0), (3, 1), (4, 0), (4, 1), TIMEOUT_TEXT]
    assert max(took[:4]) < 0.5 and took[4] > 0.99, took  # the last one waited its full second
