"""dmsim, the simulator that the live parts of the benchmarks run against."""

import signal
import subprocess
import sys
import threading
from pathlib import Path

from .frames import BITRATE

# The arm the multi-motor benchmarks play: one bus of an OpenArm's motors.
ARM = ("dm8009", "dm8009", "dm4340", "dm4340", "dm4310", "dm4310", "dm4310", "dm4310")
# A 1 Mbit/s bus and a motor's processing latency.
WIRE = ("--bitrate", str(BITRATE), "--latency-us", "200")


def find_dmsim():
    exe = Path(sys.executable).parent / "dmsim"
    return exe if exe.is_file() else None


def damiao_motors(models):
    """torvane.Damiao records for the motors motor_args starts (100 ms reply timeout)."""
    import torvane
    return [torvane.Damiao(i, 0x10 + i, getattr(torvane.MitLimits, m)(), timeout_ms=100)
            for i, m in enumerate(models, 1)]


def motor_args(models):
    """dmsim's --motor options for motors 1, 2, ... with feedback on 0x11, 0x12, ..."""
    out = []
    for i, m in enumerate(models, 1):
        out += ["--motor", f"{i}:{0x10 + i:#x}:{m}"]
    return out


class Simulator:
    """dmsim on one interface in MIT mode, up once it says so; stopped with SIGINT."""
    READY = "dmsim: ready on "

    def __init__(self, exe, iface, args, wait=60.0):
        argv = [str(exe), "--iface", iface, "--mode", "1", *args]
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True)
        self.lines = []
        ready = threading.Event()

        def read():
            for line in self.proc.stderr:
                self.lines.append(line)
                if line.startswith(self.READY):
                    ready.set()
            ready.set()

        self.reader = threading.Thread(target=read, daemon=True)
        self.reader.start()
        if not ready.wait(wait) or self.proc.poll() is not None:
            self.stop()
            raise RuntimeError("dmsim did not come up: " + "".join(self.lines).strip())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(5)
