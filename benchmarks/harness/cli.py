"""The command line that the benchmarks share: their options for the report,
the command and date they record, and progress on stderr."""

import argparse
import os
import shlex
import sys
from datetime import datetime, timezone
from pathlib import Path

from . import ROOT
from .machine import in_vcan_vm


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def parser(doc, command=True):
    """A parser described by the first paragraph of `doc`, with --output and,
    unless command is False, --command."""
    ap = argparse.ArgumentParser(description=doc.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--output", default=str(ROOT / "BENCHMARKS.md"), help="report file ('-' for none)")
    if command:
        ap.add_argument("--command", default=os.environ.get("TORVANE_BENCH_COMMAND"),
                        help="the command line to record (default: this one)")
    return ap


def command_line(args):
    return args.command or shlex.join([Path(sys.executable).name, *sys.argv])


def utc_date():
    return datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")


def tick_options(ap, ticks, warmup, live_rounds, live_ticks):
    """The options of a benchmark of ticks: on which bus, how many queued
    rounds and ticks, how many under callgrind, how many live and how slow
    the simulated motors answer."""
    ap.add_argument("--iface", default="vcan0")
    ap.add_argument("--rounds", type=int, default=6, help="rounds with replies queued (default 6)")
    ap.add_argument("--ticks", type=int, default=ticks,
                    help=f"ticks per way and round, a multiple of 10 (default {ticks})")
    ap.add_argument("--warmup", type=int, default=warmup)
    ap.add_argument("--callgrind-ticks", type=int, default=1000)
    ap.add_argument("--live-rounds", type=int, default=live_rounds)
    ap.add_argument("--live-ticks", type=int, default=live_ticks)
    ap.add_argument("--latency-us", type=int, default=200, help="dmsim's processing latency (default 200)")


def tick_context(args, machine):
    """What a report of ticks says of its run, from the options of tick_options."""
    return {"vm": in_vcan_vm(), "machine": machine, "rounds": args.rounds, "ticks": args.ticks,
            "warmup": args.warmup, "callgrind_ticks": args.callgrind_ticks, "live_rounds": args.live_rounds,
            "live_ticks": args.live_ticks, "latency_us": args.latency_us, "command": command_line(args),
            "date": utc_date()}
