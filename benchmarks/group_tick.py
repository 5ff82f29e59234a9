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

import argparse
import json
import os
import re
import shlex
import subprocess
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from exchange import (BITRATE, BLOCK, FLOOR_BUILD, FRAME_BITS, ROOT, Sample, Summary, build_floor, by_short_name,  # noqa: E402
                      compiler_version, cpu_model, finish_callgrind, fmt_int, fmt_ns, git_revision, in_vcan_vm,
                      round_ratios, table, valgrind_version, verdict)

EXE = FLOOR_BUILD / "benchmarks" / "group_tick"
DMSIM = FLOOR_BUILD / "sim" / "dmsim"
MOTORS = 7
IR_TARGET = 727  # Ir of one single exchange in the C++ floor before the group existed
LIVE_TARGET = 3.0
BEGIN, END = "<!-- group_tick: begin -->", "<!-- group_tick: end -->"

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


def run(argv):
    out = subprocess.run(argv, capture_output=True, text=True)
    result = json.loads(out.stdout) if out.stdout.strip() else {"error": out.stderr.strip()}
    if out.returncode != 0 or "error" in result:
        raise RuntimeError(f"{shlex.join(argv)} failed: {result.get('error')}")
    return result


def rounds_of(configs, rounds, iface, ticks, warmup, log, live_cmd=None):
    """Every configuration once per round, in an order that turns by one each round."""
    results = {c[0]: Summary() for c in configs}
    missing = {c[0]: 0 for c in configs}
    for r in range(rounds):
        order = configs[r % len(configs):] + configs[:r % len(configs)]
        for label, way, transport, fd in order:
            got = run(argv_of(way, transport, fd, iface, ticks, warmup, live_cmd))
            s = Sample(got["block_ns"], [])
            results[label].add(s)
            missing[label] += got["missing"]
            log(f"  round {r + 1}/{rounds} {label:18s} {s.rate:9.0f} ticks/s")
    return results, missing


def callgrind(iface, ticks, warmup, outdir, log):
    outdir.mkdir(parents=True, exist_ok=True)
    profiles = {}
    for label, way, transport, fd in QUEUED:
        key = re.sub(r"\W+", "-", label)
        for old in outdir.glob(f"callgrind.{key}*"):
            old.unlink()
        argv = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={outdir / f'callgrind.{key}'}",
                "--dump-before=phase_mark", *argv_of(way, transport, fd, iface, ticks, warmup)]
        proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        profiles[label] = finish_callgrind(key, proc, outdir)
        log(f"  callgrind {label}: {profiles[label].total / ticks / MOTORS:.0f} Ir per motor per tick")
    return profiles


def dmsim_command(exe, latency_us):
    help_text = subprocess.run([str(exe), "--help"], capture_output=True, text=True).stdout
    bitrate = "--bitrate" in help_text
    cmd = f"{exe} --latency-us {latency_us}" + (f" --bitrate {BITRATE}" if bitrate else "")
    return cmd, bitrate


def machine_lines(iface, tools=None):
    """The machine, the bus, `tools` (default: the compiler of the floor
    build and valgrind) and the tree."""
    import platform
    lines = []
    if in_vcan_vm():
        lines.append(f"tools/vcan-vm guest: qemu with TCG (software emulation), {os.cpu_count()} vCPUs, "
                     f"kernel {platform.release()}, emulated CPU \"{cpu_model()}\"")
        lines.append(f"host: {os.environ.get('TORVANE_BENCH_HOST', 'not recorded')}")
    else:
        lines.append(f"{cpu_model()}, {os.cpu_count()} CPUs, kernel {platform.release()} (native vcan)")
    lines.append(f"bus: {iface} (vcan)")
    lines.append(tools or f"built with {compiler_version()}; {valgrind_version() or 'valgrind missing'}")
    lines.append(f"tree: {git_revision()}")
    return lines


def report(ctx):
    q, cg, n = ctx["queued"], ctx["callgrind"], ctx["callgrind_ticks"]
    ir = {label: cg[label].total / n / MOTORS for label in cg}
    live, live_missing = ctx["live"]
    live_vs = round_ratios(live, "singles", "group")
    wire_tick_us = 2 * MOTORS * FRAME_BITS / BITRATE * 1e6

    L = [BEGIN, "", "# Benchmarks: a tick of seven motors", ""]
    L += [f"Written by `benchmarks/group_tick.py` on {ctx['date']}. Command: `{ctx['command']}`", ""]
    L += ["Machine:", ""] + [f"- {x}" for x in ctx["machine"]] + [""]
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
        lo, hi = s.rate_range
        vs = round_ratios(q, "singles", label)
        calls = by_short_name(cg[label].calls)
        sysc = ", ".join(f"`{f}` {calls[f] / n:.1f}" for f in SYSCALLS if calls.get(f))
        rows.append([label, fmt_int(s.rate), f"{fmt_int(lo)} to {fmt_int(hi)}", f"{vs[0]:.2f}x",
                     fmt_int(cg[label].total / n), fmt_int(ir[label]), sysc, ctx["queued_missing"][label]])
    L += table(["way", "ticks/s", "rounds", "vs singles", "Ir per tick", "Ir per motor", "C library calls per tick",
                "missed replies"], rows) + [""]
    L += [f"- {label}: {DESCRIBE[label]}." for label, *_ in QUEUED] + [""]

    top = sorted(by_short_name(cg["group"].self_cost).items(), key=lambda kv: -kv[1])[:10]
    L += ["Heaviest functions of the group tick (self Ir per motor per tick):", ""]
    L += table(["function", "Ir"], [[f"`{name}`", f"{cost / n / MOTORS:.0f}"] for name, cost in top]) + [""]

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
        lo, hi = s.rate_range
        vs = round_ratios(live, "singles", label)
        rows.append([label, fmt_int(s.rate), f"{fmt_int(lo)} to {fmt_int(hi)}", f"{vs[0]:.2f}x",
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


def write_section(path, text, begin=BEGIN, end=END):
    """Puts `text` (opening with `begin`, closing with `end`) in place of the
    file's section between those markers, or after the rest."""
    old = path.read_text() if path.exists() else ""
    if begin in old and end in old:
        new = old[:old.index(begin)] + text + old[old.index(end) + len(end):]
    else:
        new = old.rstrip("\n") + ("\n\n" if old else "") + text + "\n"
    path.write_text(new)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--iface", default="vcan0")
    ap.add_argument("--rounds", type=int, default=6, help="rounds with replies queued (default 6)")
    ap.add_argument("--ticks", type=int, default=3000, help="ticks per way and round, a multiple of 10 (default 3000)")
    ap.add_argument("--warmup", type=int, default=300)
    ap.add_argument("--callgrind-ticks", type=int, default=1000)
    ap.add_argument("--live-rounds", type=int, default=8)
    ap.add_argument("--live-ticks", type=int, default=500)
    ap.add_argument("--latency-us", type=int, default=200, help="dmsim's processing latency (default 200)")
    ap.add_argument("--dmsim", default=str(DMSIM), help=f"the simulator to run (default {DMSIM.relative_to(ROOT)})")
    ap.add_argument("--output", default=str(ROOT / "BENCHMARKS.md"), help="report file ('-' for none)")
    ap.add_argument("--command", default=os.environ.get("TORVANE_BENCH_COMMAND"))
    ap.add_argument("--build", action="store_true", help="(re)build group_tick and dmsim, then exit")
    args = ap.parse_args(argv)

    def log(msg):
        print(msg, file=sys.stderr, flush=True)

    if args.build or not EXE.exists() or (args.dmsim == str(DMSIM) and not DMSIM.exists()):
        build_floor(log, targets=("group_tick", "dmsim"))
        if args.build:
            return 0
    if not valgrind_version():
        raise SystemExit("valgrind is missing (tools/install-system-deps)")

    started = time.monotonic()
    dmsim, bitrate = dmsim_command(args.dmsim, args.latency_us)
    ctx = {"vm": in_vcan_vm(), "machine": machine_lines(args.iface), "rounds": args.rounds, "ticks": args.ticks,
           "warmup": args.warmup, "callgrind_ticks": args.callgrind_ticks, "live_rounds": args.live_rounds,
           "live_ticks": args.live_ticks, "latency_us": args.latency_us, "dmsim_exe": os.path.relpath(args.dmsim, ROOT),
           "dmsim": f"dmsim --latency-us {args.latency_us}"
           + (f" --bitrate {BITRATE}" if bitrate else ""), "bitrate": bitrate,
           "command": args.command or shlex.join([Path(sys.executable).name, *sys.argv]),
           "date": datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")}

    log("replies queued")
    ctx["queued"], ctx["queued_missing"] = rounds_of(QUEUED, args.rounds, args.iface, args.ticks, args.warmup, log)
    log("callgrind")
    ctx["callgrind"] = callgrind(args.iface, args.callgrind_ticks, args.warmup, ROOT / "build" / "bench-callgrind",
                                 log)
    log(f"live: {dmsim}")
    ctx["live"] = rounds_of(LIVE, args.live_rounds, args.iface, args.live_ticks, min(args.warmup, 50), log, dmsim)

    text = report(ctx)
    print(text)
    if args.output != "-":
        write_section(Path(args.output), text)
        log(f"written to {args.output} ({time.monotonic() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
