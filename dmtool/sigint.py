"""Ctrl-C as a request to stop, for the commands that loop on the bus.

The handler only notes the request: the loop ends after its tick, so a
monitor exits cleanly and a move can tell the motor to stop first. A bus
wait the signal cuts short ends in a BusError with errno EINTR, which the
loop takes as "look at the flag".
"""

from __future__ import annotations

import errno
import signal
from types import FrameType, TracebackType
from typing import Any, Self


class StopOnSigint:
    def __init__(self) -> None:
        self.requested = False
        self._previous: Any = None

    def __enter__(self) -> Self:
        self._previous = signal.signal(signal.SIGINT, self._note)
        return self

    def _note(self, signum: int, frame: FrameType | None) -> None:
        self.requested = True

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 tb: TracebackType | None) -> None:
        signal.signal(signal.SIGINT, self._previous)


def cut_short(e: BaseException, tx: Any) -> bool:
    """A bus wait ended by a signal, not a failure of the bus."""
    return isinstance(e, tx.BusError) and e.errno == errno.EINTR
