"""The safety net against what gets past a happy path, judged on the wire:
signals and program ends that never reach a with block, NaN and commands
whose torque or velocity a bug made too large, another program's register
replies, a robot bus that is down while leaving, and close() from another
thread."""

import array
import gc
import random
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import torvane
import torvane_ext as tx
from canpeer import IFACE, Peer
from motorframes import DISABLE, ENABLE, READ, REGISTER_ID, feedback, register_frame

pytestmark = pytest.mark.bus

LIMITS = torvane.MitLimits.dm4310()
MIT, VEL = 1, 3


def arm(n=3, timeout_ms=400):
    return [torvane.Damiao(i, 0x10 + i, LIMITS, timeout_ms=timeout_ms) for i in range(1, n + 1)]


def sim_args(n=3):
    return [f"{i}:0x{0x10 + i:x}:dm4310" for i in range(1, n + 1)]


def statuses(iface=IFACE, n=3):
    """Each motor's status, read from a socket opened now."""
    bus = torvane.SocketCanTransport(iface)
    return [tx.status(tx.refresh(bus, m)) for m in arm(n, timeout_ms=2000)]


def mit_command(data, lim=LIMITS):
    """(q, dq, kp, kd, tau) of an MIT command frame."""
    def scale(code, lo, hi, bits):
        return code * (hi - lo) / ((1 << bits) - 1) + lo
    return (scale(data[0] << 8 | data[1], -lim.p_max, lim.p_max, 16),
            scale(data[2] << 4 | data[3] >> 4, -lim.v_max, lim.v_max, 12),
            scale((data[3] & 0xF) << 8 | data[4], 0, lim.kp_max, 12),
            scale(data[5] << 4 | data[6] >> 4, 0, lim.kd_max, 12),
            scale((data[6] & 0xF) << 8 | data[7], -lim.t_max, lim.t_max, 12))


class Capture:
    """Every frame on the bus while it runs, read by a thread so the socket never overflows."""

    def __init__(self, iface=IFACE):
        self.peer = Peer(iface, timeout=0.05)
        self.frames = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            if (f := self.peer.recv()) is not None:
                self.frames.append(f)

    def stop(self):
        time.sleep(0.2)
        self._stop.set()
        self._thread.join(5)
        self.peer.close()
        return self.frames


def pairs(frames, cmd_id, fb_id):
    """(command data, the feedback seen just before it) for each command on cmd_id after a first feedback."""
    last, out = None, []
    for can_id, data, _ in frames:
        if can_id == fb_id and len(data) == 8 and data[2] not in (0x33, 0x55, 0xAA):
            last = feedback(data)
        elif can_id == cmd_id and last is not None and bytes(data) not in (ENABLE, DISABLE):
            out.append((bytes(data), last))
    return out


@pytest.fixture
def bus():
    return torvane.SocketCanTransport(IFACE)


# ---- every way a program ends stops what it enabled ----------------------------------------

PROGRAMS = {
    "with and Loop": """
        with tx.MotorGroup(bus, arm) as group:
            group.enable()
            print("ticking", flush=True)
            for _ in tx.Loop(rate_hz=200):
                group.mit_control([torvane.mit_setpoint(q=0.2, kp=5, kd=0.5)] * 3)
    """,
    "no with": """
        group = tx.MotorGroup(bus, arm)
        group.enable()
        print("ticking", flush=True)
        while True:
            group.mit_control([torvane.mit_setpoint(q=0.2, kp=5, kd=0.5)] * 3)
    """,
    "raises at top level": """
        group = tx.MotorGroup(bus, arm)
        group.enable()
        print("ticking", flush=True)
        raise RuntimeError("the controller failed")
    """,
}
PRELUDE = """
import sys, torvane, torvane_ext as tx
bus = torvane.SocketCanTransport(sys.argv[1])
arm = [torvane.Damiao(i, 0x10 + i, torvane.MitLimits.dm4310(), timeout_ms=1000) for i in (1, 2, 3)]
"""


def run_program(body, sig=None):
    proc = subprocess.Popen([sys.executable, "-W", "always::ResourceWarning", "-c",
                             PRELUDE + textwrap.dedent(body), IFACE],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        assert line == "ticking\n", proc.communicate(timeout=60)[1]
        if sig is not None:
            time.sleep(0.3)
            proc.send_signal(sig)
        _, err = proc.communicate(timeout=120)
        return proc.returncode, err
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGHUP])
@pytest.mark.parametrize("program", ["with and Loop", "no with"])
def test_sigterm_and_sighup_stop_every_motor(start_dmsim, program, sig):
    start_dmsim(*sim_args(3))
    rc, err = run_program(PROGRAMS[program], sig)
    # SystemExit(128 + signal): the usual status of a process ended by it.
    assert rc == 128 + sig, err
    assert statuses() == [tx.Status.DISABLED] * 3
    if program == "no with":
        assert "ResourceWarning" in err and "at exit: disabled them" in err


def test_a_program_that_raises_at_top_level_stops_its_motors(start_dmsim):
    start_dmsim(*sim_args(3))
    rc, err = run_program(PROGRAMS["raises at top level"])
    assert rc == 1 and "the controller failed" in err
    assert statuses() == [tx.Status.DISABLED] * 3


def test_a_group_collected_while_enabled_disables_its_motors(start_dmsim, bus):
    start_dmsim(*sim_args(3))
    group = tx.MotorGroup(bus, arm())
    group.enable()
    with pytest.warns(ResourceWarning, match=r"MotorGroup\(motors=\[1, 2, 3\].*collected: disabled them"):
        del group
        gc.collect()
    assert statuses() == [tx.Status.DISABLED] * 3


def test_signal_handlers_are_installed_only_while_motors_are_enabled(start_dmsim, bus):
    start_dmsim(*sim_args(2))
    group = tx.MotorGroup(bus, arm(2))
    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL
    group.enable()
    assert signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL
    assert signal.getsignal(signal.SIGHUP) is signal.getsignal(signal.SIGTERM)
    assert tx.stop_on_signals(False) is True
    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL
    tx.stop_on_signals(True)
    assert signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL
    group.disable()
    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL

    def own(*_):
        pass
    previous = signal.signal(signal.SIGTERM, own)
    try:
        group.enable()
        assert signal.getsignal(signal.SIGTERM) is own  # the program's own handler is kept
        group.close()
        assert signal.getsignal(signal.SIGTERM) is own
    finally:
        signal.signal(signal.SIGTERM, previous)


def test_the_watchdog_set_by_the_group_is_put_back(start_dmsim, bus):
    start_dmsim(*sim_args(2))
    before = [tx.read_register(bus, m, "TIMEOUT") for m in arm(2)]
    with tx.MotorGroup(bus, arm(2), watchdog_ms=20) as group:
        group.enable()
        assert [tx.read_register(bus, m, "TIMEOUT") for m in arm(2)] == [400] * 2
    assert [tx.read_register(bus, m, "TIMEOUT") for m in arm(2)] == before
    with pytest.raises(TypeError, match="bool"):
        tx.MotorGroup(bus, arm(2), watchdog_ms=True)


# ---- limits a bug cannot cross -------------------------------------------------------------

NAN, INF = float("nan"), float("inf")
WIDTH = {"mit_control": 5, "pos_vel": 2, "vel": 1, "force_pos": 3}


def group_call(group, name, field, bad, into):
    values = [0.0] * WIDTH[name]
    values[field] = bad
    if into:
        rows = array.array("d", values * 2)
        out = array.array("d", [0.0] * 12)
        shape = [2, WIDTH[name]]
        getattr(group, name + "_into")(memoryview(rows).cast("B").cast("d", shape),
                                       memoryview(out).cast("B").cast("d", [2, 6]))
    elif name == "mit_control":
        group.mit_control([torvane.MitSetpoint(*values)] * 2)
    elif name == "vel":
        group.vel([values[0]] * 2)
    else:
        getattr(group, name)([tuple(values)] * 2)


CASES = [(name, field, bad) for name, width in WIDTH.items() for field in range(width) for bad in (NAN, -INF)]


@pytest.mark.parametrize("into", [False, True], ids=["tuple", "into"])
@pytest.mark.parametrize("name, field, bad", CASES)
def test_nan_and_infinity_never_reach_the_wire(bus, name, field, bad, into):
    group = tx.MotorGroup(bus, arm(2, timeout_ms=20))
    peer = Peer(timeout=0.1)
    try:
        with pytest.raises(ValueError, match="finite"):
            group_call(group, name, field, bad, into)
        if not into and name != "mit_control":  # torvane_ext's single-motor calls
            single = getattr(tx, name)
            args = [0.0] * WIDTH[name]
            args[field] = bad
            with pytest.raises(ValueError, match="finite"):
                single(bus, arm(1)[0], *args)
        assert peer.drain(0.2) == []
    finally:
        peer.close()


def test_vel_at_a_window_edge_goes_out_as_zero(start_dmsim, bus):
    start_dmsim(*sim_args(1), args=["--mode", str(VEL)])
    group = tx.MotorGroup(bus, arm(1), limits=[tx.JointLimits(position=(-0.3, 0.3))], max_state_age_ms=5000)
    group.enable()
    capture = Capture()
    end = time.monotonic() + 3
    while time.monotonic() < end:
        group.vel([2.0])
    group.disable()
    frames = capture.stop()
    sent = [(struct.unpack("<f", data[:4])[0], fb.position) for data, fb in pairs(frames, 0x201, 0x11)]
    assert sent, "no VEL frame seen"
    outward = [(v, p) for v, p in sent if p >= 0.3 and v > 0]
    assert outward == []
    assert any(v == 0 for v, _ in sent) and group.clamped[0] > 0
    # Stopped by the zero commands, wherever the last tick's coasting left it.
    assert abs(group.last_states[0].velocity) < 0.1


@pytest.mark.parametrize("bound", [True, False], ids=["torque bound", "no torque bound"])
def test_the_torque_bound_holds_for_all_a_command_asks(start_dmsim, bus, bound):
    start_dmsim(*sim_args(1), args=["--mode", str(MIT)])
    limits = tx.JointLimits(position=(-2, 2), max_step=0.05, torque=5 if bound else None)
    group = tx.MotorGroup(bus, arm(1), limits=[limits], max_state_age_ms=5000)
    # The state each command is limited from: the last one the library measured.
    bases = [group.enable()[0]]
    capture = Capture()
    for k in range(200):
        state = group.mit_control([torvane.mit_setpoint(q=1.5 if (k // 50) % 2 == 0 else -1.5, kp=500, kd=5)])[0]
        bases.append(state or bases[-1])
    group.disable()
    sent = [bytes(d) for i, d, _ in capture.stop() if i == 0x001 and bytes(d) not in (ENABLE, DISABLE)]
    assert len(sent) == 200
    asked = []
    for data, at in zip(sent, bases, strict=False):
        q, dq, kp, kd, tau = mit_command(data)
        asked.append(kp * (q - at.position) + kd * (dq - at.velocity) + tau)
    # One code step of each field: 500 x 25/65535 for the target, 5 x 60/4095 for velocity.
    tolerance = 0.3
    worst = max(abs(t) for t in asked)
    if bound:
        assert worst <= 5 + tolerance
    else:
        assert worst > 10  # what the bound is there for: max_step alone lets this through


def test_another_program_s_register_replies_are_no_state(start_dmsim, bus):
    start_dmsim(*sim_args(1), args=["--mode", str(MIT)])
    group = tx.MotorGroup(bus, arm(1), limits=[tx.JointLimits(position=(-0.5, 0.5), max_step=0.05)],
                          max_state_age_ms=5000)
    group.enable()
    stop = threading.Event()

    def reader():
        peer = Peer(timeout=0.05)
        while not stop.is_set():
            peer.send(REGISTER_ID, register_frame(1, READ, 9))  # TIMEOUT
            peer.drain(0.002)
        peer.close()

    other = threading.Thread(target=reader, daemon=True)
    other.start()
    capture = Capture()
    seen = []
    rng = random.Random(5)
    end = time.monotonic() + 10
    try:
        while time.monotonic() < end:
            states = group.mit_control([torvane.mit_setpoint(q=rng.uniform(-3, 3), kp=20, kd=1)])
            if states[0] is not None:
                seen.append(states[0].position)
    finally:
        stop.set()
        other.join(5)
        group.disable()
    frames = capture.stop()
    code = 25 / 65535
    targets = [mit_command(d)[0] for i, d, _ in frames if i == 0x001 and bytes(d) not in (ENABLE, DISABLE)]
    replies = [d for i, d, _ in frames if i == 0x11 and d[2] == READ]
    assert len(replies) > 20, "the other program's reads did not interleave"
    assert group.skipped > 0
    assert seen and min(seen) > -0.5 - 0.1
    assert targets and all(-0.5 - code <= q <= 0.5 + code for q in targets)


def test_a_stale_state_is_no_base_for_a_limited_command(start_dmsim, bus):
    start_dmsim(*sim_args(1), args=["--mode", str(MIT)])
    group = tx.MotorGroup(bus, arm(1), limits=[tx.JointLimits(position=(-1, 1), max_step=0.05)],
                          max_state_age_ms=300)
    assert group.max_state_age_ms == 300
    group.enable()
    time.sleep(1.0)
    peer = Peer(timeout=0.1)
    try:
        with pytest.raises(ValueError, match=r"motor 0 \(id 1\).*ms old"):
            group.mit_control([torvane.mit_setpoint(q=0.5, kp=5)])
        assert peer.drain(0.2) == []
    finally:
        peer.close()
    group.refresh()
    assert group.mit_control([torvane.mit_setpoint(q=0.5, kp=5)])[0] is not None
    group.disable()


def test_every_object_on_a_bus_limits_from_the_one_last_measurement(start_dmsim, bus):
    start_dmsim(*sim_args(2), args=["--mode", str(MIT)])
    whole = tx.MotorGroup(bus, arm(2), limits=[tx.JointLimits(position=(-3, 3), max_step=0.05)] * 2,
                          max_state_age_ms=5000)
    whole.enable()
    # Another object moves motor 1 well away; `whole` never ticks meanwhile.
    one = tx.MotorGroup(bus, arm(1))
    for _ in range(150):
        state = one.mit_control([torvane.mit_setpoint(q=1.0, kp=20, kd=1)])[0]
    moved = state.position
    assert moved > 0.5
    tx.refresh(bus, arm(2)[1])  # a single call's state counts too
    capture = Capture()
    whole.mit_control([torvane.mit_setpoint(q=moved, kp=20, kd=1)] * 2)
    frames = capture.stop()
    whole.disable()
    q = [mit_command(d)[0] for i, d, _ in frames if i == 0x001][0]
    assert abs(q - moved) <= 0.05 + 0.01  # from where it is, not from where `whole` last saw it


# ---- a robot's buses fail alone --------------------------------------------------------------

def ip(*args):
    subprocess.run(["ip", "link", "set", *args], check=True)


def test_a_bus_down_when_leaving_leaves_the_other_disabled_and_the_error_raised(start_dmsim):
    for iface in ("vcan0", "vcan1"):
        start_dmsim(*sim_args(3), iface=iface)
    groups = [tx.MotorGroup(torvane.SocketCanTransport(i), arm(3)) for i in ("vcan0", "vcan1")]
    robot = tx.Robot(groups)
    try:
        with pytest.warns(RuntimeWarning, match="vcan1"):
            with pytest.raises(ValueError, match="the controller failed") as err:
                with robot:
                    robot.enable()
                    ip("vcan1", "down")
                    raise ValueError("the controller failed")
        notes = getattr(err.value, "__notes__", [])
        assert any("motors 3, 4, 5 may still be enabled: vcan1: " in n for n in notes), notes
        assert statuses("vcan0") == [tx.Status.DISABLED] * 3
    finally:
        ip("vcan1", "up")
    time.sleep(0.2)
    assert statuses("vcan1") == [tx.Status.ENABLED] * 3
    groups[1].disable()


def test_a_robot_honours_its_groups(start_dmsim, bus):
    start_dmsim(*sim_args(2))
    with pytest.raises(ValueError, match="on_fault.*set on_fault on the Robot"):
        tx.Robot([tx.MotorGroup(bus, arm(2), on_fault="disable")])
    tx.Robot([tx.MotorGroup(bus, arm(2), on_fault="disable")], on_fault="disable")  # the same: accepted
    with pytest.raises(ValueError, match="on_exit"):
        tx.Robot([tx.MotorGroup(bus, arm(2), on_exit="keep")])
    group = tx.MotorGroup(bus, arm(2))
    robot = tx.Robot([group])
    robot.refresh()
    group.close()
    with pytest.raises(RuntimeError, match="MotorGroup is closed"):
        robot.refresh()
    with pytest.raises(RuntimeError, match="closed"):
        tx.Robot([group])


# ---- stop from another thread ---------------------------------------------------------------

def test_close_from_a_supervisor_thread_always_stops_the_loop(start_dmsim, bus):
    start_dmsim(*sim_args(3), args=["--mode", str(MIT)])
    rng = random.Random(11)
    results = []
    for _ in range(50):
        group = tx.MotorGroup(bus, arm(3))
        group.enable()
        ended = []

        def control():
            try:
                for _ in tx.Loop(rate_hz=500):
                    group.mit_control([torvane.mit_setpoint(q=0.1, kp=5, kd=0.5)] * 3)
            except RuntimeError as e:
                ended.append(str(e))

        thread = threading.Thread(target=control)
        thread.start()
        time.sleep(rng.uniform(0.0, 0.1))
        group.close()
        thread.join(30)
        results.append((not thread.is_alive(), ended[:1] == ["MotorGroup is closed: its motors were disabled by "
                                                             "close()"], statuses()))
    assert [r[:2] for r in results] == [(True, True)] * 50
    assert all(s == [tx.Status.DISABLED] * 3 for *_, s in results)
