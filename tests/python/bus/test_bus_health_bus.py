"""Bus health on vcan: error frames written by a raw socket of the test (as a
controller's driver would deliver them), torvane's own calls on a socket
torvane_ext watches, a bus-off in the middle of a Robot loop on two buses,
the other controller states counted and not raised, the counters adding up,
dmtool listen and monitor showing them, and memory flat."""

import csv
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import torvane
import torvane_ext as tx
from canpeer import IFACE, Peer
from memwatch import calls_from_env, measure

pytestmark = pytest.mark.bus

DMTOOL = Path(sys.executable).parent / "dmtool"
LIMITS = torvane.MitLimits.dm4310()
CLASSIC = struct.Struct("=IB3x8s")
# linux/can.h, linux/can/error.h
CAN_ERR_FLAG, CAN_RAW_ERR_FILTER, CAN_ERR_MASK = 0x20000000, 2, 0x1FFFFFFF
TX_TIMEOUT, LOSTARB, CRTL, PROT, TRX, ACK, BUSOFF, RESTARTED = 0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x100
TX_WARNING, RX_PASSIVE, TX_PASSIVE = 0x08, 0x10, 0x20
# Where this file's Robot goes bus-off: interfaces no other test of the run holds a socket on.
ROBOT_IFACES = ("vcan2", "vcan3")
# A state of motor 1 on feedback id 0x11, with a mark in t_rotor.
STATE_1 = bytes([0x11, 0x80, 0x00, 0x80, 0x07, 0xFF, 40, 77])


def arm(n=3, timeout_ms=400):
    return [torvane.Damiao(i, 0x10 + i, LIMITS, timeout_ms=timeout_ms) for i in range(1, n + 1)]


def sim_args(n=3):
    return [f"{i}:0x{0x10 + i:x}:dm4310" for i in range(1, n + 1)]


def inject(classes, data=bytes(8), iface=IFACE):
    """An error frame on IFACE, from a socket of this test; then a moment for vcan to deliver it."""
    with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as s:
        s.bind((iface,))
        s.send(CLASSIC.pack(CAN_ERR_FLAG | classes, 8, bytes(data).ljust(8, b"\0")))
    time.sleep(0.05)


def raw_socket(errors, iface=IFACE):
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    if errors:
        s.setsockopt(socket.SOL_CAN_RAW, CAN_RAW_ERR_FILTER, CAN_ERR_MASK)
    s.bind((iface,))
    s.settimeout(0.5)
    return s


def counts(h):
    return {k: v for k, v in h.error_frames.items() if v}


def watched(iface=IFACE):
    """A bus that torvane_ext has used once (a call that gives up at once), so its socket takes error frames."""
    bus = torvane.SocketCanTransport(iface)
    with pytest.raises(tx.MotorTimeout):
        tx.refresh(bus, torvane.Damiao(0x7E, 0x7E, timeout_ms=0))
    tx.reset_bus_health(bus)
    return bus


def test_vcan_delivers_an_error_frame_only_to_a_socket_that_asks_for_them():
    asks, plain = raw_socket(True), raw_socket(False)
    try:
        inject(BUSOFF | CRTL, bytes([0, TX_PASSIVE, 0, 0, 0, 0, 128, 0]))
        can_id, length, data = CLASSIC.unpack(asks.recv(72))
        assert (can_id, length, data) == (CAN_ERR_FLAG | BUSOFF | CRTL, 8, bytes([0, TX_PASSIVE, 0, 0, 0, 0, 128, 0]))
        with pytest.raises(TimeoutError):
            plain.recv(72)
    finally:
        asks.close()
        plain.close()


# Error frames shaped like the replies torvane waits for: classes 0x11 (tx-timeout, transceiver) are motor
# 1's feedback id and the bytes its state; protocol with the bytes of motor 1's answer to a read of
# register 10 (CTRL_MODE) = 1 (MIT).
LOOKALIKE = (TX_TIMEOUT | TRX, STATE_1)
MODE_ANSWER = (PROT, bytes([0x01, 0x00, 0x33, 10, 1, 0, 0, 0]))


def torvane_calls(bus, peer):
    """torvane's own calls, each after a lookalike error frame: what each returned or raised."""
    m = torvane.Damiao(1, 0x11, LIMITS, timeout_ms=300)
    out = []
    inject(*LOOKALIKE)
    try:
        out.append(m.enable(bus))
    except RuntimeError as e:
        out.append(str(e))
    inject(*LOOKALIKE)
    peer.send(0x11, STATE_1[:7] + bytes([5]))   # the motor's own reply, already waiting
    time.sleep(0.05)
    out.append(m.enable(bus).t_rotor)
    inject(*MODE_ANSWER)
    try:
        m.ensure_mit_mode(bus)
        out.append("mode set")
    except RuntimeError as e:
        out.append(str(e))
    return out


def test_torvanes_own_calls_on_a_watched_socket_behave_as_on_one_that_never_takes_error_frames():
    peer = Peer()
    try:
        plain = torvane.SocketCanTransport(IFACE)      # torvane alone: no error frames reach it
        before = torvane_calls(plain, peer)
        bus = watched()
        assert tx.bus_health(bus).frames_out == 0
        assert torvane_calls(bus, peer) == before == [
            "transport error: timeout waiting for frame", 5, "transport error: timeout waiting for frame"]
        h = tx.bus_health(bus)
        # Counted on the watched socket only: three requests, one reply, three error frames.
        assert (h.frames_out, h.frames_in, h.unsolicited) == (3, 1, 0)
        assert counts(h) == {"tx-timeout": 2, "transceiver": 2, "protocol": 1}
    finally:
        peer.close()


def test_other_states_are_counted_and_readable_not_raised(start_dmsim):
    start_dmsim(*sim_args(2))
    bus = torvane.SocketCanTransport(IFACE)
    group = tx.MotorGroup(bus, arm(2))
    group.refresh()
    tx.reset_bus_health(bus)
    steps = [((CRTL, bytes([0, TX_WARNING])), "error-warning"), ((CRTL, bytes([0, RX_PASSIVE])), "error-passive"),
             ((ACK | LOSTARB, bytes([3])), "error-passive"), ((RESTARTED,), "error-active")]
    for error, state in steps:
        inject(*error)
        states = group.refresh()
        assert None not in states
        assert group.health.state == state
    h = tx.bus_health(bus)
    assert counts(h) == {"controller": 2, "no-ack": 1, "lost-arbitration": 1, "restarted": 1}
    assert (h.iface, h.frames_out) == (IFACE, 8)
    # A reset zeroes the counters; the state stays what the controller last said.
    inject(CRTL, bytes([0, TX_PASSIVE]))
    group.refresh()
    tx.reset_bus_health(bus)
    h = tx.bus_health(bus)
    assert (h.state, h.frames_out, h.frames_in, h.stale, h.unsolicited, h.tx_waits, counts(h)) == (
        "error-passive", 0, 0, 0, 0, 0, {})


def test_the_counters_add_up_over_ticks(start_dmsim):
    start_dmsim(*sim_args(2))
    bus = torvane.SocketCanTransport(IFACE)
    group = tx.MotorGroup(bus, arm(2))
    group.refresh()
    tx.reset_bus_health(bus)
    peer = Peer()
    answered = 0
    try:
        for tick in range(40):
            if tick == 10:
                # Before the tick: a late state of motor 1 and a frame that is nobody's reply.
                peer.send(0x11, STATE_1)
                peer.send(0x555, b"\x5a")
                time.sleep(0.05)
            answered += sum(s is not None for s in group.refresh())
    finally:
        peer.close()
    h = group.health
    assert h.frames_out == 80
    assert h.stale >= 1 and h.unsolicited >= 1
    # Every frame read was a reply, a stale reply or nobody's.
    assert h.frames_in == answered + h.stale + h.unsolicited
    same = tx.bus_health(bus)
    assert (h.iface, h.frames_out, h.frames_in, h.stale, h.unsolicited) == (
        same.iface, same.frames_out, same.frames_in, same.stale, same.unsolicited)


def test_bus_off_in_a_robot_loop_raises_within_a_tick_naming_the_bus_and_every_motor_is_disabled(start_dmsim):
    for iface in ROBOT_IFACES:
        start_dmsim(*sim_args(3), iface=iface)
    buses = [torvane.SocketCanTransport(iface) for iface in ROBOT_IFACES]
    groups = [tx.MotorGroup(b, arm(3), on_fault="raise") for b in buses]
    commands = [0.0] * (6 * 2)
    out = memoryview(bytearray(8 * 6 * 6)).cast("d", [6, 6])
    cmd = memoryview(struct.pack("12d", *commands)).cast("B").cast("d", [6, 2])
    done, injected = [0], []

    def inject_after(n):
        with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as s:
            s.bind((ROBOT_IFACES[1],))
            while done[0] < n:
                time.sleep(0.002)
            # The ticks done just before and just after the frame went out.
            injected.append(done[0])
            s.send(CLASSIC.pack(CAN_ERR_FLAG | BUSOFF, 8, bytes(8)))
            injected.append(done[0])

    thread = threading.Thread(target=inject_after, args=(20,), daemon=True)
    with pytest.raises(tx.BusError) as err:
        with tx.Robot(groups, on_fault="raise") as robot:
            assert None not in robot.enable()
            thread.start()
            # However slowly a loaded machine runs the injecting thread: ticks
            # until the frame is some ticks old.
            give_up = time.monotonic() + 300
            while (len(injected) < 2 or done[0] <= injected[1] + 5) and time.monotonic() < give_up:
                robot.pos_vel_into(cmd, out)
                done[0] += 1
            pytest.fail(f"no BusError: injected between ticks {injected}, {done[0]} done, "
                        f"thread alive {thread.is_alive()}, health {robot.health}")
    thread.join(5)
    assert str(err.value) == f"{ROBOT_IFACES[1]}: bus-off" and err.value.errno is None
    # Raised by the tick running when the frame came, or at the latest by the next.
    assert injected[0] <= done[0] <= injected[1] + 1, (injected, done)
    health = robot.health
    assert [h.iface for h in health] == list(ROBOT_IFACES)
    assert [(h.state, h.error_frames["bus-off"]) for h in health][1] == ("bus-off", 1)
    assert health[0].state != "bus-off"
    # Leaving the block disabled every motor, the other bus's first of all.
    for iface in ROBOT_IFACES:
        fresh = torvane.SocketCanTransport(iface)
        assert [tx.status(tx.refresh(fresh, m)) for m in arm(3, 2000)] == [tx.Status.DISABLED] * 3, iface


def test_a_group_that_sees_bus_off_raises_and_the_next_tick_works(start_dmsim):
    start_dmsim(*sim_args(2))
    bus = torvane.SocketCanTransport(IFACE)
    group = tx.MotorGroup(bus, arm(2))
    group.refresh()
    inject(BUSOFF)
    with pytest.raises(tx.BusError, match=f"^{IFACE}: bus-off$"):
        group.refresh()
    # The same frame is never seen twice; a restart says the controller is back.
    inject(RESTARTED)
    assert None not in group.refresh()
    assert group.health.state == "error-active"


def test_dmsim_bus_off_raises_in_a_group_within_a_tick_and_its_restart_lets_it_go_on(start_dmsim):
    """dmsim's own bus-off (--bus-off) rather than an injected frame. The bus is watched and a raw socket
    waits for the frame before dmsim starts, so the stretch can begin as soon as the group ticks."""
    bus = watched()
    group = tx.MotorGroup(bus, arm(2, timeout_ms=100))
    done, seen = [0], []

    def note_bus_off():
        s = raw_socket(True)
        s.settimeout(60)
        try:
            while True:
                can_id, _, _ = CLASSIC.unpack(s.recv(72)[:CLASSIC.size])
                if can_id == CAN_ERR_FLAG | BUSOFF:
                    seen.append(done[0])
                    return
        finally:
            s.close()

    thread = threading.Thread(target=note_bus_off, daemon=True)
    thread.start()
    time.sleep(0.2)
    start_dmsim(*sim_args(2), args=["--bus-off", "2+0.5"])
    answered_before = 0
    with pytest.raises(tx.BusError) as err:
        while done[0] < 10_000:
            answered_before += None not in group.refresh()
            done[0] += 1
    thread.join(5)
    assert str(err.value) == f"{IFACE}: bus-off" and err.value.errno is None
    assert answered_before > 0
    # Raised by the tick running when dmsim wrote the frame, or by the next.
    assert seen and seen[0] <= done[0] <= seen[0] + 1, (seen, done)
    # After the stretch dmsim says restarted and answers again.
    deadline = time.monotonic() + 30
    while group.health.state != "error-active" and time.monotonic() < deadline:
        group.refresh()
    assert group.health.state == "error-active"
    assert None not in group.refresh()
    assert counts(tx.bus_health(bus)) == {"bus-off": 1, "restarted": 1}


def test_dmsim_error_frames_are_counted_by_class(start_dmsim):
    bus = watched()
    group = tx.MotorGroup(bus, arm(2, timeout_ms=100))
    sim = start_dmsim(*sim_args(2), args=["--bus-error", "no-ack@1", "--bus-error", "no-ack@1.2",
                                          "--bus-error", "error-passive@1.4", "--verbose"])
    deadline = time.monotonic() + 30
    while "error frame error-passive" not in sim.stderr() and time.monotonic() < deadline:
        group.refresh()
    group.refresh()
    h = tx.bus_health(bus)
    assert h.error_frames["no-ack"] == 2
    assert counts(h) == {"no-ack": 2, "controller": 1}
    assert h.state == "error-passive"


# ---- dmtool ---------------------------------------------------------------------------------

def lines_until(stream, check, timeout=60):
    """Lines of STREAM read until one passes CHECK; all of them."""
    seen, done = [], threading.Event()

    def read():
        for line in stream:
            seen.append(line.rstrip("\n"))
            if check(line):
                done.set()
                return
    threading.Thread(target=read, daemon=True).start()
    assert done.wait(timeout), f"never: {seen}"
    return seen


def stopped(proc):
    proc.send_signal(signal.SIGINT)
    try:
        return proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_listen_names_error_frames_and_the_bus_state(tmp_path):
    listen = subprocess.Popen([DMTOOL, "--iface", IFACE, "listen", "--log", tmp_path / "listen.log", "--csv",
                               tmp_path / "listen.csv"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        lines_until(listen.stderr, lambda line: "listening on" in line)
        inject(CRTL | 0x200, bytes([0, TX_PASSIVE, 0, 0, 0, 0, 96, 3]))
        inject(BUSOFF)
        seen = lines_until(listen.stdout, lambda line: "bus-off" in line)
    finally:
        rest, summary = stopped(listen)
    assert listen.returncode == 0, summary
    lines = [*seen, *rest.splitlines()]
    assert [re.sub(r"^\d+\.\d+ ", "", line) for line in lines] == [
        f"{IFACE} 20000204 -          error       controller tx error-passive; counters tx 96 rx 3",
        f"{IFACE} 20000040 -          error       bus-off"]
    assert summary.splitlines()[-1] == "  bus: bus-off, error frames: controller x1, bus-off x1"
    with open(tmp_path / "listen.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert [(r["can_id"], r["kind"], r["bus_state"]) for r in rows] == [
        ("0x20000204", "error", "error-passive"), ("0x20000040", "error", "bus-off")]
    # Its log holds them as candump -L writes error frames, and decode reads them back alike.
    log = (tmp_path / "listen.log").read_text().splitlines()
    assert [line.split()[2] for line in log] == ["20000204#0020000000006003", "20000040#0000000000000000"]
    decoded = subprocess.run([DMTOOL, "decode", tmp_path / "listen.log"], capture_output=True, text=True, timeout=60)
    assert [line.split(" ", 1)[1] for line in decoded.stdout.splitlines()] == [
        line.split(" ", 1)[1] for line in lines]


def test_monitor_shows_the_bus_state_and_goes_on_through_bus_off(start_dmsim):
    start_dmsim(*sim_args(1))
    monitor = subprocess.Popen([DMTOOL, "--iface", IFACE, "--timeout-ms", "400", "monitor", "1", "--rate", "20"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        first = lines_until(monitor.stdout, lambda line: " bus=" in line)
        inject(BUSOFF)
        off = lines_until(monitor.stdout, lambda line: " state=bus-off " in line)
        inject(RESTARTED)
        back = lines_until(monitor.stdout, lambda line: " state=error-active " in line)
    finally:
        _, err = stopped(monitor)
    assert monitor.returncode == 0, err
    assert first[-1].split(" ", 1)[1].startswith(f"bus={IFACE} state=error-active errors=none ")
    # The tick that found the bus off: no answer, and the state; then on as before.
    assert off[-2].endswith(" motor=1 master=0x11 watchdog=off status=no-answer")
    assert off[-1].split(" ", 1)[1].startswith(f"bus={IFACE} state=bus-off errors=bus-off:1 ")
    assert " status=DISABLED " in back[-2]
    assert back[-1].split(" ", 1)[1].startswith(f"bus={IFACE} state=error-active errors=bus-off:1,restarted:1 ")


# ---- memory -----------------------------------------------------------------------------------

CALLS = calls_from_env("TORVANE_BUS_LEAK_CALLS", 20_000)


def test_reading_the_health_leaves_memory_flat():
    bus = watched()
    group = tx.MotorGroup(bus, arm(2))
    robot = tx.Robot([group])
    watch = [("bus", bus), ("group", group), ("robot", robot), ("class BusHealth", tx.BusHealth)]
    for name, call in [("bus_health", lambda: tx.bus_health(bus)), ("reset", lambda: tx.reset_bus_health(bus)),
                       ("group.health", lambda: group.health), ("robot.health", lambda: robot.health),
                       ("fields", lambda: (h := tx.bus_health(bus), h.error_frames, h.state, repr(h)))]:
        usage = measure(call, CALLS, watch=watch, warmup=1_000)
        print(f"{name}: {usage.summary()}")
        assert not usage.problems(), (name, usage.summary())
