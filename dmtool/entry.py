"""dmtool's entry point: Ctrl-C taken care of before anything heavy loads.

Importing the command modules and the extension takes a moment; a Ctrl-C
then would end in a traceback. Here, before those imports, an interrupt at
any moment ends the command quietly with the status it documents: 0 for the
commands that run until Ctrl-C, 130 for the others.
"""

import signal
import sys

# The commands that Ctrl-C ends as planned.
UNTIL_CTRL_C = ("monitor", "listen", "decode")


def interrupted_status(argv: list[str]) -> int:
    # No option or argument of any command takes these names as its value.
    return 0 if any(a in UNTIL_CTRL_C for a in argv) else 130


def main() -> int:
    argv = sys.argv[1:]
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        from dmtool.cli import main as run
        return run(argv)
    except KeyboardInterrupt:
        status = interrupted_status(argv)
        if status:
            print("dmtool: interrupted", file=sys.stderr)
        return status
    finally:
        signal.signal(signal.SIGINT, previous)
