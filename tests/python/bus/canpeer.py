"""A raw CAN socket of Python's own, playing the other end of the bus."""

import os
import socket
import struct

IFACE = os.environ.get("TORVANE_CAN_IFACE", "vcan0")

CAN_EFF_FLAG = 0x80000000
CAN_RTR_FLAG = 0x40000000
CANFD_BRS = 0x01
CANFD_FDF = 0x04

_CLASSIC = struct.Struct("=IB3x8s")
_FD = struct.Struct("=IBBxx64s")


class Peer:
    def __init__(self, iface=IFACE, timeout=2.0):
        self.sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self.sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FD_FRAMES, 1)
        self.sock.bind((iface,))
        self.sock.settimeout(timeout)

    def close(self):
        self.sock.close()

    def send(self, can_id, data, *, extended=False, remote=False):
        raw_id = can_id | (CAN_EFF_FLAG if extended else 0) | (CAN_RTR_FLAG if remote else 0)
        self.sock.send(_CLASSIC.pack(raw_id, len(data), bytes(data)))

    def send_fd(self, can_id, data, flags=0):
        self.sock.send(_FD.pack(can_id, len(data), flags | CANFD_FDF, bytes(data)))

    def recv(self):
        """(id, data, is_fd) of the next frame, or None after the timeout."""
        frame = self.recv_full()
        return frame and frame[:3]

    def recv_full(self):
        """(id, data, is_fd, fd_flags) of the next frame, or None after the timeout."""
        try:
            raw = self.sock.recv(72)
        except TimeoutError:
            return None
        if len(raw) == _CLASSIC.size:
            can_id, length, data = _CLASSIC.unpack(raw)
            return can_id, data[:length], False, 0
        can_id, length, flags, data = _FD.unpack(raw)
        return can_id, data[:length], True, flags

    def drain(self, timeout=0.05):
        """Every frame that arrives within `timeout` of the last one."""
        old = self.sock.gettimeout()
        self.sock.settimeout(timeout)
        try:
            frames = []
            while (frame := self.recv()) is not None:
                frames.append(frame)
            return frames
        finally:
            self.sock.settimeout(old)
