"""dmtool --web on a real bus, read as the page reads it (its event
stream): monitor's samples follow a dmsim motor that turns, a motor whose
simulator stops shows as silent within a second, and listen shows a fault
frame's status by name. The page itself in a browser: ../test_dmtool_web.py.
"""

import json
import re
import signal
import subprocess
import sys
import threading
import time
import urllib.request
from pathlib import Path

import pytest
import torvane
import torvane_ext as tx
from canpeer import IFACE, Peer

bus_test = pytest.mark.bus

DMTOOL = Path(sys.executable).parent / "dmtool"


class Stream:
    """The page's event stream, each update kept with the time it came."""

    def __init__(self, url):
        self.response = urllib.request.urlopen(url + "events", timeout=30)
        self.updates = []
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        try:
            for line in self.response:
                if line.startswith(b"data: "):
                    self.updates.append((time.monotonic(), json.loads(line[6:])))
        except (OSError, ValueError):
            pass

    def wait(self, test, timeout=30.0):
        """The first update from now on that passes TEST, and when it came."""
        start = len(self.updates)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for at, u in self.updates[start:]:
                if test(u):
                    return at, u
            time.sleep(0.01)
        raise AssertionError(f"no such update in {timeout} s; last: {self.updates[-1:]}")


def start_web(*argv):
    p = subprocess.Popen([DMTOOL, "--iface", IFACE, "--timeout-ms", "300", *argv, "--web", "127.0.0.1:0"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    said = []
    for line in p.stderr:
        said.append(line)
        m = re.search(r"live plots on (http://127\.0\.0\.1:\d+/)", line)
        if m:
            threading.Thread(target=p.stderr.read, daemon=True).start()
            return p, m[1]
    raise AssertionError(f"no address from {argv}: exit {p.wait()}: {''.join(said)}")


def stop(p):
    p.send_signal(signal.SIGINT)
    assert p.wait(60) == 0


def motor(u, i):
    return u["motors"].get(str(i))


@bus_test
def test_web_follows_a_turning_motor_a_silent_one_and_a_fault(start_dmsim):
    start_dmsim("1:0x11:dm4310")
    second = start_dmsim("2:0x12:dm4310")
    bus = torvane.SocketCanTransport(IFACE)
    m1 = torvane.Damiao(1, 0x11, torvane.MitLimits.dm4310(), timeout_ms=500)
    tx.set_control_mode(bus, m1, tx.ControlMode.VEL)
    m1.enable(bus)

    monitor, url = start_web("monitor", "1", "2", "--rate", "50")
    listen, listen_url = start_web("listen", "--motor", "1:0x11:dm4310")
    try:
        page = Stream(url)
        _, first = page.wait(lambda u: (m := motor(u, 1)) and m["samples"] and motor(u, 2)["samples"])
        tx.vel(bus, m1, 2.0)
        time.sleep(1.0)
        _, last = page.wait(lambda u: motor(u, 1)["samples"])
        assert motor(last, 1)["samples"][-1][1] > motor(first, 1)["samples"][-1][1] + 0.5   # turning at 2 rad/s
        assert abs(motor(last, 1)["samples"][-1][2] - 2.0) < 0.5
        assert motor(last, 1)["status"] == "ENABLED" and not motor(last, 1)["silent"]
        assert motor(last, 2)["status"] == "DISABLED" and not motor(last, 2)["silent"]
        # The update rate is the browser test's (on the host): the emulated guest is no measure of speed.

        second.stop()
        # Flagged by the first update after its last answer grew old: the age it reports then.
        _, u = page.wait(lambda u: motor(u, 2)["silent"], timeout=10)
        assert motor(u, 2)["age"] < 1.0, motor(u, 2)
        assert not motor(u, 1)["silent"]
        stop(monitor)

        # listen: a feedback frame with a fault on motor 1's feedback id.
        seen = Stream(listen_url)
        peer = Peer()
        m1.disable(bus)
        seen.wait(lambda u: (m := motor(u, 1)) and m["status"] == "DISABLED")
        peer.send(0x11, bytes.fromhex("C17FFF7FF7FF5060"))
        _, u = seen.wait(lambda u: motor(u, 1)["status"] == "ROTOR_OVERTEMP")
        assert motor(u, 1)["fault"] and motor(u, 1)["samples"][-1][4:] == [0x50, 0x60]
        peer.close()
        stop(listen)
    finally:
        for p in (monitor, listen):
            if p.poll() is None:
                p.kill()
                p.wait()
