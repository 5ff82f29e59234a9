"""dmtool doctor: check a setup in one pass, interface by interface, and say
what to do about each thing found wrong.

Nothing it sends moves a motor: register reads, scans and refresh requests.
"""

from __future__ import annotations

import argparse
import json
from typing import Any

from dmtool import args as types
from dmtool.cli import failure_text, subparser
from dmtool.doctor import frames, link, motors
from dmtool.doctor.checks import FAIL, OK, WARN, Check, as_json, counts, exit_status, line
from dmtool.errors import Failure
from dmtool.scan import DEFAULT_IDS
from dmtool.session import Session
from dmtool.text import one_line

# Of the interface's checks, these failing leave nothing to ask the motors through.
BLOCKING = ("interface", "link up")


def bits_per_second(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not 1_000 <= value <= 10_000_000:
        raise argparse.ArgumentTypeError(f"{text!r}: a bit rate is 1000 to 10000000 bit/s")
    return value


def add_parser(sub: Any) -> None:
    p = subparser(sub, "doctor", "check the interfaces and motors in one pass and say what to fix",
                  "Check each interface (the kernel's settings, read with 'ip') and the motors on it (ids, "
                  "replies to classic and CAN FD requests, bit rate, watchdog, faults), one line per check: ok, "
                  "warn or FAIL, and what fixes it. Sends only reads and refresh requests: nothing moves. "
                  "Exit status 0 when nothing failed (warnings allowed), 1 otherwise.",
                  master_id=False, several_ifaces=True)
    p.add_argument("--ids", type=types.id_ranges, default=types.id_ranges(DEFAULT_IDS), metavar="RANGES",
                   help=f"command ids to look for, e.g. 1-32 or 1,4,0x10-0x1f (default {DEFAULT_IDS})")
    p.add_argument("--bitrate", type=bits_per_second, metavar="BPS",
                   help="the bit rate the motors should run at (a virtual bus has none: without it the motors "
                        "are compared with one another)")
    p.add_argument("--json", action="store_true", help="print one JSON document with every check")
    p.set_defaults(run=run)


def health_check(session: Session) -> Check:
    """torvane_ext's own record of the bus, after every request the doctor made."""
    h = session.tx.bus_health(session.bus)
    errors = {k: v for k, v in h.error_frames.items() if v}
    listed = ", ".join(f"{k} x{v}" for k, v in errors.items()) or "none"
    detail = (f"{h.state}; error frames {listed}; stale {h.stale}, unsolicited {h.unsolicited}, "
              f"tx waits {h.tx_waits}")
    if h.state in ("bus-off", "error-passive"):
        return Check("bus health", FAIL, detail, "check the wiring, 120 ohm at each end, and every node's bit rate",
                     iface=session.iface)
    if h.state != "error-active" or errors:
        return Check("bus health", WARN, detail, "check the wiring, 120 ohm at each end, and every node's bit rate",
                     iface=session.iface)
    return Check("bus health", OK, detail, iface=session.iface)


def examine(session: Session, args: Any) -> list[Check]:
    iface = session.iface
    found_link, out = link.inspect(iface, args.bitrate)
    if any(c.status == FAIL and c.name in BLOCKING for c in out):
        return out
    watch, listener = frames.open_watch(iface, quiet_s=max(session.timeout_ms, 20) / 1000)
    if watch is None:
        out.append(Check("listener", WARN, f"cannot listen on {iface} ({listener}): duplicate ids and the kind "
                         f"of FD replies are not checked", iface=iface))
    try:
        checks, n = motors.examine(session, args.ids, found_link, args.bitrate, watch)
        out += checks
        if found_link is not None and (queue := link.queue_check(found_link, n)):
            out.append(queue)
    except Failure as e:  # the bus could not be opened
        out.append(Check("motors", FAIL, one_line(e), iface=iface))
    except (RuntimeError, OSError) as e:
        out.append(Check("motors", FAIL, failure_text(e, session.api, iface), iface=iface))
    finally:
        if watch is not None:
            listener.close()
    if session.opened:
        out.append(health_check(session))
    return out


def run(args: Any, session: Session) -> int:
    checks: list[Check] = []
    for iface in args.ifaces:
        checks += examine(session.on(iface), args)
    status = exit_status(checks)
    if args.json:
        print(json.dumps({"status": status, "counts": counts(checks), "checks": [as_json(c) for c in checks]},
                         indent=2))
    else:
        for c in checks:
            print(line(c))
        n = counts(checks)
        print(f"dmtool doctor: {n['ok']} ok, {n['warn']} warn, {n['fail']} FAIL")
    return status
