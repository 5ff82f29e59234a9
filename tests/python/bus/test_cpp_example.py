"""examples/cpp's group loop, built against the installed C++ package
(tools/lib/cpp-package-test), commanding seven simulated motors."""

import re
import signal
import subprocess
import time
from pathlib import Path

import pytest

from canpeer import IFACE
from motorframes import DISABLE, ENABLE

GROUP_LOOP = Path(__file__).resolve().parents[3] / "build" / "cpp-package" / "example" / "group_loop"
MOTORS = [f"{i}:{0x10 + i:#x}:{model}"
          for i, model in enumerate(["dm8009", "dm8009", "dm4340", "dm4340", "dm4310", "dm4310", "dm4310"], 1)]
RATE_HZ = 100
TICKS = re.compile(r"^ticks: (\d+) in [\d.]+ s \([\d.]+ ticks/s\), missed replies: (\d+), "
                   r"worst period error: \d+ us$", re.M)
LOG_FRAME = re.compile(r"^\(\d+\.\d+\) \S+ ([0-9A-F]{3})#([0-9A-F]*)$")
# Generous: the qemu guest is slow to start processes and to answer.
RUN_WAIT_S = 60


@pytest.fixture(scope="module")
def group_loop():
    if not GROUP_LOOP.is_file():
        pytest.fail(f"no {GROUP_LOOP}: tools/lib/cpp-package-test builds it (tools/run-tests runs that first)")
    return GROUP_LOOP


def commands_by_motor(log_lines):
    """Each motor's command frames in order, from dmsim's candump log."""
    frames = {i: [] for i in range(1, len(MOTORS) + 1)}
    for line in log_lines:
        m = LOG_FRAME.match(line)
        assert m, f"not a candump -L line: {line!r}"
        can_id = int(m.group(1), 16)
        if can_id in frames:
            frames[can_id].append(bytes.fromhex(m.group(2)))
    return frames


@pytest.mark.bus
@pytest.mark.parametrize("stop", ["duration", "SIGINT", "SIGTERM"])
def test_group_loop_runs_the_group_and_disables_every_motor(start_dmsim, group_loop, stop):
    sim = start_dmsim(*MOTORS)
    duration = "1" if stop == "duration" else "60"
    argv = [group_loop, "--iface", IFACE, "--rate", str(RATE_HZ), "--duration", duration]
    for m in MOTORS:
        argv += ["--motor", m]
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        if stop != "duration":
            started = proc.stdout.readline()
            assert started.startswith(f"group_loop: 7 motors on {IFACE}"), started + proc.stderr.read()
            time.sleep(0.5)
            proc.send_signal(getattr(signal, stop))
        out, err = proc.communicate(timeout=RUN_WAIT_S)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 0, f"exit {proc.returncode}\n{out}\n{err}"

    report = TICKS.search(out)
    assert report, out
    ticks, missed = int(report.group(1)), int(report.group(2))
    if stop == "duration":
        assert ticks == RATE_HZ
        assert "stopped by signal" not in out
    else:
        assert 0 < ticks < 60 * RATE_HZ
        assert "stopped by signal" in out
    assert missed <= ticks * len(MOTORS)
    assert "disabled: 7 of 7" in out

    assert sim.stop() == 0, sim.stderr()
    for motor_id, frames in commands_by_motor(sim.log_lines()).items():
        assert frames, f"motor {motor_id} was sent nothing"
        assert frames[0] == ENABLE and frames[-1] == DISABLE, (motor_id, frames[0].hex(), frames[-1].hex())
        mit = [f for f in frames if f not in (ENABLE, DISABLE)]
        # A signal may end an exchange whose commands are out: not a tick.
        sent = {ticks} if stop == "duration" else {ticks, ticks + 1}
        assert len(mit) in sent, (motor_id, len(mit), ticks)
