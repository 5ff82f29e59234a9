"""What a passive listener saw while the doctor asked: who replied, how often,
and in which kind of frame. torvane_ext keeps the first answer to a request;
a second motor on the same id, and the kind of frame a reply came in, show
only on the wire."""

from __future__ import annotations

import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Protocol

from dmtool.candump import Frame

REGISTER_ID = 0x7FF
REG_READ = 0x33
REG_MST_ID, REG_SN = 7, 15
# Frames read per collection at most: a busy bus must not keep the doctor listening.
MAX_FRAMES = 10_000
MAX_WAIT_S = 2.0


class Source(Protocol):
    def read(self, timeout: float) -> Frame | None: ...


@dataclass(frozen=True)
class Reply:
    can_id: int
    value: int
    fd: bool


def register_replies(frames: list[Frame], motor_id: int, register: int) -> list[Reply]:
    """Each answer to a read of REGISTER of MOTOR_ID: bytes 0-1 the id, 0x33, the register, the value."""
    out = []
    for f in frames:
        d = f.data
        if f.error or f.remote or f.can_id == REGISTER_ID or len(d) < 8:
            continue
        if d[0] | d[1] << 8 == motor_id and d[2] == REG_READ and d[3] == register:
            out.append(Reply(f.can_id, int.from_bytes(d[4:8], "little"), f.fd))
    return out


def feedback_kinds(frames: list[Frame], motor_id: int, master_id: int) -> list[str]:
    """'fd' or 'classic' for each state frame of that motor: on its feedback id, byte 0's low nibble its id."""
    return ["fd" if f.fd else "classic" for f in frames
            if f.can_id == master_id and not (f.error or f.remote) and f.data and f.data[0] & 0x0F == motor_id & 0x0F
            and not (len(f.data) >= 4 and f.data[0] | f.data[1] << 8 == motor_id and f.data[2] in (0x33, 0x55))]


class Watch:
    """A listener read in turns: after each step, what it saw until the bus was quiet."""

    def __init__(self, source: Source, quiet_s: float, clock: Callable[[], float] = time.monotonic) -> None:
        self.source = source
        self.quiet_s = quiet_s
        self.clock = clock

    def collect(self) -> list[Frame]:
        frames: list[Frame] = []
        end = self.clock() + MAX_WAIT_S
        while len(frames) < MAX_FRAMES and self.clock() < end:
            f = self.source.read(self.quiet_s)
            if f is None:
                break
            frames.append(f)
        return frames


def open_watch(iface: str, quiet_s: float) -> tuple[Watch | None, Any]:
    """(a Watch, its listener to close) on IFACE, or (None, why not)."""
    from dmtool.can_socket import Listener
    try:
        listener = Listener(iface)
    except OSError as e:
        return None, e
    return Watch(listener, quiet_s), listener
