"""dmtool run as a user runs it: the installed console script, a subprocess,
against dmsim on the test bus. Also examples/arm.py, the main job's example.

The motors' answers come from dmsim; what dmtool makes of them (formatting,
statuses, argument checks) is pinned down in ../test_dmtool_cli.py.
"""

import csv
import json
import math
import queue
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import torvane
from canpeer import IFACE

bus_test = pytest.mark.bus

REPO = Path(__file__).resolve().parents[3]
DMTOOL = Path(sys.executable).parent / "dmtool"
# Replies from a simulator in a slow guest: generous, costs nothing on success.
SLOW_MS = 500
ARM = ["1:0x11:dm4340", "2:0x12:dm4340", "3:0x13:dm4310", "4:0x14:dm4310", "5:0x15:dm4310", "6:0x16:dm3507",
       "7:0x17:dm3507"]


@pytest.fixture(scope="module", autouse=True)
def installed():
    if not DMTOOL.is_file():
        pytest.fail(f"no dmtool beside {sys.executable}: install the package into this environment")


def dmtool(*argv, timeout=300):
    """Run `dmtool --iface IFACE --timeout-ms SLOW_MS ARGV...`; every failure must be one line."""
    done = subprocess.run([DMTOOL, "--iface", IFACE, "--timeout-ms", str(SLOW_MS), *map(str, argv)],
                          capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL)
    assert "Traceback" not in done.stderr, done.stderr
    if done.returncode != 0:
        assert done.stderr.count("\n") == 1 and done.stderr.endswith("\n"), done.stderr
    return done


def ok(*argv, **kw):
    done = dmtool(*argv, **kw)
    assert done.returncode == 0, done.stderr
    return done.stdout


def masked(lines):
    """Positions as X: at rest a motor reads a code step or so from zero."""
    return [re.sub(r"[+-]\d+\.\d{4}", "X", line) for line in lines]


def limits(model):
    preset = getattr(torvane.MitLimits, model)()
    return {"p_max": pytest.approx(preset.p_max, rel=1e-6), "v_max": pytest.approx(preset.v_max, rel=1e-6),
            "t_max": pytest.approx(preset.t_max, rel=1e-6)}


# --------------------------------------------------------------------- scan

@bus_test
def test_scan_finds_exactly_the_motors_dmsim_plays(start_dmsim):
    start_dmsim("1:0x11:dm4310", "2:0x12:dm4340", "5:0x25:dm3507")
    lines = ok("scan", "--ids", "1-8").splitlines()
    assert [line.split("  ")[:3] for line in lines] == [["motor 1", "master 0x11", "POS_VEL"],
                                                         ["motor 2", "master 0x12", "POS_VEL"],
                                                         ["motor 5", "master 0x25", "POS_VEL"]]
    assert "PMAX 12.5  VMAX 10.0  TMAX 28.0" in lines[1]

    found = json.loads(ok("scan", "--ids", "1-8", "--json"))
    assert [(m["motor_id"], m["master_id"], m["mode"], m["mode_name"]) for m in found] == [
        (1, 0x11, 2, "POS_VEL"), (2, 0x12, 2, "POS_VEL"), (5, 0x25, 2, "POS_VEL")]
    assert [m["limits"] for m in found] == [limits("dm4310"), limits("dm4340"), limits("dm3507")]
    assert all(isinstance(m[k], int) for m in found for k in ("hw_ver", "sw_ver", "serial"))


@bus_test
@pytest.mark.parametrize("json_flag", [[], ["--json"]])
def test_scan_with_no_motor_answering_exits_1_and_says_what_to_check(start_dmsim, json_flag):
    start_dmsim("1:0x11:dm4310")   # on the bus, outside the ids asked
    done = dmtool("scan", "--ids", "2-4", *json_flag)
    assert done.returncode == 1
    assert done.stdout == ("[]\n" if json_flag else "")
    assert done.stderr.startswith(f"dmtool scan: no motor answered on {IFACE} (3 ids from 2 to 4). Check that")


@bus_test
def test_scan_with_nothing_on_the_bus(dmsim_iface):
    done = dmtool("scan", "--ids", "1-3")
    assert done.returncode == 1
    assert "no motor answered" in done.stderr and "powered" in done.stderr


# --------------------------------------------------------------- info, get, set

@bus_test
def test_info_lists_every_register(start_dmsim):
    import torvane_ext as tx

    start_dmsim("3:0x23:dm4340")
    lines = ok("info", "3").splitlines()
    assert lines[0].startswith("motor 3  master 0x23  POS_VEL  PMAX 12.5  VMAX 10.0  TMAX 28.0  hw ")
    assert len(lines) == 2 + len(tx.REGISTERS)

    info = json.loads(ok("info", "3", "--json"))
    assert (info["motor_id"], info["master_id"], info["mode"], info["mode_name"]) == (3, 0x23, 2, "POS_VEL")
    assert info["limits"] == limits("dm4340")
    assert [r["number"] for r in info["registers"]] == [r.number for r in tx.REGISTERS]
    assert [(r["name"], r["type"], r["read_only"]) for r in info["registers"]] == [
        (r.name, r.type, r.read_only) for r in tx.REGISTERS]
    values = {r["name"]: r["value"] for r in info["registers"]}
    assert (values["ESC_ID"], values["MST_ID"], values["CTRL_MODE"]) == (3, 0x23, 2)
    assert all(type(r["value"]) is (float if r["type"] == "float" else int)
               for r in info["registers"] if not isinstance(r["value"], str))


@bus_test
def test_set_reads_back_and_get_shows_it(start_dmsim):
    start_dmsim("1:0x11:dm4310")
    assert ok("set", "1", "TIMEOUT", "4000") == "motor 1: TIMEOUT (9) = 4000, read back\n"
    assert ok("get", "1", "TIMEOUT") == "TIMEOUT (9) = 4000\n"
    assert ok("set", "1", "OT_Value", "65.5") == "motor 1: OT_Value (2) = 65.5, read back\n"
    assert json.loads(ok("get", "1", "2", "--json")) == {
        "motor_id": 1, "master_id": 0x11, "number": 2, "name": "OT_Value", "value": 65.5, "type": "float",
        "read_only": False}
    saved = ok("set", "1", "ACC", "12.25", "--save").splitlines()
    assert saved == ["motor 1: ACC (4) = 12.25, read back",
                     "motor 1: saving to flash, which disables the motor first", "motor 1: saved"]


@bus_test
def test_a_value_the_motor_refuses_exits_1(start_dmsim):
    start_dmsim("1:0x11:dm4310")
    done = dmtool("set", "1", "CTRL_MODE", "7")   # not a control mode: the firmware keeps its own
    assert done.returncode == 1
    assert done.stderr.startswith("dmtool set: motor 1")
    assert ok("get", "1", "CTRL_MODE") == "CTRL_MODE (10) = 2\n"


@bus_test
@pytest.mark.parametrize("argv, message", [
    (["get", "9", "TIMEOUT"], f"dmtool get: motor 9 did not answer on {IFACE}"),
    (["enable", "1", "3"], f"dmtool enable: motor 3 did not answer on {IFACE}"),
    (["monitor", "4"], f"dmtool monitor: motor 4 did not answer on {IFACE}"),
])
def test_a_motor_that_does_not_answer_exits_1(start_dmsim, argv, message):
    start_dmsim("1:0x11:dm4310")
    done = dmtool(*argv)
    assert done.returncode == 1
    assert done.stdout == ""
    assert done.stderr.startswith(message)


@bus_test
def test_master_id_given_skips_the_scan_and_works(start_dmsim):
    sim = start_dmsim("1:0x11:dm4310")
    assert ok("--master-id", "0x11", "get", "1", "CTRL_MODE") == "CTRL_MODE (10) = 2\n"
    sim.stop()
    reads = [line for line in sim.log_lines() if " 7FF#0100" in line]
    assert [line.split("#")[1][4:8] for line in reads] == ["330A"]   # one read of register 10, no scan of 7


# ------------------------------------------------------------------ mode, set-id

@bus_test
def test_mode_switches_and_saves(start_dmsim):
    start_dmsim("1:0x11:dm4310")
    assert ok("mode", "1", "mit") == "motor 1: control mode MIT\n"
    assert ok("get", "1", "CTRL_MODE") == "CTRL_MODE (10) = 1\n"
    assert ok("mode", "1", "force_pos", "--save").splitlines()[::2] == ["motor 1: control mode FORCE_POS",
                                                                        "motor 1: saved"]
    assert json.loads(ok("scan", "--ids", "1", "--json"))[0]["mode_name"] == "FORCE_POS"


@bus_test
def test_set_id_takes_effect_after_a_save_and_a_restart(start_dmsim, tmp_path):
    state = tmp_path / "motors.state"
    sim = start_dmsim("1:0x11:dm4310", "2:0x12:dm4310", args=["--state", state])
    out = ok("set-id", "1", "--motor-id", "6", "--master-id", "0x16")
    assert out.splitlines()[0] == "motor 1: writing ESC_ID = 6, MST_ID = 0x16"
    assert out.splitlines()[-1] == "motor 1: answers as motor 6 (feedback 0x16) after a power cycle"
    # Still the old command id until the motor starts again.
    assert [m["motor_id"] for m in json.loads(ok("scan", "--ids", "1-8", "--json"))] == [1, 2]
    assert sim.stop() == 0

    start_dmsim("1:0x11:dm4310", "2:0x12:dm4310", args=["--state", state])
    assert [(m["motor_id"], m["master_id"]) for m in json.loads(ok("scan", "--ids", "1-8", "--json"))] == [
        (2, 0x12), (6, 0x16)]
    assert ok("get", "6", "ESC_ID") == "ESC_ID (8) = 6\n"


# --------------------------------------------- enable, disable, zero, clear, move

@bus_test
def test_enable_disable_zero_clear(start_dmsim):
    start_dmsim("1:0x11:dm4310", "2:0x12:dm4340", args=["--mode", "1"])
    out = ok("enable", "1", "2").splitlines()
    assert out[0].startswith("motors 1, 2: enabling: each holds its last command")
    assert masked(out[1:]) == ["motor 1: enabled at X rad", "motor 2: enabled at X rad"]
    assert masked(ok("disable", "2", "1").splitlines()[1:]) == ["motor 2: disabled at X rad",
                                                                "motor 1: disabled at X rad"]
    assert masked(ok("zero", "1").splitlines()[1:]) == ["motor 1: zeroed, DISABLED at X rad"]
    assert masked(ok("clear", "1", "2").splitlines()[1:]) == ["motor 1: cleared, DISABLED at X rad",
                                                              "motor 2: cleared, DISABLED at X rad"]


@bus_test
def test_move_goes_to_the_position_in_pos_vel_mode(start_dmsim):
    start_dmsim("1:0x11:dm4310", args=["--mode", "1"])
    out = ok("move", "1", "--pos", "1.0", "--vel", "5", "--timeout", "60").splitlines()
    # The watchdog covers ten commands, each up to 10 ms apart plus a lost reply's 500 ms: all 16 bits.
    assert out[:3] == ["motor 1: control mode MIT -> POS_VEL (not saved)",
                       "motor 1: watchdog 3276 ms while it moves (TIMEOUT, not saved; off again after)",
                       "motor 1: enabling and moving to +1.0000 rad at up to 5 rad/s"]
    position = float(re.match(r"motor 1: at ([+-]\d\.\d{4}) rad after ", out[3]).group(1))
    assert position == pytest.approx(1.0, abs=0.01)
    assert ok("get", "1", "CTRL_MODE") == "CTRL_MODE (10) = 2\n"
    # Back off: a watchdog left on would fault the motor now that it holds with no one commanding.
    assert ok("get", "1", "TIMEOUT") == "TIMEOUT (9) = 0\n"
    # Moving back needs no switch; the motor was left enabled and holding.
    assert "motor 1: enabling and moving to -0.5000 rad" in ok("move", "1", "--pos", "-0.5", "--vel", "5",
                                                               "--timeout", "60").splitlines()[1]
    ok("disable", "1")


@bus_test
def test_move_gives_up_at_the_timeout(start_dmsim):
    start_dmsim("1:0x11:dm4310")
    done = dmtool("move", "1", "--pos", "3", "--vel", "0.1", "--timeout", "1")
    assert done.returncode == 1
    assert done.stderr.startswith("dmtool move: motor 1: not at +3.0000 rad after 1 s (at ")
    ok("disable", "1")


# --------------------------------------------------------------------- stop

CONTROLLER = """
import sys, time
import torvane, torvane_ext as tx
iface, timeout_ms, *specs = sys.argv[1:]
bus = torvane.SocketCanTransport(iface)
motors = [torvane.Damiao(int(c, 0), int(m, 0), timeout_ms=int(timeout_ms)) for c, m in (s.split(":") for s in specs)]
group = tx.MotorGroup(bus, motors)
assert all(s is not None and s.error == 1 for s in group.enable()), "not enabled"
print("ticking", flush=True)
hold = [torvane.MitSetpoint(q=0.0, kp=5.0, kd=0.3, tau=0.0)] * len(motors)
while True:
    group.mit_control(hold)
    group.refresh()
    time.sleep(0.002)
"""


def statuses(specs, iface=IFACE):
    """Each motor's status code from one refresh, None for silence."""
    import torvane_ext as tx

    bus = torvane.SocketCanTransport(iface)
    motors = [torvane.Damiao(int(c, 0), int(m, 0), timeout_ms=SLOW_MS) for c, m in (s.split(":")[:2] for s in specs)]
    return [None if s is None else s.error for s in tx.MotorGroup(bus, motors).refresh()]


@bus_test
def test_stop_disables_every_motor_while_another_program_drives_them(start_dmsim):
    specs = ["1:0x11:dm4310", "2:0x12:dm4340", "5:0x25:dm3507"]   # motor 5 answers off the usual pattern
    start_dmsim(*specs, args=["--mode", "1"])
    controller = subprocess.Popen([sys.executable, "-c", CONTROLLER, IFACE, str(SLOW_MS),
                                   *(":".join(s.split(":")[:2]) for s in specs)],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert controller.stdout.readline() == "ticking\n", controller.stderr.read()
        assert statuses(specs) == [1, 1, 1]
        done = dmtool("stop")
        still_driving = controller.poll() is None
    finally:
        controller.kill()   # nothing of its own runs after this: what the motors do now is stop's doing
        controller.wait()
    assert still_driving
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[1:] == [
        "motor 1 (feedback 0x11): disabled", "motor 2 (feedback 0x12): disabled", "motor 5 (feedback 0x25): disabled",
        "no answer from ids 3-4, 6-16 (each was sent a disable)"]
    assert statuses(specs) == [0, 0, 0]


@bus_test
@pytest.mark.parametrize("ids, status, error, after", [
    (["--ids", "1,9"], 1, f"dmtool stop: id 9 did not answer on {IFACE}; sent a disable, but not known to have "
                          f"stopped\n", [0, 1]),
    ([], 0, "", [0, 0]),    # the default range is a search: silence from the ids without a motor is no failure
])
def test_stop_fails_for_an_absent_id_named_not_for_the_default_search(start_dmsim, ids, status, error, after):
    motors = ["1:0x11:dm4310", "2:0x12:dm4340"]
    start_dmsim(*motors)
    ok("enable", "1", "2")
    done = dmtool("stop", *ids)
    assert (done.returncode, done.stderr) == (status, error)
    assert statuses(motors) == after


OTHER_IFACE = "vcan1"


@bus_test
def test_stop_on_two_interfaces_disables_the_motors_of_each(start_dmsim):
    buses = {IFACE: ["1:0x11:dm4310", "2:0x12:dm4340"], OTHER_IFACE: ["1:0x11:dm4310", "3:0x23:dm3507"]}
    for iface, motors in buses.items():
        start_dmsim(*motors, iface=iface)
        ok("enable", *(m.split(":")[0] for m in motors), "--iface", iface)
        assert statuses(motors, iface) == [1, 1]
    out = ok("stop", "--iface", f"{IFACE},{OTHER_IFACE}").splitlines()
    assert out[0].startswith(f"ids 1-16 on {IFACE}, {OTHER_IFACE}: disabling every motor")
    assert out[1:] == [
        f"{IFACE}: motor 1 (feedback 0x11): disabled", f"{IFACE}: motor 2 (feedback 0x12): disabled",
        f"{IFACE}: no answer from ids 3-16 (each was sent a disable)",
        f"{OTHER_IFACE}: motor 1 (feedback 0x11): disabled", f"{OTHER_IFACE}: motor 3 (feedback 0x23): disabled",
        f"{OTHER_IFACE}: no answer from ids 2, 4-16 (each was sent a disable)"]
    for iface, motors in buses.items():
        assert statuses(motors, iface) == [0, 0]
    reports = json.loads(ok("stop", "--iface", OTHER_IFACE, "--iface", IFACE, "--ids", "1", "--json"))
    assert [(r["iface"], [m["motor_id"] for m in r["motors"] if m["stopped"]]) for r in reports] == [
        (OTHER_IFACE, [1]), (IFACE, [1])]


REENABLER = """
import sys, time
import torvane, torvane_ext as tx
iface, timeout_ms, command_id, feedback_id = sys.argv[1:]
bus = torvane.SocketCanTransport(iface)
group = tx.MotorGroup(bus, [torvane.Damiao(int(command_id, 0), int(feedback_id, 0), timeout_ms=int(timeout_ms))])
while True:
    (state,) = group.refresh()
    if state is not None and state.error == 0:
        group.enable()
        print("enabled again", flush=True)
    time.sleep(0.005)
"""


class Lines:
    """A process's stdout, line by line as it comes, waited for with a deadline."""

    def __init__(self, proc):
        self.queue = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, args=(proc.stdout,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            self.queue.put(line.rstrip("\n"))
        self.queue.put(None)

    def wait_for(self, check, seconds):
        """The first line from now on that passes CHECK, None at the deadline or the end."""
        end = time.monotonic() + seconds
        while (left := end - time.monotonic()) > 0:
            try:
                line = self.queue.get(timeout=left)
            except queue.Empty:
                return None
            if line is None:
                return None
            self.seen.append(line)
            if check(line):
                return line
        return None

    def rest(self):
        """Every line, once the process has ended."""
        while self.wait_for(lambda line: False, 60) is not None:
            pass
        return self.seen


@bus_test
def test_stop_hold_keeps_disabling_a_motor_another_program_enables_again_until_sigint(start_dmsim, tmp_path):
    motors = ["1:0x11:dm4310", "2:0x12:dm4340"]
    start_dmsim(*motors)
    procs = []
    try:
        runaway = subprocess.Popen([sys.executable, "-c", REENABLER, IFACE, str(SLOW_MS), "1", "0x11"],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                   text=True)
        procs.append(runaway)
        enables = Lines(runaway)
        assert enables.wait_for(lambda line: line == "enabled again", 120), "the other program never enabled"
        with open(tmp_path / "stop.err", "w") as err:
            hold = subprocess.Popen([DMTOOL, "--iface", IFACE, "--timeout-ms", str(SLOW_MS), "stop", "--hold", "--ids",
                                     "1,2"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err, text=True)
        procs.append(hold)
        out = Lines(hold)
        assert out.wait_for(lambda line: line.startswith("holding: "), 120), out.seen
        # Each is a disable of the hold's undone: the hold goes on while the other program fights it.
        for _ in range(3):
            assert enables.wait_for(lambda line: line == "enabled again", 60), "the hold stopped disabling"
        runaway.kill()
        runaway.wait()
        # Enabled last by the program now gone: disabled since by the hold alone.
        deadline = time.monotonic() + 60
        while statuses(motors) != [0, 0]:
            assert time.monotonic() < deadline, "the hold did not disable the motor again"
            time.sleep(0.1)
        assert hold.poll() is None
        hold.send_signal(signal.SIGINT)
        hold.wait(120)
    finally:
        for proc in procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    errors = (tmp_path / "stop.err").read_text()
    assert (hold.returncode, errors) == (0, ""), out.seen
    lines = out.rest()
    assert re.fullmatch(r"held for \d+\.\d s, \d+ rounds; disabling once more", lines[-3])
    assert lines[-2:] == ["motor 1 (feedback 0x11): disabled", "motor 2 (feedback 0x12): disabled"]
    assert statuses(motors) == [0, 0]


@bus_test
def test_arm_example_on_sigterm_disables_the_arm_as_on_ctrl_c(start_dmsim, tmp_path):
    start_dmsim(*ARM, args=["--bitrate", "1000000", "--latency-us", "200"])
    proc = subprocess.Popen(
        [sys.executable, REPO / "examples" / "arm.py", "--iface", IFACE, "--duration", "60", "--timeout-ms",
         str(SLOW_MS), "--csv", tmp_path / "arm.csv", "--no-plot"],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        while not (line := proc.stdout.readline()).startswith("group.mit_control"):
            assert line, proc.stderr.read()
        assert statuses(ARM) == [1] * 7
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 130, err
    assert "interrupted" in err and "Traceback" not in err
    assert "disabled 7 motors\n" in out
    assert statuses(ARM) == [0] * 7


# ------------------------------------------------------------------ monitor

@bus_test
def test_monitor_runs_until_sigint_exits_0_and_marks_a_motor_that_goes_silent(start_dmsim, tmp_path):
    start_dmsim("1:0x11:dm4310")
    second = start_dmsim("2:0x12:dm4340")
    out_csv = tmp_path / "monitor.csv"
    proc = subprocess.Popen([DMTOOL, "--iface", IFACE, "--timeout-ms", str(SLOW_MS), "monitor", "1", "2", "--rate",
                             "20", "--csv", out_csv], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        first = proc.stdout.readline()    # ticking
        time.sleep(1.0)
        assert second.stop() == 0         # motor 2 goes silent
        time.sleep(2.0)
        proc.send_signal(signal.SIGINT)
        rest, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0, err
    assert re.fullmatch(r"dmtool monitor: stopped after \d+ ticks in \d+\.\d s\n", err)
    lines = [first, *rest.splitlines()]
    assert lines[0].startswith("t=") and " motor=1 master=0x11 watchdog=off status=DISABLED pos=" in lines[0]
    motor2 = [line for line in lines if " motor=2 " in line]
    assert "status=DISABLED" in motor2[0]
    assert motor2[-1].endswith(" motor=2 master=0x12 watchdog=off status=no-answer")
    assert all("status=DISABLED" in line for line in lines if " motor=1 " in line)

    with open(out_csv, newline="") as f:
        rows = list(csv.DictReader(f))
    assert {r["motor_id"] for r in rows} == {"1", "2"}
    assert all(r["answered"] == "1" for r in rows if r["motor_id"] == "1")
    assert rows[-1]["answered"] == "0" and rows[-1]["motor_id"] == "2"


@bus_test
def test_monitor_shows_the_watchdog_and_sigterm_ends_it_as_ctrl_c(start_dmsim):
    start_dmsim("1:0x11:dm4310", "2:0x12:dm4340")
    ok("set", "2", "TIMEOUT", "2000")
    proc = subprocess.Popen([DMTOOL, "--iface", IFACE, "--timeout-ms", str(SLOW_MS), "monitor", "1", "2"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        first = [proc.stdout.readline(), proc.stdout.readline(), proc.stdout.readline()]
        proc.send_signal(signal.SIGTERM)
        rest, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0, err
    assert re.fullmatch(r"dmtool monitor: stopped after \d+ ticks in \d+\.\d s\n", err)
    assert [line.split()[1:4] for line in first] == [["motor=1", "master=0x11", "watchdog=off"],
                                                     ["motor=2", "master=0x12", "watchdog=100ms"],
                                                     [f"bus={IFACE}", "state=error-active", "errors=none"]]
    assert rest.count("\n") % 3 == 0    # whole ticks only: two motors and the bus


# --------------------------------------------------------- usage, no bus needed

@pytest.mark.parametrize("argv, message", [
    ([], "dmtool: error: the following arguments are required: COMMAND"),
    (["move", "1"], "dmtool move: error: the following arguments are required: --pos"),
    (["enable"], "dmtool enable: error: the following arguments are required: ID"),
    (["scan", "--ids", "9-2"], "dmtool scan: error: argument --ids: '9-2': the range runs backwards"),
    (["mode", "1", "fast"], "dmtool mode: error: argument MODE: invalid choice: 'fast'"),
    (["get", "1", "NOPE"], "dmtool get: error: no register 'NOPE'"),
    (["set", "1", "SN", "5"], "dmtool set: error: SN (15) is read-only"),
])
def test_usage_errors_exit_2_with_one_line(argv, message):
    done = subprocess.run([DMTOOL, *argv], capture_output=True, text=True, timeout=60)
    assert done.returncode == 2
    assert done.stdout == ""
    assert done.stderr.startswith(message) and done.stderr.count("\n") == 1


# ------------------------------------------------------------ the main job

@bus_test
def test_arm_example_tracks_with_both_ways_and_writes_csv_and_png(start_dmsim, tmp_path):
    start_dmsim(*ARM, args=["--bitrate", "1000000", "--latency-us", "200"])
    out_csv, out_png = tmp_path / "arm.csv", tmp_path / "arm.png"
    done = subprocess.run(
        [sys.executable, REPO / "examples" / "arm.py", "--iface", IFACE, "--duration", "1", "--timeout-ms",
         str(SLOW_MS), "--csv", out_csv, "--png", out_png],
        capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.count("MIT mode") == 7
    rates = re.search(r"tick rate: group.mit_control (\d+)/s, 7 x Damiao.mit_control (\d+)/s", done.stdout)
    assert rates, done.stdout
    # One exchange per tick against seven: the group is never the slower, even in a noisy guest.
    assert int(rates.group(1)) >= int(rates.group(2)) > 0

    with open(out_csv, newline="") as f:
        reader = csv.reader(f)
        header = next(reader)
        rows = list(reader)
    joints = ["shoulder_pan", "shoulder_lift", "elbow", "forearm_roll", "wrist_pitch", "wrist_roll", "gripper"]
    assert header == ["time_s", "way", *[f"{j}_{k}_rad" for j in joints for k in ("cmd", "meas")]]
    for way in ("group", "sequential"):
        mine = [r for r in rows if r[1] == way]
        assert len(mine) > 5, way
        late = [r for r in mine if float(r[0]) > 0.25]    # past the ramp-in
        for n, joint in enumerate(joints):
            errors = [float(r[3 + 2 * n]) - float(r[2 + 2 * n]) for r in late if r[3 + 2 * n]]
            # Loose: the guest updates setpoints only tens of times a second, but a joint
            # that did not follow would be off by about 0.3 rad RMS.
            assert math.sqrt(sum(e * e for e in errors) / len(errors)) < 0.25, (way, joint)
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert not out_png.exists()
    else:
        assert out_png.stat().st_size > 0
