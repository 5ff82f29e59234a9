"""The MIT exchange of torvane against python-can, a C++ floor and the wire.

    python benchmarks/exchange.py [--iface vcan0] [--rounds 5] [--output BENCHMARKS.md]

Needs a vcan interface (natively, or inside tools/vcan-vm; tools/bench picks),
python-can and torvane importable, and valgrind for the instruction counts.
One run measures, on the same interface:

* torvane: Damiao.mit_control, exchanges per second and time per call;
* python-can's socketcan bus sending the same 8-byte MIT frame and waiting for
  the reply on the feedback identifier, with the pure-Python codec in
  harness/frames.py;
* the floor: the same exchange from C++ through the driver (exchange_floor);
* user-space instructions per exchange under callgrind, and Python-side
  allocations per call under tracemalloc;
* the wire time of one exchange at 1 Mbit/s, for reference.

The comparison uses queued replies: a second socket sends the replies before
the timed loop and each exchange consumes one (nothing is flushed). A live
responder in another process makes timings depend on the scheduler's wake-ups,
which in an emulated VM dominate everything; the live simulator's figures are
reported separately for that reason.
"""

from __future__ import annotations

import math
import platform
import socket
import struct
import sys
import time
from itertools import repeat
from argparse import SUPPRESS
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import ROOT  # noqa: E402
from harness.callgrind import (ALLOC_FUNCS, FLOOR_MARK, SYSCALL_FUNCS, by_short_name, finish_callgrind,  # noqa: E402
                               start_callgrind, start_python)
from harness.cli import command_line, log, parser, utc_date  # noqa: E402
from harness.cpp import FLOOR_BUILD, build as build_floor, run_json  # noqa: E402
from harness.dmsim import Simulator, find_dmsim  # noqa: E402
from harness.frames import BITRATE, FRAME_BITS, STUFFED_MAX, decode_feedback, encode_setpoint  # noqa: E402
from harness.machine import compiler_version, in_vcan_vm, machine_lines, valgrind_version  # noqa: E402
from harness.markdown import counts, fmt_int, fmt_ns, fmt_rates, machine_block, publish, table, verdict  # noqa: E402
from harness.memory import growth, kept  # noqa: E402
from harness.timing import BLOCK, Sample, Summary, round_ratios  # noqa: E402

FLOOR_EXE = FLOOR_BUILD / "benchmarks" / "exchange_floor"

# The motor of every exchange: command id and feedback id, a dm4310.
MOTOR_ID = 0x01
MASTER_ID = 0x11
SETPOINT = (1.0, 2.0, 50.0, 1.0, 0.5)  # q, dq, kp, kd, tau; the floor sends the same
REPLY = bytes.fromhex("0180008008001e20")  # what every queued reply carries
TIMEOUT_MS = 1000  # never reached with queued replies; generous for a slow guest

CAN_SFF_MASK = 0x7FF
CAN_EFF_FLAG = 0x80000000
CAN_RTR_FLAG = 0x40000000
_CLASSIC = struct.Struct("=IB3x8s")
_FILTER = struct.Struct("=II")


can = None  # python-can, imported on first use (the torvane-only workers skip it)


def load_python_can():
    global can
    if can is None:
        import can as python_can
        can = python_can
    return can


def open_python_can(iface):
    return load_python_can().Bus(interface="socketcan", channel=iface, fd=False)


def pycan_mit_control(bus, sp, timeout=TIMEOUT_MS / 1000.0):
    """One exchange the way a python-can program does it, matching by identifier."""
    bus.send(can.Message(arbitration_id=MOTOR_ID, data=encode_setpoint(*sp), is_extended_id=False))
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left < 0:
            raise TimeoutError("timeout waiting for frame")
        msg = bus.recv(left)
        if msg is None:
            raise TimeoutError("timeout waiting for frame")
        if msg.arbitration_id == MASTER_ID and not msg.is_extended_id:
            return decode_feedback(msg.data)


def open_torvane(iface):
    import torvane
    bus = torvane.SocketCanTransport(iface)
    motor = torvane.Damiao(MOTOR_ID, MASTER_ID, torvane.MitLimits.dm4310(), timeout_ms=TIMEOUT_MS)
    return bus, motor.mit_control, torvane.MitSetpoint(*SETPOINT)


class Opened:
    """One implementation's bus, its exchange call and its setpoint; the bus
    is closed on leaving the with-block."""

    def __init__(self, impl, iface):
        self.impl = impl
        if impl == "torvane":
            self.bus, self.call, self.sp = open_torvane(iface)
        else:
            self.bus, self.call, self.sp = open_python_can(iface), pycan_mit_control, SETPOINT

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.impl != "torvane":
            self.bus.shutdown()
        self.bus = None  # torvane closes its socket with the last reference

    def run(self, n):
        call, bus, sp = self.call, self.bus, self.sp
        for _ in repeat(None, n):
            call(bus, sp)


# ---- the bus around the exchange ----------------------------------------------


def raw_socket(iface, filters=b""):
    """A raw CAN socket; the default empty filter list makes it deaf."""
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    if filters is not None:
        s.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, filters)
    s.bind((iface,))
    return s


class Replier:
    """Sends replies ahead of the exchanges that consume them. It receives
    nothing, so the commands of the exchanges do not pile up in it."""

    def __init__(self, iface):
        self.sock = raw_socket(iface)
        self.record = _CLASSIC.pack(MASTER_ID, len(REPLY), REPLY)

    def queue(self, n, payload=None):
        record = self.record if payload is None else _CLASSIC.pack(MASTER_ID, len(payload), payload)
        send = self.sock.send
        for _ in repeat(None, n):
            send(record)

    def close(self):
        self.sock.close()


def queue_capacity(iface, replier, probe):
    """How many queued classic frames a freshly opened socket holds before the
    kernel starts dropping them (its receive buffer is rmem_default)."""
    r = raw_socket(iface, filters=None)
    try:
        replier.queue(probe)
        r.setblocking(False)
        n = 0
        try:
            while True:
                r.recv(72)
                n += 1
        except BlockingIOError:
            pass
        return n
    finally:
        r.close()


def check_codec(iface, replier):
    """The pure-Python codec must produce torvane's bytes and values, so that
    both sides of the comparison do the same work."""
    import torvane
    setpoints = [(0.0, 0.0, 0.0, 0.0, 0.0), (12.5, 30.0, 500.0, 5.0, 10.0),
                 (-12.5, -30.0, 0.0, 0.0, -10.0), (100.0, -100.0, 1000.0, 10.0, 100.0),
                 SETPOINT, (-3.25, 7.5, 123.5, 2.25, -4.5)]
    replies = [REPLY, bytes.fromhex("0200000000000000"), bytes.fromhex("02ffffffffff0000"),
               bytes.fromhex("117fff7ff7ff282d"), bytes.fromhex("3a123456789abcde"),
               bytes.fromhex("0f0102030405fe7f")]
    cmd_filter = _FILTER.pack(MOTOR_ID, CAN_SFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG)
    listener = raw_socket(iface, cmd_filter)
    listener.settimeout(5.0)
    bus, mit, _ = open_torvane(iface)
    try:
        for sp, reply in zip(setpoints, replies):
            replier.queue(1, reply)
            state = mit(bus, torvane.MitSetpoint(*sp))
            _, length, data = _CLASSIC.unpack(listener.recv(72))
            sent = data[:length]
            if sent != encode_setpoint(*sp):
                raise SystemExit(f"codec check: {sp} encodes as {encode_setpoint(*sp).hex()} in Python, "
                                 f"{sent.hex()} in torvane")
            mine = decode_feedback(reply)
            theirs = (state.motor_id, state.error, state.position, state.velocity, state.torque,
                      state.t_mos, state.t_rotor)
            same = all(math.isclose(a, b, rel_tol=1e-6, abs_tol=1e-5) for a, b in zip(mine, theirs))
            if not same:
                raise SystemExit(f"codec check: {reply.hex()} decodes as {mine} in Python, {theirs} in torvane")
    finally:
        del bus
        listener.close()
    return len(setpoints)


# ---- timed loops ---------------------------------------------------------------
# The same two loops for both Python implementations, and in C++ for the
# floor: n calls back to back with a clock read after every BLOCK of them, for
# the rate; then n calls with a clock read after each, for the distribution
# (reads after every call would otherwise be part of the rate).

def back_to_back(call, bus, sp, n):
    clock = time.perf_counter_ns
    block = range(BLOCK)  # iterating a range made once is the cheapest inner loop
    marks = [0] * (n // BLOCK + 1)
    marks[0] = clock()
    for j in range(1, len(marks)):
        for _ in block:
            call(bus, sp)
        marks[j] = clock()
    return [b - a for a, b in zip(marks, marks[1:])]


def stamped(call, bus, sp, n):
    stamps = [0] * (n + 1)
    clock = time.perf_counter_ns
    stamps[0] = clock()
    for i in range(1, n + 1):
        call(bus, sp)
        stamps[i] = clock()
    return [b - a for a, b in zip(stamps, stamps[1:])]


def run_python(impl, iface, replier, calls, warmup):
    """One round of torvane or python-can; replier None means a live responder."""
    with Opened(impl, iface) as o:
        if replier:
            replier.queue(warmup + calls)
        o.run(warmup)
        blocks = back_to_back(o.call, o.bus, o.sp, calls)
        if replier:
            replier.queue(calls)
        return Sample(blocks, stamped(o.call, o.bus, o.sp, calls))


def run_floor(iface, calls, warmup, queued=True, extra=()):
    argv = [str(FLOOR_EXE), "--iface", iface, "--calls", str(calls), "--block", str(BLOCK), "--warmup", str(warmup),
            "--timings",
            *(["--queued"] if queued else []), *extra]
    result = run_json(argv)
    return Sample(result["block_ns"], result["per_call_ns"])


IMPLS = ("torvane", "python-can", "floor")
LABELS = {"torvane": "torvane", "python-can": f"python-can", "floor": "C++ floor"}


def run_round(impl, iface, replier, calls, warmup):
    if impl == "floor":
        return run_floor(iface, calls, warmup, queued=replier is not None)
    return run_python(impl, iface, replier, calls, warmup)


# Each implementation goes first, second and last in turn; torvane and the
# floor always run next to each other, python-can's long turn never between them.
ORDERS = (("torvane", "floor", "python-can"), ("python-can", "floor", "torvane"),
          ("floor", "torvane", "python-can"), ("python-can", "torvane", "floor"))


def compare(iface, replier, rounds, calls, warmup, live, log):
    results = {impl: Summary() for impl in IMPLS}
    for r in range(rounds):
        for impl in ORDERS[r % len(ORDERS)]:
            s = run_round(impl, iface, replier if not live else None, calls, warmup)
            results[impl].add(s)
            log(f"  round {r + 1}/{rounds} {impl:10s} {s.rate:10.0f} exchanges/s")
    return results


# ---- callgrind -----------------------------------------------------------------


def callgrind_worker(impl, iface, calls, warmup):
    replier = Replier(iface)
    with Opened(impl, iface) as o:
        replier.queue(warmup + calls)
        o.run(warmup)
        time.sleep(0)
        o.run(calls)  # the plainest loop: what it adds to a call is the interpreter's least
        time.sleep(0)
    replier.close()


def vcan_interfaces(first):
    """`first`, then every other vcan interface that is up."""
    found = [first]
    for dev in sorted(Path("/sys/class/net").glob("vcan*")):
        try:
            up = int((dev / "flags").read_text(), 16) & 1
        except (OSError, ValueError):
            continue
        if up and dev.name != first:
            found.append(dev.name)
    return found


def callgrind_runs(ifaces, calls, warmup, outdir, log):
    """The implementations under callgrind, at the same time where there are
    interfaces enough for each to have its own (start-up under
    instrumentation is most of the time); otherwise one after another."""
    t0 = time.monotonic()
    profiles = {}
    # The floor is quick; the two Python workers are what is worth overlapping.
    batches = [["torvane", "python-can"], ["floor"]] if len(ifaces) >= 2 else [[i] for i in IMPLS]
    for batch in batches:
        procs = {impl: start_run(impl, iface, calls, warmup, outdir) for impl, iface in zip(batch, ifaces)}
        for impl, proc in procs.items():
            profiles[impl] = finish_callgrind(impl, proc, outdir)
            log(f"  callgrind {impl}: done after {time.monotonic() - t0:.0f} s")
    return profiles


def start_run(impl, iface, calls, warmup, outdir):
    if impl == "floor":
        return start_callgrind(impl, [str(FLOOR_EXE), "--iface", iface, "--calls", str(calls), "--block", str(BLOCK),
                                      "--warmup", str(warmup), "--queued"], outdir, FLOOR_MARK)
    return start_python(impl, Path(__file__).resolve(), ["--callgrind-worker", impl, "--iface", iface,
                                                         "--calls", str(calls), "--warmup", str(warmup)], outdir)


# ---- memory --------------------------------------------------------------------


def _kept(keep, call, bus, sp):
    for i in range(len(keep)):
        keep[i] = call(bus, sp)  # what is allocated under this line is what a call leaves


def retained_per_call(impl, iface, replier, calls, warmup):
    """Blocks and bytes per call that tracemalloc traces to the call itself
    when every result is kept."""
    with Opened(impl, iface) as o:
        replier.queue(warmup + calls)
        o.run(warmup)
        return kept(_kept, calls, o.call, o.bus, o.sp)[:2]


def torvane_growth(iface, replier, total, chunk, warmup):
    """Memory after `total` torvane calls whose results are dropped, against before."""
    with Opened("torvane", iface) as o:

        def calls(n):
            while n:
                k = min(chunk, n)
                replier.queue(k)
                o.run(k)
                n -= k

        return {"calls": total, **growth(calls, total, warmup, chunk)}


# ---- the machine ---------------------------------------------------------------


def machine(iface):
    import torvane
    rmem = Path("/proc/sys/net/core/rmem_default").read_text().strip()
    tools = (f"CPython {platform.python_version()} ({sys.executable}); torvane {torvane.__version__}; "
             f"python-can {load_python_can().__version__}; floor built with {compiler_version()}; "
             f"{valgrind_version() or 'valgrind missing'}")
    return in_vcan_vm(), machine_lines(iface, tools, f", net.core.rmem_default {rmem} bytes")


# ---- report --------------------------------------------------------------------


def report(ctx):
    r, vm = ctx["queued"], ctx["vm"]
    wire_ns = 2 * FRAME_BITS / BITRATE * 1e9
    wire_max_ns = 2 * (FRAME_BITS + STUFFED_MAX) / BITRATE * 1e9
    speedup = round_ratios(r, "python-can", "torvane")        # python-can time / torvane time
    to_floor = round_ratios(r, "torvane", "floor")            # torvane time / floor time
    cg = ctx.get("callgrind") or {}
    per_ex = {k: v.total / ctx["callgrind_calls"] for k, v in cg.items()}
    objs = {k: sum(v.calls.get(f, 0) for f in ("PyObject_Malloc", "PyObject_Calloc")) / ctx["callgrind_calls"]
            for k, v in cg.items()}
    mem = ctx.get("memory") or {}
    grow = ctx.get("growth")

    L = [f"# Benchmarks: one MIT exchange", ""]
    L += [f"Written by `benchmarks/exchange.py` on {ctx['date']}.", "",
          f"Command: `{ctx['command']}`", ""]
    L += machine_block(ctx["machine"])

    L += ["## Ratios (same run)", ""]
    L.append(f"- torvane exchanges **{speedup[0]:.1f}x** as fast as python-can "
             f"(per-round range {speedup[1]:.1f}x to {speedup[2]:.1f}x).")
    L.append(f"- torvane takes **{to_floor[0]:.2f}x** the time of the C++ floor per exchange "
             f"(range {to_floor[1]:.2f}x to {to_floor[2]:.2f}x; from the medians pooled over all rounds instead "
             f"of round by round: {r['floor'].rate / r['torvane'].rate:.2f}x).")
    if per_ex:
        L.append(f"- python-can executes **{per_ex['python-can'] / per_ex['torvane']:.1f}x** torvane's user-space "
                 f"instructions per exchange ({fmt_int(per_ex['python-can'])} against "
                 f"{fmt_int(per_ex['torvane'])}; the floor: {fmt_int(per_ex['floor'])}).")
    if mem:
        L.append(f"- Python memory kept per call, results held: torvane {mem['torvane'][0]:.2f} blocks "
                 f"({mem['torvane'][1]:.0f} bytes), python-can {mem['python-can'][0]:.2f} blocks "
                 f"({mem['python-can'][1]:.0f} bytes).")
    host = {impl: 1e9 / r[impl].rate for impl in IMPLS}
    L.append(f"- Host time per exchange as a share of the exchange's wire time ({fmt_ns(wire_ns)} at 1 Mbit/s): "
             f"torvane {host['torvane'] / wire_ns:.1%}, python-can {host['python-can'] / wire_ns:.1%}, "
             f"C++ floor {host['floor'] / wire_ns:.1%}.")
    L.append("")
    if vm:
        L += ["Absolute times here come from an emulated guest (no KVM), many times slower than the host it runs "
              "on; the ratios, measured side by side in the same run, are the result.", ""]

    # targets
    rows = []
    rows.append(["torvane exchange rate >= 8x python-can's", f"{speedup[0]:.1f}x", verdict(speedup[0] >= 8),
                 f"{speedup[0] / 8:.2f}x the target"])
    rows.append(["torvane time per exchange <= 1.5x the C++ floor's", f"{to_floor[0]:.2f}x",
                 verdict(to_floor[0] <= 1.5), f"{1.5 / to_floor[0]:.2f}x headroom" if to_floor[0] <= 1.5
                 else f"{to_floor[0] / 1.5:.2f}x over"])
    if per_ex:
        ratio = per_ex["torvane"] / per_ex["python-can"]
        rows.append(["torvane instructions per exchange <= 1/10 of python-can's", f"1/{1 / ratio:.1f}",
                     verdict(ratio <= 0.1), f"{0.1 / ratio:.2f}x the target"])
    if cg:
        rows.append(["one Python object allocated per mit_control call",
                     f"{objs['torvane']:.3f} object-allocator calls per call (callgrind); "
                     f"{mem['torvane'][0]:.2f} blocks kept per call (tracemalloc)" if mem else
                     f"{objs['torvane']:.3f} object-allocator calls per call (callgrind)",
                     verdict(abs(objs["torvane"] - 1) < 0.01 and (not mem or abs(mem["torvane"][0] - 1) < 0.01)),
                     "exact" if abs(objs["torvane"] - 1) < 0.01 else "-"])
    if grow:
        # Growth that comes with the calls would be a block or more per call;
        # a few blocks made once (a cache, a resized table) are not growth.
        bound = grow["calls"] // 1000
        ok = grow["traced"] < bound and grow["blocks"] < bound
        rows.append([f"no memory growth over {grow['calls']:,} calls",
                     f"tracemalloc {grow['traced']:+,} bytes, allocated blocks "
                     f"{grow['blocks']:+,}, resident set {grow['rss']:+,} bytes",
                     verdict(ok), f"below {bound} bytes and blocks (1 per 1,000 calls)" if ok else "-"])
    L += ["## Targets", ""] + table(["target", "measured", "", "margin"], rows) + [""]

    # queued comparison
    L += [f"## Exchanges with queued replies", "",
          f"{ctx['rounds']} rounds; in each, the three implementations take turns (each goes first, second and "
          f"last in turn, torvane and the floor always next to each other). Each turn: {ctx['warmup']:,} untimed "
          f"exchanges, then {ctx['calls']:,} back to back with a clock read after every {BLOCK}, then "
          f"{ctx['calls']:,} more with a clock read after each. Exchanges per second: from the median "
          f"{BLOCK}-call block of all rounds (per-round range beside it), and the plain mean of all back-to-back "
          f"calls, which includes any stretch in which the shared machine was busy elsewhere. Time against "
          f"torvane: the median over the rounds of the ratio within each round, which cancels load that "
          f"changes slowly from round to round. Time per call: "
          f"median and 99th percentile of the {sum(len(x.per_call_ns) for x in r['torvane'].rounds):,} calls "
          f"timed one by one, clock read included.", ""]
    rows = []
    for impl in IMPLS:
        s = r[impl]
        med, p99 = s.per_call()
        rows.append([LABELS[impl], fmt_int(s.rate), fmt_rates(s), fmt_int(s.mean_rate),
                     f"{round_ratios(r, impl, 'torvane')[0]:.2f}", fmt_ns(host[impl]), f"{host[impl] / wire_ns:.1%}",
                     fmt_ns(med), fmt_ns(p99)])
    L += table(["implementation", "exchanges/s", "rounds", "mean", "time vs torvane, by round",
                "host time per exchange", "of wire time", "per call, median", "per call, p99"], rows) + [""]
    L += [f"Wire time of one exchange at 1 Mbit/s: two classic frames of {FRAME_BITS} bits (standard identifier, "
          f"8 data bytes) = {fmt_ns(wire_ns)}; {fmt_ns(wire_max_ns)} with the most stuff bits. The bus, not the "
          f"host, bounds a real exchange at about {BITRATE / (2 * FRAME_BITS):,.0f} per second.", ""]

    if cg:
        L += [f"## Instructions and allocations per exchange (callgrind)", "",
              f"User-space instructions (Ir) of {ctx['callgrind_calls']:,} exchanges after {ctx['warmup']:,} "
              f"untimed ones, divided by the count; start-up, imports and warm-up are outside the measured dump. "
              f"Allocator and C library calls are call counts per exchange.", ""]
        rows = []
        for impl in IMPLS:
            p = cg[impl]
            n = ctx["callgrind_calls"]
            calls = by_short_name(p.calls)
            allocs, sysc = counts(calls, ALLOC_FUNCS, n), counts(calls, SYSCALL_FUNCS, n)
            rows.append([LABELS[impl], fmt_int(p.total / n), f"{p.total / cg['torvane'].total:.2f}",
                         allocs or "none", sysc or "-"])
        L += table(["implementation", "Ir per exchange", "vs torvane", "allocator calls", "C library calls"], rows)
        L += [""]
        for impl in ("torvane", "python-can"):
            p = cg[impl]
            n = ctx["callgrind_calls"]
            L += [f"Heaviest functions of {LABELS[impl]} (self Ir per exchange):", ""]
            L += table(["function", "Ir"], [[f"`{name}`", fmt_int(cost / n)] for name, cost in p.heaviest(12)])
            L += [""]

    if mem:
        L += ["## Python memory (tracemalloc)", "",
              f"Every result of {ctx['mem_calls']:,} calls kept in a list; per call, the blocks and bytes still "
              f"allocated that tracemalloc traces to the calling line (anywhere in the allocation's traceback). "
              f"torvane's one block is its MotorState; python-can's side keeps a tuple of the decoded values and "
              f"their float objects. What a call allocates and frees again shows in the allocator calls above.",
              ""]
        L += table(["implementation", "blocks per call", "bytes per call"],
                   [[LABELS[k], f"{v[0]:.2f}", f"{v[1]:.1f}"] for k, v in mem.items()]) + [""]
        if grow:
            L += [f"torvane over {grow['calls']:,} calls with the results dropped (after a warm-up): traced memory "
                  f"{grow['traced']:+,} bytes, interpreter's allocated blocks {grow['blocks']:+,}, "
                  f"resident set {grow['rss']:+,} bytes.", ""]

    live = ctx.get("live")
    L += ["## Live simulator", ""]
    if isinstance(live, str):
        L += [f"Not measured: {live}", ""]
    elif live:
        note = ("These ran in the emulated VM: every exchange waits for the simulator process to be woken and "
                "scheduled, which there costs far more than either side's own work, so the figures measure the "
                "VM's scheduler, not the implementations." if vm else
                "The simulator answers from another process, so each exchange includes two process wake-ups.")
        L += [f"Against `dmsim` answering each command as it arrives (no queued replies), {ctx['live_calls']:,} "
              f"calls per implementation in each of {ctx['live_rounds']} alternating rounds. {note}", ""]
        rows = []
        for impl in IMPLS:
            s = live[impl]
            med, p99 = s.per_call()
            rows.append([LABELS[impl], fmt_int(s.rate), fmt_ns(med), fmt_ns(p99)])
        L += table(["implementation", "exchanges/s", "per call, median", "per call, p99"], rows) + [""]

    L += ["## Method", ""]
    L += [f"- Queued replies: a socket that receives nothing sends the replies on 0x{MASTER_ID:x} before each "
          f"implementation's round, after that implementation has opened its own socket; each exchange consumes "
          f"one, nothing is flushed, and each socket is closed after its round. A freshly opened socket held "
          f"{ctx['capacity']:,} queued classic frames here before the kernel dropped any, so a round is at most "
          f"that many exchanges (warm-up included).",
          f"- Every exchange sends the dm4310 setpoint q={SETPOINT[0]}, dq={SETPOINT[1]}, kp={SETPOINT[2]}, "
          f"kd={SETPOINT[3]}, tau={SETPOINT[4]} to 0x{MOTOR_ID:x} and decodes the reply {REPLY.hex(' ')}. "
          f"Timeout {TIMEOUT_MS} ms (never reached).",
          f"- torvane: `Damiao.mit_control(bus, setpoint)`, its MotorState returned.",
          f"- python-can: `can.Bus(interface=\"socketcan\", channel=..., fd=False)`, a new `can.Message` per "
          f"command, `bus.recv(time left)` until a frame on 0x{MASTER_ID:x} with a standard identifier, the "
          f"pure-Python codec of `benchmarks/harness/frames.py`, a tuple returned. The codec was checked against "
          f"torvane's bytes and values on the bus for {ctx['codec_checked']} setpoint/reply pairs before the run.",
          "- C++ floor: `benchmarks/exchange_floor.cpp`, `torvane::damiao::Damiao::mit_control` on a "
          "`torvane::can::SocketCanTransport`, built in Release like the module.",
          "- Both Python implementations run in the same two loops (`back_to_back`, `stamped`); the C++ "
          "floor has the same two in C++.",
          "- callgrind: `valgrind --tool=callgrind --dump-before=<marker>`; the worker enters the marker "
          "before and after the measured loop, and the dump between the two is used.", ""]
    return "\n".join(L)


# ---- main ----------------------------------------------------------------------


def main(argv=None):
    ap = parser(__doc__)
    ap.add_argument("--iface", default="vcan0")
    ap.add_argument("--rounds", type=int, default=8, help="rounds of the queued comparison (default 8)")
    ap.add_argument("--calls", type=int, default=5000,
                    help="exchanges per loop and round, a multiple of 100, capped by what the socket buffer "
                         "holds (default 5000)")
    ap.add_argument("--warmup", type=int, default=500, help="untimed exchanges before each loop (default 500)")
    ap.add_argument("--callgrind-calls", type=int, default=2000, help="exchanges counted by callgrind (default 2000)")
    ap.add_argument("--live-calls", type=int, default=2000, help="exchanges per live round (default 2000)")
    ap.add_argument("--live-rounds", type=int, default=4)
    ap.add_argument("--mem-calls", type=int, default=2000, help="calls whose results are kept (default 2000)")
    ap.add_argument("--growth-calls", type=int, default=100_000)
    ap.add_argument("--skip", action="append", default=[], choices=["callgrind", "live", "memory"],
                    help="leave a part out (repeatable)")
    ap.add_argument("--build-floor", action="store_true", help="(re)build the C++ floor, then exit")
    ap.add_argument("--callgrind-worker", choices=["torvane", "python-can"], help=SUPPRESS)
    args = ap.parse_args(argv)

    if args.callgrind_worker:
        callgrind_worker(args.callgrind_worker, args.iface, args.calls, args.warmup)
        return 0

    if args.build_floor:
        build_floor(log)
        return 0
    if not FLOOR_EXE.exists():
        build_floor(log)

    started = time.monotonic()
    vm, lines = machine(args.iface)
    ctx = {"vm": vm, "machine": lines, "command": command_line(args), "rounds": args.rounds,
           "warmup": args.warmup, "date": utc_date()}

    replier = Replier(args.iface)
    ctx["capacity"] = queue_capacity(args.iface, replier, probe=40_000)
    room = int(ctx["capacity"] * 0.97) - args.warmup
    if room < 1000:
        raise SystemExit(f"a socket holds only {ctx['capacity']} queued frames; raise the default receive buffer: "
                         "sysctl -w net.core.rmem_default=8388608 net.core.rmem_max=8388608")
    calls = min(args.calls, room) // BLOCK * BLOCK
    if calls < BLOCK:
        raise SystemExit(f"--calls must be at least {BLOCK}")
    ctx["calls"] = calls
    log(f"queue capacity {ctx['capacity']} frames: {args.rounds} rounds of {calls} exchanges")

    ctx["codec_checked"] = check_codec(args.iface, replier)

    log("queued comparison")
    ctx["queued"] = compare(args.iface, replier, args.rounds, calls, args.warmup, False, log)

    if "memory" not in args.skip:
        log("memory")
        n = min(args.mem_calls, room)
        ctx["mem_calls"] = n
        ctx["memory"] = {impl: retained_per_call(impl, args.iface, replier, n, args.warmup)
                         for impl in ("torvane", "python-can")}
        ctx["growth"] = torvane_growth(args.iface, replier, args.growth_calls, calls, args.warmup)

    if "callgrind" not in args.skip:
        if not valgrind_version():
            raise SystemExit("valgrind is missing (tools/install-system-deps), or pass --skip callgrind")
        n = max(BLOCK, min(args.callgrind_calls, room) // BLOCK * BLOCK)
        ctx["callgrind_calls"] = n
        log("callgrind (slow)")
        outdir = ROOT / "build" / "bench-callgrind"
        ctx["callgrind"] = callgrind_runs(vcan_interfaces(args.iface), n, args.warmup, outdir, log)

    if "live" not in args.skip:
        exe = find_dmsim()
        if exe is None:
            ctx["live"] = f"no dmsim beside {sys.executable}"
        else:
            log("live simulator")
            sim = Simulator(exe, args.iface, ["--motor", f"{MOTOR_ID}:{MASTER_ID:#x}:dm4310"])
            try:
                live_calls = max(BLOCK, args.live_calls // BLOCK * BLOCK)
                ctx["live_calls"], ctx["live_rounds"] = live_calls, args.live_rounds
                ctx["live"] = compare(args.iface, None, args.live_rounds, live_calls,
                                      min(args.warmup, 100), True, log)
            finally:
                sim.stop()
    replier.close()

    publish(report(ctx), args.output, started=started)
    return 0


if __name__ == "__main__":
    sys.exit(main())
