"""BENCHMARKS.md: formatting values and tables, and writing a benchmark's
part of the file. benchmarks/exchange.py's report is the head of the file;
every other benchmark keeps a section of its own between
`<!-- NAME: begin -->` and `<!-- NAME: end -->`."""

import re
import time
from pathlib import Path

from .cli import log

_SECTION = re.compile(r"<!-- (\S+): begin -->.*?<!-- \1: end -->", re.S)


def fmt_ns(ns):
    return f"{ns / 1000:.1f} µs" if ns >= 1000 else f"{ns:.0f} ns"


def fmt_int(n):
    return f"{n:,.0f}"


def fmt_rates(summary):
    """The range of a Summary's per-round rates."""
    lo, hi = summary.rate_range
    return f"{fmt_int(lo)} to {fmt_int(hi)}"


def counts(calls, names, n, digits=2):
    """Calls of each of `names` that were made, per one of n, as `name` count."""
    return ", ".join(f"`{f}` {calls[f] / n:.{digits}f}" for f in names if calls.get(f))


def table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return out


def verdict(ok, bold=True):
    return "met" if ok else "**missed**" if bold else "missed"


def machine_block(lines):
    return ["Machine:", ""] + [f"- {x}" for x in lines] + [""]


def header(script, ctx):
    """Which benchmark wrote the section, when, with what command, and where."""
    return [f"Written by `benchmarks/{script}` on {ctx['date']}. Command: `{ctx['command']}`", "",
            *machine_block(ctx["machine"])]


def markers(name):
    return f"<!-- {name}: begin -->", f"<!-- {name}: end -->"


def kept_sections(old_text):
    """The sections of an old report, to go after a new head."""
    return "".join("\n" + m.group(0) + "\n" for m in _SECTION.finditer(old_text))


def write_section(path, text, name):
    """Puts `text` (between the markers of `name`) in place of the file's
    section of that name, or after the rest."""
    begin, end = markers(name)
    old = path.read_text() if path.exists() else ""
    if begin in old and end in old:
        new = old[:old.index(begin)] + text + old[old.index(end) + len(end):]
    else:
        new = old.rstrip("\n") + ("\n\n" if old else "") + text + "\n"
    path.write_text(new)


def publish(text, output, section=None, started=None):
    """Prints a report and, unless output is '-', writes it into that file:
    as the section `section`, or with none as the head of the file, the
    sections already there kept after it."""
    print(text)
    if output == "-":
        return
    path = Path(output)
    if section is None:
        path.write_text(text + kept_sections(path.read_text() if path.exists() else ""))
    else:
        write_section(path, text, section)
    log(f"written to {output}" + (f" ({time.monotonic() - started:.0f} s)" if started is not None else ""))
