"""Instruction counts under callgrind: starting a run that dumps its counters
at two marks, and reading the dump between them."""

import os
import re
import subprocess
import sys
import time
from dataclasses import dataclass
from itertools import repeat

# Python's own time.sleep is the marker: callgrind dumps its counters each time
# the worker enters it, so the second dump holds the measured loop and nothing
# of start-up, imports or warm-up. The C++ programs mark with phase_mark().
PY_MARK = "time_sleep"
FLOOR_MARK = "phase_mark"

ALLOC_FUNCS = ("PyObject_Malloc", "PyObject_Calloc", "PyObject_Realloc", "PyMem_Malloc", "PyMem_Calloc",
               "PyMem_Realloc", "PyMem_RawMalloc", "malloc", "calloc", "realloc", "operator new")
SYSCALL_FUNCS = ("send", "sendto", "sendmsg", "recv", "recvfrom", "recvmsg", "setsockopt", "select", "poll",
                 "clock_gettime")


@dataclass
class Profile:
    total: int
    self_cost: dict
    inclusive: dict
    calls: dict

    def heaviest(self, n):
        """The n functions of the highest self cost, by short name."""
        return sorted(by_short_name(self.self_cost).items(), key=lambda kv: -kv[1])[:n]


def short_name(name):
    """A function's name without its parameter list, symbol version or
    callgrind's recursion depth: `request`, not `...::request(CanFrame const&, ...)`."""
    name = re.sub(r"'\d+$", "", name)
    name = re.sub(r"@@?[A-Z_]+[\d.]*$", "", name)
    name = name.replace("(anonymous namespace)::", "")
    if name.endswith(" const"):
        name = name[:-6]
    if name.endswith(")"):
        depth = 0
        for i in range(len(name) - 1, -1, -1):
            depth += {")": 1, "(": -1}.get(name[i], 0)
            if depth == 0:
                name = name[:i] if i > 0 else name
                break
    return name


def by_short_name(costs):
    merged = {}
    for name, cost in costs.items():
        key = short_name(name)
        merged[key] = merged.get(key, 0) + cost
    return merged


def parse_callgrind(path):
    """Totals, per-function self and inclusive costs, and call counts of one
    callgrind dump (single event, Ir)."""
    names = {}
    self_cost, inclusive, calls = {}, {}, {}
    fn = cfn = None
    pending_calls = None
    total = None

    def name_of(spec):
        m = re.match(r"\((\d+)\)(?: (.*))?$", spec)
        if not m:
            return spec
        if m.group(2) is not None:
            names[m.group(1)] = m.group(2)
        return names.get(m.group(1), spec)

    with open(path) as f:
        for line in f:
            if not line or line[0] == "#":
                continue
            c = line[0]
            if c.isdigit() or c in "+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if pending_calls is not None:
                    inclusive[cfn] = inclusive.get(cfn, 0) + cost
                    calls[cfn] = calls.get(cfn, 0) + pending_calls
                    pending_calls = None
                else:
                    self_cost[fn] = self_cost.get(fn, 0) + cost
                continue
            key, _, value = line.rstrip("\n").partition("=")
            if key == "fn":
                fn = name_of(value)
            elif key == "cfn":
                cfn = name_of(value)
            elif key == "calls":
                pending_calls = int(value.split()[0])
            elif line.startswith(("summary:", "totals:")):
                total = int(line.split()[1])
    if total is None:
        total = sum(self_cost.values())
    return Profile(total, self_cost, inclusive, calls)


def start_callgrind(key, target, outdir, mark):
    """callgrind over the command `target`, dumping at each entry to `mark`
    into outdir/callgrind.KEY.N. The hash seed is fixed so that a Python
    target's runs compare."""
    outdir.mkdir(parents=True, exist_ok=True)
    for old in outdir.glob(f"callgrind.{key}*"):
        old.unlink()
    argv = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={outdir / f'callgrind.{key}'}",
            f"--dump-before={mark}", *target]
    return subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                            env=dict(os.environ, PYTHONHASHSEED="0"))


def start_python(key, script, args, outdir):
    """A Python worker (`script` with `args`, in this interpreter) under callgrind."""
    return start_callgrind(key, [sys.executable, str(script), *args], outdir, PY_MARK)


def finish_callgrind(key, proc, outdir):
    _, err = proc.communicate()
    if proc.returncode != 0:
        raise RuntimeError(f"callgrind run of {key} failed:\n{err[-2000:]}")
    # Dumps .1 (start-up to the first mark) and .2 (the loop); the rest of
    # the run goes to the file without a number at exit.
    dumps = sorted(p.name for p in outdir.glob(f"callgrind.{key}.*"))
    if dumps != [f"callgrind.{key}.1", f"callgrind.{key}.2"]:
        raise RuntimeError(f"callgrind run of {key}: expected two marks, found the dumps {dumps}")
    return parse_callgrind(outdir / f"callgrind.{key}.2")


def between_marks(tick, warmup, n):
    """A Python worker's loop: n calls of tick() between two marks, after
    warmup calls before them. repeat(), not range(): the loop's own ints
    above 256 would be allocations."""
    for _ in repeat(None, warmup):
        tick()
    time.sleep(0)
    for _ in repeat(None, n):
        tick()
    time.sleep(0)
