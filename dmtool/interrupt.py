"""Ctrl-C and SIGTERM as a request to stop.

`kill PID` must stop a command as Ctrl-C does, with the same quiet end and
the same status: a supervisor or a second terminal has no other key to press.

For the commands that loop on the bus, the handler only notes the request:
the loop ends after its tick, so a monitor exits cleanly and a move can tell
the motor to stop first. A bus wait the signal cuts short ends in a BusError
with errno EINTR, which the loop takes as "look at the flag".
"""

from __future__ import annotations

import errno
import signal
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType, TracebackType
from typing import Any, Self

SIGNALS = (signal.SIGINT, signal.SIGTERM)


@contextmanager
def sigterm_as_ctrl_c() -> Iterator[None]:
    """SIGTERM raises KeyboardInterrupt, as SIGINT does, until the block ends."""
    previous = signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


class StopOnInterrupt:
    def __init__(self) -> None:
        self.requested = False
        self._previous: dict[int, Any] = {}

    def __enter__(self) -> Self:
        for sig in SIGNALS:
            self._previous[sig] = signal.signal(sig, self._note)
        return self

    def _note(self, signum: int, frame: FrameType | None) -> None:
        self.requested = True

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 tb: TracebackType | None) -> None:
        for sig, previous in self._previous.items():
            signal.signal(sig, previous)


def cut_short(e: BaseException, tx: Any) -> bool:
    """A bus wait ended by a signal, not a failure of the bus."""
    return isinstance(e, tx.BusError) and e.errno == errno.EINTR
