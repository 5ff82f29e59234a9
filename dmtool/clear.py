"""dmtool clear: clear the latched fault of motors whose cause is gone."""

from typing import Any

from dmtool import group_tick

COMMAND = group_tick.Command(
    name="clear", method="clear_error", help="clear a latched fault (over-temperature, lost communication, ...)",
    warning="clearing faults (the motors stay disabled)",
    done="cleared", accept=lambda status: status in (0, 1))


def add_parser(sub: Any) -> None:
    group_tick.add_parser(sub, COMMAND)
