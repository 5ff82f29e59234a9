"""dmtool disable: switch motors off; they let go of their load."""

from typing import Any

from dmtool import group_tick

COMMAND = group_tick.Command(
    name="disable", method="disable", help="disable motors (they let go and can be moved by hand or by gravity)",
    warning="disabling: they stop holding torque, and a loaded joint will fall",
    done="disabled", accept=lambda status: status == 0)


def add_parser(sub: Any) -> None:
    group_tick.add_parser(sub, COMMAND)
