"""examples/robot.py, the main job's example, against one dmsim per arm on
vcan0 and vcan1: both ways tracked, the CSV and the plot written, the
tracking close, and both arms disabled at the end, also on SIGTERM."""

import csv
import math
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

pytestmark = pytest.mark.bus

REPO = Path(__file__).resolve().parents[3]
EXAMPLE = REPO / "examples" / "robot.py"
ARM = ["1:0x11:dm8009", "2:0x12:dm8009", "3:0x13:dm4340", "4:0x14:dm4340", "5:0x15:dm4310", "6:0x16:dm4310",
       "7:0x17:dm4310", "8:0x18:dm4310"]
JOINTS = ["shoulder_pan", "shoulder_lift", "elbow", "forearm_roll", "wrist_pitch", "wrist_yaw", "wrist_roll",
          "gripper"]
LABELS = [f"{side}.{j}" for side in ("left", "right") for j in JOINTS]
AMPLITUDE = 0.2
# Generous: in the emulated guest on a busy host a reply can take hundreds of ms.
SLOW = ["--timeout-ms", "1000"]


@pytest.fixture
def two_arms(start_dmsim):
    return [start_dmsim(*ARM, args=["--bitrate", "1000000", "--latency-us", "200"], iface=bus)
            for bus in ("vcan0", "vcan1")]


def example(*args):
    return [sys.executable, EXAMPLE, "--ifaces", "vcan0,vcan1", *SLOW, *map(str, args)]


def read_csv(path):
    with open(path, newline="") as f:
        reader = csv.reader(f)
        return next(reader), list(reader)


def test_tracks_both_ways_and_writes_csv_and_png(two_arms, tmp_path):
    done = subprocess.run(example("--duration", 1, "--rate", 100, "--out", tmp_path),
                          capture_output=True, text=True, timeout=900, cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.count("MIT mode") == 16
    assert "disabled 16 motors\n" in done.stdout
    for title in ("one Robot tick", "two group ticks"):
        assert f"{title}  " in done.stdout and "ticks/s held" in done.stdout

    header, rows = read_csv(tmp_path / "robot.csv")
    assert header == ["time_s", "way", *[f"{j}_{k}_rad" for j in LABELS for k in ("target", "meas")],
                      "period_error_us"]
    by_way = {w: [r for r in rows if r[1] == w] for w in ("robot", "groups")}
    assert {r[1] for r in rows} == set(by_way)
    settle = 0.25  # the envelope's ramp for a 1 s run: tracking lags most while it rises
    for way, table in by_way.items():
        assert len(table) >= 5, way
        times = [float(r[0]) for r in table]
        assert times == sorted(times) and times[0] == 0.0 and times[-1] < 1.0
        assert table[0][-1] == "" and all(r[-1] != "" for r in table[1:])
        for n, label in enumerate(LABELS):
            pairs = [(at, float(r[2 + 2 * n]), float(r[3 + 2 * n]))
                     for r, at in zip(table, times) if r[3 + 2 * n] != "" and at >= settle]
            assert len(pairs) >= len(table) // 3, (way, label)
            origin = float(table[0][2 + 2 * n])  # the first target is where the joint stood
            motion = math.sqrt(sum((t - origin) ** 2 for _, t, _ in pairs) / len(pairs))
            error = math.sqrt(sum((m - t) ** 2 for _, t, m in pairs) / len(pairs))
            # The targets move ...
            assert motion > AMPLITUDE / 10, (way, label)
            # ... and the motors follow them, loosely: in the guest a setpoint can stand for tens
            # of ms. A joint that stayed where it stood would be off by its whole motion.
            assert error < 0.8 * motion, (way, label, error, motion, done.stdout)

    png = (tmp_path / "robot.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n") and len(png) > 20_000


def test_sigterm_disables_both_arms(two_arms, tmp_path):
    proc = subprocess.Popen(example("--duration", 60, "--rate", 100, "--out", tmp_path, "--no-plot"),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tmp_path)
    try:
        seen = []
        for line in proc.stdout:  # wait until the arms move
            seen.append(line)
            if line.startswith("one Robot tick"):
                break
        time.sleep(0.5)
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=300)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 143, "".join(seen) + out + err
    assert "terminated" in err and "disabled 16 motors\n" in out
    _, rows = read_csv(tmp_path / "robot.csv")
    assert rows and {r[1] for r in rows} == {"robot"}
