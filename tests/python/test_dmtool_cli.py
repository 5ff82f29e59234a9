"""dmtool's own logic, against stand-in modules (dmtool_fakes): argument
parsing and usage errors, what each subcommand sends and prints, exit
statuses, JSON shapes, Ctrl-C. The same commands on a real bus against dmsim
are in bus/test_dmtool.py."""

import csv
import errno
import json
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest
import torvane_ext
from dmtool_fakes import REGISTERS, Bus, BusError, FakeMotor, f32, make_api

from dmtool import args as types
from dmtool import stop
from dmtool.cli import COMMANDS, build_parser, main
from dmtool.monitor import Screen, Watch, table
from dmtool.stop import guesses
from dmtool.text import f32_text

REPO = Path(__file__).resolve().parents[2]


@pytest.fixture
def bus():
    # Motor 2's feedback id is off the usual pattern, so it cannot be guessed from its command id.
    return Bus(FakeMotor(1, 0x11, mode=1), FakeMotor(2, 0x7A, p_max=12.566))


@pytest.fixture
def dmtool(bus, capsys):
    """dmtool(*argv) -> (status, stdout, stderr), the modules serving `bus`."""
    def run(*argv):
        status = main([str(a) for a in argv], api=make_api(bus))
        out, err = capsys.readouterr()
        assert "Traceback" not in err
        return status, out, err
    return run


def mark_calls(bus, *kinds):
    """Print a marker when a call of one of KINDS reaches the bus, to see what was printed before it."""
    def hook(entry):
        if entry[0] in kinds or entry[:2] in kinds:
            print(f"<<{' '.join(map(str, entry[:2]))}>>")
    bus.on_call = hook


def sent(bus, *kinds):
    return [e for e in bus.log if e[0] in kinds]


def one_line(err):
    return err.endswith("\n") and err.count("\n") == 1


# ------------------------------------------------------------ usage errors

@pytest.mark.parametrize("argv, message", [
    ([], "the following arguments are required: COMMAND"),
    (["frob"], "invalid choice: 'frob'"),
    (["info"], "the following arguments are required: ID"),
    (["info", "abc"], "'abc' is not a number"),
    (["info", "0"], "a motor id is 1 to 0x7fe"),
    (["info", "0x7FF"], "a motor id is 1 to 0x7fe"),
    (["info", "1", "extra"], "unrecognized arguments: extra"),
    (["enable"], "the following arguments are required: ID"),
    (["move"], "the following arguments are required: ID, --pos"),
    (["move", "1"], "the following arguments are required: --pos"),
    (["move", "1", "--pos", "nan"], "must be a finite number"),
    (["move", "1", "--pos", "1", "--vel", "0"], "must be above 0"),
    (["move", "1", "--pos", "1", "--timeout", "-1"], "must be above 0"),
    (["scan", "--ids", "5-1"], "'5-1': the range runs backwards"),
    (["scan", "--ids", "1-0x800"], "a motor id is 1 to 0x7fe"),
    (["scan", "--ids", "1,,2"], "is not a number"),
    (["mode", "1", "turbo"], "invalid choice: 'turbo'"),
    (["monitor", "1", "--rate", "-5"], "must be above 0"),
    (["set-id", "1"], "the following arguments are required: --motor-id"),
    (["set-id", "1", "--motor-id", "0x800"], "a motor id is 1 to 0x7fe"),
    (["set-id", "1", "--motor-id", "2", "--master-id", "0x7FF"], "a feedback id is 0 to 0x7fe"),
    (["--timeout-ms", "0", "scan"], "1 to 60000 ms"),
    (["scan", "--iface"], "expected one argument"),
    (["--master-id", "0x11", "enable", "1", "2"], "--master-id is the feedback id of one motor"),
    (["--master-id", "0x11", "scan"], "scan reads every motor's own"),
    (["--master-id", "0x11", "stop"], "stop finds each motor's own"),
    (["stop", "--ids", "8-2"], "'8-2': the range runs backwards"),
    (["stop", "--iface", "can0,"], "'can0,': an interface name is empty"),
    (["--iface", "can0,can1", "enable", "1"], "--iface can0,can1: one interface only (stop alone takes several)"),
    (["monitor", "1", "--iface", "can0", "--iface", "can1"], "one interface only"),
    (["enable", "1", "1"], "each motor id once"),
    (["get", "1", "NOPE"], "no register 'NOPE'"),
    (["get", "1", "99"], "no register '99'"),
    (["set", "1", "TIMEOUT", "1.5"], "TIMEOUT (9) holds an integer, not '1.5'"),
    (["set", "1", "TIMEOUT", "-1"], "TIMEOUT (9) holds 0 to 4294967295, not -1"),
    (["set", "1", "hw_ver", "3"], "hw_ver (13) is read-only"),
    (["set", "1", "p_m", "1.0"], "p_m (80) is read-only"),
    (["set", "1", "PMAX", "abc"], "PMAX (21) holds a number, not 'abc'"),
    (["set", "1", "PMAX", "inf"], "PMAX (21) holds a finite number"),
    (["move", "1", "--pos", "12.6"], "--pos 12.6 is beyond motor 1's range of +-12.5 rad (PMAX)"),
    (["move", "1", "--pos", "1", "--vel", "31"], "--vel 31 is beyond motor 1's 30.0 rad/s (VMAX)"),
])
def test_usage_error_exits_2_with_one_line_and_moves_nothing(dmtool, bus, argv, message):
    status, out, err = dmtool(*argv)
    assert status == 2
    assert out == ""
    assert one_line(err) and err.startswith("dmtool") and ": error: " in err, err
    assert message in err
    assert sent(bus, "write", "save", "mode", "group", "pos_vel") == []


def test_usage_error_from_the_real_entry_point_is_one_line():
    done = subprocess.run([sys.executable, "-m", "dmtool", "move", "1"], cwd=REPO, capture_output=True, text=True,
                          timeout=60, check=False)
    assert done.returncode == 2
    assert done.stderr == ("dmtool move: error: the following arguments are required: --pos "
                           "(see 'dmtool move --help')\n")


@pytest.mark.parametrize("command", [[], *([c.replace("_", "-")] for c in COMMANDS)])
def test_help_of_every_subcommand(dmtool, command):
    status, out, err = dmtool(*command, "--help")
    assert (status, err) == (0, "")
    assert out.startswith(f"usage: {' '.join(['dmtool', *command])} ")
    assert "--iface IFACE" in out


@pytest.mark.parametrize("argv, ifaces", [
    (["stop"], ["can0"]),
    (["--iface", "can1", "stop"], ["can1"]),
    (["stop", "--iface", "can0,can1"], ["can0", "can1"]),
    (["stop", "--iface", "can0", "--iface", "can1"], ["can0", "can1"]),
    (["--iface", "can0,can1", "stop"], ["can0", "can1"]),
    (["--iface", "can0", "stop", "--iface", "can1"], ["can1"]),     # after the command, as for every option
    (["stop", "--iface", " can1, can0", "--iface", "can1"], ["can1", "can0"]),
    (["--iface", "vcan3", "scan"], ["vcan3"]),
])
def test_iface_is_repeated_or_comma_separated(argv, ifaces):
    assert build_parser().parse_args(argv).ifaces == ifaces


# ---------------------------------------------------------- exit status 1

def silence_at_first(bus, kind, motor_id):
    """Motor MOTOR_ID stops answering when the first call of KIND reaches the bus."""
    def hook(entry):
        if entry[0] == kind or entry[:2] == kind:
            next(m for m in bus.motors if m.motor_id == motor_id).answering = False
    bus.on_call = hook


@pytest.mark.parametrize("setup, argv, message", [
    (None, ["get", "5", "TIMEOUT"], "motor 5 did not answer on can0"),
    (None, ["--master-id", "0x22", "get", "1", "TIMEOUT"], "motor 1 (feedback 0x22) (register 9) did not answer"),
    (None, ["--master-id", "0x22", "monitor", "1"], "motor 1 (feedback 0x22) did not answer"),
    (None, ["--iface", "can9", "scan"], "cannot open can9: [Errno 19] No such device"),
    (lambda b: b.motors[0].keeps.update({9: 0}), ["set", "1", "TIMEOUT", "2000"],
     "motor 1: TIMEOUT did not read back as 2000"),
    (lambda b: b.motors[0].keeps.update({21: 12.5}), ["set", "1", "PMAX", "3.3"],
     "motor 1: PMAX did not read back as 3.3"),
    (lambda b: b.motors[0].keeps.update({10: 2}), ["mode", "1", "mit"],
     "motor 1: the control mode did not read back as MIT"),
    (lambda b: silence_at_first(b, ("group", "enable"), 2), ["enable", "1", "2"], "motor 2 did not answer"),
    (lambda b: setattr(b.motors[1], "fault", 0xC), ["enable", "1", "2"],
     "motor 2: ROTOR_OVERTEMP (0xc) (dmtool clear ID clears"),
    (lambda b: silence_at_first(b, "save", 1), ["set", "1", "TIMEOUT", "5", "--save"],
     "motor 1 (saving) did not answer"),
    (lambda b: silence_at_first(b, "pos_vel", 2), ["move", "2", "--pos", "1"], "motor 2 (moving) did not answer"),
    (lambda b: setattr(b.motors[1], "step", 0.0), ["move", "2", "--pos", "1", "--timeout", "0.05"],
     "motor 2: not at +1.0000 rad after 0.05 s (at +0.0000 rad, still enabled)"),
    (lambda b: setattr(b, "on_call", raise_on(("group", "refresh"), BusError("Network is down", errno.ENETDOWN))),
     ["monitor", "1"], "bus error on can0: Network is down"),
])
def test_a_motor_or_bus_failing_exits_1_with_one_line(dmtool, bus, setup, argv, message):
    if setup:
        setup(bus)
    status, _out, err = dmtool(*argv)
    assert status == 1
    assert one_line(err), err
    assert message in err


def raise_on(kind, exc):
    def hook(entry):
        if entry[:2] == kind:
            raise exc
    return hook


def test_enable_reports_the_motors_that_answered_and_fails_for_the_one_that_did_not(dmtool, bus):
    silence_at_first(bus, ("group", "enable"), 2)
    status, out, err = dmtool("enable", "1", "2")
    assert status == 1
    assert "motor 1: enabled at +0.0000 rad" in out
    assert "motor 2" not in out.splitlines()[-1]
    assert err == "dmtool enable: motor 2 did not answer\n"
    assert bus.motors[0].enabled


# --------------------------------------------------------------------- scan

def test_scan_asks_one_id_at_a_time_and_prints_a_line_per_motor(dmtool, bus):
    status, out, err = dmtool("scan", "--ids", "1-3")
    assert (status, err) == (0, "")
    assert bus.log == [("scan", (1,)), ("scan", (2,)), ("scan", (3,))]
    assert out.splitlines() == [
        "motor 1  master 0x11  MIT  PMAX 12.5  VMAX 30.0  TMAX 10.0  hw 1  sw 4107  serial 0x002a0051",
        "motor 2  master 0x7a  POS_VEL  PMAX 12.566  VMAX 30.0  TMAX 10.0  hw 1  sw 4107  serial 0x002a0051",
    ]


def test_scan_json_is_a_list_of_motors(dmtool):
    status, out, _ = dmtool("scan", "--ids", "1,2,3", "--json")
    assert status == 0
    assert json.loads(out) == [
        {"motor_id": 1, "master_id": 0x11, "mode": 1, "mode_name": "MIT",
         "limits": {"p_max": 12.5, "v_max": 30.0, "t_max": 10.0}, "hw_ver": 1, "sw_ver": 4107, "serial": 0x2A0051},
        {"motor_id": 2, "master_id": 0x7A, "mode": 2, "mode_name": "POS_VEL",
         "limits": {"p_max": 12.566, "v_max": 30.0, "t_max": 10.0}, "hw_ver": 1, "sw_ver": 4107, "serial": 0x2A0051},
    ]


def test_scan_shows_a_mode_outside_the_enum_as_its_number(dmtool, bus):
    bus.motors[0].registers[10] = 7
    out = dmtool("scan", "--ids", "1", "--json")[1]
    assert json.loads(out)[0]["mode"] == 7 and json.loads(out)[0]["mode_name"] is None
    assert "mode 7" in dmtool("scan", "--ids", "1")[1]


@pytest.mark.parametrize("json_flag", [False, True])
def test_scan_finding_nobody_says_what_to_check(dmtool, json_flag):
    status, out, err = dmtool("scan", "--ids", "3-9", *(["--json"] if json_flag else []))
    assert status == 1
    assert out == ("[]\n" if json_flag else "")
    assert one_line(err)
    assert err.startswith("dmtool scan: no motor answered on can0 (7 ids from 3 to 9)")
    for what in ("interface is up", "bit rate", "--ids", "powered"):
        assert what in err


@pytest.mark.parametrize("tty", [False, True])
def test_scan_draws_a_progress_bar_on_a_terminal_only(dmtool, monkeypatch, tty):
    monkeypatch.setattr(sys.stderr, "isatty", lambda: tty)
    status, out, err = dmtool("scan", "--ids", "1-4")
    assert status == 0
    assert len(out.splitlines()) == 2
    if tty:
        assert "scanning can0 [" in err and "] 3/4  id 0x4" in err
        assert err.endswith("\r\x1b[K")  # wiped at the end
    else:
        assert err == ""


def test_scan_failing_on_a_terminal_wipes_the_bar_before_the_error(dmtool, bus, monkeypatch):
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    bus.on_call = raise_on(("scan", (3,)), BusError("Network is down", errno.ENETDOWN))
    status, out, err = dmtool("scan", "--ids", "1-4")
    assert status == 1
    assert len(out.splitlines()) == 2
    assert err.endswith("] 2/4  id 0x3\x1b[K\r\x1b[Kdmtool scan: bus error on can0: Network is down\n")


# --------------------------------------------------------------- info, get

def test_info_lists_every_register_with_short_float_values(dmtool, bus):
    status, out, err = dmtool("info", "2")
    assert (status, err) == (0, "")
    lines = out.splitlines()
    assert lines[0] == ("motor 2  master 0x7a  POS_VEL  PMAX 12.566  VMAX 30.0  TMAX 10.0  hw 1  sw 4107  "
                        "serial 0x002a0051")
    assert len(lines) == 2 + len(REGISTERS)
    rows = {int(line.split()[0]): line.split() for line in lines[2:]}
    assert rows[21] == ["21", "PMAX", "12.566", "float", "read-write"]
    assert rows[4] == ["4", "ACC", "0.1", "float", "read-write"]
    assert rows[15] == ["15", "SN", str(0x2A0051), "int", "read-only"]


def test_info_json_has_the_summary_and_every_register(dmtool, bus):
    status, out, _ = dmtool("info", "2", "--json")
    assert status == 0
    info = json.loads(out)
    assert {k: v for k, v in info.items() if k != "registers"} == {
        "motor_id": 2, "master_id": 0x7A, "mode": 2, "mode_name": "POS_VEL",
        "limits": {"p_max": 12.566, "v_max": 30.0, "t_max": 10.0}, "hw_ver": 1, "sw_ver": 4107, "serial": 0x2A0051}
    assert [r["number"] for r in info["registers"]] == [r.number for r in REGISTERS]
    assert info["registers"][1] == {"number": 4, "name": "ACC", "value": 0.1, "type": "float", "read_only": False}
    assert all(type(r["value"]) is (float if r["type"] == "float" else int) for r in info["registers"])


def test_info_notes_registers_left_unanswered_but_succeeds(dmtool, bus):
    bus.motors[0].silent_registers = {4, 35}
    status, out, err = dmtool("info", "1", "--json")
    assert status == 0
    values = {r["number"]: r["value"] for r in json.loads(out)["registers"]}
    assert values[4] is None and values[35] is None and values[9] == 0
    assert err == "dmtool info: motor 1 did not answer for registers 4, 35\n"


@pytest.mark.parametrize("reg", ["9", "0x9", "TIMEOUT", "timeout"])
def test_get_takes_a_register_by_number_or_name(dmtool, bus, reg):
    bus.motors[0].registers[9] = 2000
    assert dmtool("get", "1", reg) == (0, "TIMEOUT (9) = 2000\n", "")


def test_get_json(dmtool, bus):
    status, out, _ = dmtool("get", "2", "PMAX", "--json")
    assert status == 0
    assert json.loads(out) == {"motor_id": 2, "master_id": 0x7A, "number": 21, "name": "PMAX", "value": 12.566,
                               "type": "float", "read_only": False}


@pytest.mark.parametrize("argv", [["--master-id", "0x11", "get", "1", "9"], ["get", "1", "9", "--master-id", "0x11"]])
def test_master_id_skips_reading_the_feedback_id_before_or_after_the_subcommand(dmtool, bus, argv):
    assert dmtool(*argv) == (0, "TIMEOUT (9) = 0\n", "")
    assert sent(bus, "scan") == []


# ------------------------------------------------------------- set, set-id, mode

def test_set_writes_reads_back_and_saves_after_saying_it_disables(dmtool, bus):
    bus.motors[0].enabled = True
    mark_calls(bus, "save")
    status, out, err = dmtool("set", "1", "PMAX", "3.3", "--save")
    assert (status, err) == (0, "")
    assert out.splitlines() == ["motor 1: PMAX (21) = 3.3, read back",
                                "motor 1: saving to flash, which disables the motor first", "<<save 1>>",
                                "motor 1: saved"]
    assert sent(bus, "write", "save") == [("write", 1, 21, 3.3), ("save", 1)]
    assert bus.motors[0].saved[21] == f32(3.3) and not bus.motors[0].enabled


def test_set_sends_an_int_to_an_int_register(dmtool, bus):
    assert dmtool("set", "1", "TIMEOUT", "0x10")[0] == 0
    assert sent(bus, "write") == [("write", 1, 9, 16)]
    assert sent(bus, "save") == []


@pytest.mark.parametrize("extra, writes, master", [
    ([], [(8, 5)], 0x11),
    (["--master-id", "0x15"], [(8, 5), (7, 0x15)], 0x15),
])
def test_set_id_writes_saves_and_takes_effect_after_a_power_cycle(dmtool, bus, extra, writes, master):
    status, out, _ = dmtool("set-id", "1", "--motor-id", "5", *extra)
    assert status == 0
    assert [e[0] for e in bus.log if e[0] in ("write", "save")] == ["write"] * len(writes) + ["save"]
    assert [e[2:] for e in sent(bus, "write")] == writes
    assert out.splitlines()[-1] == f"motor 1: answers as motor 5 (feedback {master:#x}) after a power cycle"
    assert "1  master 0x11" in dmtool("scan", "--ids", "1-8")[1]     # old ids until the power cycle
    bus.power_cycle()
    assert [line.split("  ")[:2] for line in dmtool("scan", "--ids", "1-8")[1].splitlines()] == [
        ["motor 2", "master 0x7a"], ["motor 5", f"master {master:#x}"]]
    assert dmtool("scan", "--ids", "1")[0] == 1


def test_set_id_with_the_current_feedback_id_given(dmtool, bus):
    assert dmtool("--master-id", "0x11", "set-id", "1", "--motor-id", "6", "--master-id", "0x16")[0] == 0
    assert sent(bus, "scan") == []
    assert [e[2:] for e in sent(bus, "write")] == [(8, 6), (7, 0x16)]


@pytest.mark.parametrize("name, value", [("mit", 1), ("pos_vel", 2), ("vel", 3), ("force_pos", 4)])
def test_mode_sets_and_saves_when_asked(dmtool, bus, name, value):
    status, out, _ = dmtool("mode", "1", name, "--save")
    assert status == 0
    assert out.splitlines()[0] == f"motor 1: control mode {name.upper()}"
    assert sent(bus, "mode", "save") == [("mode", 1, value), ("save", 1)]
    assert bus.motors[0].saved[10] == value


# ------------------------------------------------- enable, disable, zero, clear

@pytest.mark.parametrize("command, method, before, warning, after, line", [
    ("enable", "enable", {}, "enabling: each holds its last command", {"enabled": True}, "enabled at +0.5000 rad"),
    ("disable", "disable", {"enabled": True}, "disabling: they stop holding torque", {"enabled": False},
     "disabled at +0.5000 rad"),
    ("zero", "set_zero", {}, "setting the present position as zero", {"position": 0.0},
     "zeroed, DISABLED at +0.0000 rad"),
    ("clear", "clear_error", {"fault": 0xD}, "clearing faults", {"fault": 0}, "cleared, DISABLED at +0.5000 rad"),
])
def test_group_commands_say_what_comes_then_serve_every_motor_in_one_tick(dmtool, bus, command, method, before,
                                                                           warning, after, line):
    for m in bus.motors:
        m.position = 0.5
        for k, v in before.items():
            setattr(m, k, v)
    mark_calls(bus, ("group", method))
    status, out, err = dmtool(command, "2", "1")
    assert (status, err) == (0, "")
    lines = out.splitlines()
    assert lines[0].startswith(f"motors 2, 1: {warning}")
    assert lines[1] == f"<<group {method}>>"
    assert lines[2:] == [f"motor 2: {line}", f"motor 1: {line}"]
    assert sent(bus, "group") == [("group", method, (2, 1))]
    assert all(getattr(m, k) == v for m in bus.motors for k, v in after.items())


@pytest.mark.parametrize("flag", [[], ["--fd"]])
def test_fd_flag_reaches_the_group(dmtool, bus, flag):
    assert dmtool(*flag, "disable", "1")[0] == 0
    assert bus.group_fd is bool(flag)


def test_two_motors_on_one_feedback_id_are_refused(dmtool, bus):
    bus.motors[1].master_id = 0x11
    status, _, err = dmtool("enable", "1", "2")
    assert status == 1
    assert "motors 1 and 2 both answer on feedback id 0x11" in err
    assert sent(bus, "group") == []


# --------------------------------------------------------------------- move

def test_move_switches_to_pos_vel_says_so_and_waits_until_there(dmtool, bus):
    mark_calls(bus, "mode", ("group", "enable"))
    status, out, err = dmtool("move", "1", "--pos", "1", "--vel", "2")
    assert (status, err) == (0, "")
    lines = out.splitlines()
    assert lines[:5] == ["motor 1: control mode MIT -> POS_VEL (not saved)", "<<mode 1>>",
                         "motor 1: watchdog 300 ms while it moves (TIMEOUT, not saved; off again after)",
                         "motor 1: enabling and moving to +1.0000 rad at up to 2 rad/s", "<<group enable>>"]
    assert lines[5].startswith("motor 1: at +1.0000 rad after ")
    assert sent(bus, "pos_vel") == [("pos_vel", 1, 1.0, 2.0)] * 4    # 0.25 rad per command
    assert bus.motors[0].registers[10] == 2 and bus.motors[0].saved[10] == 1


def test_move_leaves_the_mode_alone_when_it_is_pos_vel(dmtool, bus):
    bus.motors[1].position = -0.3
    assert dmtool("move", "2", "--pos", "-0.3")[0] == 0
    assert sent(bus, "mode") == []
    assert len(sent(bus, "pos_vel")) == 1


def test_move_refuses_a_faulted_motor(dmtool, bus):
    bus.motors[1].fault = 0x9
    status, _, err = dmtool("move", "2", "--pos", "1")
    assert status == 1
    assert "motor 2: UNDERVOLTAGE (0x9) at +0.0000 rad" in err
    assert sent(bus, "pos_vel") == []


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
@pytest.mark.parametrize("eintr", [False, True])
def test_ctrl_c_or_sigterm_during_a_move_makes_the_motor_stop_where_it_is(dmtool, bus, eintr, sig):
    bus.motors[1].registers[9] = 1000
    calls = []

    def hook(entry):
        if entry[0] == "pos_vel":
            calls.append(entry)
            if len(calls) == 2:
                os.kill(os.getpid(), sig)
                if eintr:  # the signal cut a bus wait short
                    raise BusError("Interrupted system call", errno.EINTR)
    bus.on_call = hook
    status, _, err = dmtool("move", "2", "--pos", "2")
    at = 0.25 if eintr else 0.5    # the second command was cut short, or served
    assert status == 130
    assert err == (f"dmtool move: interrupted; motor 2 stops at +{at:.4f} rad, still enabled "
                   "('dmtool disable 2' lets go)\n")
    assert sent(bus, "pos_vel")[-1] == ("pos_vel", 2, at, 1.0)
    assert bus.motors[1].position == at
    # The watchdog is put back after the stop command, not before.
    assert bus.log[-1] == ("write", 2, 9, 1000) and bus.motors[1].registers[9] == 1000
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL


@pytest.mark.parametrize("timeout_ms, before, steps", [
    (20, 0, 6000),        # 10 x (10 ms period + 20 ms reply wait)
    (1, 0, 2200),         # 10 x (10 ms + 1 ms)
    (500, 0, 65520),      # all 16 bits hold
    (20, 1234, 6000),
    (20, 6000, None),     # already that: nothing to write or restore
])
def test_move_sets_a_watchdog_before_enabling_and_puts_it_back(dmtool, bus, timeout_ms, before, steps):
    bus.motors[1].registers[9] = before
    mark_calls(bus, ("group", "enable"))
    status, out, _ = dmtool("--timeout-ms", timeout_ms, "move", "2", "--pos", "0.5")
    assert status == 0
    writes = sent(bus, "write")
    if steps is None:
        assert writes == []
    else:
        assert writes == [("write", 2, 9, steps), ("write", 2, 9, before)]
        assert bus.log.index(writes[0]) < bus.log.index(("group", "enable", (2,)))
        assert bus.log.index(writes[1]) > max(i for i, e in enumerate(bus.log) if e[0] == "pos_vel")
    assert bus.motors[1].registers[9] == before and bus.motors[1].saved[9] == 0
    assert sent(bus, "save") == []


@pytest.mark.parametrize("setup, message", [
    (lambda b: setattr(b, "on_call", fault_on_pos_vel(b.motors[1], 2)), "motor 2: COMM_LOST (0xd)"),
    (lambda b: setattr(b.motors[1], "step", 0.0), "motor 2: not at +1.0000 rad after 0.05 s"),
])
def test_move_failing_puts_the_watchdog_back(dmtool, bus, setup, message):
    setup(bus)
    status, _, err = dmtool("move", "2", "--pos", "1", "--timeout", "0.05")
    assert status == 1 and message in err
    assert sent(bus, "write")[-1] == ("write", 2, 9, 0) and bus.motors[1].registers[9] == 0


def fault_on_pos_vel(motor, nth):
    calls = []

    def hook(entry):
        if entry[0] == "pos_vel":
            calls.append(entry)
            if len(calls) == nth:
                motor.fault = 0xD
    return hook


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
@pytest.mark.parametrize("argv, kind", [(["scan", "--ids", "1-4"], ("scan", (2,))),
                                        (["enable", "1", "2"], ("group", "enable"))])
def test_a_signal_ends_a_one_shot_command_as_interrupted(dmtool, bus, argv, kind, sig):
    def hook(entry):
        if entry[:2] == kind:
            os.kill(os.getpid(), sig)
    bus.on_call = hook
    status, _, err = dmtool(*argv)
    assert status == 130
    assert err == f"dmtool {argv[0]}: interrupted\n"
    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL


# ------------------------------------------------------------------ monitor

def stop_after(bus, ticks, *, silence=None, eintr=False, sig=signal.SIGINT):
    """SIG on tick TICKS of the group refresh; motor SILENCE stops answering after the first."""
    count = []

    def hook(entry):
        if entry[:2] == ("group", "refresh"):
            count.append(entry)
            if silence and len(count) == 2:
                next(m for m in bus.motors if m.motor_id == silence).answering = False
            if len(count) == ticks:
                os.kill(os.getpid(), sig)
                if eintr:
                    raise BusError("Interrupted system call", errno.EINTR)
    bus.on_call = hook


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
@pytest.mark.parametrize("eintr", [False, True])
def test_monitor_piped_prints_lines_per_tick_and_ends_cleanly_on_a_signal(dmtool, bus, tmp_path, eintr, sig):
    bus.motors[0].position = 0.25
    bus.motors[0].registers[9] = 2000
    stop_after(bus, 3, silence=2, eintr=eintr, sig=sig)
    status, out, err = dmtool("monitor", "1", "2", "--rate", "500", "--csv", tmp_path / "m.csv")
    assert status == 0
    ticks = 2 if eintr else 3
    assert err == f"dmtool monitor: stopped after {ticks} ticks in " + err.split(" in ")[1]
    lines = out.splitlines()
    assert len(lines) == 3 * ticks   # each motor, then the bus
    assert lines[0].startswith("t=") and lines[0].split(" ", 1)[1] == (
        "motor=1 master=0x11 watchdog=100ms status=DISABLED pos=+0.2500 vel=+0.0000 torque=+0.0000 t_mos=30 "
        "t_rotor=31")
    assert lines[4].split(" ", 1)[1] == "motor=2 master=0x7a watchdog=off status=no-answer"
    assert lines[2].split(" ", 1)[1] == "bus=can0 state=error-active errors=none stale=0 unsolicited=0 tx_waits=0"
    with open(tmp_path / "m.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert [(r["motor_id"], r["answered"]) for r in rows] == [("1", "1"), ("2", "1"), ("1", "1"), ("2", "0"),
                                                              ("1", "1"), ("2", "0")][:2 * ticks]
    assert rows[0]["position_rad"] == "0.250000" and rows[3]["position_rad"] == ""
    assert [rows[0][k] for k in ("bus_state", "stale", "unsolicited", "tx_waits", "errors_bus_off")] == [
        "error-active", "0", "0", "0", "0"]
    assert sent(bus, "group") == [("group", "refresh", (1, 2))] * 3
    assert sent(bus, "read", "write") == [("read", 1, 9), ("read", 2, 9)]   # the watchdogs, once
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL


def test_monitor_shows_the_bus_health_and_goes_on_through_a_bus_off_tick(dmtool, bus, tmp_path):
    ticks = []

    def hook(entry):
        if entry[:2] != ("group", "refresh"):
            return
        ticks.append(entry)
        h = bus.health
        if len(ticks) == 2:      # the controller went off the bus during this tick
            h.state, h.stale = "bus-off", 1
            h.error_frames["controller"] += 2
            h.error_frames["bus-off"] += 1
            raise BusError("can0: bus-off")
        if len(ticks) == 3:
            h.state = "error-active"
            h.error_frames["restarted"] += 1
            os.kill(os.getpid(), signal.SIGINT)
    bus.on_call = hook
    status, out, err = dmtool("monitor", "1", "2", "--rate", "500", "--csv", tmp_path / "m.csv")
    assert status == 0, err
    lines = [line.split(" ", 1)[1] for line in out.splitlines()]
    assert lines[3:6] == ["motor=1 master=0x11 watchdog=off status=no-answer",
                          "motor=2 master=0x7a watchdog=off status=no-answer",
                          "bus=can0 state=bus-off errors=controller:2,bus-off:1 stale=1 unsolicited=0 tx_waits=0"]
    assert lines[6].startswith("motor=1 master=0x11 watchdog=off status=DISABLED")
    assert lines[8] == ("bus=can0 state=error-active errors=controller:2,bus-off:1,restarted:1 stale=1 "
                        "unsolicited=0 tx_waits=0")
    with open(tmp_path / "m.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert [(r["answered"], r["bus_state"], r["errors_bus_off"], r["errors_controller"]) for r in rows[::2]] == [
        ("1", "error-active", "0", "0"), ("0", "bus-off", "1", "2"), ("1", "error-active", "1", "2")]


def test_monitor_table_marks_a_silent_motor_and_redraws_in_place(bus):
    a, b = Watch(bus.motors[0], torvane_ext, 60), Watch(bus.motors[1], torvane_ext, None)
    a.update(bus.motors[0].state(), 0.0)
    b.update(bus.motors[1].state(), 0.0)
    b.update(None, 1.0)
    lines = table([a, b], 2.5)
    assert len(lines) == 3
    assert lines[1].split()[:5] == ["1", "0x11", "DISABLED", "3", "ms"]
    assert lines[0].index("watchdog") + len("watchdog") == lines[1].index("3 ms") + len("3 ms")
    assert "NO ANSWER 1.5s" in lines[2] and lines[2].split()[-6:] == ["?"] + ["-"] * 5
    b.update(bus.motors[1].state(), 3.0)
    assert "NO ANSWER" not in table([a, b], 3.0)[2]

    class Out:
        text = ""

        def write(self, s):
            self.text += s

        def flush(self):
            pass

    out = Out()
    screen = Screen(out)
    screen.draw(["x", "y"])
    screen.draw(["x", "z"])
    assert out.text == "x\x1b[K\ny\x1b[K\n\x1b[2Fx\x1b[K\nz\x1b[K\n"


# --------------------------------------------------------------------- stop

def enabled(bus):
    for m in bus.motors:
        m.enabled = True


def test_stop_disables_every_id_first_then_finds_the_feedback_id_of_a_motor_off_the_pattern(dmtool, bus):
    enabled(bus)
    at_scan = []
    bus.on_call = lambda e: e[0] == "scan" and at_scan.append([m.enabled for m in bus.motors])
    status, out, err = dmtool("stop", "--ids", "1-4")
    # Ids named that did not answer may be motors out of reach: not known to have stopped.
    assert (status, err) == (1, "dmtool stop: ids 3-4 did not answer on can0; sent a disable, but not known to "
                                "have stopped\n")
    assert at_scan == [[False, False]]    # motor 2 stopped before its feedback id was known
    assert [e for e in bus.log if e[0] in ("group", "scan")] == [
        ("group", "disable", (1, 2, 3, 4)), ("scan", (2, 3, 4)), ("group", "disable", (2,))]
    assert out.splitlines() == [
        "ids 1-4 on can0: disabling every motor: they stop holding torque, and a loaded joint will fall",
        "motor 1 (feedback 0x11): disabled", "motor 2 (feedback 0x7a): disabled",
        "no answer from ids 3-4 (each was sent a disable)"]


@pytest.mark.parametrize("setup, status, lines, error, groups", [
    # A reply to the other program's command came first: sent again until it confirms.
    (lambda b: setattr(b.motors[0], "stale", 2), 0, ["motor 1 (feedback 0x11): disabled"], "", 3),
    (lambda b: setattr(b.motors[0], "stale", 99), 1, ["motor 1 (feedback 0x11): still ENABLED after 4 disables"],
     "dmtool stop: motor 1 (feedback 0x11): still ENABLED after 4 disables\n", 4),
    (lambda b: setattr(b.motors[0], "fault", 0xC), 0,
     ["motor 1 (feedback 0x11): answered with ROTOR_OVERTEMP (0xc), not driving"], "", 2),
    # Found by the scan, then silent.
    (lambda b: silence_at(b, ("group", "disable"), 2, nth=2), 1, ["motor 2 (feedback 0x7a): did not answer the disable"],
     "dmtool stop: motor 2 (feedback 0x7a): did not answer the disable\n", 4),
])
def test_stop_exits_0_only_when_every_motor_found_stopped(dmtool, bus, setup, status, lines, error, groups):
    enabled(bus)
    setup(bus)
    got, out, err = dmtool("stop", "--ids", "1-2")
    assert (got, err) == (status, error)
    assert set(lines) <= set(out.splitlines())
    assert len(sent(bus, "group")) == groups
    assert not any(m.enabled for m in bus.motors)


def silence_at(bus, kind, motor_id, nth):
    """Motor MOTOR_ID stops answering when the NTH call of KIND reaches the bus."""
    calls = []

    def hook(entry):
        if entry[:2] == kind:
            calls.append(entry)
            if len(calls) == nth:
                next(m for m in bus.motors if m.motor_id == motor_id).answering = False
    bus.on_call = hook


@pytest.mark.parametrize("json_flag", [False, True])
def test_stop_with_no_motor_answering_exits_1(dmtool, bus, json_flag):
    status, out, err = dmtool("stop", "--ids", "3,5-7", *(["--json"] if json_flag else []))
    assert status == 1
    assert err == ("dmtool stop: no motor answered on can0 (ids 3, 5-7); each was sent a disable, but none is "
                   "known to have stopped\n")
    if json_flag:
        assert json.loads(out) == {"iface": "can0", "motors": [], "no_answer": [3, 5, 6, 7]}
    assert sent(bus, "group") == [("group", "disable", (3, 5, 6, 7))]


@pytest.mark.parametrize("ids, no_answer, status", [(["--ids", "1-3"], [3], 1), ([], list(range(3, 17)), 0)])
def test_stop_json(dmtool, bus, ids, no_answer, status):
    enabled(bus)
    bus.motors[1].fault = 0x9
    got, out, _ = dmtool("stop", *ids, "--json")
    assert got == status
    assert json.loads(out) == {"iface": "can0", "no_answer": no_answer, "motors": [
        {"motor_id": 1, "master_id": 0x11, "stopped": True, "status": 0, "status_name": "DISABLED"},
        {"motor_id": 2, "master_id": 0x7A, "stopped": True, "status": 9, "status_name": "UNDERVOLTAGE"}]}


def hold_script(bus, ids, events, *, rounds, sig=signal.SIGINT, eintr=False):
    """EVENTS[n](bus) as disable n to all of IDS reaches the bus (0 is stop's first, then one a hold
    round), SIG at round ROUNDS, there cut short when EINTR. The disables to all of IDS seen."""
    seen, calls = [], []

    def hook(entry):
        if entry[:2] != ("group", "disable"):
            return
        calls.append(entry)
        if entry[2] == tuple(ids):
            n = len(seen)
            seen.append(entry)
            if n in events:
                events[n](bus)
            if n == rounds:
                os.kill(os.getpid(), sig)
                if eintr:
                    raise BusError("Interrupted system call", errno.EINTR)
        elif len(calls) == 1000:
            os.kill(os.getpid(), sig)   # never the disables expected: end the hold, and the test fails
    bus.on_call = hook
    return seen


def still_enabled(b):
    enabled(b)
    b.motors[0].stale = 99


@pytest.mark.parametrize("hold", [False, True])
@pytest.mark.parametrize("ids, setup, status, error", [
    ([1, 2], None, 0, ""),
    (None, None, 0, ""),    # the default range is a search: ids 3-16 may be silent
    ([1, 9], None, 1, "dmtool stop: id 9 did not answer on can0; sent a disable, but not known to have stopped\n"),
    ([1, 9, 10], None, 1, "dmtool stop: ids 9-10 did not answer on can0; sent a disable, but not known to have "
                          "stopped\n"),
    (None, lambda b: b.motors.clear(), 1, "dmtool stop: no motor answered on can0 (ids 1-16); each was sent a "
                                          "disable, but none is known to have stopped\n"),
    ([1, 2], still_enabled, 1, "dmtool stop: motor 1 (feedback 0x11): still ENABLED after 4 disables\n"),
])
def test_stop_exit_status_each_id_named_must_answer_with_or_without_hold(dmtool, bus, monkeypatch, hold, ids, setup,
                                                                          status, error):
    monkeypatch.setattr(stop, "HOLD_PERIOD_S", 0.001)
    if setup:
        setup(bus)
    seen = hold_script(bus, ids or range(1, 17), {}, rounds=2) if hold else []
    argv = ["--ids", ",".join(map(str, ids))] if ids else []
    got, out, err = dmtool("stop", *argv, *(["--hold"] if hold else []))
    assert (got, err) == (status, error)
    assert len(seen) == (4 if hold else 0)    # the first, two rounds, the last
    assert ("holding: disabling ids" in out) == hold
    assert not any(m.enabled for m in bus.motors)


@pytest.mark.parametrize("sig, eintr", [(signal.SIGINT, False), (signal.SIGTERM, True)])
def test_stop_hold_disables_every_id_each_round_until_a_signal_and_says_what_changed(dmtool, bus, monkeypatch, sig,
                                                                                   eintr):
    monkeypatch.setattr(stop, "HOLD_PERIOD_S", 0.001)
    enabled(bus)

    def runaway(b):     # enabled again, and the reply to that enable comes before the one to the disable
        b.motors[0].enabled, b.motors[0].stale = True, 1

    def no_buffer(b):
        raise BusError("No buffer space available", errno.ENOBUFS)

    events = {2: runaway, 3: lambda b: b.motors.append(FakeMotor(3, 0x13, enabled=True)),
              4: lambda b: setattr(b.motors[1], "answering", False), 5: no_buffer,
              6: lambda b: setattr(b.motors[1], "answering", True)}
    seen = hold_script(bus, [1, 2, 3], events, rounds=7, sig=sig, eintr=eintr)
    status, out, err = dmtool("stop", "--hold", "--ids", "1-3")
    assert (status, err) == (0, "")
    lines = [re.sub(r"\d+\.\d s\b", "T s", line) for line in out.splitlines()]
    assert lines == [
        "ids 1-3 on can0: disabling every motor: they stop holding torque, and a loaded joint will fall",
        "motor 1 (feedback 0x11): disabled", "motor 2 (feedback 0x7a): disabled",
        "no answer from ids 3 (each was sent a disable)",
        "holding: disabling ids 1-3 on can0 every 0.001 s until Ctrl-C",
        "T s: motor 1 (feedback 0x11): ENABLED: disabling it again",
        "T s: motor 1 (feedback 0x11): disabled",
        "T s: motor 3 (feedback 0x13): disabled",
        "T s: motor 2 (feedback 0x7a): no answer",
        "T s: bus error on can0: No buffer space available",
        "T s: can0: disables go out again",
        "T s: motor 2 (feedback 0x7a): disabled",
        f"held for T s, {6 if eintr else 7} rounds; disabling once more",
        "motor 1 (feedback 0x11): disabled", "motor 2 (feedback 0x7a): disabled", "motor 3 (feedback 0x13): disabled"]
    # The first disable, one a round (the one a signal cut short included), the last.
    assert len(seen) == 1 + 7 + 1
    assert not any(m.enabled for m in bus.motors)
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL


def test_stop_hold_reports_the_last_disable_alone_a_motor_gone_silent_fails(dmtool, bus, monkeypatch):
    monkeypatch.setattr(stop, "HOLD_PERIOD_S", 0.001)
    seen = hold_script(bus, range(1, 17), {1: lambda b: setattr(b.motors[1], "answering", False)}, rounds=2)
    status, out, err = dmtool("stop", "--hold")
    # Found at first, so silence now is no search result: it may be powered and out of reach.
    assert (status, err) == (1, "dmtool stop: motor 2 (feedback 0x7a): did not answer the disable\n")
    assert out.splitlines()[-3:] == ["motor 1 (feedback 0x11): disabled", "motor 2 (feedback 0x7a): did not answer "
                                     "the disable", "no answer from ids 3-16 (each was sent a disable)"]
    assert len(seen) == 4


def run_on(capsys, buses, *argv):
    status = main([str(a) for a in argv], api=make_api(*buses))
    out, err = capsys.readouterr()
    assert "Traceback" not in err
    return status, out, err


@pytest.fixture
def two_buses():
    can0 = Bus(FakeMotor(1, 0x11, enabled=True), FakeMotor(2, 0x7A, enabled=True), iface="can0")
    can1 = Bus(FakeMotor(1, 0x11, enabled=True), FakeMotor(3, 0x23, enabled=True), iface="can1")
    return can0, can1


def test_stop_on_two_interfaces_sends_every_first_disable_before_any_scan(capsys, two_buses):
    order = []
    for b in two_buses:
        b.on_call = lambda entry, iface=b.iface: order.append((iface, *entry[:2]))
    status, out, err = run_on(capsys, two_buses, "stop", "--iface", "can0", "--iface", "can1")
    assert (status, err) == (0, "")
    assert order == [("can0", "group", "disable"), ("can1", "group", "disable"), ("can0", "scan", tuple(range(2, 17))),
                     ("can0", "group", "disable"), ("can1", "scan", (2, *range(3, 17))), ("can1", "group", "disable")]
    assert out.splitlines() == [
        "ids 1-16 on can0, can1: disabling every motor: they stop holding torque, and a loaded joint will fall",
        "can0: motor 1 (feedback 0x11): disabled", "can0: motor 2 (feedback 0x7a): disabled",
        "can0: no answer from ids 3-16 (each was sent a disable)",
        "can1: motor 1 (feedback 0x11): disabled", "can1: motor 3 (feedback 0x23): disabled",
        "can1: no answer from ids 2, 4-16 (each was sent a disable)"]
    assert not any(m.enabled for b in two_buses for m in b.motors)


@pytest.mark.parametrize("hold", [False, True])
def test_stop_on_two_interfaces_fails_for_each_one_not_stopped_and_names_it_in_json(capsys, monkeypatch, two_buses,
                                                                                  hold):
    monkeypatch.setattr(stop, "HOLD_PERIOD_S", 0.001)
    can0, can1 = two_buses
    seen = hold_script(can0, [1, 2, 3], {}, rounds=3) if hold else []
    status, out, err = run_on(capsys, two_buses, "stop", "--iface", "can0,can9,can1", "--ids", "1-3", "--json",
                              *(["--hold"] if hold else []))
    assert status == 1
    assert err.splitlines()[-1] == (
        "dmtool stop: id 3 did not answer on can0; sent a disable, but not known to have stopped; "
        "cannot open can9: [Errno 19] No such device; "
        "id 2 did not answer on can1; sent a disable, but not known to have stopped")
    assert (err.count("\n") > 1) == hold    # what the hold did, on stderr: stdout is the JSON alone
    assert len(seen) == (5 if hold else 0)
    disabled = {"stopped": True, "status": 0, "status_name": "DISABLED"}
    assert json.loads(out) == [
        {"iface": "can0", "no_answer": [3], "motors": [{"motor_id": 1, "master_id": 0x11, **disabled},
                                                       {"motor_id": 2, "master_id": 0x7A, **disabled}]},
        {"iface": "can9", "no_answer": [1, 2, 3], "motors": [], "error": "cannot open can9: [Errno 19] No such device"},
        {"iface": "can1", "no_answer": [2], "motors": [{"motor_id": 1, "master_id": 0x11, **disabled},
                                                       {"motor_id": 3, "master_id": 0x23, **disabled}]}]
    assert not any(m.enabled for b in two_buses for m in b.motors)


@pytest.mark.parametrize("ids", [[1, 2, 3], list(range(0x7E0, 0x7FF)), [0x7FE, 0x7EE, 0x10, 0x7F0]])
def test_stop_guesses_distinct_feedback_ids_a_frame_can_carry(ids):
    guess = guesses(ids)
    assert list(guess) == ids
    assert len(set(guess.values())) == len(ids)
    assert all(0 <= g <= 0x7FE for g in guess.values())
    assert all(guess[i] == i + 0x10 for i in ids if i + 0x10 <= 0x7FE)


# ------------------------------------------------------------- formatting

@pytest.mark.parametrize("value, text", [
    (f32(0.1), "0.1"), (f32(12.566), "12.566"), (30.0, "30.0"), (f32(1e-7), "1e-07"),
    (f32(3.4028235e38), "3.4028235e+38"), (f32(16777217.0), "16777216.0"), (-0.0, "-0.0"), (float("nan"), "nan"),
    (float("-inf"), "-inf"), (f32(2.5e-3), "0.0025"),
])
def test_float_registers_show_the_shortest_text_that_reads_back(value, text):
    assert f32_text(value) == text
    if text not in ("nan", "-inf"):
        assert f32(float(text)) == value


@pytest.mark.parametrize("text, ids", [
    ("1-3", [1, 2, 3]), ("5", [5]), ("0x10-0x12", [16, 17, 18]), ("3,1-4", [3, 1, 2, 4]), (" 7 , 2 ", [7, 2]),
])
def test_id_ranges(text, ids):
    assert types.id_ranges(text) == ids
