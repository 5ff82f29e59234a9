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
from dmtool.interrupt import sigterm_as_ctrl_c
from dmtool.session import Api, Session, load_api
from dmtool.text import one_line

# In the order --help lists them; each is the module of that name.
COMMANDS = ("scan", "doctor", "info", "get", "set", "set_id", "mode", "enable", "disable", "stop", "zero", "clear", "move",
            "monitor", "listen", "decode")

EPILOG = """\
ID is a motor's command id (ESC_ID), decimal or 0x-hex. Its feedback id
(MST_ID) is read from the motor first, by a scan of that one id, unless
--master-id gives it (one motor only; for set-id, the id it answers on now).

exit status: 0 done, 1 a motor did not answer, a value did not verify or
the bus failed, 2 a usage error. Ctrl-C: 0 for monitor, listen and decode,
130 for the others; stop --hold ends its hold and exits as stop does.
SIGTERM stops a command as Ctrl-C does.
"""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(2, f"{self.prog}: error: {one_line(message)} (see '{self.prog} --help')\n")


class Interfaces(argparse.Action):
    """--iface, repeated or comma-separated: the interfaces in order, once each."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        names = [n.strip() for n in str(values).split(",")]
        if not all(names):
            raise argparse.ArgumentError(self, f"{values!r}: an interface name is empty")
        given = getattr(namespace, self.dest, None)
        # The default is no interface given: the first --iface replaces it.
        before = [] if given is None or given is self.default else given
        setattr(namespace, self.dest, list(dict.fromkeys([*before, *names])))


def add_global_options(p: argparse.ArgumentParser, *, top: bool, master_id: bool = True,
                       several_ifaces: bool = False) -> None:
    """Before the subcommand they set the defaults; after it, only what is given."""
    def default(value: Any) -> Any:
        return value if top else argparse.SUPPRESS

    g = p.add_argument_group("bus options") if not top else p
    if several_ifaces:
        iface_help = "CAN interface; several as --iface can0 --iface can1 or --iface can0,can1 (default can0)"
    elif top:
        iface_help = "CAN interface (default can0; stop takes several)"
    else:
        iface_help = "CAN interface (default can0)"
    g.add_argument("--iface", dest="ifaces", action=Interfaces, default=default(["can0"]), metavar="IFACE",
                   help=iface_help)
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
              master_id: bool = True, several_ifaces: bool = False) -> argparse.ArgumentParser:
    """One subcommand's parser, carrying the global options too."""
    description = description or help[:1].upper() + help[1:] + "."
    p: argparse.ArgumentParser = sub.add_parser(name, help=help, description=description)
    add_global_options(p, top=False, master_id=master_id, several_ifaces=several_ifaces)
    p.set_defaults(several_ifaces=several_ifaces)
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
    with sigterm_as_ctrl_c():
        return run(ns, prog, api)


def run(ns: argparse.Namespace, prog: str, api: Api | None) -> int:
    try:
        if len(ns.ifaces) > 1 and not ns.several_ifaces:
            raise UsageError(f"--iface {','.join(ns.ifaces)}: one interface only (stop alone takes several)")
        api = api or load_api()
        session = Session(api, ns.ifaces[0], fd=ns.fd, timeout_ms=ns.timeout_ms, feedback_id=ns.feedback_id)
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
        print(f"{prog}: {failure_text(e, api, ', '.join(ns.ifaces))}", file=sys.stderr)
        return 1
