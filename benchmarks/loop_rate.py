"""Fixed-rate loops at 1 kHz, natively: torvane_ext.Loop (spin_us 0 and 200)
against a time.sleep(deadline - now) loop and a busy-wait loop, with an empty
body and a 300 us busy body, and cyclictest in the same run. For each: the
wake-up error (wake time minus deadline, seen from Python right after the
wake-up) at p50/p99/max, and the process CPU time. Writes its section of
BENCHMARKS.md.

    benchmarks/loop_rate.py [--periods N] [--output FILE|-]
"""

import os
import re
import subprocess
import sys
import time
from pathlib import Path

import torvane_ext as tx

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness.cli import parser  # noqa: E402
from harness.markdown import markers, publish, verdict  # noqa: E402

SECTION = "loop_rate"
BEGIN, END = markers(SECTION)
PERIOD_NS = 1_000_000
now = time.monotonic_ns


def body_for(busy_us):
    if not busy_us:
        return lambda: None
    def body():
        end = time.perf_counter_ns() + busy_us * 1000
        while time.perf_counter_ns() < end:
            pass
    return body


def run_loop(periods, body, spin_us):
    loop = tx.Loop(period_s=PERIOD_NS / 1e9, spin_us=spin_us)
    errors = []
    for tick in loop:
        t = now()
        if tick:  # the loop's own deadline: after an overrun it is not start + tick x period
            errors.append(t - loop.deadline_ns)
        body()
        if tick >= periods:
            break
    return errors, loop.stats()


def run_sleep(periods, body):
    errors = []
    start = now()
    k = 0
    for _ in range(periods):
        body()
        k += 1
        t = now()
        if t > start + k * PERIOD_NS:  # overrun: on to the next deadline ahead
            k = (t - start) // PERIOD_NS + 1
        time.sleep(max(0, start + k * PERIOD_NS - now()) / 1e9)
        errors.append(now() - start - k * PERIOD_NS)
    return errors, None


def run_busy(periods, body):
    errors = []
    start = now()
    k = 0
    for _ in range(periods):
        body()
        k += 1
        t = now()
        if t > start + k * PERIOD_NS:
            k = (t - start) // PERIOD_NS + 1
        deadline = start + k * PERIOD_NS
        while (t := now()) < deadline:
            pass
        errors.append(t - deadline)
    return errors, None


def percentiles(errors_ns):
    e = sorted(errors_ns)
    pick = lambda q: e[min(len(e) - 1, int(q * len(e)))] / 1000
    return pick(0.50), pick(0.99), e[-1] / 1000


def run_cyclictest(periods):
    r = subprocess.run(["cyclictest", "-i", str(PERIOD_NS // 1000), "-l", str(periods), "-q", "-h", "2000"],
                       capture_output=True, text=True, timeout=periods / 1000 * 3 + 60)
    if r.returncode != 0:
        raise RuntimeError(f"cyclictest failed: {r.stderr.strip()}")
    hist = [(int(m[1]), int(m[2])) for m in re.finditer(r"^(\d{6}) (\d+)", r.stdout, re.M)]
    total = sum(c for _, c in hist)
    mx = int(re.search(r"^# Max Latencies: (\d+)", r.stdout, re.M)[1])

    def pick(q):
        seen = 0
        for us, c in hist:
            seen += c
            if seen > q * total:
                return float(us)
        return float(mx)
    return pick(0.50), pick(0.99), float(mx)


def main(argv=None):
    ap = parser(__doc__, command=False)
    ap.add_argument("--periods", type=int, default=20000)
    args = ap.parse_args(argv)
    n = args.periods
    load_before = os.getloadavg()
    rows = []
    for busy_us in (0, 300):
        body = body_for(busy_us)
        ways = [
            ("tx.Loop, spin_us=0", lambda: run_loop(n, body, 0)),
            ("tx.Loop, spin_us=200", lambda: run_loop(n, body, 200)),
            ("time.sleep(deadline - now)", lambda: run_sleep(n, body)),
            ("busy-wait", lambda: run_busy(n, body)),
        ]
        for name, way in ways:
            cpu = time.process_time()
            errors, stats = way()
            cpu = time.process_time() - cpu
            p50, p99, mx = percentiles(errors)
            own = f"{stats.p99_us:.1f}" if stats else ""
            overruns = stats.overruns if stats else ""
            rows.append((busy_us, name, p50, p99, mx, cpu, own, overruns))
            print(f"body {busy_us:3d} us  {name:28s} p50 {p50:8.1f}  p99 {p99:8.1f}  max {mx:9.1f} us  "
                  f"cpu {cpu:6.2f} s  {own} {overruns}", flush=True)
    cyc = run_cyclictest(n)
    print(f"cyclictest p50 {cyc[0]:.0f} p99 {cyc[1]:.0f} max {cyc[2]:.0f} us", flush=True)
    # The machine is shared: what else ran decides the tails as much as the loops do.
    load = ", ".join(f"{a:.2f}" for a in load_before) + " before the run, " + \
        ", ".join(f"{a:.2f}" for a in os.getloadavg()) + f" after it ({os.cpu_count()} CPUs)"

    def get(busy, name):
        return next(r for r in rows if r[0] == busy and r[1] == name)
    targets = []
    for busy in (0, 300):
        loop0, loop200 = get(busy, "tx.Loop, spin_us=0"), get(busy, "tx.Loop, spin_us=200")
        sleep, busyw = get(busy, "time.sleep(deadline - now)"), get(busy, "busy-wait")
        targets += [
            (busy, "Loop p99 <= 1/2 of the time.sleep loop's", f"{loop0[3]:.1f} vs {sleep[3]:.1f} us",
             verdict(loop0[3] <= sleep[3] / 2, bold=False)),
            (busy, "Loop CPU <= 1/5 of the busy-wait's", f"{loop0[5]:.2f} vs {busyw[5]:.2f} s",
             verdict(loop0[5] <= busyw[5] / 5, bold=False)),
            (busy, "spin_us=200 p99 <= 1.5x the busy-wait's", f"{loop200[3]:.1f} vs {busyw[3]:.1f} us",
             verdict(loop200[3] <= 1.5 * busyw[3], bold=False)),
            (busy, "Loop p99 within 1.5x of cyclictest's", f"{loop0[3]:.1f} vs {cyc[1]:.0f} us",
             verdict(loop0[3] <= 1.5 * cyc[1], bold=False)),
        ]
    host = os.environ.get("TORVANE_BENCH_HOST", "")
    L = [BEGIN, "", "# Benchmarks: a fixed-rate loop at 1 kHz", "",
         f"`{os.environ.get('TORVANE_BENCH_COMMAND', 'benchmarks/loop_rate.py')}`, {n} periods per way, natively"
         + (f" on {host}" if host else "") + ", default scheduling (no realtime()). Wake-up error: the time",
         "Python sees right after the wake-up minus the deadline (for tx.Loop its `deadline_ns`, the grid",
         "point it woke for, also after an overrun); tx.Loop's own p99 (from stats(), taken before the",
         "interpreter lock is retaken) beside it. CPU: process CPU time of the whole run.",
         f"Load average (1, 5, 15 min, as uptime shows it): {load}.", "",
         "| body | way | p50 µs | p99 µs | max µs | CPU s | Loop's own p99 µs | overruns |",
         "|---|---|---:|---:|---:|---:|---:|---:|"]
    for busy, name, p50, p99, mx, cpu, own, ov in rows:
        L.append(f"| {busy} µs | {name} | {p50:.1f} | {p99:.1f} | {mx:.1f} | {cpu:.2f} | {own} | {ov} |")
    L.append(f"| — | cyclictest -i 1000 -l {n} -q -h 2000 | {cyc[0]:.0f} | {cyc[1]:.0f} | {cyc[2]:.0f} | | | |")
    L += ["", "| body | target | measured | |", "|---|---|---|---|"]
    L += [f"| {b} µs | {t} | {m} | {v} |" for b, t, m, v in targets]
    L += ["", END]
    publish("\n".join(L), args.output, SECTION)
    return 0


if __name__ == "__main__":
    sys.exit(main())
