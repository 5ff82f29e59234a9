"""A raw CAN socket that only listens: every frame on one interface, classic
and FD, and the controller's error frames, with the kernel's receive time.
It has no way to send."""

from __future__ import annotations

import select
import socket
import struct
import time

from dmtool.candump import CAN_EFF_FLAG, CAN_EFF_MASK, CAN_ERR_FLAG, CAN_RTR_FLAG, Frame

SO_TIMESTAMP = getattr(socket, "SO_TIMESTAMP", 29)
# linux/can/raw.h; Python's socket module does not name it.
CAN_RAW_ERR_FILTER = getattr(socket, "CAN_RAW_ERR_FILTER", 2)
CAN_ERR_MASK = 0x1FFFFFFF
CANFD_MTU = 72
TIMEVAL = struct.Struct("@ll")


class Listener:
    def __init__(self, iface: str) -> None:
        self.iface = iface
        self._sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        try:
            self._sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FD_FRAMES, 1)
            self._sock.setsockopt(socket.SOL_CAN_RAW, CAN_RAW_ERR_FILTER, CAN_ERR_MASK)
            self._sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMP, 1)
            self._sock.bind((iface,))
        except OSError:
            self._sock.close()
            raise

    def close(self) -> None:
        self._sock.close()

    def __enter__(self) -> Listener:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def read(self, timeout: float) -> Frame | None:
        """The next frame, or None when none came within TIMEOUT seconds (or a signal cut the wait short)."""
        try:
            ready, _, _ = select.select([self._sock], [], [], timeout)
        except InterruptedError:
            return None
        if not ready:
            return None
        msg, ancillary, _, _ = self._sock.recvmsg(CANFD_MTU, socket.CMSG_SPACE(TIMEVAL.size))
        t = None
        for level, kind, data in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMP and len(data) >= TIMEVAL.size:
                sec, usec = TIMEVAL.unpack_from(data)
                t = sec + usec / 1e6
        if t is None:
            t = time.time()
        return frame_of(msg, t, self.iface)


def frame_of(msg: bytes, t: float, iface: str) -> Frame:
    """A struct can_frame (16 bytes) or canfd_frame (72) as a Frame."""
    can_id, length, flags = struct.unpack_from("=IBB", msg)
    extended, error = bool(can_id & CAN_EFF_FLAG), bool(can_id & CAN_ERR_FLAG)
    ident = can_id & (CAN_EFF_MASK if extended or error else 0x7FF)
    if len(msg) == CANFD_MTU:
        return Frame(t, ident, bytes(msg[8:8 + length]), iface, fd=True, flags=flags, extended=extended)
    remote = bool(can_id & CAN_RTR_FLAG)
    return Frame(t, ident, bytes(length) if remote else bytes(msg[8:8 + length]), iface, extended=extended,
                 remote=remote, error=error)
