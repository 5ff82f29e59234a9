"""The motor's watchdog, register 9 (TIMEOUT): an enabled motor that hears
nothing for that long stops with a fault. It counts 50 us steps; 0 is off.
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from typing import Any

STEPS_PER_MS = 20
# The firmware keeps the count in 16 bits.
MAX_MS = 0xFFFF // STEPS_PER_MS
# Commands a watchdog may see go missing in a row before it trips.
MARGIN = 10
MIN_MS = 50


def watchdog_text(steps: int | None) -> str:
    """'off', '100 ms', or '?' for a motor that did not say."""
    if steps is None:
        return "?"
    return "off" if steps == 0 else f"{steps / STEPS_PER_MS:g} ms"


def read_watchdog(tx: Any, bus: Any, motor: Any) -> int | None:
    """TIMEOUT in steps, or None when the motor does not answer the read."""
    try:
        return int(tx.read_register(bus, motor, "TIMEOUT"))
    except tx.MotorTimeout:
        return None


def covering(period_s: float) -> int:
    """Steps of a watchdog that lets MARGIN periods go by unheard, and at least MIN_MS."""
    ms = max(MIN_MS, math.ceil(MARGIN * period_s * 1000))
    return min(ms, MAX_MS) * STEPS_PER_MS


@contextmanager
def watchdog_for(tx: Any, bus: Any, motor: Any, steps: int) -> Iterator[int]:
    """TIMEOUT at STEPS in RAM (never saved) for the block, then what it was.

    Yields the value it had. Restored however the block ends: a motor left
    holding with a short watchdog would fault as soon as the commands stop.
    """
    before = int(tx.read_register(bus, motor, "TIMEOUT"))
    if before == steps:
        yield before
        return
    tx.write_register(bus, motor, "TIMEOUT", steps)
    try:
        yield before
    except BaseException:
        # What ended the block says more than a motor too far gone to restore.
        with suppress(tx.MotorError):
            tx.write_register(bus, motor, "TIMEOUT", before)
        raise
    tx.write_register(bus, motor, "TIMEOUT", before)
