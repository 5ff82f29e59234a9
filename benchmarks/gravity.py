"""torvane_gravity's cost: Gravity.torques for both arms of models/two_arms.xml
(16 joints), natively, no bus, against MuJoCo's three calls alone (the floor
the module adds its copying and checks to). Timed loops in rounds, the ways
taking turns; callgrind counts instructions and allocator calls per call.
Writes its section of BENCHMARKS.md.

    benchmarks/gravity.py [--rounds N] [--calls N] [--callgrind-calls N|0] [--output FILE|-]
"""

import array
import math
import os
import platform
import statistics
import sys
import time
from argparse import SUPPRESS
from itertools import repeat
from pathlib import Path

import mujoco
import numpy as np
import torvane_gravity as tg

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import ROOT  # noqa: E402
from harness.callgrind import ALLOC_FUNCS, between_marks, finish_callgrind, start_python  # noqa: E402
from harness.cli import log, parser, utc_date  # noqa: E402
from harness.machine import cpu_model, git_revision, valgrind_version  # noqa: E402
from harness.markdown import counts, markers, publish, table, verdict  # noqa: E402
from harness.timing import BLOCK, Sample, Summary  # noqa: E402

SECTION = "gravity"
TARGET_US = 50.0
JOINTS = [f"{side}_{j}" for side in ("left", "right") for j in [*(f"joint{i}" for i in range(1, 8)), "gripper"]]
MAIN = "torques(q, out), array.array in and out"


def ways():
    """Each way's name and a call of it, on the same pose of both arms."""
    q = [0.1 * k for k in range(16)]
    q[1] = q[9] = math.pi / 2
    g = tg.Gravity(tg.TWO_ARMS, JOINTS)
    qa, out = array.array("d", q), array.array("d", bytes(8 * 16))
    qn, outn = np.array(q), np.zeros(16)
    # Reversed, with two motors that have no joint: the indexed copy rather than the slice.
    mixed = [None, *JOINTS[::-1], None]
    gm = tg.Gravity(tg.TWO_ARMS, mixed)
    qm, outm = array.array("d", [0.0, *q[::-1], 0.0]), array.array("d", bytes(8 * 18))
    m = mujoco.MjModel.from_xml_path(str(tg.TWO_ARMS))
    d = mujoco.MjData(m)
    d.qpos[:] = q
    res = np.zeros(m.nv)

    def floor():
        mujoco.mj_kinematics(m, d)
        mujoco.mj_comPos(m, d)
        mujoco.mj_rne(m, d, 0, res)

    return {
        MAIN: lambda: g.torques(qa, out),
        "torques(q, out), numpy in and out": lambda: g.torques(qn, outn),
        "torques(list), a new array.array back": lambda: g.torques(q),
        "18 motors: reversed, two without a joint": lambda: gm.torques(qm, outm),
        "MuJoCo alone: mj_kinematics, mj_comPos, mj_rne": floor,
    }


def time_round(call, calls, warmup):
    for _ in repeat(None, warmup):
        call()
    now = time.perf_counter_ns
    blocks = []
    for _ in repeat(None, calls // BLOCK):
        t0 = now()
        for _ in repeat(None, BLOCK):
            call()
        blocks.append(now() - t0)
    singles = []
    for _ in repeat(None, calls):
        t0 = now()
        call()
        singles.append(now() - t0)
    return Sample(blocks, singles)


def callgrind(names, calls, outdir):
    profiles = {}
    for k, name in enumerate(names):
        key = f"gravity{k}"
        proc = start_python(key, Path(__file__).resolve(), ["--callgrind-worker", str(k),
                                                            "--callgrind-calls", str(calls)], outdir)
        profiles[name] = finish_callgrind(key, proc, outdir)
        log(f"  callgrind {name}: {profiles[name].total / calls:,.0f} Ir per call")
    return profiles


def main(argv=None):
    ap = parser(__doc__)
    ap.add_argument("--rounds", type=int, default=6)
    ap.add_argument("--calls", type=int, default=20000, help="calls per way and round, timed in blocks "
                    f"of {BLOCK} and as many one by one (default 20000)")
    ap.add_argument("--warmup", type=int, default=1000)
    ap.add_argument("--callgrind-calls", type=int, default=2000, help="0: no callgrind run")
    ap.add_argument("--callgrind-worker", type=int, help=SUPPRESS)
    args = ap.parse_args(argv)
    table_of_ways = ways()
    names = list(table_of_ways)
    if args.callgrind_worker is not None:
        between_marks(table_of_ways[names[args.callgrind_worker]], args.warmup, args.callgrind_calls)
        return 0

    load_before = os.getloadavg()
    results = {name: Summary() for name in names}
    for r in range(args.rounds):
        order = names[r % len(names):] + names[:r % len(names)]  # each way goes first in turn
        for name in order:
            results[name].add(time_round(table_of_ways[name], args.calls, args.warmup))
        log(f"round {r + 1}/{args.rounds}: " + ", ".join(
            f"{results[n].rounds[-1].ns_per_exchange / 1000:.1f}" for n in names) + " µs")
    load_after = os.getloadavg()
    profiles = callgrind(names, args.callgrind_calls, ROOT / "build" / "bench-callgrind") \
        if args.callgrind_calls else None

    def us(name):
        return 1e6 / results[name].rate

    main_us = us(MAIN)
    rows = []
    for name in names:
        s = results[name]
        per_round = [x.ns_per_exchange / 1000 for x in s.rounds]
        p50, p99 = s.per_call()
        row = [name, f"**{us(name):.1f}**" if name == MAIN else f"{us(name):.1f}",
               f"{min(per_round):.1f} to {max(per_round):.1f}",
               f"{sum(sum(x.block_ns) for x in s.rounds) / s.calls / 1000:.1f}",
               f"{p50 / 1000:.1f}", f"{p99 / 1000:.1f}"]
        if profiles:
            p = profiles[name]
            row += [f"{p.total / args.callgrind_calls:,.0f}",
                    counts(p.calls, ALLOC_FUNCS, args.callgrind_calls) or "none"]
        rows.append(row)

    header = ["way", "µs per call", "rounds", "mean", "one by one, median", "p99"]
    if profiles:
        header += ["Ir per call", "allocator calls per call"]
    load = lambda a: ", ".join(f"{x:.2f}" for x in a)
    command = args.command or os.environ.get("TORVANE_BENCH_COMMAND") or "benchmarks/gravity.py"
    L = [markers(SECTION)[0], "", "# Benchmarks: gravity torques of two arms (torvane_gravity)", "",
         f"Written by `benchmarks/gravity.py` on {utc_date()}. Command: `{command}`", "",
         f"Natively, no bus: {cpu_model()}, {os.cpu_count()} CPUs, kernel {platform.release()}; CPython "
         f"{platform.python_version()}, MuJoCo {mujoco.__version__}, numpy {np.__version__}; "
         f"{valgrind_version() or 'valgrind missing'}; tree {git_revision()}. Load average (1, 5, 15 min): "
         f"{load(load_before)} before the timed rounds, {load(load_after)} after them.", "",
         f"`Gravity(TWO_ARMS, 16 joints).torques(q, out)`: {args.rounds} rounds, each way "
         f"{args.calls:,} calls back to back with a clock read after every {BLOCK} after {args.warmup:,} untimed, "
         f"then {args.calls:,} timed one by one. µs per call: from the median block of all rounds; rounds: "
         "the range of the rounds' medians; mean: every back-to-back call, busy stretches included."
         + (f" Instructions and allocator calls: callgrind, {args.callgrind_calls:,} calls after "
            f"{args.warmup:,}, the whole interpreter's user space." if profiles else ""), "",
         *table(header, rows), "",
         "| target | measured | |", "|---|---|---|",
         f"| torques for 16 joints in at most {TARGET_US:.0f} µs per call | {main_us:.1f} µs | "
         f"{verdict(main_us <= TARGET_US)}, {TARGET_US / main_us:.1f}x under |", "",
         f"MuJoCo's own calls take {us(names[-1]) / main_us:.0%} of a call; the rest is the module's "
         "copying of q and the torques, its checks and the interpreter.", "",
         markers(SECTION)[1]]
    publish("\n".join(L), args.output, SECTION)
    return 0


if __name__ == "__main__":
    sys.exit(main())
