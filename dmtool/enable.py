"""dmtool enable: switch motors on; from then on they hold their last command."""

from typing import Any

from dmtool import group_tick

COMMAND = group_tick.Command(
    name="enable", method="enable", help="enable motors (they hold torque from then on)",
    warning="enabling: each holds its last command from now on and may move to it ('dmtool disable' lets go)",
    done="enabled", accept=lambda status: status == 1)


def add_parser(sub: Any) -> None:
    group_tick.add_parser(sub, COMMAND)
