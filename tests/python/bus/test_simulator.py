"""The motor simulator, driven over a virtual CAN bus by torvane itself.

dmsim runs as a subprocess on the bus; torvane talks to it as it would to a
motor, and a raw socket of Python's own (canpeer) reads and writes registers
that torvane has no call for.
"""

import csv
import math
import re
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path

import pytest

import torvane
from canpeer import IFACE, Peer
from motorframes import f32, read_register, register_frame, u32, write_register

bus_test = pytest.mark.bus

# Replies from a simulator in a slow guest: generous, costs nothing on success.
SLOW = 500
REPO = Path(__file__).resolve().parents[3]

REG_UV, REG_OT, REG_TIMEOUT, REG_MODE, REG_OV = 0, 2, 9, 10, 29
MIT, POS_VEL, VEL, FORCE_POS = 1, 2, 3, 4
TIMEOUT_TEXT = "transport error: timeout waiting for frame"
CANDUMP_LINE = re.compile(r"^\((\d+)\.(\d{6})\) (\S+) ([0-9A-F]{3}|[0-9A-F]{8})(#R|#|##[0-9A-F])([0-9A-F]*)$")


@pytest.fixture
def bus():
    return torvane.SocketCanTransport(IFACE)


@pytest.fixture
def peer():
    p = Peer(timeout=2.0)
    yield p
    p.close()


# A torvane bus socket sees the peer's register traffic too, and a write's
# echo travels on the feedback id, where the next command would take it for
# its reply (as it would with a real motor): tests open a fresh torvane socket
# after talking to registers through the peer.

def mit(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0):
    return torvane.MitSetpoint(q=q, dq=dq, kp=kp, kd=kd, tau=tau)


def parse_log(lines):
    frames = []
    for line in lines:
        m = CANDUMP_LINE.match(line)
        assert m, f"not a candump -L line: {line!r}"
        frames.append((m.group(3), m.group(4), m.group(5), m.group(6)))
    return frames


# ------------------------------------------------------------ control mode

@bus_test
@pytest.mark.parametrize("start_mode", [POS_VEL, VEL, FORCE_POS, MIT])
def test_ensure_mit_mode_switches_the_control_mode_register(start_dmsim, peer, start_mode):
    sim = start_dmsim("1:0x11:dm4310", args=["--mode", str(start_mode)])
    assert u32(read_register(peer, 1, REG_MODE)) == start_mode

    torvane.Damiao(1, 0x11, timeout_ms=SLOW).ensure_mit_mode(torvane.SocketCanTransport(IFACE))

    reply = read_register(peer, 1, REG_MODE)
    assert reply == (0x11, bytes.fromhex("0100330A01000000"), False)
    writes = [f for f in parse_log(sim.log_lines()) if f[1] == "7FF" and f[3][4:8] == "550A"]
    assert len(writes) == (0 if start_mode == MIT else 1)


# -------------------------------------------------------------- MIT control

@bus_test
@pytest.mark.parametrize("model, target", [("dm4310", 1.0), ("dm4340", -0.75), ("dm8009", 2.0)])
def test_mit_control_moves_toward_the_target_and_settles(start_dmsim, bus, model, target):
    start_dmsim(f"1:0x11:{model}")
    motor = torvane.Damiao(1, 0x11, getattr(torvane.MitLimits, model)(), timeout_ms=SLOW)
    motor.ensure_mit_mode(bus)
    start = motor.enable(bus)
    assert start.error == 1
    assert abs(start.position) < 1e-3

    sp = mit(q=target, kp=20.0, kd=1.0)
    positions = []
    deadline = time.monotonic() + 15.0
    while time.monotonic() < deadline:
        state = motor.mit_control(bus, sp)
        assert state.error == 1
        positions.append(state.position)
        if len(positions) > 5 and abs(state.position - target) < 0.01 and abs(state.velocity) < 0.05:
            break
    # Moving the right way from the start, never far past the target (the
    # loop is well damped), and at rest on it at the end.
    assert math.copysign(1, positions[len(positions) // 4] - start.position) == math.copysign(1, target)
    assert max(abs(p) for p in positions) < abs(target) + 0.05
    assert positions[-1] == pytest.approx(target, abs=0.01)
    motor.disable(bus)


@bus_test
@pytest.mark.parametrize("mode", [POS_VEL, VEL, FORCE_POS])
def test_mit_commands_in_another_mode_do_not_move_the_motor(start_dmsim, bus, mode):
    start_dmsim("1:0x11:dm4310", args=["--mode", str(mode)])
    motor = torvane.Damiao(1, 0x11, timeout_ms=SLOW)
    assert motor.enable(bus).error == 1
    end = time.monotonic() + 1.0
    states = []
    while time.monotonic() < end:
        states.append(motor.mit_control(bus, mit(q=2.0, kp=50.0, kd=1.0, tau=3.0)))
    assert len(states) > 3
    assert all(s.error == 1 for s in states)  # answered all the same
    assert max(abs(s.position) for s in states) < 1e-3
    assert max(abs(s.velocity) for s in states) < 0.02
    assert max(abs(s.torque) for s in states) < 0.01


@bus_test
def test_two_motors_answer_each_on_its_own_identifier(start_dmsim, bus):
    start_dmsim("1:0x11:dm4310", "2:0x12:dm4340")
    a = torvane.Damiao(1, 0x11, torvane.MitLimits.dm4310(), timeout_ms=SLOW)
    b = torvane.Damiao(2, 0x12, torvane.MitLimits.dm4340(), timeout_ms=SLOW)
    for m in (a, b):
        m.ensure_mit_mode(bus)
    assert (a.enable(bus).motor_id, b.enable(bus).motor_id) == (1, 2)
    for _ in range(50):
        a.mit_control(bus, mit(q=0.5, kp=20.0, kd=1.0))
        sb = b.mit_control(bus, mit(q=-0.5, kp=20.0, kd=1.0))
    time.sleep(0.5)
    assert a.disable(bus).position > 0.3
    assert sb.motor_id == 2
    assert b.disable(bus).position < -0.3


# ------------------------------------------------------------------- faults

@bus_test
@pytest.mark.parametrize("cause, setpoint, quiet_s, code, cure", [
    ((REG_OT, f32(26.0)), mit(tau=10.0), 0, 0xC, (REG_OT, f32(80.0))),  # full torque heats the winding
    ((REG_UV, f32(30.0)), mit(), 0, 0x9, (REG_UV, f32(10.0))),          # the supply is 24 V
    ((REG_OV, f32(20.0)), mit(), 0, 0x8, (REG_OV, f32(32.0))),
    ((REG_TIMEOUT, 2000), mit(), 0.5, 0xD, None),                       # 2000 x 50 us = 100 ms
], ids=["rotor-over-temperature", "under-voltage", "over-voltage", "communication-lost"])
def test_fault_shows_in_the_error_nibble_and_clears_with_clear_error(start_dmsim, peer, cause, setpoint, quiet_s,
                                                                     code, cure):
    start_dmsim("1:0x11:dm4310")
    motor = torvane.Damiao(1, 0x11, timeout_ms=SLOW)
    first = torvane.SocketCanTransport(IFACE)
    motor.ensure_mit_mode(first)
    assert motor.enable(first).error == 1
    write_register(peer, 1, *cause)
    bus = torvane.SocketCanTransport(IFACE)
    time.sleep(quiet_s)

    deadline = time.monotonic() + 20.0
    while (state := motor.mit_control(bus, setpoint)).error == 1 and time.monotonic() < deadline:
        pass
    assert state.error == code

    # Faulted: no torque, and enabling again does not help.
    assert motor.enable(bus).error == code
    assert abs(motor.mit_control(bus, mit(tau=5.0)).torque) < 0.01
    if cure is not None:
        assert motor.clear_error(bus).error == code  # the cause is still there
        write_register(peer, 1, *cure)
        bus = torvane.SocketCanTransport(IFACE)
    assert motor.clear_error(bus).error == 0
    assert motor.enable(bus).error == 1


# -------------------------------------------------------------- test knobs

@bus_test
def test_no_answer_knob_makes_every_call_time_out(start_dmsim, bus):
    sim = start_dmsim("1:0x11:dm4310", args=["--drop-probability", "1"])
    motor = torvane.Damiao(1, 0x11, timeout_ms=200)
    for call in (motor.enable, motor.ensure_mit_mode, lambda b: motor.mit_control(b, mit())):
        with pytest.raises(RuntimeError) as info:
            call(bus)
        assert str(info.value) == TIMEOUT_TEXT
    sim.stop()
    frames = parse_log(sim.log_lines())
    assert [f[1] for f in frames] == ["001", "7FF", "001"]  # heard, never answered


@bus_test
def test_drop_probability_loses_some_replies_reproducibly(start_dmsim):
    def outcomes():
        sim = start_dmsim("1:0x11:dm4310", args=["--drop-probability", "0.5", "--seed", "7"])
        bus = torvane.SocketCanTransport(IFACE)
        motor = torvane.Damiao(1, 0x11, timeout_ms=150)
        got = []
        for _ in range(24):
            try:
                motor.enable(bus)
                got.append(True)
            except RuntimeError as e:
                assert str(e) == TIMEOUT_TEXT
                got.append(False)
        del bus
        assert sim.stop() == 0
        return got

    first = outcomes()
    assert 3 <= first.count(False) <= 21
    assert outcomes() == first  # same seed, same losses


@bus_test
def test_latency_knob_delays_every_reply(start_dmsim):
    start_dmsim("1:0x11:dm4310", args=["--latency-us", "150000"])
    with pytest.raises(RuntimeError, match="^transport error: timeout waiting for frame$"):
        torvane.Damiao(1, 0x11, timeout_ms=40).enable(torvane.SocketCanTransport(IFACE))
    time.sleep(0.5)  # let the late reply go by before a fresh socket opens
    bus = torvane.SocketCanTransport(IFACE)
    t0 = time.monotonic()
    assert torvane.Damiao(1, 0x11, timeout_ms=5000).enable(bus).error == 1
    assert time.monotonic() - t0 >= 0.15


# ---------------------------------------------------------------- registers

@bus_test
def test_registers_read_write_and_refuse_over_the_bus(start_dmsim, peer):
    start_dmsim("0x123:0x7E:dm4340")
    assert read_register(peer, 0x123, REG_MODE) == (0x7E, bytes.fromhex("2301330A02000000"), False)
    # A float register: written, echoed verbatim, read back.
    write_register(peer, 0x123, REG_OT, f32(65.5), fb_id=0x7E)
    assert read_register(peer, 0x123, REG_OT)[1][4:] == struct.pack("<f", 65.5)
    assert read_register(peer, 0x123, 23)[1][4:] == struct.pack("<f", 28.0)  # TMAX of the model
    # Read-only, unknown, or for another motor: no answer at all.
    for frame in (register_frame(0x123, 0x55, 13, 9), register_frame(0x123, 0x33, 37),
                  register_frame(0x23, 0x33, REG_MODE), register_frame(0x123, 0xAA, REG_MODE)):
        peer.send(0x7FF, frame)
        assert peer.drain(0.3) == []
    assert u32(read_register(peer, 0x123, 13)) == 1


# ------------------------------------------------------- log and bad input

@bus_test
def test_log_has_every_frame_in_candump_format_and_bad_frames_change_nothing(start_dmsim, bus, peer):
    sim = start_dmsim("1:0x11:dm4310", args=["--verbose"])
    motor = torvane.Damiao(1, 0x11, timeout_ms=SLOW)
    motor.enable(bus)
    peer.drain(0.05)
    peer.send(0x001, bytes.fromhex("FFFFFFFFFFFFFD"))          # 7 bytes
    peer.send(0x001, bytes.fromhex("FFFFFFFFFFFFFFFD"), extended=True)
    peer.send_fd(0x001, bytes.fromhex("FFFFFFFFFFFFFFFD00000000"), flags=0x01)  # 12 bytes
    peer.send(0x001, bytes.fromhex("FFFFFFFFFFFFFFFD"), remote=True)
    peer.send(0x7FF, bytes.fromhex("0100AA0A01000000"))         # unknown operation
    peer.send(0x7FF, bytes.fromhex("0100"))                     # truncated register frame
    peer.send(0x123, b"")
    assert peer.drain(0.3) == []
    assert motor.enable(bus).error == 1                          # still enabled, still answering
    sim.stop()

    frames = parse_log(sim.log_lines())
    assert all(f[0] == IFACE for f in frames)
    assert [(f[1], f[2], f[3]) for f in frames] == [
        ("001", "#", "FFFFFFFFFFFFFFFC"),
        ("011", "#", frames[1][3]),
        ("001", "#", "FFFFFFFFFFFFFD"),
        ("00000001", "#", "FFFFFFFFFFFFFFFD"),
        ("001", "##1", "FFFFFFFFFFFFFFFD00000000"),
        ("001", "#R", "8"),
        ("7FF", "#", "0100AA0A01000000"),
        ("7FF", "#", "0100"),
        ("123", "#", ""),
        ("001", "#", "FFFFFFFFFFFFFFFC"),
        ("011", "#", frames[10][3]),
    ]
    assert frames[1][3][0] == "1" and len(frames[1][3]) == 16   # status 1 (enabled), motor 1
    stamps = [float(line[1:line.index(")")]) for line in sim.log_lines()]
    assert stamps == sorted(stamps) and abs(stamps[-1] - time.time()) < 60
    assert sim.stderr().count("dmsim: ") >= 8  # ready line plus the ignored frames, with reasons


@bus_test
@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_signals_end_the_simulator_cleanly(start_dmsim, dmsim_iface, sig):
    sim = start_dmsim("1:0x11:dm4310", "2:0x12:dm6006")
    assert sim.stop(sig) == 0
    assert sim.stderr() == f"dmsim: ready on {dmsim_iface} with 2 motors\n"


@bus_test
def test_duration_ends_the_simulator(dmsim_exe, dmsim_iface):
    t0 = time.monotonic()
    done = subprocess.run([dmsim_exe, "--iface", dmsim_iface, "--motor", "1:0x11:dm4310", "--duration", "0.5"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0
    assert done.stderr == f"dmsim: ready on {dmsim_iface} with 1 motor\n"
    assert time.monotonic() - t0 >= 0.5


# ---------------------------------------------------------------- example

@bus_test
def test_track_sine_example_runs_against_the_simulator(start_dmsim, tmp_path):
    start_dmsim("1:0x11:dm4310", "2:0x12:dm4340")
    out_csv, out_png = tmp_path / "track.csv", tmp_path / "track.png"
    done = subprocess.run(
        [sys.executable, REPO / "examples" / "track_sine.py", "--iface", IFACE, "--motor", "1:0x11:dm4310",
         "--motor", "2:0x12:dm4340", "--duration", "2", "--frequency", "1", "--timeout-ms", str(SLOW),
         "--csv", out_csv, "--png", out_png],
        capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "MIT mode, enabled" in done.stdout
    assert "cycles/s" in done.stdout
    with open(out_csv, newline="") as f:
        rows = list(csv.DictReader(f))
    for label in ("dm4310@0x1", "dm4340@0x2"):
        mine = [r for r in rows if r["motor"] == label]
        assert len(mine) > 10, label
        late = [r for r in mine if float(r["time_s"]) > 0.5]  # past the start-up transient
        # Loose, and RMS rather than worst case: an emulated guest updates the
        # setpoint only tens of times a second and stalls now and then, but a
        # motor that did not follow would be off by about 0.35 RMS (0.5 / sqrt 2).
        errors = [float(r["commanded_rad"]) - float(r["measured_rad"]) for r in late]
        assert math.sqrt(sum(e * e for e in errors) / len(errors)) < 0.25
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert not out_png.exists()
    else:
        assert out_png.stat().st_size > 0


# -------------------------------------------------- command line, no bus

@pytest.mark.parametrize("args, message", [
    ([], "dmsim: at least one --motor is required"),
    (["--motor", "1:0x11"], "dmsim: --motor '1:0x11': expected [IFACE:]CMD:FB:MODEL, e.g. 1:0x11:dm4310"),
    (["--motor", "1:0x11:dm4310", "--fault", "1:meltdown@1"],
     "dmsim: --fault '1:meltdown@1': unknown fault; known: overvoltage, undervoltage, overcurrent, overload, "
     "mos_overtemp, rotor_overtemp\n"),
    (["--motor", "1:0x11:dm4310", "--fault", "2:overload@1"], "dmsim: --fault '2:overload@1': no --motor with"),
    (["--motor", "1:0x11:dm4310", "--fault", "1:overload"], "dmsim: --fault '1:overload': expected [IFACE:]ID:NAME@"),
    (["--motor", "1:0x11:dm4310", "--fault", "1:overload@-2"], "dmsim: --fault '1:overload@-2': expected seconds"),
    (["--motor", "1:0x11:dm4310", "--latency-jitter-us", "x"], "dmsim: --latency-jitter-us 'x': expected micro"),
    (["--motor", "1:0x11:dm9999"], "dmsim: --motor '1:0x11:dm9999': unknown model; known: dm3507,"),
    (["--motor", "1:0x11:dm4310", "--mode", "7"], "dmsim: --mode '7': mode must be 1 (MIT)"),
    (["--motor", "1:0x11:dm4310", "--drop-probability"], "dmsim: --drop-probability needs a value"),
    (["--motor", "1:0x11:dm4310", "extra"], "dmsim: unknown argument 'extra'"),
])
def test_bad_command_line_exits_2_with_a_usage_error(dmsim_exe, args, message):
    done = subprocess.run([dmsim_exe, *args], capture_output=True, text=True, timeout=60)
    assert done.returncode == 2
    assert done.stderr.startswith(message)
    assert "usage: dmsim" in done.stderr
    assert done.stdout == ""


def test_help_and_unknown_interface(dmsim_exe):
    done = subprocess.run([dmsim_exe, "--help"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0
    assert done.stdout.startswith("usage: dmsim") and "--drop-probability P" in done.stdout
    done = subprocess.run([dmsim_exe, "--iface", "nosuchcan0", "--motor", "1:0x11:dm4310"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert done.stderr == "dmsim: cannot open nosuchcan0: No such device (os error 19)\n"
    # Every interface is opened before the ready line; one missing stops it.
    done = subprocess.run([dmsim_exe, "--iface", "nosuchcan0", "--motor", "nosuchcan1:1:0x11:dm4310"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert done.stderr == "dmsim: cannot open nosuchcan1: No such device (os error 19)\n"
