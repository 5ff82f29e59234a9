"""dmtool doctor against dmsim set up wrongly in one way at a time: each
fault found, named on its motor, and the exit status it earns; a good setup
clean. What the checks make of each answer is pinned down with fakes in
../test_dmtool_doctor.py."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from canpeer import IFACE

bus_test = pytest.mark.bus

DMTOOL = Path(sys.executable).parent / "dmtool"
# Replies from a simulator in a slow guest: generous, costs nothing on success.
SLOW_MS = 500
WATCHED = ["--register", "1:TIMEOUT=1000", "--register", "2:TIMEOUT=1000"]
TWO = ("1:0x11:dm4310", "2:0x12:dm4340")


@pytest.fixture(scope="module", autouse=True)
def installed():
    if not DMTOOL.is_file():
        pytest.fail(f"no dmtool beside {sys.executable}: install the package into this environment")


def doctor(*argv):
    done = subprocess.run([DMTOOL, "--iface", IFACE, "--timeout-ms", str(SLOW_MS), "doctor", "--ids", "1-4",
                           *map(str, argv)], capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL)
    assert "Traceback" not in done.stderr, done.stderr
    return done


def checks_of(done):
    doc = json.loads(done.stdout)
    assert doc["status"] == done.returncode
    return doc, {(c["name"], c["motor"]): c for c in doc["checks"]}


def host_frames(sim, feedback_ids):
    """The data of every frame on 0x7FF in dmsim's log (candump -L lines), None for one on any other
    identifier but the motors' feedback ids: a command that could move a motor."""
    out = []
    for line in sim.log_lines():
        ident, _, data = line.split()[2].partition("#")
        if int(ident, 16) == 0x7FF:
            out.append(bytes.fromhex(data[2:] if data.startswith("#") else data))   # FD: '#', then a flags digit
        elif int(ident, 16) not in feedback_ids:
            out.append(None)
    return out


@bus_test
@pytest.mark.parametrize("motors, sim_args, name, motor, status, words", [
    (TWO[:1], ["--fd-replies", "classic", "--register", "1:TIMEOUT=1000"], "FD request", 1, "fail",
     ["answered with a classic frame"]),
    (TWO[:1], ["--fd-replies", "none", "--register", "1:TIMEOUT=1000"], "FD request", 1, "fail", ["no answer"]),
    (("1:0x11:dm4310", "1:0x21:dm4310"), ["--shared-id", "--register", "1:TIMEOUT=1000"], "one motor per id", 1,
     "fail", ["two motors answer on command id 1", "serials 0x00005101 and 0x00015101"]),
    (TWO, [*WATCHED, "--fault", "2:overcurrent@0"], "fault", 2, "fail", ["OVERCURRENT (0xa) latched"]),
    (TWO, ["--register", "1:TIMEOUT=1000"], "watchdog", 2, "warn", ["TIMEOUT 0"]),
    (TWO + ("3:0x13:dm4310",), [*WATCHED, "--register", "3:TIMEOUT=1000", "--register", "2:can_br=2"], "bit rate",
     2, "fail", ["can_br 2, unlike can_br 4 (1 Mbit/s) on motors 1 and 3"]),
])
def test_each_wrong_setup_is_found_and_named(start_dmsim, motors, sim_args, name, motor, status, words):
    start_dmsim(*motors, args=sim_args)
    done = doctor("--json")
    doc, checks = checks_of(done)
    check = checks[(name, motor)]
    assert check["status"] == status, check
    for w in words:
        assert w in check["detail"], check
    assert check["fix"], check
    # That one fault, and only it, is what the run reports.
    assert [(c["name"], c["motor"]) for c in doc["checks"] if c["status"] != "ok"] == [(name, motor)], doc
    assert done.returncode == (1 if status == "fail" else 0)


@bus_test
def test_a_good_setup_passes_clean_and_moves_nothing(start_dmsim):
    sim = start_dmsim(*TWO, args=WATCHED)
    done = doctor("--json")
    doc, checks = checks_of(done)
    assert (done.returncode, doc["counts"]["warn"], doc["counts"]["fail"]) == (0, 0, 0), doc
    assert checks[("FD request", 1)]["detail"] == "answered with an FD frame"
    assert checks[("interface", None)]["detail"].startswith("virtual (vcan)")
    assert checks[("bus health", None)]["detail"].startswith("error-active; error frames none")
    text = doctor()
    assert text.returncode == 0
    lines = text.stdout.splitlines()
    assert lines[-1] == f"dmtool doctor: {len(lines) - 1} ok, 0 warn, 0 FAIL"
    sent = host_frames(sim, {0x11, 0x12})
    # Register reads (0x33) and refreshes (0xCC) only: no write, no save, no command to a motor.
    assert sent and all(d is not None and d[2] in (0x33, 0xCC) for d in sent), sent
