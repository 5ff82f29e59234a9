"""Python memory around a benchmark's calls: what their kept results hold,
and whether memory grows while the results are dropped."""

import gc
import os
import sys
import tracemalloc


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def kept(fill, n, *args):
    """fill(keep, *args) stores one result in each of keep's n slots on its
    last line. Blocks and bytes per result that tracemalloc traces to that
    line (in any frame of the allocation's traceback), and the results."""
    keep = [None] * n
    code = fill.__code__
    line = max(ln for _, _, ln in code.co_lines() if ln is not None)
    gc.collect()
    tracemalloc.start(64)
    fill(keep, *args)
    snap = tracemalloc.take_snapshot()
    tracemalloc.stop()
    mine = snap.filter_traces([tracemalloc.Filter(True, code.co_filename, lineno=line, all_frames=True)])
    stats = mine.statistics("filename")
    del snap, mine
    return sum(st.count for st in stats) / n, sum(st.size for st in stats) / n, keep


def growth(run, total, warmup, traced_warmup):
    """Memory after run(total) against before, each after run(warmup): the
    interpreter's allocated blocks and resident set; then, in a second pass
    after run(traced_warmup), as tracemalloc's own tables cost memory,
    traced memory."""
    run(warmup)
    gc.collect()
    rss0, blocks0 = rss_bytes(), sys.getallocatedblocks()
    run(total)
    gc.collect()
    rss1, blocks1 = rss_bytes(), sys.getallocatedblocks()
    tracemalloc.start()
    run(traced_warmup)
    gc.collect()
    t0 = tracemalloc.get_traced_memory()[0]
    run(total)
    gc.collect()
    t1 = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    return {"rss": rss1 - rss0, "rss_before": rss0, "blocks": blocks1 - blocks0, "blocks_before": blocks0,
            "traced": t1 - t0}
