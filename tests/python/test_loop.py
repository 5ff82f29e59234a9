"""torvane_ext's fixed-rate loop and real-time setup, natively (no bus):
arguments, tick numbers, overruns re-phased onto the grid, stats, and
realtime() refused without the capability (changing nothing) or done with it,
each in a child process so this one stays as it was."""

import os
import subprocess
import sys
import textwrap
import time

import pytest

import torvane_ext as tx

PERIOD_NS = 2_000_000


@pytest.mark.parametrize("kwargs,exc,message", [
    ({}, ValueError, "exactly one of rate_hz and period_s"),
    ({"rate_hz": 100, "period_s": 0.01}, ValueError, "exactly one"),
    ({"rate_hz": 0}, ValueError, "rate_hz must be positive and finite, not 0"),
    ({"rate_hz": -5.0}, ValueError, "rate_hz must be positive"),
    ({"period_s": float("nan")}, ValueError, "period_s must be positive and finite, not nan"),
    ({"period_s": float("inf")}, ValueError, "period_s must be positive and finite"),
    ({"rate_hz": 1e12}, ValueError, "outside 1 ns"),
    ({"rate_hz": 100, "spin_us": -1}, ValueError, "spin_us must be in 0"),
    ({"rate_hz": "100"}, TypeError, "argument 'rate_hz'"),
    ({"rate_hz": 100, "spin_us": 1.5}, TypeError, "argument 'spin_us'"),
], ids=lambda v: repr(v) if isinstance(v, dict) else None)
def test_loop_refuses_bad_arguments(kwargs, exc, message):
    with pytest.raises(exc, match=message):
        tx.Loop(**kwargs)


def test_spin_us_is_keyword_only():
    with pytest.raises(TypeError, match=r"Loop\(\) takes from 0 to 2 positional arguments but 3 were given"):
        tx.Loop(None, 0.01, 100)
    assert tx.Loop.__text_signature__ == "(rate_hz=None, period_s=None, *, spin_us=0)"


@pytest.mark.parametrize("kwargs,period", [({"rate_hz": 500}, 0.002), ({"period_s": 0.004}, 0.004), ((250.0,), 0.004)])
def test_period_and_repr(kwargs, period):
    loop = tx.Loop(*kwargs) if isinstance(kwargs, tuple) else tx.Loop(**kwargs)
    assert loop.period_s == pytest.approx(period)
    assert repr(loop) == f"Loop(period_s={period:g}, spin_us=0, ticks=0)"


@pytest.mark.parametrize("spin_us", [0, 300])
def test_iteration_yields_consecutive_ticks_on_the_grid(spin_us):
    loop = tx.Loop(period_s=PERIOD_NS / 1e9, spin_us=spin_us)
    stamps = []
    before = tx.monotonic_ns()  # the clock starts after this
    for tick in loop:
        stamps.append((tick, tx.monotonic_ns()))
        if tick >= 49:
            break
    ticks = [t for t, _ in stamps]
    s = loop.stats()
    # One by one; a machine busy elsewhere may cause overruns, each skipping the periods it missed.
    assert ticks[0] == 0 and ticks == sorted(set(ticks)) and ticks[-1] in range(49, 49 + 10)
    assert (ticks == list(range(50))) == (s.overruns == 0)
    # Each wake-up comes after its own deadline, and they do not drift.
    for tick, at in stamps[1:]:
        assert at >= before + tick * PERIOD_NS
    span = stamps[-1][1] - stamps[0][1]
    assert ticks[-1] * PERIOD_NS <= span < ticks[-1] * PERIOD_NS + 10 * PERIOD_NS
    assert (s.ticks, loop.ticks) == (len(ticks), len(ticks))
    assert 0 <= s.p50_us <= s.p99_us <= s.max_us
    assert 0 <= s.busy < 1


def test_wait_is_one_iteration():
    loop = tx.Loop(rate_hz=1000)
    assert loop.deadline_ns == 0  # not started
    ticks = [loop.wait() for _ in range(5)]
    ticks.append(next(loop))
    assert iter(loop) is loop
    # 0 to 5, but for the numbers an overrun on a busy machine skipped.
    assert ticks[0] == 0 and ticks == sorted(set(ticks))
    assert (ticks == [0, 1, 2, 3, 4, 5]) == (loop.stats().overruns == 0)


def test_overrun_is_counted_and_rephased_onto_the_grid():
    loop = tx.Loop(period_s=PERIOD_NS / 1e9)
    wakes, deadlines = {}, {}
    slow = None
    start = tx.monotonic_ns()  # the clock starts after this
    for tick in loop:
        wakes[tick] = tx.monotonic_ns()
        deadlines[tick] = loop.deadline_ns
        if slow is None and tick >= 5:  # 5, unless a loaded machine skipped it
            slow = tick
            time.sleep(3.5 * PERIOD_NS / 1e9)
        if tick >= 15:
            break
    # One overrun made here; a loaded machine may add others, each skipping numbers too.
    assert loop.stats().overruns >= 1
    # The slow tick ran from its deadline to past 3.5 periods on: the next three never come.
    assert min(t for t in wakes if t > slow) >= slow + 4
    assert len(wakes) == loop.ticks and not {slow + 1, slow + 3} & set(wakes)
    # Numbers are skipped only where an overrun was counted.
    assert (sorted(wakes) == [*range(slow + 1)] + sorted(t for t in wakes if t > slow)) or loop.stats().overruns > 1
    grid = {t: (at - start) / PERIOD_NS for t, at in wakes.items()}
    # Late ticks run one after another at once would come before their deadlines here.
    assert all(grid[t] >= t for t in grid), grid
    # A tick's number is its period: its deadline is start + n x period.
    steps = {t: (d - deadlines[0]) / PERIOD_NS for t, d in deadlines.items()}
    assert steps == {t: t for t in wakes}
    assert start <= deadlines[0] <= wakes[0]
    assert all(wakes[t] >= deadlines[t] for t in wakes)


def test_busy_share():
    loop = tx.Loop(period_s=0.004)
    for tick in loop:
        end = time.perf_counter() + 0.002
        while time.perf_counter() < end:
            pass
        if tick >= 20:
            break
    # 2 ms of 4: a little more when another process takes the CPU mid-body.
    assert 0.45 < loop.stats().busy < 0.9


def test_stats_fields_and_repr():
    loop = tx.Loop(rate_hz=2000)
    for tick in loop:
        if tick >= 10:
            break
    s = loop.stats()
    assert type(s).__name__ == "LoopStats"
    fields = ("ticks", "overruns", "p50_us", "p99_us", "max_us", "busy")
    assert repr(s) == (f"LoopStats(ticks={s.ticks}, overruns={s.overruns}, p50_us={s.p50_us:.3f}, "
                       f"p99_us={s.p99_us:.3f}, max_us={s.max_us:.3f}, busy={s.busy:.4f})")
    assert all(hasattr(s, f) for f in fields)
    with pytest.raises(AttributeError):
        s.ticks = 0
    with pytest.raises(TypeError, match="No constructor defined for LoopStats"):
        tx.LoopStats()


def test_starting_sets_the_timer_slack():
    code = textwrap.dedent("""
        import ctypes, torvane_ext as tx
        slack = lambda: int(open('/proc/self/timerslack_ns').read())
        ctypes.CDLL(None).prctl(29, 50000, 0, 0, 0)  # PR_SET_TIMERSLACK: the default, which a parent may have changed
        before = slack()
        loop = tx.Loop(rate_hz=1000)
        next(loop)
        print(before, slack())
    """)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["50000", "1"]


def test_ctrl_c_interrupts_a_long_wait_promptly():
    code = textwrap.dedent("""
        import os, signal, threading, time, torvane_ext as tx
        loop = tx.Loop(period_s=30)
        next(loop)
        threading.Timer(0.2, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        t = time.monotonic()
        try:
            loop.wait()
        except KeyboardInterrupt:
            print("interrupted after", round(time.monotonic() - t, 1))
    """)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["interrupted", "after", "0.2"]


def test_a_signal_handler_that_returns_lets_the_wait_go_on_to_its_deadline():
    code = textwrap.dedent("""
        import os, signal, threading, time, torvane_ext as tx
        seen = []
        signal.signal(signal.SIGUSR1, lambda *a: seen.append(1))
        loop = tx.Loop(period_s=0.5)
        next(loop)
        t0 = tx.monotonic_ns()
        threading.Timer(0.1, lambda: os.kill(os.getpid(), signal.SIGUSR1)).start()
        print(loop.wait(), len(seen), round((tx.monotonic_ns() - t0) / 1e9, 1))
    """)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["1", "1", "0.5"]


def test_monotonic_ns_is_the_monotonic_clock():
    a = time.monotonic_ns()
    b = tx.monotonic_ns()
    c = time.monotonic_ns()
    assert isinstance(b, int) and a <= b <= c


@pytest.mark.parametrize("kwargs,exc,message", [
    ({"priority": 0}, ValueError, "priority must be in 1..99, not 0"),
    ({"priority": 100}, ValueError, "priority must be in 1..99"),
    ({"priority": "high"}, TypeError, "argument 'priority'"),
    ({"cpus": []}, ValueError, "cpus is empty"),
    ({"cpus": [100000]}, ValueError, "no CPU 100000"),
    ({"cpus": 3}, TypeError, "argument 'cpus'"),
    ({"lock_memory": 1}, TypeError, "argument 'lock_memory'"),
])
def test_realtime_refuses_bad_arguments(kwargs, exc, message):
    before = os.sched_getscheduler(0), os.sched_getaffinity(0)
    with pytest.raises(exc, match=message):
        tx.realtime(**kwargs)
    assert (os.sched_getscheduler(0), os.sched_getaffinity(0)) == before


CHILD = textwrap.dedent("""
    import os, resource, sys, torvane_ext as tx
    before = (os.sched_getscheduler(0), os.sched_getparam(0).sched_priority, sorted(os.sched_getaffinity(0)))
    try:
        tx.realtime(priority=50, cpus=[0], lock_memory=True)
    except PermissionError as e:
        print("PermissionError:", e)
    after = (os.sched_getscheduler(0), os.sched_getparam(0).sched_priority, sorted(os.sched_getaffinity(0)))
    locked = [l for l in open('/proc/self/status') if l.startswith('VmLck')][0].split()[1]
    print(before == after, after[0] == os.SCHED_FIFO, after[1], after[2], locked != '0')
""")


def run_child(command, rtprio=None):
    def limit():
        if rtprio is not None:
            import resource
            resource.setrlimit(resource.RLIMIT_RTPRIO, (rtprio, rtprio))
    return subprocess.run(command, capture_output=True, text=True, timeout=60, preexec_fn=limit)


needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="needs root to give and drop CAP_SYS_NICE")


# Each runs the child without CAP_SYS_NICE; RLIMIT_RTPRIO is 0 in both.
DROPS = {
    "setpriv": ["setpriv", "--inh-caps=-sys_nice", "--bounding-set=-sys_nice", sys.executable, "-c", CHILD],
    "capsh": ["capsh", "--drop=cap_sys_nice", "--", "-c", f'exec "{sys.executable}" -c "$0"', CHILD],
}


@needs_root
@pytest.mark.parametrize("how", DROPS)
def test_realtime_without_the_capability_raises_and_changes_nothing(how):
    r = run_child(DROPS[how], rtprio=0)
    assert r.returncode == 0, r.stderr
    error, state = r.stdout.splitlines()
    assert error == "PermissionError: SCHED_FIFO priority 50 needs CAP_SYS_NICE or RLIMIT_RTPRIO >= 50 (it is 0)"
    unchanged, fifo, _, *_, locked = state.split()
    assert (unchanged, fifo, locked) == ("True", "False", "False")


@needs_root
def test_realtime_where_permitted():
    r = run_child([sys.executable, "-c", CHILD])
    assert r.returncode == 0, r.stderr
    # AddressSanitizer turns mlockall into a no-op, so a sanitizing run sees no locked memory.
    locks = "libasan" not in os.environ.get("LD_PRELOAD", "")
    assert r.stdout.split() == ["False", "True", "50", "[0]", str(locks)]
