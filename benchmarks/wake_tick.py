"""Wake-ups per tick: two arms of eight motors on two buses, MIT to all
sixteen, with and without dmsim's wire model; the exchange that learns when
its replies come (settle, the default) against one that wakes for each
reply (settle=False), spin_us, two groups in turn, and a hand-written
raw-socket controller (benchmarks/peer_tick.cpp) on the same buses.

    python benchmarks/wake_tick.py [--rounds 4] [--ticks 400] [--output BENCHMARKS.md]

Needs vcan0 and vcan1 (inside tools/vcan-vm), dmsim installed beside this
interpreter and build/tests/benchmarks/peer_tick. Blocking waits are the
thread's voluntary context switches (getrusage RUSAGE_THREAD), counted per
tick in a pass of their own so that the rates carry no extra system call.
"""

from __future__ import annotations

import json
import resource
import statistics
import subprocess
import sys
import time
from itertools import repeat
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import ROOT  # noqa: E402
from harness.cli import log, parser  # noqa: E402
from harness.dmsim import ARM, WIRE, Simulator, find_dmsim, motor_args  # noqa: E402
from harness.dmsim import damiao_motors as motors  # noqa: E402
from harness.frames import BITRATE, FRAME_BITS, STUFFED_MAX  # noqa: E402
from harness.markdown import markers, publish  # noqa: E402

import torvane  # noqa: E402
import torvane_ext as tx  # noqa: E402

IFACES = ("vcan0", "vcan1")
SECTION = "wake_tick"
BEGIN, END = markers(SECTION)
PEER = ROOT / "build" / "tests" / "benchmarks" / "peer_tick"


def rate(call, ticks):
    for _ in repeat(None, 20):
        call()
    start = time.perf_counter()
    for _ in repeat(None, ticks):
        call()
    return ticks / (time.perf_counter() - start)


def switches_per_tick(call, ticks):
    """Median and mean of the thread's voluntary context switches per tick."""
    thread = resource.RUSAGE_THREAD
    counts = []
    for _ in repeat(None, ticks):
        before = resource.getrusage(thread).ru_nvcsw
        call()
        counts.append(resource.getrusage(thread).ru_nvcsw - before)
    return statistics.median(counts), statistics.fmean(counts)


def peer(ifaces, n, ticks):
    out = subprocess.run([str(PEER), *(a for i in ifaces for a in ("--iface", i)), "--motors", str(n),
                          "--ticks", str(ticks), "--warmup", "50"], capture_output=True, text=True, timeout=600)
    return json.loads(out.stdout)


def arms_part(dmsim, wire, rounds, ticks):
    """{way: (ticks/s median, switches median, switches mean, missed)} for two arms of eight."""
    sims = [Simulator(dmsim, i, [*motor_args(ARM), *(WIRE if wire else ())]) for i in IFACES]
    try:
        buses = [torvane.SocketCanTransport(i) for i in IFACES]
        cmd = [torvane.MitSetpoint(0.0, 0.0, 0.0, 0.0, 0.0)] * len(ARM)
        rows = memoryview(bytearray(8 * 5 * 2 * len(ARM))).cast("d", [2 * len(ARM), 5])
        out = memoryview(bytearray(8 * 6 * 2 * len(ARM))).cast("d", [2 * len(ARM), 6])
        def robot(**kw):
            return tx.Robot([tx.MotorGroup(b, motors(ARM), **kw) for b in buses], **kw)

        settled, each = robot(), robot(settle=False)
        spin, each_spin = robot(spin_us=200), robot(settle=False, spin_us=200)
        g = [tx.MotorGroup(b, motors(ARM)) for b in buses]
        ways = {
            "Robot.mit_control": lambda: settled.mit_control(cmd + cmd),
            "Robot.mit_control_into": lambda: settled.mit_control_into(rows, out),
            "Robot, settle=False (wakes per reply)": lambda: each.mit_control_into(rows, out),
            "Robot, spin_us=200": lambda: spin.mit_control_into(rows, out),
            "Robot, settle=False, spin_us=200": lambda: each_spin.mit_control_into(rows, out),
            "two MotorGroups in turn": lambda: (g[0].mit_control(cmd), g[1].mit_control(cmd)),
        }
        rates = {name: [] for name in ways}
        rates["peer (raw sockets, by hand)"] = []
        peer_switches = []
        for _ in range(rounds):
            for name, call in ways.items():
                rates[name].append(rate(call, ticks))
            p = peer(IFACES, len(ARM), ticks)
            rates["peer (raw sockets, by hand)"].append(p["ticks_per_s"])
            peer_switches.append(p["switches_per_tick"])
        found = {}
        for name, call in ways.items():
            med, mean = switches_per_tick(call, ticks)
            found[name] = (statistics.median(rates[name]), med, mean)
        found["peer (raw sockets, by hand)"] = (statistics.median(rates["peer (raw sockets, by hand)"]), None,
                                                statistics.median(peer_switches))
        missed = {name: sum(r.missed) for name, r in (("settle", settled), ("settle=False", each))}
        return found, missed
    finally:
        for s in sims:
            s.stop()


def one_arm_part(dmsim, rounds, ticks):
    """MotorGroup on one arm of seven, no wire model: settle against settle=False, spin_us=0."""
    models = ARM[:7]
    sim = Simulator(dmsim, "vcan0", motor_args(models))
    try:
        bus = torvane.SocketCanTransport("vcan0")
        cmd = [torvane.MitSetpoint(0.0, 0.0, 0.0, 0.0, 0.0)] * 7
        ways = {"settle": tx.MotorGroup(bus, motors(models)),
                "settle=False": tx.MotorGroup(bus, motors(models), settle=False)}
        got = {name: [] for name in ways}
        for _ in range(rounds):
            for name, g in ways.items():
                got[name].append(rate(lambda g=g: g.mit_control(cmd), ticks))
        return {name: (statistics.median(v), switches_per_tick(lambda g=ways[name]: g.mit_control(cmd), ticks))
                for name, v in got.items()}
    finally:
        sim.stop()


def main(argv=None):
    ap = parser(__doc__, command=False)
    ap.add_argument("--rounds", type=int, default=4)
    ap.add_argument("--ticks", type=int, default=400)
    a = ap.parse_args(argv)
    dmsim = find_dmsim()
    if not dmsim or not PEER.is_file():
        sys.exit("needs dmsim beside this interpreter and build/tests/benchmarks/peer_tick")
    wire_allows = 1 / (2 * len(ARM) * (FRAME_BITS + STUFFED_MAX) / BITRATE + 200e-6)
    lines = [BEGIN, "## Wake-ups per tick (benchmarks/wake_tick.py)", "",
             f"Two arms of eight on vcan0 and vcan1, MIT to all sixteen; one run, {a.rounds} rounds of "
             f"{a.ticks} ticks per way alternated, medians; blocking waits are the thread's voluntary "
             "context switches per tick (median / mean). The wire model is dmsim's 1 Mbit/s with 200 µs "
             f"latency, which allows {wire_allows:,.0f} ticks/s.", "",
             "| way | wire model: ticks/s | waits | no wire model: ticks/s | waits |", "|---|---|---|---|---|"]
    parts = {}
    for wire in (True, False):
        parts[wire] = arms_part(dmsim, wire, a.rounds, a.ticks)
        log(f"wire={wire}: {parts[wire]}")
    for name in parts[True][0]:
        cells = []
        for wire in (True, False):
            r, med, mean = parts[wire][0][name]
            cells += [f"{r:,.0f}", f"{med:g} / {mean:.2f}" if med is not None else f"{mean:.2f} (mean)"]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    lines += ["", "Missed replies over the whole run: " + ", ".join(
        f"{k} {v} (wire model) / {parts[False][1][k]} (none)" for k, v in parts[True][1].items()) + "."]
    one = one_arm_part(dmsim, a.rounds, a.ticks)
    s, e = one["settle"], one["settle=False"]
    lines += ["", f"One arm of seven, no wire model, MotorGroup.mit_control: settle {s[0]:,.0f} ticks/s "
              f"(waits {s[1][0]:g} / {s[1][1]:.2f}), settle=False {e[0]:,.0f} (waits {e[1][0]:g} / {e[1][1]:.2f}): "
              f"{s[0] / e[0]:.2f}x.", END]
    for line in lines[-6:]:
        log(line)
    publish("\n".join(lines), a.output, SECTION)


if __name__ == "__main__":
    main()
