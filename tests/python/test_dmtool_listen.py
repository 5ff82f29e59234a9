"""dmtool listen/decode without a bus: the frame decoder over tables of
frames, the summary's statistics, candump -L lines both ways, the status
table of torvane_ext, the live page's server, and Ctrl-C at start-up."""

import json
import math
import os
import signal
import struct
import subprocess
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path

import pytest
import torvane_ext as tx

from dmtool import args as types
from dmtool import decode_frames as df
from dmtool.candump import BadLine, Frame, format_line, parse_line
from dmtool.web import serve

TABLES = df.Tables.of(tx)


# ---- the status table -------------------------------------------------------------------

STATUSES = [("DISABLED", 0x0, False), ("ENABLED", 0x1, False), ("OVERVOLTAGE", 0x8, True),
            ("UNDERVOLTAGE", 0x9, True), ("OVERCURRENT", 0xA, True), ("MOS_OVERTEMP", 0xB, True),
            ("ROTOR_OVERTEMP", 0xC, True), ("COMM_LOST", 0xD, True), ("OVERLOAD", 0xE, True)]


def test_status_enum_is_the_table():
    assert issubclass(tx.Status, __import__("enum").IntEnum)
    assert tx.Status.__module__ == "torvane_ext"
    assert [(m.name, int(m), m.is_fault) for m in tx.Status] == STATUSES


@pytest.mark.parametrize("name, code, fault", STATUSES)
def test_status_of_a_code_and_of_a_state(name, code, fault):
    member = tx.status(code)
    assert member is tx.Status[name] and member.is_fault is fault
    assert tx.status(tx.Status(code)) is member
    # A MotorState's code: on a bus (bus/test_listen_bus.py).


@pytest.mark.parametrize("code", [2, 3, 7, 0xF, 16, 255, -1, 2**70])
def test_status_outside_the_table_is_the_plain_int(code):
    got = tx.status(code)
    assert type(got) is int and got == code


@pytest.mark.parametrize("bad", ["1", 1.0, None])
def test_status_refuses_what_is_neither(bad):
    with pytest.raises(TypeError, match=r"MotorState \(of torvane\) or an int"):
        tx.status(bad)


# ---- candump -L lines --------------------------------------------------------------------

LINES = [
    ("(1700000000.123456) vcan0 123#DEADBEEF", Frame(1700000000.123456, 0x123, bytes.fromhex("DEADBEEF"), "vcan0")),
    ("(1700000000.000001) can1 7FF#", Frame(1700000000.000001, 0x7FF, b"", "can1")),
    ("(1700000001.500000) vcan0 011##1" + "00" * 12,
     Frame(1700000001.5, 0x011, bytes(12), "vcan0", fd=True, flags=1)),
    ("(1700000001.500000) vcan0 011##0AB", Frame(1700000001.5, 0x011, b"\xab", "vcan0", fd=True, flags=0)),
    ("(1700000002.000000) vcan0 12345678#01", Frame(1700000002.0, 0x12345678, b"\x01", "vcan0", extended=True)),
    ("(1700000002.000000) vcan0 123#R", Frame(1700000002.0, 0x123, b"", "vcan0", remote=True)),
    ("(1700000003.000000) vcan0 20000040#0000000000000000",
     Frame(1700000003.0, 0x040, bytes(8), "vcan0", extended=True, error=True)),
]


@pytest.mark.parametrize("line, frame", LINES)
def test_candump_lines_both_ways(line, frame):
    got = parse_line(line + "\n")
    assert (got.can_id, got.data, got.iface, got.fd, got.flags, got.extended, got.remote, got.error) == \
        (frame.can_id, frame.data, frame.iface, frame.fd, frame.flags, frame.extended, frame.remote, frame.error)
    assert abs(got.t - frame.t) < 1e-6
    assert format_line(frame) == line


@pytest.mark.parametrize("line", ["", "123#00", "(1.0) vcan0 12#00", "(x) vcan0 123#00", "(1.0) vcan0 123#0"])
def test_candump_refuses_what_is_no_line(line):
    with pytest.raises(BadLine):
        parse_line(line)


# ---- the decoder --------------------------------------------------------------------------

def frame(t, can_id, hexdata, **kw):
    return Frame(t, can_id, bytes.fromhex(hexdata.replace(" ", "")), "vcan0", **kw)


def f32hex(*values):
    return struct.pack(f"<{len(values)}f", *values).hex()


DM4310 = df.Limits(12.5, 30.0, 10.0)
STEP_P, STEP_V, STEP_T = 25.0 / 65535, 60.0 / 4095, 20.0 / 4095

# (frame, kind, motor, values): one conversation of motor 1 (feedback 0x11, dm4310).
CONVERSATION = [
    (frame(0.0, 0x001, "FFFFFFFFFFFFFFFC"), "enable", 1, {}),
    (frame(0.1, 0x011, "11 FFFF 800 7FF 1E 1F"), "feedback", 1,
     {"status": 1, "status_name": "ENABLED", "fault": False, "position": 12.5, "velocity": 60.0 * 2048 / 4095 - 30,
      "torque": 20.0 * 2047 / 4095 - 10, "t_mos": 30, "t_rotor": 31}),
    (frame(0.2, 0x001, "FFFF 80 0F FF 00 07 FF"), "mit", 1,
     {"q": 12.5, "dq": 60.0 * 0x800 / 4095 - 30, "kp": 500.0, "kd": 0.0, "tau": 20.0 * 0x7FF / 4095 - 10}),
    (frame(0.3, 0x101, f32hex(1.5, 2.0)), "pos_vel", 1, {"q": 1.5, "dq": 2.0}),
    (frame(0.4, 0x201, f32hex(-3.25) + "00000000"), "vel", 1, {"dq": -3.25}),
    (frame(0.5, 0x301, f32hex(0.5) + struct.pack("<HH", 1234, 5000).hex()), "force_pos", 1,
     {"q": 0.5, "v_limit": 12.34, "i_limit": 0.5}),
    (frame(0.6, 0x001, "FFFFFFFFFFFFFFFD"), "disable", 1, {}),
    (frame(0.7, 0x001, "FFFFFFFFFFFFFFFE"), "set_zero", 1, {}),
    (frame(0.8, 0x001, "FFFFFFFFFFFFFFFB"), "clear_error", 1, {}),
    (frame(0.9, 0x7FF, "0100CC0000000000"), "refresh", 1, {}),
    (frame(1.0, 0x7FF, "0100AA0100000000"), "save", 1, {}),
    (frame(1.1, 0x7FF, "0100331500000000"), "reg_read", 1, {"register": 21, "name": "PMAX"}),
    # PMAX 3.0 from here on: the next feedback's full scale is 3 rad.
    (frame(1.2, 0x011, "01003315" + f32hex(3.0)), "reg_reply", 1, {"register": 21, "name": "PMAX", "value": 3.0}),
    (frame(1.3, 0x011, "C1 FFFF 800 7FF 50 60"), "feedback", 1,
     {"status": 0xC, "status_name": "ROTOR_OVERTEMP", "fault": True, "position": 3.0, "velocity": 60.0 * 2048 / 4095 - 30,
      "torque": 20.0 * 2047 / 4095 - 10, "t_mos": 0x50, "t_rotor": 0x60}),
    (frame(1.4, 0x7FF, "0100550964000000"), "reg_write", 1, {"register": 9, "name": "TIMEOUT", "value": 100}),
    (frame(1.5, 0x011, "0100550964000000"), "reg_ack", 1, {"register": 9, "name": "TIMEOUT", "value": 100}),
    (frame(1.6, 0x555, "DEAD"), "raw", None, {}),
    (frame(1.7, 0x1234567, "00", extended=True), "raw", None, {}),
    (frame(1.8, 0x011, "F1 0000 000 000 00 00"), "feedback", 1,
     {"status": 0xF, "status_name": "0xF", "fault": True, "position": -3.0, "velocity": -30.0, "torque": -10.0, "t_mos": 0,
      "t_rotor": 0}),
    # The controller's error frames (linux/can/error.h): tx error-passive with its counters, then bus-off.
    (frame(1.9, 0x204, "00 20 00 00 00 00 60 03", error=True), "error", None,
     {"classes": 0x204, "arbitration_bit": 0, "controller": 0x20, "protocol": 0, "location": 0, "transceiver": 0,
      "tx_errors": 96, "rx_errors": 3, "error": "controller tx error-passive; counters tx 96 rx 3",
      "bus_state": "error-passive"}),
    (frame(2.0, 0x040, "00 00 00 00 00 00 00 00", error=True), "error", None,
     {"classes": 0x40, "arbitration_bit": 0, "controller": 0, "protocol": 0, "location": 0, "transceiver": 0,
      "tx_errors": 0, "rx_errors": 0, "error": "bus-off", "bus_state": "bus-off"}),
]


def close(a, b):
    return a == b if not isinstance(a, float) else math.isclose(a, b, rel_tol=1e-6, abs_tol=1e-6)


def test_decoder_names_every_frame_of_a_conversation():
    events = df.decode([c[0] for c in CONVERSATION], [df.MotorSpec(1, 0x11, DM4310)], TABLES)
    for (f, kind, motor, values), e in zip(CONVERSATION, events, strict=True):
        assert (e.kind, e.motor_id) == (kind, motor), df.event_text(e)
        assert e.values.keys() == values.keys(), df.event_text(e)
        for k, v in values.items():
            assert close(e.values[k], v), (df.event_text(e), k)


def test_decoder_learns_feedback_ids_it_was_not_given():
    # No --motor: motor 2 answers on 0x7A, motor 3's id comes from a register reply.
    frames = [frame(0.0, 0x002, "FFFFFFFFFFFFFFFC"), frame(0.001, 0x07A, "12 8000 800 800 20 21"),
              frame(0.002, 0x7FF, "0300330700000000"), frame(0.003, 0x033, "03003307" + "33000000"),
              frame(0.004, 0x003, "FFFFFFFFFFFFFFFD"), frame(0.005, 0x033, "03 8000 800 800 20 21")]
    events = df.decode(frames, [], TABLES)
    assert [(e.kind, e.motor_id) for e in events] == [
        ("enable", 2), ("feedback", 2), ("reg_read", 3), ("reg_reply", 3), ("disable", 3), ("feedback", 3)]
    assert events[1].values["status_name"] == "ENABLED"
    assert events[3].values == {"register": 7, "name": "MST_ID", "value": 0x33}
    assert abs(events[1].values["position"] - (25.0 * 0x8000 / 65535 - 12.5)) < 1e-6  # single precision


def test_a_register_reply_is_feedback_unless_it_was_asked():
    # Bytes that read as a register reply of motor 1 but follow no request: a feedback frame.
    e = df.decode([frame(0.0, 0x011, "01003315" + f32hex(3.0))], [df.MotorSpec(1, 0x11, DM4310)], TABLES)[0]
    assert e.kind == "feedback"


@pytest.mark.parametrize("mit_hex, values", [
    ("0000 000 000 000 000", {"q": -12.5, "dq": -30.0, "kp": 0.0, "kd": 0.0, "tau": -10.0}),
    ("FFFF FFF FFF FFF FFF", {"q": 12.5, "dq": 30.0, "kp": 500.0, "kd": 5.0, "tau": 10.0}),
    ("8000 800 800 800 800", {"q": 25 * 0x8000 / 65535 - 12.5, "dq": 60 * 0x800 / 4095 - 30,
                              "kp": 500 * 0x800 / 4095, "kd": 5 * 0x800 / 4095, "tau": 20 * 0x800 / 4095 - 10}),
    ("1234 567 89A BCD EF0", {"q": 25 * 0x1234 / 65535 - 12.5, "dq": 60 * 0x567 / 4095 - 30,
                              "kp": 500 * 0x89A / 4095, "kd": 5 * 0xBCD / 4095, "tau": 20 * 0xEF0 / 4095 - 10}),
])
def test_mit_fields_unpack_from_their_bit_positions(mit_hex, values):
    # 16 bits of position, then 12 each of velocity, kp, kd and torque, big-endian; in single precision, as
    # torvane decodes, so within a millionth (a code of kd is a thousandth).
    e = df.decode([frame(0.0, 0x001, mit_hex)], [df.MotorSpec(1, 0x11, DM4310)], TABLES)[0]
    assert e.kind == "mit"
    assert e.values == pytest.approx(values, rel=1e-6, abs=1e-6)


def test_event_lines():
    events = df.decode([c[0] for c in CONVERSATION], [df.MotorSpec(1, 0x11, DM4310)], TABLES)
    text = [df.event_text(e) for e in events]
    assert text[0] == "0.000000 vcan0 001 motor 1    enable"
    assert text[3] == "0.300000 vcan0 101 motor 1    pos_vel     q=+1.5000 dq=+2.0000"
    assert text[12] == "1.200000 vcan0 011 motor 1    reg_reply   PMAX (21) = 3.0"
    assert text[13].endswith("feedback    status=ROTOR_OVERTEMP pos=+3.0000 vel=+0.0073 torque=-0.0024 "
                             "t_mos=80 t_rotor=96")
    assert text[16] == "1.600000 vcan0 555 -          raw         #DEAD"
    assert text[19] == "1.900000 vcan0 20000204 -          error       controller tx error-passive; counters tx 96 rx 3"
    assert text[20] == "2.000000 vcan0 20000040 -          error       bus-off"


def test_summary_keeps_the_bus_state_and_its_error_frames_by_class():
    s = df.Summary(tables=TABLES)
    assert s.bus_line() == "bus: error-active, error frames: none"
    for e in df.decode([c[0] for c in CONVERSATION], [df.MotorSpec(1, 0x11, DM4310)], TABLES):
        s.add(e)
        if e.kind == "error" and e.values["bus_state"] == "error-passive":
            assert s.bus_line() == "bus: error-passive, error frames: controller x1"
    assert s.bus_line() == "bus: bus-off, error frames: controller x1, bus-off x1"
    # A frame that reports no state leaves the last one; restarting is back to error-active.
    for hexdata, classes, line in [("0001000000000000", 0x004, "bus: bus-off, error frames: controller x2, bus-off x1"),
                                   ("0000000000000000", 0x100,
                                    "bus: error-active, error frames: controller x2, bus-off x1, restarted x1")]:
        s.add(df.decode([frame(3.0, classes, hexdata, error=True)], [], TABLES)[0])
        assert s.bus_line() == line


# ---- summary statistics ---------------------------------------------------------------------

@pytest.mark.parametrize("values, p, want", [
    ([1.0], 50, 1.0), ([1.0], 99, 1.0), ([1.0, 2.0], 50, 1.0), ([1.0, 2.0, 3.0], 50, 2.0),
    (list(range(1, 101)), 99, 99), (list(range(1, 101)), 50, 50), (list(range(1, 1001)), 99, 990),
    ([], 50, math.nan),
])
def test_percentile_nearest_rank(values, p, want):
    got = df.percentile([float(v) for v in values], p)
    assert (math.isnan(got) and math.isnan(want)) or got == want


def test_summary_latency_missed_and_faults():
    spec = [df.MotorSpec(1, 0x11, DM4310)]
    enable, answer = "FFFFFFFFFFFFFFFC", "11 8000 800 800 20 21"
    frames = [frame(0.000, 0x001, enable), frame(0.001, 0x011, answer),
              frame(0.010, 0x001, enable), frame(0.013, 0x011, answer),
              frame(0.020, 0x001, enable),                                   # never answered: missed
              frame(0.030, 0x001, enable), frame(0.0305, 0x011, "D1 8000 800 800 20 21"),
              frame(0.040, 0x7FF, "0100AA0100000000"),                       # a save is not answered
              frame(0.500, 0x001, enable),                                   # unanswered at the end: missed
              frame(0.700, 0x555, "00")]
    s = df.Summary()
    for e in df.decode(frames, spec, TABLES):
        s.add(e)
    m = s.motors[1]
    assert m.frames == 9 and m.commands == 5
    assert [round(x * 1e4) for x in m.latencies] == [10, 30, 5]
    assert s.missed(m) == 2
    assert m.faults == {"COMM_LOST": 1}
    assert m.rate() == pytest.approx(4 / 0.5)
    line = s.lines({1: 0x11})[0]
    assert line == ("motor 1 (feedback 0x11): 9 frames, 5 commands at 8.0/s, latency p50 1.000 ms p99 3.000 ms "
                    "max 3.000 ms over 3, 2 missed, faults: COMM_LOST x1")


# ---- the live page's server ------------------------------------------------------------------

def test_web_address_binds_loopback_unless_told():
    assert types.web_address("8080") == ("127.0.0.1", 8080)
    assert types.web_address("0.0.0.0:81") == ("0.0.0.0", 81)
    assert types.web_address("[::1]:82") == ("::1", 82)


def test_server_on_ipv6_loopback():
    with serve(("::1", 0), "v6") as live:
        assert live.url.startswith("http://[::1]:")
        assert b"EventSource" in urllib.request.urlopen(live.url, timeout=5).read()


def test_server_serves_the_page_and_events_and_refuses_the_rest():
    with serve(("127.0.0.1", 0), "test <bus>") as live:
        assert live.url.startswith("http://127.0.0.1:")
        page = urllib.request.urlopen(live.url, timeout=5).read().decode()
        assert "EventSource(\"/events\")" in page and "test &lt;bus>" in page
        # Everything inline: no external script, style, font or image.
        assert " src=" not in page and "href=" not in page and "@import" not in page and "url(" not in page
        live.sample(3, time.time(), 0.5, -1.0, 0.25, 30, 31, "ENABLED", False)
        live.bus("bus: bus-off, error frames: bus-off x1")
        with urllib.request.urlopen(live.url + "events", timeout=5) as stream:
            assert stream.headers["Content-Type"] == "text/event-stream"
            line = stream.readline()
            assert line.startswith(b"data: ")
            update = json.loads(line[6:])
        motor = update["motors"]["3"]
        assert motor["status"] == "ENABLED" and not motor["silent"] and not motor["fault"]
        assert [s[1:] for s in motor["samples"]] == [[0.5, -1.0, 0.25, 30, 31]]
        assert update["bus"] == "bus: bus-off, error frames: bus-off x1"
        for method in ("POST", "PUT", "DELETE"):
            req = urllib.request.Request(live.url, data=b"enable", method=method)
            with pytest.raises(urllib.error.HTTPError) as refused:
                urllib.request.urlopen(req, timeout=5)
            assert refused.value.code == 405
        with pytest.raises(urllib.error.HTTPError) as missing:
            urllib.request.urlopen(live.url + "enable", timeout=5)
        assert missing.value.code == 404


# ---- Ctrl-C while starting ----------------------------------------------------------------------

# Runs the installed console entry point as its script does, with SIGINT
# arriving the moment the module named first starts to import.
TRIP = """
import importlib.abc, importlib.metadata, os, signal, sys
target = sys.argv[1]
class Trip(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target_=None):
        if name == target:
            os.kill(os.getpid(), signal.SIGINT)
        return None
sys.meta_path.insert(0, Trip())
entry = next(e for e in importlib.metadata.entry_points(group="console_scripts") if e.name == "dmtool")
sys.argv = ["dmtool", *sys.argv[2:]]
sys.exit(entry.load()())
"""


@pytest.mark.parametrize("module", ["argparse", "dmtool.cli", "dmtool.monitor", "dmtool.listen", "torvane",
                                    "torvane_ext"])
@pytest.mark.parametrize("argv, status, err", [(["monitor", "1"], 0, ""), (["listen"], 0, ""),
                                               (["scan"], 130, "interrupted\n")])
def test_ctrl_c_while_starting_ends_quietly(module, argv, status, err):
    done = subprocess.run([sys.executable, "-c", TRIP, module, "--iface", "nosuchcan0", *argv],
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (status, ""), done.stderr
    assert done.stderr.endswith(err) and done.stderr.count("\n") == (1 if err else 0), done.stderr


# ---- dmtool decode ---------------------------------------------------------------------------------

def test_decode_a_log_to_lines_table_and_csv(tmp_path, capsys):
    from dmtool.cli import main
    from dmtool.session import load_api
    log = tmp_path / "bus.log"
    log.write_text("".join(format_line(c[0]) + "\n" for c in CONVERSATION))
    preset = ["--motor", "1:0x11:dm4310"]

    assert main(["decode", *preset, str(log), "--csv", str(tmp_path / "d.csv")], api=load_api()) == 0
    out, err = capsys.readouterr()
    assert out.splitlines() == [df.event_text(e) for e in df.decode([c[0] for c in CONVERSATION],
                                                                       [df.MotorSpec(1, 0x11, DM4310)], TABLES)]
    assert err.splitlines()[0] == f"dmtool decode: {len(CONVERSATION)} frames"
    assert err.splitlines()[1].startswith("  motor 1 (feedback 0x11): 17 frames, 11 commands")
    assert "faults: ROTOR_OVERTEMP x1" in err
    assert err.splitlines()[-1] == "  bus: bus-off, error frames: controller x1, bus-off x1"
    import csv as csv_module
    rows = list(csv_module.DictReader(open(tmp_path / "d.csv", newline="")))
    assert [r["kind"] for r in rows] == [c[1] for c in CONVERSATION]
    assert rows[3]["q"] == "1.500000" and rows[13]["status"] == "ROTOR_OVERTEMP" and rows[16]["data"] == "DEAD"
    assert [(r["can_id"], r["error"], r["bus_state"], r["data"]) for r in rows[19:]] == [
        ("0x20000204", "controller tx error-passive; counters tx 96 rx 3", "error-passive", "0020000000006003"),
        ("0x20000040", "bus-off", "bus-off", "0000000000000000")]
    assert rows[0]["error"] == rows[0]["bus_state"] == ""

    assert main(["decode", *preset, str(log), "--table"], api=load_api()) == 0
    out, _ = capsys.readouterr()
    table = out.split("\n")
    assert table[0].split()[:4] == ["motor", "master", "frames", "cmd/s"]
    assert table[1].split()[:3] == ["1", "0x11", "17"] and " 0xF " in table[1]
    assert table[2] == "bus: bus-off, error frames: controller x1, bus-off x1"


@pytest.mark.parametrize("argv, message", [
    (["--motor", "1:0x11:dm9999"], "no motor model 'dm9999'"),
    (["--motor", "1:0x11"], "a motor is ID:FB:MODEL"),
])
def test_decode_refuses_unknown_presets(tmp_path, capsys, argv, message):
    from dmtool.cli import main
    from dmtool.session import load_api
    log = tmp_path / "bus.log"
    log.write_text("(1.000000) vcan0 001#FFFFFFFFFFFFFFFC\n")
    assert main(["decode", *argv, str(log)], api=load_api()) == 2
    assert message in capsys.readouterr().err


def test_decode_names_the_line_that_is_no_frame(tmp_path, capsys):
    from dmtool.cli import main
    from dmtool.session import load_api
    log = tmp_path / "bus.log"
    log.write_text("(1.000000) vcan0 001#FFFFFFFFFFFFFFFC\ngarbage\n")
    assert main(["decode", str(log)], api=load_api()) == 1
    assert "line 2: not a candump -L line: 'garbage'" in capsys.readouterr().err


# ---- the raw socket's frames -------------------------------------------------------------------

@pytest.mark.parametrize("raw, want", [
    # struct can_frame: id, len, pad, res0, len8_dlc, data[8]
    (struct.pack("=IBBBB8s", 0x123, 4, 0, 0, 0, bytes.fromhex("DEADBEEF")), "123#DEADBEEF"),
    (struct.pack("=IBBBB8s", 0x7FF, 0, 0, 0, 0, b""), "7FF#"),
    (struct.pack("=IBBBB8s", 0x80000000 | 0x1ABCDE, 1, 0, 0, 0, b"\x01"), "001ABCDE#01"),
    (struct.pack("=IBBBB8s", 0x40000000 | 0x321, 8, 0, 0, 0, b""), "321#R8"),
    (struct.pack("=IBBBB8s", 0x20000000 | 0x044, 8, 0, 0, 0, bytes.fromhex("0021000000000000")),
     "20000044#0021000000000000"),
    # struct canfd_frame: id, len, flags, res0, res1, data[64]; flags 5: FD frame with bit-rate switch
    (struct.pack("=IBBBB64s", 0x011, 12, 0x05, 0, 0, bytes(range(12))), "011##5000102030405060708090A0B"),
    (struct.pack("=IBBBB64s", 0x011, 2, 0x04, 0, 0, b"\xab\xcd"), "011##4ABCD"),
])
def test_raw_socket_frames_as_candump_writes_them(raw, want):
    from dmtool.can_socket import frame_of
    assert format_line(frame_of(raw, 1700000000.25, "vcan0")) == f"(1700000000.250000) vcan0 {want}"
