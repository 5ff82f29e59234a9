"""dmtool listen: every frame on the bus, decoded by motor and kind.

Passive: it opens a raw socket and reads; nothing it does sends a frame.
Ctrl-C (or --duration) ends it with status 0 and a summary per motor.
"""

from __future__ import annotations

import sys
import time
from contextlib import ExitStack
from typing import Any

from dmtool import args as types
from dmtool import bus_view
from dmtool.can_socket import Listener
from dmtool.cli import subparser
from dmtool.decode_frames import Decoder, Tables
from dmtool.errors import Failure
from dmtool.session import Session
from dmtool.interrupt import StopOnInterrupt

NAP_S = 0.05


def add_parser(sub: Any) -> None:
    p = subparser(sub, "listen", "decode every frame on the bus, sending nothing",
                  "Decode every frame on the bus by motor and kind: commands with their values, enable, "
                  "disable, zero, clear, refresh, register requests and replies, feedback; anything else raw. "
                  "Sends nothing. Ctrl-C or --duration ends it with a summary per motor on stderr.",
                  master_id=False)
    bus_view.add_output_options(p)
    p.add_argument("--log", metavar="FILE", help="also write every frame to FILE as candump -L does")
    p.add_argument("--duration", type=types.positive, metavar="S", help="stop after S seconds")
    p.add_argument("--web", type=types.web_address, metavar="[HOST:]PORT",
                   help="also serve live plots of each motor's feedback on http://HOST:PORT/ (127.0.0.1 unless given)")
    p.set_defaults(run=run)


def run(args: Any, session: Session) -> int:
    decoder = Decoder(bus_view.motor_specs(args.presets, session.tv), Tables.of(session.tx, session.tv))
    try:
        listener = Listener(session.iface)
    except OSError as e:
        raise Failure(f"cannot listen on {session.iface}: {e}") from None
    with ExitStack() as stack:
        stack.enter_context(listener)
        csv_file = stack.enter_context(open(args.csv, "w", newline="")) if args.csv else None
        log = stack.enter_context(open(args.log, "w")) if args.log else None
        live = None
        if args.web:
            from dmtool.web import serve
            live = stack.enter_context(serve(args.web, f"dmtool listen on {session.iface}"))
            print(f"dmtool listen: live plots on {live.url}", file=sys.stderr, flush=True)
        print(f"dmtool listen: listening on {session.iface}, sending nothing; Ctrl-C stops", file=sys.stderr,
              flush=True)
        view = bus_view.View(decoder, table=args.table, out=sys.stdout, csv_file=csv_file, log=log, live=live)
        end = time.monotonic() + args.duration if args.duration else None
        with StopOnInterrupt() as stop:
            while not stop.requested:
                left = end - time.monotonic() if end is not None else NAP_S
                if left <= 0:
                    break
                f = listener.read(min(left, NAP_S))
                if f is None:
                    view.draw(time.time())
                    continue
                view.frame(f, time.time())
                if not args.table:
                    sys.stdout.flush()
        view.finish("dmtool listen")
    return 0
