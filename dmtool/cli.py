"""dmtool's command line: global options, one subparser per subcommand
module, and the exit statuses (0 done, 1 a motor or the bus failed us,
2 a usage error), each failure reported in one line."""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from collections.abc import Sequence
from typing import Any

from dmtool import args as types
from dmtool.entry import UNTIL_CTRL_C
from dmtool.errors import Failure, UsageError
from dmtool.session import Api, Session, load_api
from dmtool.text import one_line

# In the order --help lists them; each is the module of that name.
COMMANDS = ("scan", "info", "get", "set", "set_id", "mode", "enable", "disable", "zero", "clear", "move", "monitor", "listen",
            "decode")

EPILOG = """\
ID is a motor's command id (ESC_ID), decimal or 0x-hex. Its feedback id
(MST_ID) is read from the motor first, by a scan of that one id, unless
--master-id gives it (one motor only; for set-id, the id it answers on now).

exit status: 0 done, 1 a motor did not answer, a value did not verify or
the bus failed, 2 a usage error. Ctrl-C: 0 for monitor, listen and decode,
130 for the others.
"""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(2, f"{self.prog}: error: {one_line(message)} (see '{self.prog} --help')\n")


def add_global_options(p: argparse.ArgumentParser, *, top: bool, master_id: bool = True) -> None:
    """Before the subcommand they set the defaults; after it, only what is given."""
    def default(value: Any) -> Any:
        return value if top else argparse.SUPPRESS

    g = p.add_argument_group("bus options") if not top else p
    g.add_argument("--iface", default=default("can0"), help="CAN interface (default can0)")
    g.add_argument("--fd", action="store_true", default=default(False),
                   help="send group commands (enable, disable, zero, clear, monitor) as CAN FD frames")
    g.add_argument("--timeout-ms", type=types.timeout_ms, default=default(20), metavar="MS",
                   help="how long to wait for each reply (default 20)")
    if master_id:
        g.add_argument("--master-id", dest="feedback_id", type=types.master_id, default=default(None), metavar="M",
                       help="feedback id of the one motor named, instead of reading it from the motor")


def build_parser() -> Parser:
    p = Parser(prog="dmtool", description="Find, inspect, configure and watch Damiao motors on a CAN bus.",
               epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_global_options(p, top=True)
    sub = p.add_subparsers(dest="command", metavar="COMMAND", required=True, title="commands")
    for name in COMMANDS:
        importlib.import_module(f"dmtool.{name}").add_parser(sub)
    return p


def subparser(sub: Any, name: str, help: str, description: str | None = None, *,
              master_id: bool = True) -> argparse.ArgumentParser:
    """One subcommand's parser, carrying the global options too."""
    description = description or help[:1].upper() + help[1:] + "."
    p: argparse.ArgumentParser = sub.add_parser(name, help=help, description=description)
    add_global_options(p, top=False, master_id=master_id)
    return p


def failure_text(e: BaseException, api: Api | None, iface: str) -> str:
    tx = api.ext if api else None
    if tx is not None:
        if isinstance(e, tx.MotorTimeout):
            return f"a motor did not answer in time ({one_line(e)})"
        if isinstance(e, tx.VerifyError):
            return f"did not verify: {one_line(e)}"
        if isinstance(e, tx.BusError):
            return f"bus error on {iface}: {one_line(e)}"
    return one_line(e)


def main(argv: Sequence[str] | None = None, api: Api | None = None) -> int:
    parser = build_parser()
    try:
        ns = parser.parse_args(argv)
    except SystemExit as e:  # --help, or a usage error already reported
        return e.code if isinstance(e.code, int) else 2
    prog = f"dmtool {ns.command.replace('_', '-')}"
    try:
        api = api or load_api()
        session = Session(api, ns.iface, fd=ns.fd, timeout_ms=ns.timeout_ms, feedback_id=ns.feedback_id)
        status: int = ns.run(ns, session)
        return status
    except UsageError as e:
        print(f"{prog}: error: {one_line(e)}", file=sys.stderr)
        return e.status
    except Failure as e:
        print(f"{prog}: {one_line(e)}", file=sys.stderr)
        return e.status
    except KeyboardInterrupt:
        if ns.command in UNTIL_CTRL_C:  # before its loop took Ctrl-C over: the same quiet end
            return 0
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (| head): nothing more to say, and nowhere to say it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (RuntimeError, OSError, ValueError, TypeError, OverflowError) as e:
        print(f"{prog}: {failure_text(e, api, ns.iface)}", file=sys.stderr)
        return 1
