"""torvane_ext.Robot against dmsim on several vcan interfaces: states from
each motor's own bus, one deadline per tick, a bus going down and coming
back, locking across Robots and threads, the *_into calls against their
tuple twins, and the per-motor records."""

import array
import subprocess
import threading
import time

import pytest

import torvane
import torvane_ext as tx
from canpeer import Peer

pytestmark = pytest.mark.bus

IFACES = ["vcan0", "vcan1", "vcan2", "vcan3"]
LIMITS = torvane.MitLimits.dm4310()


def arm(n=3, timeout_ms=100, first=1):
    return [torvane.Damiao(i, 0x10 + i, LIMITS, timeout_ms=timeout_ms) for i in range(first, first + n)]


def sim_args(n=3, first=1):
    return [f"{i}:0x{0x10 + i:x}:dm4310" for i in range(first, first + n)]


@pytest.fixture
def buses():
    return [torvane.SocketCanTransport(name) for name in IFACES]


def robot_on(start_dmsim, buses, count, n=3, **kw):
    for iface in IFACES[:count]:
        start_dmsim(*sim_args(n), iface=iface)
    # Generous: the emulated guest can stall a reply for tens of milliseconds.
    groups = [tx.MotorGroup(b, arm(n, timeout_ms=400)) for b in buses[:count]]
    return tx.Robot(groups, **kw)


@pytest.mark.parametrize("count", [2, 4])
def test_each_motor_state_comes_from_its_own_bus(start_dmsim, buses, count):
    robot = robot_on(start_dmsim, buses, count)
    assert len(robot.groups) == count and robot.timeout_ms == 400
    states = robot.enable()
    assert [s.motor_id for s in states] == [1, 2, 3] * count
    # dmsim starts in POS_VEL: every bus gets targets of its own sign.
    targets = [(0.8 if b % 2 == 0 else -0.8, 5.0) for b in range(count) for _ in range(3)]
    end = time.monotonic() + 3.0
    while time.monotonic() < end:
        states = robot.pos_vel(targets)
    final = robot.refresh()
    for (q, _), s in zip(targets, final):
        assert s is not None and s.position == pytest.approx(q, abs=0.1)
    robot.disable()


def test_a_silent_motor_costs_the_tick_one_deadline(start_dmsim, buses):
    for iface in IFACES[:2]:
        start_dmsim(*sim_args(2), iface=iface)
    # Motor 3 of each bus is not played: both buses wait for a motor.
    robot = tx.Robot([tx.MotorGroup(b, arm(3, timeout_ms=500)) for b in buses[:2]])
    robot.refresh()
    for _ in range(3):
        start = time.monotonic()
        states = robot.refresh()
        took = time.monotonic() - start
        assert [s is None for s in states] == [False, False, True] * 2
        # One deadline; the two buses' waits one after the other would be 1 s.
        assert 0.5 <= took < 0.9, took


def ip(*args):
    subprocess.run(["ip", "link", "set", *args], check=True)


def test_a_bus_taken_down_fails_the_call_naming_it_and_the_next_works(start_dmsim, buses):
    robot = robot_on(start_dmsim, buses, 2)
    robot.refresh()
    ip("vcan1", "down")
    try:
        with pytest.raises(tx.BusError, match="^vcan1: ") as err:
            robot.refresh()
        assert err.value.errno is not None
    finally:
        ip("vcan1", "up")
    time.sleep(0.2)
    states = robot.refresh()
    assert all(s is not None for s in states)


def test_the_same_bus_in_two_groups_is_refused(buses):
    a = tx.MotorGroup(buses[0], arm(2))
    b = tx.MotorGroup(buses[0], arm(2, first=5))
    with pytest.raises(ValueError, match="same bus"):
        tx.Robot([a, b])
    with pytest.raises(ValueError, match="same bus"):
        tx.Robot([a, a])
    with pytest.raises(TypeError, match="MotorGroup"):
        tx.Robot([a, buses[1]])


def test_robots_sharing_buses_in_opposite_orders_do_not_deadlock(start_dmsim, buses):
    for iface in IFACES[:2]:
        start_dmsim(*sim_args(4), iface=iface)
    # Generous timeouts: the emulated guest can stall a process for a while.
    left = [tx.MotorGroup(buses[0], arm(2, timeout_ms=400)), tx.MotorGroup(buses[1], arm(2, timeout_ms=400))]
    right = [tx.MotorGroup(buses[1], arm(2, 400, first=3)), tx.MotorGroup(buses[0], arm(2, 400, first=3))]
    one, two = tx.Robot(left), tx.Robot(right)
    single = torvane.Damiao(1, 0x11, LIMITS, timeout_ms=3000)
    errors, ticks = [], {"one": 0, "two": 0, "single": 0}

    def run(name, call, expect):
        try:
            for _ in range(1000 if name != "single" else 300):
                states = call()
                got = [s.motor_id if s else None for s in states]
                # Every reply is its own motor's, never another call's.
                assert all(g in (e, None) for g, e in zip(got, expect)), got
                ticks[name] += 1
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append((name, e))

    threads = [threading.Thread(target=run, args=("one", one.refresh, [1, 2, 1, 2])),
               threading.Thread(target=run, args=("two", two.refresh, [3, 4, 3, 4])),
               threading.Thread(target=run, args=("single", lambda: [single.enable(buses[1])], [1]))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(600)
    assert not any(t.is_alive() for t in threads), f"deadlock: ticks so far {ticks}"
    assert not errors, errors
    assert ticks == {"one": 1000, "two": 1000, "single": 300}


# name: (the tuple call, each motor's command row or None)
def by_columns(call, each):
    """Rows in the column order torvane_ext exports for `call`, from named values."""
    return [[v[c] for c in tx.COMMAND_COLUMNS[call]] for v in each]


# Every field distinct, so that a column read in the wrong place changes the frame.
MIT = [dict(q=0.1 * i, dq=0.2, kp=3.0, kd=0.4, tau=0.5) for i in range(6)]
POS_VEL = [dict(q=0.1 * i, dq=1.0) for i in range(6)]
FORCE_POS = [dict(q=0.1 * i, v_limit=1.0, i_limit=0.5) for i in range(6)]
INTO = {
    "refresh": (lambda r: r.refresh(), None),
    "mit_control": (lambda r: r.mit_control([torvane.mit_setpoint(**v) for v in MIT]), by_columns("mit_control", MIT)),
    "pos_vel": (lambda r: r.pos_vel([(v["q"], v["dq"]) for v in POS_VEL]), by_columns("pos_vel", POS_VEL)),
    "vel": (lambda r: r.vel([0.1 * i for i in range(6)]), by_columns("vel", [dict(dq=0.1 * i) for i in range(6)])),
    "force_pos": (lambda r: r.force_pos([(v["q"], v["v_limit"], v["i_limit"]) for v in FORCE_POS]),
                  by_columns("force_pos", FORCE_POS)),
}

def rows(values, typecode="d"):
    """A C-contiguous 2-D float buffer from a list of rows, without numpy."""
    flat = array.array(typecode, [v for row in values for v in row])
    return memoryview(flat).cast("B").cast(typecode, [len(values), len(values[0])])


def commands_sent(peers):
    return [[f for f in p.drain(0.2) if not 0x10 <= f[0] < 0x20] for p in peers]


@pytest.mark.parametrize("name", INTO)
@pytest.mark.parametrize("typecode", ["d", "f"])
def test_every_into_call_writes_what_its_tuple_twin_returns(start_dmsim, buses, name, typecode):
    # Disabled motors do not move, so two exchanges answer alike.
    robot = robot_on(start_dmsim, buses, 2)
    tuple_call, commands = INTO[name]
    peers = [Peer(i, timeout=1.0) for i in IFACES[:2]]
    try:
        robot.refresh()
        commands_sent(peers)
        states = tuple_call(robot)
        sent_tuple = commands_sent(peers)
        out = rows([[0.0] * len(tx.STATE_COLUMNS) for _ in range(6)], typecode)
        if commands is None:
            assert robot.refresh_into(out) == 6
        else:
            assert getattr(robot, name + "_into")(rows(commands, typecode), out) == 6
        sent_into = commands_sent(peers)
    finally:
        for p in peers:
            p.close()
    assert sent_into == sent_tuple and len(sent_into[0]) == 3
    for s, row in zip(states, out.tolist()):
        want = [getattr(s, "error" if c == "status" else c) for c in tx.STATE_COLUMNS]
        assert row == pytest.approx(want, rel=1e-6 if typecode == "f" else 0)


def strided():
    return memoryview(array.array("d", [0.0] * 12))[::2]


def shared():
    out = rows([[0.0] * 6] * 6)
    return out.cast("B").cast("d")[:6], out


BAD_INTO = [
    ("not a buffer", lambda r: r.mit_control_into([[0.0] * 5] * 6, rows([[0.0] * 6] * 6)), TypeError),
    ("int items", lambda r: r.refresh_into(memoryview(array.array("q", [0] * 36)).cast("B").cast("q", [6, 6])),
     TypeError),
    ("read-only out", lambda r: r.refresh_into(memoryview(bytes(6 * 6 * 8)).cast("d", [6, 6])), TypeError),
    ("too few rows", lambda r: r.refresh_into(rows([[0.0] * 6] * 5)), ValueError),
    ("too few columns", lambda r: r.mit_control_into(rows([[0.0] * 4] * 6), rows([[0.0] * 6] * 6)), ValueError),
    ("not contiguous", lambda r: r.vel_into(strided(), rows([[0.0] * 6] * 6)), ValueError),
    ("same memory", lambda r: r.vel_into(*shared()), ValueError),
]


@pytest.mark.parametrize("case", BAD_INTO, ids=[c[0] for c in BAD_INTO])
def test_wrong_buffers_send_nothing(start_dmsim, buses, case):
    _, call, error = case
    robot = robot_on(start_dmsim, buses, 2)
    robot.refresh()
    peers = [Peer(i, timeout=1.0) for i in IFACES[:2]]
    try:
        for p in peers:
            p.drain(0.2)
        with pytest.raises(error):
            call(robot)
        assert [p.drain(0.3) for p in peers] == [[], []]
    finally:
        for p in peers:
            p.close()


def test_records_follow_a_motor_that_goes_silent_and_comes_back(start_dmsim, buses):
    sims = [start_dmsim(*sim_args(2), iface=i) for i in IFACES[:2]]
    groups = [tx.MotorGroup(b, arm(2, timeout_ms=50)) for b in buses[:2]]
    robot = tx.Robot(groups)
    assert robot.last_answer_ns == (0,) * 4 and robot.last_states == (None,) * 4
    before = tx_now = time.monotonic_ns()
    robot.refresh()
    answered = robot.last_answer_ns
    assert all(before <= t <= time.monotonic_ns() for t in answered)
    assert robot.missed == (0,) * 4
    sims[1].proc.send_signal(19)  # SIGSTOP: bus 1's motors fall silent
    try:
        for k in range(1, 4):
            states = robot.refresh()
            assert states[2:] == (None, None)
            assert robot.missed == (0, 0, k, k)
            assert robot.last_answer_ns[2:] == answered[2:]
            assert robot.last_states[2].motor_id == 1
        assert groups[1].missed == (3, 3) and groups[0].missed == (0, 0)
    finally:
        sims[1].proc.send_signal(18)  # SIGCONT
    time.sleep(0.3)
    robot.refresh()
    assert robot.missed == (0,) * 4
    assert min(robot.last_answer_ns[2:]) > max(answered) > tx_now
    # A group's own tick updates the same records.
    groups[0].refresh()
    assert groups[0].last_answer_ns[0] > robot.last_answer_ns[2]
