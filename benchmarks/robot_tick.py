"""Robot ticks live against dmsim: every bus in one exchange against the
groups ticked one after another, the reply wait spinning against sleeping,
and Python allocations of mit_control_into.

    python benchmarks/robot_tick.py [--rounds 4] [--ticks 300] [--output BENCHMARKS.md]

Needs vcan0..vcan3 (inside tools/vcan-vm: tools/bench-robot) and dmsim
installed beside this interpreter. Parts:

* buses: 2 and 4 buses of 8 motors, dmsim --bitrate 1000000 --latency-us 200
  on each; Robot.refresh against the groups' refresh one after another,
  alternating within each round; beside them the rate the wire allows;
* spin: seven motors against dmsim without a wire model, a group with
  spin_us 0 against spin_us 200 (and 50), alternating within each round;
* allocations: sys.getallocatedblocks() and tracemalloc across 5,000
  mit_control_into ticks with numpy-free buffers;
* instructions: callgrind's user-space Ir per motor per tick of the C++
  multi-bus exchange (two buses of seven, benchmarks/group_tick --way multi)
  against the group exchange (one bus of seven), every command its own reply.
"""

from __future__ import annotations

import array
import statistics
import sys
import time
import tracemalloc
from argparse import SUPPRESS
from itertools import repeat
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import ROOT  # noqa: E402
from harness.callgrind import (ALLOC_FUNCS, FLOOR_MARK, between_marks, by_short_name,  # noqa: E402
                               finish_callgrind, start_callgrind, start_python)
from harness.cli import log, parser  # noqa: E402
from harness.dmsim import ARM, WIRE, Simulator, find_dmsim, motor_args  # noqa: E402
from harness.dmsim import damiao_motors as motors  # noqa: E402
from harness.frames import BITRATE, FRAME_BITS, STUFFED_MAX  # noqa: E402
from harness.markdown import markers, publish, verdict  # noqa: E402

import torvane  # noqa: E402
import torvane_ext as tx  # noqa: E402

IFACES = ["vcan0", "vcan1", "vcan2", "vcan3"]
SECTION = "robot_tick"
BEGIN, END = markers(SECTION)


def rate(call, ticks):
    call()
    start = time.perf_counter()
    for _ in range(ticks):
        call()
    return ticks / (time.perf_counter() - start)


def compare(ways, rounds, ticks):
    """Median ticks/s of each way, alternating within rounds."""
    got = {name: [] for name in ways}
    for _ in range(rounds):
        for name, call in ways.items():
            got[name].append(rate(call, ticks))
    return {name: statistics.median(v) for name, v in got.items()}


def buses_part(dmsim, count, rounds, ticks):
    sims = [Simulator(dmsim, iface, [*motor_args(ARM), *WIRE]) for iface in IFACES[:count]]
    try:
        groups = [tx.MotorGroup(torvane.SocketCanTransport(i), motors(ARM)) for i in IFACES[:count]]
        robot = tx.Robot(groups)

        def one_after_another():
            for g in groups:
                g.refresh()

        r = compare({"robot": robot.refresh, "groups": one_after_another}, rounds, ticks)
        missed = sum(robot.missed)
    finally:
        for s in sims:
            s.stop()
    # On a real wire: a bus's tick is its 16 frames, stuffed to the most, plus one reply latency.
    bus_tick_s = 2 * len(ARM) * (FRAME_BITS + STUFFED_MAX) / BITRATE + 200e-6
    return r["robot"], r["groups"], 1 / bus_tick_s, 1 / (count * bus_tick_s), missed


def spin_part(dmsim, rounds, ticks):
    models = ARM[:7]
    sim = Simulator(dmsim, "vcan0", motor_args(models))
    try:
        bus = torvane.SocketCanTransport("vcan0")
        ways = {f"spin_us={us}": tx.MotorGroup(bus, motors(models), spin_us=us).refresh for us in (0, 50, 200)}
        return compare(ways, rounds, ticks)
    finally:
        sim.stop()


def alloc_part(dmsim, ticks=5000):
    models = ARM[:7]
    sim = Simulator(dmsim, "vcan0", motor_args(models))
    try:
        group = tx.MotorGroup(torvane.SocketCanTransport("vcan0"), motors(models))
        cmd = memoryview(array.array("d", [0.0] * 35)).cast("B").cast("d", [7, 5])
        out = memoryview(array.array("d", [0.0] * 42)).cast("B").cast("d", [7, 6])
        for _ in range(200):
            group.mit_control_into(cmd, out)
        blocks = sys.getallocatedblocks()
        for _ in repeat(None, ticks):
            group.mit_control_into(cmd, out)
        block_delta = sys.getallocatedblocks() - blocks
        tracemalloc.start()
        snap = tracemalloc.take_snapshot()
        for _ in repeat(None, ticks):
            group.mit_control_into(cmd, out)
        after = tracemalloc.take_snapshot()
        tracemalloc.stop()
        traced = sum(s.count_diff for s in after.compare_to(snap, "filename") if "tracemalloc" not in s.traceback[0].filename)
        return block_delta, traced
    finally:
        sim.stop()


def ir_part(ticks=1000, warmup=100):
    exe = ROOT / "build" / "tests" / "benchmarks" / "group_tick"
    if not exe.is_file():
        return None
    outdir = ROOT / "build" / "bench-robot"
    per_motor = {}
    for way, extra, motors in (("group", [], 7), ("multi", ["--iface2", "vcan1"], 14)):
        argv = [str(exe), "--iface", "vcan0", *extra, "--way", way, "--echo", "--ticks", str(ticks),
                "--warmup", str(warmup)]
        proc = start_callgrind(way, argv, outdir, FLOOR_MARK)
        per_motor[way] = finish_callgrind(way, proc, outdir).total / ticks / motors
    return per_motor


def py_worker(way, ticks, warmup):
    """Ticks of seven motors answering themselves, between two marks for callgrind."""
    from ext_tick import Arm
    arm = Arm("vcan0", echo=True)
    cmd = memoryview(array.array("d", [0.1, 1.0, 20.0, 0.5, 0.25] * 7)).cast("B").cast("d", [7, 5])
    out = memoryview(array.array("d", [0.0] * 42)).cast("B").cast("d", [7, 6])
    into, tuple_call = arm.group.mit_control_into, arm.calls["group"]
    tick = (lambda: into(cmd, out)) if way == "into" else tuple_call
    between_marks(tick, warmup, ticks)


def py_ir_part(ticks=2000, warmup=200):
    """Ir per motor per tick and allocator calls per tick, from Python."""
    outdir = ROOT / "build" / "bench-robot"
    found = {}
    for way in ("into", "tuple"):
        key = f"py-{way}"
        proc = start_python(key, Path(__file__).resolve(), ["--py-worker", way, "--ticks", str(ticks)], outdir)
        profile = finish_callgrind(key, proc, outdir)
        allocs = sum(v for k, v in by_short_name(profile.calls).items() if k in ALLOC_FUNCS) / ticks
        found[way] = (profile.total / ticks / 7, allocs)
    return found


def main(argv=None):
    ap = parser(__doc__, command=False)
    ap.add_argument("--rounds", type=int, default=4)
    ap.add_argument("--ticks", type=int, default=300)
    ap.add_argument("--py-worker", choices=("into", "tuple"), help=SUPPRESS)
    a = ap.parse_args(argv)
    if a.py_worker:
        py_worker(a.py_worker, a.ticks, 200)
        return
    dmsim = find_dmsim()
    if not dmsim:
        sys.exit("no dmsim beside this interpreter")
    lines = [BEGIN, "## Robot ticks (tools/bench-robot)", "",
             f"One run, {a.rounds} rounds of {a.ticks} ticks per way, medians; emulated guest.", "",
             "| buses x motors | Robot ticks/s | groups one after another | ratio | target | wire allows (robot / sequential) | missed |",
             "|---|---|---|---|---|---|---|"]
    for count, target in ((2, 1.6), (4, 2.5)):
        robot, seq, wire_robot, wire_seq, missed = buses_part(dmsim, count, a.rounds, a.ticks)
        ratio = robot / seq
        lines.append(f"| {count} x 8 | {robot:,.0f} | {seq:,.0f} | {ratio:.2f}x | {target}x "
                     f"{verdict(ratio >= target, bold=False)} | {wire_robot:,.0f} / {wire_seq:,.0f} ticks/s "
                     f"| {missed} |")
        log(lines[-1])
    spin = spin_part(dmsim, a.rounds, a.ticks)
    base = spin["spin_us=0"]
    lines += ["", "Seven motors, dmsim without a wire model, MotorGroup.refresh:", "",
              "| reply wait | ticks/s | against spin_us=0 |", "|---|---|---|"]
    for name, r in spin.items():
        lines.append(f"| {name} | {r:,.0f} | {r / base:.2f}x |")
        log(lines[-1])
    ir = ir_part()
    if ir:
        ratio = ir["multi"] / ir["group"]
        lines += ["", f"Core Ir per motor per tick (callgrind, replies queued): multi-bus exchange "
                  f"{ir['multi']:.0f} (2 buses x 7), group exchange {ir['group']:.0f} (1 bus x 7): "
                  f"{ratio:.2f}x, target at most 1.10x: {verdict(ratio <= 1.10, bold=False)}."]
        log(lines[-1])
    py = py_ir_part()
    lines += ["", "From Python, seven motors answering themselves (callgrind): "
              f"mit_control_into {py['into'][0]:.0f} Ir per motor per tick and {py['into'][1]:.2f} allocator "
              f"calls per tick; mit_control (tuple) {py['tuple'][0]:.0f} Ir and {py['tuple'][1]:.2f}. "
              f"Target at most 700 Ir: {verdict(py['into'][0] <= 700, bold=False)}."]
    log(lines[-1])
    blocks, traced = alloc_part(dmsim)
    lines += ["", f"mit_control_into, 5,000 ticks of seven motors: allocated blocks {blocks:+d}, "
              f"tracemalloc blocks {traced:+d} (target 0).", END]
    publish("\n".join(lines), a.output, SECTION)


if __name__ == "__main__":
    main()
