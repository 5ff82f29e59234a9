"""The live page of dmtool --web in a real headless Chromium: it loads, its
traces move with the motor, a motor that stops answering shows so within a
second, a fault shows its name. The frames go through listen's own path
(decoder, view, server) without a socket; the same page fed from a real bus
is in bus/test_web_bus.py.

TORVANE_UPDATE_SCREENSHOT=1 also saves the page as docs/monitor.png.
"""

import math
import os
import shutil
import subprocess
import threading
import time
from pathlib import Path

import pytest
import torvane_ext as tx
from headless import CHROMIUM, Browser, browser_env

from dmtool import decode_frames as df
from dmtool.bus_view import View
from dmtool.candump import Frame
from dmtool.web import serve

REPO = Path(__file__).resolve().parents[2]
LIMITS = df.Limits(12.5, 30.0, 10.0)


def feedback(motor_id, master_id, status, pos, vel, torque, t_mos=35, t_rotor=40):
    def code(x, m, bits):
        return int((max(-m, min(m, x)) + m) * ((1 << bits) - 1) / (2 * m))
    p, v, t = code(pos, 12.5, 16), code(vel, 30.0, 12), code(torque, 10.0, 12)
    data = bytes([status << 4 | motor_id & 0xF, p >> 8, p & 0xFF, v >> 4, (v & 0xF) << 4 | t >> 8, t & 0xFF,
                  t_mos, t_rotor])
    return Frame(time.time(), master_id, data, "sim")


class Feed:
    """Motor 1 swings a sine, motor 2 answers until told, motor 3 faults when told; the controller reports
    error-passive once when told."""

    def __init__(self, view):
        self.view = view
        self.silence_2 = threading.Event()
        self.fault_3 = threading.Event()
        self.passive = threading.Event()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        start = time.monotonic()
        while not self.stop.is_set():
            t = time.monotonic() - start
            frames = [feedback(1, 0x11, 1, 2 * math.sin(2 * t), 4 * math.cos(2 * t), 0.5 * math.sin(6 * t),
                               35 + int(t) % 3, 40)]
            if not self.silence_2.is_set():
                frames.append(feedback(2, 0x12, 1, 0.25, 0.0, 0.1))
            frames.append(feedback(3, 0x13, 0xA if self.fault_3.is_set() else 1, -1.0, 0.0, 0.0, 70, 90))
            if self.passive.is_set():
                self.passive.clear()
                frames.append(Frame(time.time(), 0x004, bytes.fromhex("0020000000000000"), "sim", error=True))
            for f in frames:
                self.view.frame(f)
            time.sleep(0.01)


class Null:
    def write(self, s):
        pass

    def flush(self):
        pass


@pytest.fixture
def page():
    if CHROMIUM is None:
        pytest.fail("no chromium: run tools/install-system-deps")
    specs = [df.MotorSpec(i, 0x10 + i, LIMITS) for i in (1, 2, 3)]
    with serve(("127.0.0.1", 0), "dmtool listen on sim") as live:
        view = View(df.Decoder(specs, df.Tables.of(tx)), table=False, out=Null(), live=live)
        feed = Feed(view)
        browser = Browser()
        try:
            browser.open(live.url)
            yield browser, feed, live
        finally:
            feed.stop.set()
            feed.thread.join(5)
            browser.close()


def wait_until(browser, expression, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = browser.eval(expression)
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError(f"never true: {expression}")


def status(browser, motor):
    return browser.eval(f"document.getElementById('status-{motor}').textContent")


def test_page_follows_the_motors(page, tmp_path):
    browser, feed, live = page
    wait_until(browser, "!!document.body && Number(document.body.dataset.updates) > 0 && !!document.getElementById('motor-3')")
    assert browser.eval("document.getElementById('conn').textContent") == "live"

    # At least 20 updates a second.
    u0, t0 = int(browser.eval("document.body.dataset.updates")), time.monotonic()
    time.sleep(2.0)
    u1, t1 = int(browser.eval("document.body.dataset.updates")), time.monotonic()
    assert (u1 - u0) / (t1 - t0) >= 20

    # The traces move: motor 1's last position changes, and the canvas holds drawn pixels.
    p = [float(browser.eval("document.getElementById('motor-1').dataset.position")) for _ in range(2)
         if time.sleep(0.3) is None]
    assert p[0] != p[1]
    assert int(browser.eval("Number(document.getElementById('motor-1').dataset.samples)")) > 50
    inked = browser.eval("""(() => {const c = document.querySelector('#motor-1 canvas');
        const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        let n = 0; for (let i = 3; i < d.length; i += 4) if (d[i]) n++; return n;})()""")
    assert inked > 200
    assert status(browser, 1) == "ENABLED" and status(browser, 2) == "ENABLED"

    # Motor 2 goes quiet: the page says so within a second.
    feed.silence_2.set()
    quiet_at = time.monotonic()
    wait_until(browser, "document.getElementById('status-2').textContent.startsWith('NO ANSWER')", timeout=5)
    assert time.monotonic() - quiet_at <= 1.0
    assert "silent" in browser.eval("document.getElementById('status-2').className")
    assert status(browser, 1) == "ENABLED"

    # Motor 3 faults: its name, marked as a fault.
    feed.fault_3.set()
    wait_until(browser, "document.getElementById('status-3').textContent === 'OVERCURRENT'", timeout=5)
    assert "fault" in browser.eval("document.getElementById('status-3').className")

    # The controller goes error-passive: the bus line says so.
    assert browser.eval("document.getElementById('bus').textContent") == ""
    feed.passive.set()
    wait_until(browser, "document.getElementById('bus').textContent === "
                        "'bus: error-passive, error frames: controller x1'", timeout=5)

    shot = tmp_path / "monitor.png"
    subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={tmp_path / 'p'}",
                    "--window-size=1100,760", "--timeout=3000",
                    f"--screenshot={shot}", live.url], env=browser_env(tmp_path),
                   capture_output=True, timeout=60)
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    if os.environ.get("TORVANE_UPDATE_SCREENSHOT") == "1":
        shutil.copyfile(shot, REPO / "docs" / "monitor.png")
