"""A control tick of seven motors: one group exchange against seven single exchanges.

    python benchmarks/group_tick.py [--iface vcan0] [--rounds 6] [--output BENCHMARKS.md]

Needs a vcan interface (natively, or inside tools/vcan-vm; tools/bench-group
picks) and valgrind. Runs benchmarks/group_tick.cpp, which drives the core
with no Python in between, in three settings:

* queued: every command is its own reply (the socket receives its own
  frames and each motor's feedback identifier is its command identifier),
  so replies are waiting when the tick reads; the group against seven
  single exchanges, and the group over three ways to reach the socket
  (sendmmsg/recvmmsg, a send and a recv per frame, and the same batch calls
  with a kernel receive filter set and cleared around every tick);
* callgrind: user-space instructions per motor per tick of each;
* live: against dmsim (--latency-us 200, and --bitrate 1000000 when this
  dmsim has that option) answering each command as it arrives; --dmsim
  picks another build of the simulator.

The table goes into BENCHMARKS.md between its own markers; the rest of the
file (benchmarks/exchange.py's report) is left as it is.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import ROOT  # noqa: E402
from harness.callgrind import FLOOR_MARK, by_short_name, finish_callgrind, start_callgrind  # noqa: E402
from harness.cli import log, parser, tick_context, tick_options  # noqa: E402
from harness.cpp import FLOOR_BUILD, build, run_json  # noqa: E402
from harness.frames import BITRATE, FRAME_BITS  # noqa: E402
from harness.machine import machine_lines, valgrind_version  # noqa: E402
from harness.markdown import counts, fmt_int, fmt_ns, fmt_rates, header, markers, publish, table, verdict  # noqa: E402
from harness.timing import BLOCK, Sample, Summary, round_ratios  # noqa: E402

EXE = FLOOR_BUILD / "benchmarks" / "group_tick"
DMSIM = FLOOR_BUILD / "sim" / "dmsim"
MOTORS = 7
IR_TARGET = 727  # Ir of one single exchange in the C++ floor before the group existed
LIVE_TARGET = 3.0
SECTION = "group_tick"
BEGIN, END = markers(SECTION)

# (label, way, transport, fd); the first two are the comparison the targets are about.
QUEUED = (("group", "group", "batch", False), ("singles", "singles", "batch", False),
          ("group, per-frame", "group", "per-frame", False), ("group, filter", "group", "filter", False),
          ("group, CAN FD", "group", "batch", True))
LIVE = (("group", "group", "batch", False), ("singles", "singles", "batch", False),
        ("group, per-frame", "group", "per-frame", False))
DESCRIBE = {
    "group": "`MotorGroup::exchange`: drain, `sendmmsg`, `recvmmsg` (`ppoll` to wait)",
    "singles": "seven `Damiao::mit_control` calls, one after another",
    "group, per-frame": "the group with one `send` and one non-blocking `recv` per frame",
    "group, filter": "the group with `CAN_RAW_FILTER` set to its seven identifiers before and reset after each tick",
    "group, CAN FD": "the group sending CAN FD frames with bit-rate switch",
}
SYSCALLS = ("sendmmsg", "recvmmsg", "send", "recv", "ppoll", "setsockopt", "clock_gettime")


def argv_of(way, transport, fd, iface, ticks, warmup, live_cmd=None):
    argv = [str(EXE), "--iface", iface, "--ticks", str(ticks), "--block", str(BLOCK), "--warmup", str(warmup),
            "--way", way, "--transport", transport]
    if fd:
        argv.append("--fd")
    return argv + (["--dmsim", live_cmd] if live_cmd else ["--echo"])


def rounds_of(configs, rounds, iface, ticks, warmup, log, live_cmd=None):
    """Every configuration once per round, in an order that turns by one each round."""
    results = {c[0]: Summary() for c in configs}
    missing = {c[0]: 0 for c in configs}
    for r in range(rounds):
        order = configs[r % len(configs):] + configs[:r % len(configs)]
        for label, way, transport, fd in order:
            got = run_json(argv_of(way, transport, fd, iface, ticks, warmup, live_cmd))
            s = Sample(got["block_ns"], [])
            results[label].add(s)
            missing[label] += got["missing"]
            log(f"  round {r + 1}/{rounds} {label:18s} {s.rate:9.0f} ticks/s")
    return results, missing


def callgrind(iface, ticks, warmup, outdir, log):
    profiles = {}
    for label, way, transport, fd in QUEUED:
        key = re.sub(r"\W+", "-", label)
        proc = start_callgrind(key, argv_of(way, transport, fd, iface, ticks, warmup), outdir, FLOOR_MARK)
        profiles[label] = finish_callgrind(key, proc, outdir)
        log(f"  callgrind {label}: {profiles[label].total / ticks / MOTORS:.0f} Ir per motor per tick")
    return profiles


def dmsim_command(exe, latency_us):
    help_text = subprocess.run([str(exe), "--help"], capture_output=True, text=True).stdout
    bitrate = "--bitrate" in help_text
    cmd = f"{exe} --latency-us {latency_us}" + (f" --bitrate {BITRATE}" if bitrate else "")
    return cmd, bitrate


def report(ctx):
    q, cg, n = ctx["queued"], ctx["callgrind"], ctx["callgrind_ticks"]
    ir = {label: cg[label].total / n / MOTORS for label in cg}
    live, live_missing = ctx["live"]
    live_vs = round_ratios(live, "singles", "group")
    wire_tick_us = 2 * MOTORS * FRAME_BITS / BITRATE * 1e6

    L = [BEGIN, "", "# Benchmarks: a tick of seven motors", ""]
    L += header("group_tick.py", ctx)
    L += ["## Targets", ""]
    rows = [
        [f"group: core instructions per motor per tick <= {IR_TARGET} Ir", f"{ir['group']:.0f} Ir",
         verdict(ir["group"] <= IR_TARGET), f"{IR_TARGET / ir['group']:.2f}x headroom"],
        [f"live: group tick rate >= {LIVE_TARGET:g}x seven sequential exchanges'", f"{live_vs[0]:.2f}x",
         verdict(live_vs[0] >= LIVE_TARGET),
         f"{live_vs[0] / LIVE_TARGET:.2f}x the target" if live_vs[0] >= LIVE_TARGET
         else f"{LIVE_TARGET / live_vs[0]:.2f}x short"],
    ]
    L += table(["target", "measured", "", "margin"], rows) + [""]

    L += ["## Replies queued", "",
          f"{ctx['rounds']} rounds; in each, every way runs once ({ctx['warmup']:,} untimed ticks, then "
          f"{ctx['ticks']:,} back to back with a clock read after every {BLOCK}), the order turning by one "
          f"each round. Ticks per second from the median {BLOCK}-tick block of all rounds; \"vs singles\": the "
          f"median over the rounds of the singles' time per tick over this way's, measured in the same round. "
          f"Instructions: callgrind, {n:,} ticks after the warm-up, the whole program's user-space Ir "
          f"(the benchmark's own loop included) divided by ticks and motors.", ""]
    rows = []
    for label, *_ in QUEUED:
        s = q[label]
        vs = round_ratios(q, "singles", label)
        sysc = counts(by_short_name(cg[label].calls), SYSCALLS, n, digits=1)
        rows.append([label, fmt_int(s.rate), fmt_rates(s), f"{vs[0]:.2f}x",
                     fmt_int(cg[label].total / n), fmt_int(ir[label]), sysc, ctx["queued_missing"][label]])
    L += table(["way", "ticks/s", "rounds", "vs singles", "Ir per tick", "Ir per motor", "C library calls per tick",
                "missed replies"], rows) + [""]
    L += [f"- {label}: {DESCRIBE[label]}." for label, *_ in QUEUED] + [""]

    L += ["Heaviest functions of the group tick (self Ir per motor per tick):", ""]
    L += table(["function", "Ir"], [[f"`{name}`", f"{cost / n / MOTORS:.0f}"]
                                    for name, cost in cg["group"].heaviest(10)]) + [""]

    L += ["## Live simulator", "",
          f"Against `{ctx['dmsim']}` (`{ctx['dmsim_exe']}`) playing the seven motors (started by group_tick for "
          f"each run), "
          f"{ctx['live_ticks']:,} ticks per way in each of {ctx['live_rounds']} rounds, order turning as above."
          + ("" if ctx["bitrate"] else
             " This dmsim has no `--bitrate` option yet, so the replies come after the processing latency alone, "
             "not after the time a 1 Mbit/s bus would take to carry the frames."), ""]
    rows = []
    for label, *_ in LIVE:
        s = live[label]
        vs = round_ratios(live, "singles", label)
        rows.append([label, fmt_int(s.rate), fmt_rates(s), f"{vs[0]:.2f}x",
                     fmt_ns(1e9 / s.rate), live_missing[label]])
    L += table(["way", "ticks/s", "rounds", "vs singles", "time per tick", "missed replies"], rows) + [""]
    frame_us = FRAME_BITS / BITRATE * 1e6
    singles_us = MOTORS * (2 * frame_us + ctx["latency_us"])
    L += [f"What the wire allows: a classic frame of {FRAME_BITS} bits takes {frame_us:.0f} µs at 1 Mbit/s (stuff bits "
          f"aside). Seven single exchanges take at least 7 x (2 x {frame_us:.0f} + {ctx['latency_us']}) = "
          f"{singles_us:,.0f} µs; a group tick at least the fourteen frames, {wire_tick_us:,.0f} µs, as every reply's "
          f"latency passes while later commands are still on the bus. A host that cost nothing would get "
          f"{singles_us / wire_tick_us:.2f}x; only the time each exchange spends in the host raises the ratio above "
          f"that.", ""]
    if ctx["vm"]:
        L += ["Absolute times come from an emulated guest, many times slower than its host, where every wake-up "
              "of the simulator costs more than the work of either side; the ratios, measured side by side, "
              "are the result.", ""]
    L += [END]
    return "\n".join(L)


def main(argv=None):
    ap = parser(__doc__)
    tick_options(ap, ticks=3000, warmup=300, live_rounds=8, live_ticks=500)
    ap.add_argument("--dmsim", default=str(DMSIM), help=f"the simulator to run (default {DMSIM.relative_to(ROOT)})")
    ap.add_argument("--build", action="store_true", help="(re)build group_tick and dmsim, then exit")
    args = ap.parse_args(argv)

    if args.build or not EXE.exists() or (args.dmsim == str(DMSIM) and not DMSIM.exists()):
        build(log, targets=("group_tick", "dmsim"))
        if args.build:
            return 0
    if not valgrind_version():
        raise SystemExit("valgrind is missing (tools/install-system-deps)")

    started = time.monotonic()
    dmsim, bitrate = dmsim_command(args.dmsim, args.latency_us)
    ctx = {**tick_context(args, machine_lines(args.iface)), "dmsim_exe": os.path.relpath(args.dmsim, ROOT),
           "dmsim": f"dmsim --latency-us {args.latency_us}" + (f" --bitrate {BITRATE}" if bitrate else ""),
           "bitrate": bitrate}

    log("replies queued")
    ctx["queued"], ctx["queued_missing"] = rounds_of(QUEUED, args.rounds, args.iface, args.ticks, args.warmup, log)
    log("callgrind")
    ctx["callgrind"] = callgrind(args.iface, args.callgrind_ticks, args.warmup, ROOT / "build" / "bench-callgrind",
                                 log)
    log(f"live: {dmsim}")
    ctx["live"] = rounds_of(LIVE, args.live_rounds, args.iface, args.live_ticks, min(args.warmup, 50), log, dmsim)

    publish(report(ctx), args.output, SECTION, started)
    return 0


if __name__ == "__main__":
    sys.exit(main())
