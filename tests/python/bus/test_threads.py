"""Several threads driving motors at once, on one bus object and on buses of
two interfaces: every call gets the reply to its own request (or a timeout
when that request went unanswered), frames of two exchanges never
interleave, and nothing deadlocks.

TORVANE_THREAD_EXCHANGES sets the calls per thread (default 500: 4 threads,
2,000 exchanges a run, a reasonable time in the qemu guest, where one
exchange takes milliseconds).
"""

import os
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

import torvane
from canpeer import IFACE
from memwatch import calls_from_env
from peerproc import PeerProcess

pytestmark = pytest.mark.bus

IFACE2 = os.environ.get("TORVANE_CAN_IFACE2", "vcan1")
EXCHANGES = calls_from_env("TORVANE_THREAD_EXCHANGES", 500)
THREADS = 4
TIMEOUT_TEXT = "transport error: timeout waiting for frame"
# Where two threads share a bus object, and where each pair has its own
# bus on its own interface: thread i uses bus LAYOUTS[layout][i].
LAYOUTS = {"one-bus": "AAAA", "two-buses": "AABB"}
INTERFACES = {"A": IFACE, "B": IFACE2}


@pytest.fixture
def watchdog():
    """Abort the run if a test hangs: a deadlock that holds the interpreter
    lock stops every check written in Python, so the timer is another
    process. SIGABRT makes pytest's fault handler print every thread's stack
    on the way out."""
    timers = []

    def arm(seconds):
        timers.append(subprocess.Popen(["sh", "-c", f"sleep {seconds:.0f}; kill -ABRT {os.getpid()}"],
                                       start_new_session=True))

    yield arm
    for t in timers:
        os.killpg(t.pid, signal.SIGKILL)
        t.wait()


def run_threads(work, n):
    """work(i) in n threads started together; their results in thread order."""
    results = [None] * n
    errors = []
    barrier = threading.Barrier(n)

    def body(i):
        try:
            barrier.wait()
            results[i] = work(i)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append((i, e))

    threads = [threading.Thread(target=body, args=(i,), name=f"motor-{i}") for i in range(n)]
    # Hand the interpreter lock over at almost every call boundary, however
    # fast the bus: the threads take turns call by call instead of running
    # long stretches each (a call itself never lets go of the lock).
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        start = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == [], errors
    return results, time.monotonic() - start


# ---- against an echoing peer: each reply names the request it answers ------

def q_for_code(code):
    """A target position whose 16-bit code under the default limits is
    `code`: the middle of the code's interval, far from both edges."""
    return (code + 0.5) * 25.0 / 65535.0 - 12.5


def code_of(position):
    return round((position + 12.5) * 65535.0 / 25.0)


def read_echo_log(path):
    log = {}
    for line in path.read_text().splitlines():
        count, cmd, code, outcome = line.split()
        log[int(count)] = (int(cmd), int(code), outcome)
    return log


def test_every_call_gets_its_own_reply(tmp_path, watchdog):
    # All threads share one bus object, where crossed replies would come
    # from (the simulator test below has two buses on two interfaces). All
    # motors answer on one feedback id, so a reply that reached the wrong
    # call would be taken, not skipped: the peer's reply carries the request's
    # command id and position code and its own count of requests, and every
    # call checks that the reply is the answer to the request it sent.
    timeout_ms = 1000
    layout = "one-bus"
    assign = LAYOUTS[layout]
    per_bus = {b: assign.count(b) * EXCHANGES for b in set(assign)}
    assert max(per_bus.values()) < 2**16, "the reply's request count has 16 bits"
    # A few requests go unanswered on purpose: those calls, and only those,
    # must time out, and the next call must not see anything of them.
    drops = {b: sorted({n * k // 4 for k in (1, 2, 3)} - {0}) for b, n in per_bus.items()}
    watchdog(120 + THREADS * EXCHANGES * 0.1 + sum(map(len, drops.values())) * timeout_ms / 1000)

    peers = {b: PeerProcess("echo", INTERFACES[b], tmp_path / f"echo-{b}.log", "--drop",
                            ",".join(map(str, drops[b]))) for b in per_bus}
    try:
        buses = {b: torvane.SocketCanTransport(INTERFACES[b]) for b in per_bus}

        def work(i):
            motor = torvane.Damiao(i + 1, 0x11, timeout_ms=timeout_ms)
            bus = buses[assign[i]]
            out = []
            for k in range(EXCHANGES):
                try:
                    s = motor.mit_control(bus, torvane.MitSetpoint(q=q_for_code(k)))
                except RuntimeError as e:
                    out.append(str(e))
                else:
                    out.append((s.motor_id, code_of(s.position), s.t_mos | s.t_rotor << 8))
            return out

        results, took = run_threads(work, THREADS)
    finally:
        for p in peers.values():
            p.stop()

    for b in per_bus:
        log = read_echo_log(tmp_path / f"echo-{b}.log")
        assert sorted(log) == list(range(1, per_bus[b] + 1)), "the peer saw other requests than were made"
        claimed = set()
        for i in (i for i, bb in enumerate(assign) if bb == b):
            counts = []
            for k, got in enumerate(results[i]):
                if isinstance(got, str):
                    assert got == TIMEOUT_TEXT
                    assert (i + 1, k, "dropped") in log.values(), f"thread {i} call {k}: timed out, not dropped"
                    continue
                motor_id, code, count = got
                assert (motor_id, code) == (i + 1, k), f"thread {i} call {k} got the reply to {got}"
                assert log[count] == (i + 1, k, "answered"), f"thread {i} call {k}: {log[count]}"
                assert count not in claimed, f"reply {count} returned twice"
                claimed.add(count)
                counts.append(count)
            assert counts == sorted(counts)
        dropped = {c for c, entry in log.items() if entry[2] == "dropped"}
        assert dropped == set(drops[b])
        assert claimed | dropped == set(log)
        # The threads really took turns on the bus, not one after another.
        order = [log[c][0] for c in sorted(log)]
        switches = sum(a != b for a, b in zip(order, order[1:]))
        assert switches >= len(order) // 10, f"only {switches} switches between threads"
        print(f"{layout}, bus {b}: {len(log)} requests, {len(dropped)} dropped, {switches} switches between threads")
    print(f"{layout}: {THREADS} threads x {EXCHANGES} exchanges in {took:.1f} s")


# ---- against the simulator: its frame log shows every exchange whole --------

CANDUMP = re.compile(r"^\(\d+\.\d{6}\) (\S+) ([0-9A-F]{3})#([0-9A-F]*)$")
MOTORS = {0: (1, 0x11), 1: (2, 0x12), 2: (3, 0x13), 3: (4, 0x14)}  # thread: (command id, feedback id)


def exchanges_in(log_lines):
    """The frame log as (request, reply) pairs, failing at the first frame
    that is not the answer to the request just before it."""
    fb_of = {cmd: fb for cmd, fb in MOTORS.values()}
    pairs = []
    pending = None
    for line in log_lines:
        m = CANDUMP.match(line)
        assert m, line
        can_id, data = int(m[2], 16), bytes.fromhex(m[3])
        motor = data[0] | data[1] << 8 if can_id == 0x7FF else can_id
        if pending is None:
            assert motor in fb_of and can_id in (motor, 0x7FF), f"a reply without its request: {line}"
            pending = (motor, line)
        else:
            assert can_id == fb_of[pending[0]], f"{pending[1]} answered by {line}"
            pairs.append(pending[0])
            pending = None
    assert pending is None, f"unanswered: {pending[1]}"
    return pairs


def test_threads_against_the_simulator(start_dmsim, watchdog):
    watchdog(120 + THREADS * EXCHANGES * 0.1)
    assign = LAYOUTS["two-buses"]
    sims = {}
    for b in sorted(set(assign)):
        motors = [f"{MOTORS[i][0]}:{MOTORS[i][1]:#x}:dm4310" for i in range(THREADS) if assign[i] == b]
        sims[b] = start_dmsim(*motors, args=["--iface", INTERFACES[b], "--mode", "1"])
    buses = {b: torvane.SocketCanTransport(INTERFACES[b]) for b in sims}

    def work(i):
        cmd, fb = MOTORS[i]
        motor = torvane.Damiao(cmd, fb, timeout_ms=1000)
        bus = buses[assign[i]]
        ids = [motor.enable(bus).motor_id]
        for k in range(EXCHANGES - 2):
            if k % 25 == 0:
                motor.ensure_mit_mode(bus)  # one register read: MIT mode already
            else:
                ids.append(motor.mit_control(bus, torvane.mit_setpoint(q=0.01 * i, kp=5, kd=0.5)).motor_id)
        ids.append(motor.disable(bus).motor_id)
        assert set(ids) == {cmd}
        return EXCHANGES

    _, took = run_threads(work, THREADS)
    for b, sim in sims.items():
        assert sim.stop() == 0, sim.stderr()
        pairs = exchanges_in(sim.log_lines())
        mine = [MOTORS[i][0] for i in range(THREADS) if assign[i] == b]
        assert sorted(set(pairs)) == mine
        assert all(pairs.count(m) == EXCHANGES for m in mine)
    print(f"dmsim: {THREADS} threads x {EXCHANGES} exchanges on two buses in {took:.1f} s")
