"""dmtool zero: take each motor's present position as its zero."""

from typing import Any

from dmtool import group_tick

COMMAND = group_tick.Command(
    name="zero", method="set_zero", help="take the present position of motors as their zero",
    warning="setting the present position as zero (nothing moves)",
    done="zeroed", accept=lambda status: status in (0, 1))


def add_parser(sub: Any) -> None:
    group_tick.add_parser(sub, COMMAND)
