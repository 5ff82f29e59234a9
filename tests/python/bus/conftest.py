"""Fixtures that run the motor simulator (dmsim) on the test bus."""

import os
import signal
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from canpeer import IFACE

REPO = Path(__file__).resolve().parents[3]
READY = "dmsim: ready on "
# Generous: in the qemu guest everything, process start included, is slow.
READY_WAIT_S = 30.0


@pytest.fixture(scope="session", autouse=True)
def matplotlib_cache():
    """One font cache for the examples' plots, kept between runs: building it takes minutes in
    the guest (tools/run-tests builds it on the host first)."""
    os.environ.setdefault("MPLCONFIGDIR", str(REPO / ".cache" / "mpl"))


@pytest.fixture(scope="session")
def dmsim_exe():
    """The simulator installed with the package, beside this interpreter."""
    exe = Path(sys.executable).parent / "dmsim"
    if not exe.is_file():
        pytest.fail(f"no dmsim beside {sys.executable}: install the package into this environment")
    return exe


@pytest.fixture
def dmsim_iface():
    # A missing bus is a broken test setup, not a reason to skip: whoever
    # runs the bus tests decides where they can run.
    if not Path("/sys/class/net", IFACE).exists():
        pytest.fail(f"no CAN interface {IFACE}: run under tools/vcan-vm or create a vcan interface")
    return IFACE


class RunningSim:
    """One dmsim process; stderr is read continuously so it never blocks."""

    def __init__(self, argv, log_path):
        self.argv = [str(a) for a in argv]
        self.log_path = log_path
        self.stderr_lines = []
        self._ready = threading.Event()
        self.proc = subprocess.Popen(self.argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        if not self._ready.wait(READY_WAIT_S) or self.proc.poll() is not None:
            self.proc.kill()
            self.proc.wait()
            self._reader.join(5)
            pytest.fail(f"dmsim did not come up: {self.argv}\n" + "".join(self.stderr_lines))

    def _read(self):
        for line in self.proc.stderr:
            self.stderr_lines.append(line)
            if line.startswith(READY):
                self._ready.set()
        self._ready.set()  # ended before (or after) the ready line

    def stop(self, sig=signal.SIGINT, timeout=20):
        """Signal the simulator and return its exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
        self._reader.join(5)
        return rc

    def log_lines(self):
        return self.log_path.read_text().splitlines() if self.log_path else []

    def stderr(self):
        return "".join(self.stderr_lines)


@pytest.fixture
def start_dmsim(dmsim_exe, dmsim_iface, tmp_path):
    """start_dmsim("1:0x11:dm4310", ..., args=[...]) -> RunningSim, logging to a file.

    Every simulator still running at the end of the test is stopped with
    SIGINT and must exit cleanly.
    """
    sims = []

    def start(*motors, args=(), log=True, iface=None):
        argv = [dmsim_exe, "--iface", iface or dmsim_iface]
        for m in motors:
            argv += ["--motor", m]
        log_path = tmp_path / f"dmsim-{len(sims)}.log" if log else None
        if log_path:
            argv += ["--log", log_path]
        sim = RunningSim([*argv, *args], log_path)
        sims.append(sim)
        return sim

    yield start
    codes = [(s.argv, s.stop(), s.stderr()) for s in sims if s.proc.returncode is None]
    for argv, rc, err in codes:
        assert rc == 0, f"dmsim {argv} exited with {rc} on SIGINT:\n{err}"
