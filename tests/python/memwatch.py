"""Memory and reference-count bookkeeping for the leak tests.

A leak test runs one call many times and compares the process before and
after: resident memory (/proc/self/statm), the bytes malloc has handed out
and not had back (glibc's mallinfo2: the C++ side's allocations, exactly,
however few calls), the interpreter's count of allocated blocks (any Python
object kept alive, even one per thousand calls), and the reference counts of
the objects the call touches (a reference taken and never dropped, which
none of the others sees on a long-lived object).
"""

import ctypes
import gc
import os
import sys
import time
from dataclasses import dataclass, field

PAGE = os.sysconf("SC_PAGESIZE")

# Fixed bounds, so that more calls make a check more sensitive, not looser.
# 1 MiB over 100,000 calls is 10 bytes a call: less than the smallest block
# malloc hands out, so a native allocation lost per call always shows.
RSS_BOUND = 1 << 20
HEAP_BOUND = 64 << 10
BLOCKS_BOUND = 100


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _mallinfo2():
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except AttributeError:  # not glibc 2.33 or newer: the other measures still count
        return None
    fn.restype = _MallInfo2
    fn.argtypes = []
    return fn


_MALLINFO2 = _mallinfo2()


def _under_asan():
    try:
        ctypes.CDLL(None).__asan_init  # noqa: B018 - present only with AddressSanitizer loaded
    except AttributeError:
        return False
    return True


# AddressSanitizer (tools/run-sanitized) keeps freed blocks in quarantine, so
# resident memory grows with calls, leak or not, and it answers mallinfo2 for
# its own allocator with zeros. There the reference counts and block counts
# stand, and LeakSanitizer checks native memory at exit.
UNDER_ASAN = _under_asan()

# With transparent huge pages the kernel may fold a half-used 2 MiB stretch
# of the heap into one huge page at any moment, and resident memory jumps by
# up to 2 MiB with nothing allocated. Off for this process, so that the
# resident figure moves only when memory is used.
PR_SET_THP_DISABLE = 41
ctypes.CDLL(None, use_errno=True).prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0)


def heap():
    """Bytes malloc has handed out and not had back (all arenas, and the
    blocks it mapped directly); None where glibc cannot tell."""
    if _MALLINFO2 is None or UNDER_ASAN:
        return None
    info = _MALLINFO2()
    return info.uordblks + info.hblkhd


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def calls_from_env(name, default):
    text = os.environ.get(name)
    if text is None:
        return default
    value = int(text)
    if value < 1:
        raise ValueError(f"{name} must be a positive number of calls, got {text!r}")
    return value


@dataclass
class Usage:
    calls: int
    seconds: float
    rss_before: int
    rss_after: int
    heap_before: int
    heap_after: int
    blocks_before: int
    blocks_after: int
    refcounts: dict = field(default_factory=dict)  # label: (before, after)
    heap_bound: int = HEAP_BOUND

    @property
    def rss_growth(self):
        return self.rss_after - self.rss_before

    @property
    def heap_growth(self):
        return None if self.heap_before is None else self.heap_after - self.heap_before

    @property
    def block_growth(self):
        return self.blocks_after - self.blocks_before

    def problems(self):
        out = []
        if self.rss_growth > RSS_BOUND and not UNDER_ASAN:
            out.append(f"resident memory grew by {self.rss_growth} bytes (bound {RSS_BOUND})")
        if self.heap_growth is not None and self.heap_growth > self.heap_bound:
            out.append(f"malloc's bytes in use grew by {self.heap_growth} (bound {self.heap_bound})")
        if self.block_growth > BLOCKS_BOUND:
            out.append(f"allocated blocks grew by {self.block_growth} (bound {BLOCKS_BOUND})")
        for label, (before, after) in self.refcounts.items():
            if before != after:
                out.append(f"reference count of {label} went from {before} to {after}")
        return out

    def summary(self):
        return (f"{self.calls} calls in {self.seconds:.2f} s, RSS {self.rss_before / 2**20:.2f} -> "
                f"{self.rss_after / 2**20:.2f} MiB ({self.rss_growth:+d} B), malloc in use "
                f"{'?' if self.heap_growth is None else f'{self.heap_growth:+d} B'}, "
                f"blocks {self.blocks_before} -> {self.blocks_after} ({self.block_growth:+d})")


def _repeat(fn, n, expected):
    if expected is None:
        for _ in range(n):
            fn()
    else:
        for _ in range(n):
            try:
                fn()
            except expected:
                pass


def _settle():
    gc.collect()
    gc.collect()
    return rss(), heap(), sys.getallocatedblocks()


def measure(fn, calls, *, raises=None, watch=(), warmup=None, heap_bound=HEAP_BOUND):
    """Call fn() `calls` times after a warm-up; `raises` is the exception type
    every call must end with (None: none), `watch` the objects whose
    reference counts must come back unchanged, as (label, object) pairs.
    A check of few calls passes a tighter heap_bound."""
    _repeat(fn, warmup if warmup is not None else min(calls, 5_000), raises)
    # Collect first: a caught exception keeps its frames, and through them
    # whatever their locals held, alive until the collector breaks the cycle.
    rss0, heap0, blocks0 = _settle()
    before_refs = {label: sys.getrefcount(obj) for label, obj in watch}
    start = time.perf_counter()
    _repeat(fn, calls, raises)
    seconds = time.perf_counter() - start
    rss1, heap1, blocks1 = _settle()
    refs = {label: (before_refs[label], sys.getrefcount(obj)) for label, obj in watch}
    return Usage(calls, seconds, rss0, rss1, heap0, heap1, blocks0, blocks1, refs, heap_bound)


# An immortal object (None, small ints, from 3.12 on) reports a fixed, huge
# count that says nothing about a leak.
IMMORTAL_FLOOR = 1 << 29
