"""dmtool decode: a candump -L log decoded as dmtool listen decodes the bus."""

from __future__ import annotations

import sys
from contextlib import nullcontext
from typing import Any

from dmtool import bus_view
from dmtool.candump import BadLine, read_log
from dmtool.cli import subparser
from dmtool.decode_frames import Decoder, Tables
from dmtool.errors import Failure
from dmtool.session import Session


def add_parser(sub: Any) -> None:
    p = subparser(sub, "decode", "decode a candump -L log offline, as listen does",
                  "Decode a log written by candump -L (or dmtool listen --log, or dmsim --log) as "
                  "dmtool listen decodes the bus, with the same lines, table, CSV and summary. "
                  "FILE '-' reads stdin.", master_id=False)
    p.add_argument("file", metavar="FILE", help="the log")
    bus_view.add_output_options(p)
    p.set_defaults(run=run)


def run(args: Any, session: Session) -> int:
    decoder = Decoder(bus_view.motor_specs(args.presets, session.tv), Tables.of(session.tx, session.tv))
    try:
        if args.file == "-":
            frames = read_log(sys.stdin)
        else:
            with open(args.file) as f:
                frames = read_log(f)
    except BadLine as e:
        raise Failure(f"{args.file}: {e}") from None
    except OSError as e:
        raise Failure(f"cannot read {args.file}: {e.strerror}") from None
    with open(args.csv, "w", newline="") if args.csv else nullcontext() as csv_file:
        view = bus_view.View(decoder, table=args.table, out=sys.stdout, csv_file=csv_file if args.csv else None,
                             redraw=False)
        for frame in frames:
            view.frame(frame)
        view.finish("dmtool decode")
    return 0
