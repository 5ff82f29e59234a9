"""dmtool scan: find the motors on the bus without knowing their ids.

Each candidate command id is asked for register 7 (MST_ID); the answer, on
whatever identifier it comes, names both ids. One id per call, so a terminal
can watch the progress.
"""

from __future__ import annotations

import json
import sys
from typing import Any

from dmtool import args as types
from dmtool.cli import subparser
from dmtool.errors import UsageError
from dmtool.session import Session
from dmtool.text import limits_json, limits_text, mode_name, mode_text

DEFAULT_IDS = "1-32"


def add_parser(sub: Any) -> None:
    p = subparser(sub, "scan", "list the motors that answer, with their ids, mode, limits and versions",
                  master_id=False)
    p.add_argument("--ids", type=types.id_ranges, default=types.id_ranges(DEFAULT_IDS), metavar="RANGES",
                   help=f"command ids to try, e.g. 1-32 or 1,4,0x10-0x1f (default {DEFAULT_IDS})")
    p.add_argument("--json", action="store_true", help="print a JSON list instead of lines")
    p.set_defaults(run=run)


def info_line(info: Any) -> str:
    return (f"motor {info.motor_id}  master {info.master_id:#x}  {mode_text(info.mode)}  {limits_text(info.limits)}"
            f"  hw {info.hw_ver}  sw {info.sw_ver}  serial {info.serial:#010x}")


def info_json(info: Any) -> dict[str, Any]:
    return {"motor_id": info.motor_id, "master_id": info.master_id, "mode": int(info.mode),
            "mode_name": mode_name(info.mode), "limits": limits_json(info.limits),
            "hw_ver": info.hw_ver, "sw_ver": info.sw_ver, "serial": info.serial}


class Progress:
    """A bar on stderr, only when stderr is a terminal."""

    WIDTH = 30

    def __init__(self, total: int, iface: str) -> None:
        self.total = total
        self.iface = iface
        self.live = sys.stderr.isatty()

    def show(self, done: int, current: int) -> None:
        if self.live:
            fill = self.WIDTH * done // self.total
            bar = "#" * fill + "." * (self.WIDTH - fill)
            sys.stderr.write(f"\rscanning {self.iface} [{bar}] {done}/{self.total}  id {current:#x}\x1b[K")
            sys.stderr.flush()

    def clear(self) -> None:
        if self.live:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


def nothing_found(ids: list[int], iface: str) -> str:
    span = f"{ids[0]}" if len(ids) == 1 else f"{len(ids)} ids from {ids[0]} to {ids[-1]}"
    return (f"no motor answered on {iface} ({span}). Check that the interface is up "
            f"('ip -details link show {iface}': state UP), that its bit rate is the motors' "
            f"(1000000 unless changed), that --ids covers their ids, and that the motors are powered")


def run(args: Any, session: Session) -> int:
    if session.feedback_id is not None:
        raise UsageError("--master-id names one motor's feedback id; scan reads every motor's own")
    tx = session.tx
    progress = Progress(len(args.ids), session.iface)
    found = []
    try:
        for done, motor_id in enumerate(args.ids):
            progress.show(done, motor_id)
            for info in tx.scan(session.bus, ids=[motor_id], timeout_ms=session.timeout_ms):
                found.append(info)
                if not args.json:
                    progress.clear()
                    print(info_line(info), flush=True)
    finally:  # an error or Ctrl-C gets a clean line too
        progress.clear()
    if args.json:
        print(json.dumps([info_json(i) for i in found], indent=2))
    if not found:
        print(f"dmtool scan: {nothing_found(args.ids, session.iface)}", file=sys.stderr)
        return 1
    return 0

