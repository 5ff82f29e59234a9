"""A control tick of seven motors from Python: torvane_ext's MotorGroup against
seven calls of torvane's own Damiao.mit_control.

    python benchmarks/ext_tick.py [--iface vcan0] [--rounds 6] [--output BENCHMARKS.md]

Needs a vcan interface (natively, or inside tools/vcan-vm; tools/bench-ext
picks), valgrind, and torvane with dmsim installed in this interpreter's
environment. Parts:

* queued: every command is its own reply, as in benchmarks/group_tick.cpp:
  the transport's socket receives its own frames and each motor's feedback
  identifier is its command identifier. Replies queued ahead by another
  socket would not do: the group drains what is waiting before it sends;
* callgrind: user-space instructions per motor per tick of the group call,
  beside the C++ group's figure, and allocator calls per tick;
* live: against dmsim --latency-us 200 --bitrate 1000000 playing the motors;
* threads: a second Python thread counting in a loop during 1,000 live ticks
  of each way, against its count with nothing else running;
* memory: blocks a tick leaves when its result is kept (tracemalloc), and
  flat memory over 100,000 queued ticks with the results dropped.

The table goes into BENCHMARKS.md between its own markers.
"""

from __future__ import annotations

import os
import platform
import socket
import sys
import threading
import time
from argparse import SUPPRESS
from itertools import repeat
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import ROOT  # noqa: E402
from harness.callgrind import (ALLOC_FUNCS, between_marks, by_short_name, finish_callgrind,  # noqa: E402
                               start_python)
from harness.cli import log, parser, tick_context, tick_options  # noqa: E402
from harness.dmsim import ARM, Simulator, find_dmsim, motor_args  # noqa: E402
from harness.frames import BITRATE, FRAME_BITS  # noqa: E402
from harness.machine import machine_lines, valgrind_version  # noqa: E402
from harness.markdown import fmt_int, fmt_ns, fmt_rates, header, markers, publish, table, verdict  # noqa: E402
from harness.memory import growth, kept  # noqa: E402
from harness.timing import BLOCK, Sample, Summary, round_ratios  # noqa: E402

MOTORS = 7
MODELS = ARM[:MOTORS]  # as group_tick.cpp
CPP_GROUP_IR = 576  # per motor per tick, the C++ group in tools/bench-group's section below
QUEUED_TARGET, LIVE_TARGET, THREAD_TARGET = 2.0, 3.0, 0.5
TIMEOUT_MS = 1000
WAYS = ("group", "singles")
SECTION = "ext_tick"
BEGIN, END = markers(SECTION)


def _sockets():
    """This process's sockets (the listing's own descriptor is gone when read)."""
    out = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}").startswith("socket:"):
                out.add(int(fd))
        except FileNotFoundError:
            pass
    return out


def receive_own_frames(bus, fds_before):
    """Make the transport's socket receive the frames it sends. torvane does
    not hand out its descriptor, so it is the socket that opening it added."""
    new = list(_sockets() - fds_before)
    if len(new) != 1:
        raise RuntimeError(f"expected one new socket after opening the bus, found {len(new)}")
    s = socket.socket(fileno=new[0])
    try:
        s.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_RECV_OWN_MSGS, 1)
    finally:
        s.detach()  # the bus keeps owning it
    return bus


class Arm:
    """The bus, seven motors, their setpoints and both ways to tick them."""

    def __init__(self, iface, echo):
        import torvane
        import torvane_ext as tx
        before = _sockets()
        self.bus = torvane.SocketCanTransport(iface)
        if echo:
            receive_own_frames(self.bus, before)
        self.motors = [torvane.Damiao(i, i if echo else 0x10 + i, getattr(torvane.MitLimits, MODELS[i - 1])(),
                                      timeout_ms=TIMEOUT_MS) for i in range(1, MOTORS + 1)]
        self.setpoints = [torvane.MitSetpoint(0.1 * i, 1.0, 20.0, 0.5, 0.25) for i in range(MOTORS)]
        self.group = tx.MotorGroup(self.bus, self.motors)
        self.calls = {"group": self._group_tick(), "singles": self._singles_tick()}

    def _group_tick(self):
        call, sps = self.group.mit_control, self.setpoints

        def tick():
            return call(sps)
        return tick

    def _singles_tick(self):
        bus, pairs = self.bus, [(m.mit_control, sp) for m, sp in zip(self.motors, self.setpoints)]

        def tick():
            return tuple([call(bus, sp) for call, sp in pairs])
        return tick

    def missing(self, way, n):
        """Motors that did not answer over n ticks (singles raise instead)."""
        tick, miss = self.calls[way], 0
        for _ in repeat(None, n):
            miss += tick().count(None)
        return miss


def blocks(tick, n):
    clock = time.perf_counter_ns
    inner = range(BLOCK)
    marks = [0] * (n // BLOCK + 1)
    marks[0] = clock()
    for j in range(1, len(marks)):
        for _ in inner:
            tick()
        marks[j] = clock()
    return [b - a for a, b in zip(marks, marks[1:])]


def rounds_of(arm, rounds, ticks, warmup, log, tag):
    results = {w: Summary() for w in WAYS}
    missing = {w: 0 for w in WAYS}
    for r in range(rounds):
        for way in (WAYS if r % 2 == 0 else WAYS[::-1]):
            missing[way] += arm.missing(way, warmup)
            s = Sample(blocks(arm.calls[way], ticks), [])
            results[way].add(s)
            log(f"  {tag} round {r + 1}/{rounds} {way:8s} {s.rate:8.0f} ticks/s")
    return results, missing


# ---- callgrind -------------------------------------------------------------------


def callgrind_worker(way, iface, ticks, warmup):
    arm = Arm(iface, echo=True)  # kept: the ticks use its bus and motors
    between_marks(arm.calls[way], warmup, ticks)


def callgrind(iface, ticks, warmup, outdir, log):
    profiles = {}
    for way in WAYS:
        key = f"ext-{way}"
        proc = start_python(key, Path(__file__).resolve(), ["--callgrind-worker", way, "--iface", iface,
                                                            "--ticks", str(ticks), "--warmup", str(warmup)], outdir)
        profiles[way] = finish_callgrind(key, proc, outdir)
        log(f"  callgrind {way}: {profiles[way].total / ticks / MOTORS:.0f} Ir per motor per tick")
    return profiles


# ---- the live simulator ---------------------------------------------------------------


def simulator(exe, iface, latency_us):
    """dmsim playing the seven motors, on the wire model of the C++ group's live rounds."""
    args = ["--latency-us", str(latency_us), "--bitrate", str(BITRATE), *motor_args(MODELS)]
    return Simulator(exe, iface, args)


# ---- a second thread -------------------------------------------------------------------


def counting_during(work):
    """Counts a second thread makes while work() runs, and the seconds it ran."""
    stop = threading.Event()
    count = [0]

    def counter():
        n = 0
        while not stop.is_set():
            n += 1
        count[0] = n

    t = threading.Thread(target=counter)
    t.start()
    start = time.perf_counter()
    work()
    seconds = time.perf_counter() - start
    stop.set()
    t.join()
    return count[0], seconds


def thread_progress(arm, ticks, singles_ticks, log):
    """Per way: the counting thread's rate during `ticks` ticks over its rate
    alone for as long, measured right after."""
    out = {}
    for way in WAYS:
        tick, n = arm.calls[way], ticks if way == "group" else singles_ticks

        def work():
            for _ in repeat(None, n):
                tick()
        busy, busy_s = counting_during(work)
        idle, idle_s = counting_during(lambda: time.sleep(busy_s))
        out[way] = {"ticks": n, "busy": busy, "busy_s": busy_s, "idle": idle, "idle_s": idle_s,
                    "share": (busy / busy_s) / (idle / idle_s)}
        log(f"  threads {way}: {out[way]['share']:.2f} of the idle count rate ({busy:,} in {busy_s:.2f} s "
            f"against {idle:,} in {idle_s:.2f} s)")
    return out


# ---- memory -----------------------------------------------------------------------------


def _kept(keep, tick):
    for i in range(len(keep)):
        keep[i] = tick()  # what is allocated under this line is what a tick leaves


def kept_per_tick(arm, ticks):
    """Blocks and bytes per group tick that tracemalloc traces to the tick
    when every result is kept, and their kinds."""
    tick = arm.calls["group"]
    for _ in repeat(None, 500):
        tick()
    blocks, size, keep = kept(_kept, ticks, tick)
    return {"blocks": blocks, "bytes": size, "kinds": sorted({type(x).__name__ for r in keep for x in (r, *r)})}


def group_growth(arm, total, warmup):
    tick = arm.calls["group"]

    def run(n):
        for _ in repeat(None, n):
            tick()

    return {"ticks": total, **growth(run, total, warmup, warmup)}


# ---- report -----------------------------------------------------------------------------


def machine(iface):
    import torvane
    return machine_lines(iface, f"CPython {platform.python_version()} ({sys.executable}); torvane "
                                f"{torvane.__version__}; {valgrind_version() or 'valgrind missing'}")


def speedup_row(target, results, what):
    med, lo, hi = round_ratios(results, "singles", "group")
    margin = f"{med / target:.2f}x the target" if med >= target else f"{target / med:.2f}x short"
    return [f"{what}: group tick rate >= {target:g}x seven `Damiao.mit_control` calls'",
            f"{med:.2f}x (rounds {lo:.2f}x to {hi:.2f}x)", verdict(med >= target), margin]


def report(ctx):
    q, qmiss = ctx["queued"]
    live, lmiss = ctx["live"]
    cg, n = ctx["callgrind"], ctx["callgrind_ticks"]
    ir = {w: cg[w].total / n / MOTORS for w in WAYS}
    allocs = {w: {k: v / n for k, v in by_short_name(cg[w].calls).items() if k in ALLOC_FUNCS and v} for w in WAYS}
    th, kept, grow = ctx["threads"], ctx["kept"], ctx["growth"]
    frame_us = FRAME_BITS / BITRATE * 1e6
    singles_us = MOTORS * (2 * frame_us + ctx["latency_us"])
    group_us = 2 * MOTORS * frame_us
    py_allocs = sum(v for k, v in allocs["group"].items() if k.startswith("Py"))

    L = [BEGIN, "", "# Benchmarks: a tick of seven motors from Python", ""]
    L += header("ext_tick.py", ctx)
    L += ["## Targets", ""]
    rows = [speedup_row(QUEUED_TARGET, q, "replies queued"), speedup_row(LIVE_TARGET, live, "live dmsim")]
    share = th["group"]["share"]
    rows.append([f"a second thread counts during group ticks >= {THREAD_TARGET:g} of its rate alone",
                 f"{share:.2f}", verdict(share >= THREAD_TARGET), f"{share / THREAD_TARGET:.2f}x the target"
                 if share >= THREAD_TARGET else f"{THREAD_TARGET / share:.2f}x short"])
    rows.append(["one Python allocation per motor per tick, the tuple aside",
                 f"{kept['blocks']:.2f} blocks kept per tick ({', '.join(kept['kinds'])}); "
                 f"{py_allocs:.2f} object-allocator calls per tick (callgrind)",
                 verdict(round(kept["blocks"], 2) == MOTORS + 1 and round(py_allocs, 1) <= MOTORS + 1),
                 f"{MOTORS} MotorStates + 1 tuple kept"])
    flat = grow["traced"] <= 100 and grow["blocks"] <= 100
    rows.append([f"no memory growth over {grow['ticks']:,} ticks",
                 f"tracemalloc {grow['traced']:+,} bytes, allocated blocks {grow['blocks']:+,}, resident set "
                 f"{grow['rss']:+,} bytes", verdict(flat), "below 100 bytes and blocks"])
    L += table(["target", "measured", "", "margin"], rows) + [""]

    L += ["## Replies queued", "",
          f"Every command is its own reply: the transport's socket receives its own frames "
          f"(`CAN_RAW_RECV_OWN_MSGS`, set on torvane's socket from outside) and each motor's feedback identifier "
          f"is its command identifier, as in the C++ group benchmark. {ctx['rounds']} rounds; in each, both ways "
          f"run ({ctx['warmup']:,} untimed ticks, then {ctx['ticks']:,} with a clock read after every {BLOCK}), "
          f"the order swapping each round. Ticks per second from the median {BLOCK}-tick block of all rounds; "
          f"\"vs singles\": the median over the rounds of the singles' time per tick over this way's, in the "
          f"same round. Instructions: callgrind, {n:,} ticks after the warm-up, the whole interpreter's "
          f"user-space Ir (the Python loop included) divided by ticks and motors.", ""]
    rows = []
    for w in WAYS:
        s = q[w]
        al = ", ".join(f"`{k}` {v:.2f}" for k, v in sorted(allocs[w].items())) or "none"
        rows.append([w, fmt_int(s.rate), fmt_rates(s),
                     f"{round_ratios(q, 'singles', w)[0]:.2f}x", fmt_int(cg[w].total / n), fmt_int(ir[w]), al,
                     qmiss[w]])
    rows.append(["C++ group (tools/bench-group)", "", "", "", fmt_int(CPP_GROUP_IR * MOTORS), fmt_int(CPP_GROUP_IR),
                 "none", ""])
    L += table(["way", "ticks/s", "rounds", "vs singles", "Ir per tick", "Ir per motor", "allocator calls per tick",
                "missed replies"], rows) + [""]
    L += ["- group: `torvane_ext.MotorGroup.mit_control(setpoints)`, one call per tick, a tuple of MotorStates back.",
          "- singles: seven `torvane.Damiao.mit_control(bus, setpoint)` calls, their states gathered in a tuple.",
          f"- The Python group costs {ir['group'] - CPP_GROUP_IR:,.0f} Ir per motor per tick over the C++ group's "
          f"{CPP_GROUP_IR}: the interpreter's call, converting the seven setpoints and building the states.", ""]
    L += ["Heaviest functions of the Python group tick (self Ir per motor per tick):", ""]
    L += table(["function", "Ir"], [[f"`{name}`", f"{cost / n / MOTORS:.0f}"]
                                    for name, cost in cg["group"].heaviest(12)]) + [""]

    L += ["## Live simulator", "",
          f"Against `{ctx['dmsim']}` playing the seven motors, {ctx['live_ticks']:,} ticks per way in each of "
          f"{ctx['live_rounds']} rounds, order swapping each round.", ""]
    rows = []
    for w in WAYS:
        s = live[w]
        rows.append([w, fmt_int(s.rate), fmt_rates(s),
                     f"{round_ratios(live, 'singles', w)[0]:.2f}x", fmt_ns(1e9 / s.rate), lmiss[w]])
    L += table(["way", "ticks/s", "rounds", "vs singles", "time per tick", "missed replies"], rows) + [""]
    L += [f"What the wire allows: seven single exchanges take at least 7 x (2 x {frame_us:.0f} + "
          f"{ctx['latency_us']}) = {singles_us:,.0f} µs, a group tick at least its fourteen frames, "
          f"{group_us:,.0f} µs: {singles_us / group_us:.2f}x for a host that cost nothing. Everything above that "
          f"is host time per exchange, which the group saves; in the emulated guest every wake-up of the "
          f"simulator and of the caller is expensive, so the ratio here says more about the guest than about "
          f"either way.", ""]

    L += ["## A second thread", "",
          f"A second Python thread increments a counter in a loop while the main thread runs live ticks "
          f"(dmsim as above), then again while the main thread only sleeps as long; the table gives its counts "
          f"per second during the ticks over alone.", ""]
    rows = []
    for w in WAYS:
        t = th[w]
        rows.append([w, f"{t['ticks']:,}", f"{t['busy']:,} in {t['busy_s']:.2f} s", f"{t['idle']:,} in {t['idle_s']:.2f} s",
                     f"{t['share']:.2f}"])
    L += table(["ticks by", "ticks", "counts during the ticks", "counts alone", "share"], rows) + [""]
    L += ["torvane_ext releases the interpreter lock while it waits on the bus; torvane's own methods hold it "
          "throughout, so the counting thread runs only when the interpreter switches between two calls.", ""]

    L += ["## Python memory", "",
          f"Every result of {ctx['kept_ticks']:,} queued group ticks kept in a list: per tick, "
          f"{kept['blocks']:.2f} blocks ({kept['bytes']:.0f} bytes) that tracemalloc traces to the calling line, "
          f"the seven MotorStates and their tuple. The object allocator is called {py_allocs:.2f} times per tick "
          f"(callgrind, above), freed again or not: once per MotorState, while the tuple usually comes from the "
          f"interpreter's free list of tuples.", "",
          f"{grow['ticks']:,} queued group ticks with the results dropped (after a warm-up): interpreter's "
          f"allocated blocks {grow['blocks_before']:,} -> {grow['blocks_before'] + grow['blocks']:,} "
          f"({grow['blocks']:+,}), resident set {grow['rss_before']:,} -> {grow['rss_before'] + grow['rss']:,} bytes "
          f"({grow['rss']:+,}); in a second pass of as many under tracemalloc, traced memory {grow['traced']:+,} "
          f"bytes.", ""]
    if ctx["vm"]:
        L += ["Absolute times come from an emulated guest, many times slower than its host; the ratios, "
              "measured side by side, are the result.", ""]
    L += [END]
    return "\n".join(L)


def main(argv=None):
    ap = parser(__doc__)
    tick_options(ap, ticks=2000, warmup=200, live_rounds=4, live_ticks=300)
    ap.add_argument("--thread-ticks", type=int, default=1000)
    ap.add_argument("--thread-singles-ticks", type=int, default=200, help="as many ticks of seven single calls")
    ap.add_argument("--kept-ticks", type=int, default=5000)
    ap.add_argument("--growth-ticks", type=int, default=100_000)
    ap.add_argument("--dmsim", default=None, help="the simulator (default: the one beside this interpreter)")
    ap.add_argument("--callgrind-worker", choices=WAYS, help=SUPPRESS)
    args = ap.parse_args(argv)

    if args.callgrind_worker:
        callgrind_worker(args.callgrind_worker, args.iface, args.ticks, args.warmup)
        return 0

    dmsim = args.dmsim or find_dmsim()
    if dmsim is None:
        raise SystemExit("no dmsim beside this interpreter: install torvane into its environment")
    if not valgrind_version():
        raise SystemExit("valgrind is missing (tools/install-system-deps)")
    started = time.monotonic()
    ctx = {**tick_context(args, machine(args.iface)), "thread_ticks": args.thread_ticks,
           "kept_ticks": args.kept_ticks, "dmsim": f"dmsim --latency-us {args.latency_us} --bitrate {BITRATE}"}

    log("replies queued")
    arm = Arm(args.iface, echo=True)
    ctx["queued"] = rounds_of(arm, args.rounds, args.ticks, args.warmup, log, "queued")
    log("memory")
    ctx["kept"] = kept_per_tick(arm, args.kept_ticks)
    ctx["growth"] = group_growth(arm, args.growth_ticks, 2000)
    log(f"  kept {ctx['kept']}; growth {ctx['growth']}")
    del arm
    log("callgrind")
    ctx["callgrind"] = callgrind(args.iface, args.callgrind_ticks, args.warmup, ROOT / "build" / "bench-callgrind",
                                 log)
    log(f"live: {ctx['dmsim']}")
    sim = simulator(dmsim, args.iface, args.latency_us)
    try:
        arm = Arm(args.iface, echo=False)
        ctx["live"] = rounds_of(arm, args.live_rounds, args.live_ticks, 20, log, "live")
        log("threads")
        ctx["threads"] = thread_progress(arm, args.thread_ticks, args.thread_singles_ticks, log)
        del arm
    finally:
        sim.stop()

    publish(report(ctx), args.output, SECTION, started)
    return 0


if __name__ == "__main__":
    sys.exit(main())
