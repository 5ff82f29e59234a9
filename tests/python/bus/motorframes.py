"""The motor's frames built and read in plain Python, for tests that talk to
dmsim through a raw socket (canpeer) rather than through torvane."""

import struct
import time
from typing import NamedTuple

REGISTER_ID = 0x7FF
READ, WRITE, REFRESH, SAVE = 0x33, 0x55, 0xCC, 0xAA
POS_VEL_BASE, VEL_BASE, FORCE_POS_BASE = 0x100, 0x200, 0x300
ENABLE = bytes.fromhex("FFFFFFFFFFFFFFFC")
DISABLE = bytes.fromhex("FFFFFFFFFFFFFFFD")


def f32(value):
    """The bits of a float32, as a register holds them."""
    return struct.unpack("<I", struct.pack("<f", value))[0]


def register_frame(cmd_id, op, reg, value=0):
    return bytes([cmd_id & 0xFF, cmd_id >> 8, op, reg]) + value.to_bytes(4, "little")


def system_frame(cmd_id, op, arg=0):
    """Refresh (0xCC) or save (0xAA, 0x01) on 0x7FF."""
    return bytes([cmd_id & 0xFF, cmd_id >> 8, op, arg, 0, 0, 0, 0])


def pos_vel(q, v_limit):
    return struct.pack("<ff", q, v_limit)


def vel(v, length=8):
    return struct.pack("<f", v).ljust(length, b"\0")


def force_pos(q, v_limit, i_limit):
    return struct.pack("<fHH", q, round(v_limit * 100), round(i_limit * 10000))


class Feedback(NamedTuple):
    motor_id: int
    error: int
    position: float
    velocity: float
    torque: float


def feedback(data, p_max=12.5, v_max=30.0, t_max=10.0):
    """Decode an MIT feedback frame with the given ranges."""
    p = data[1] << 8 | data[2]
    v = data[3] << 4 | data[4] >> 4
    t = (data[4] & 0x0F) << 8 | data[5]
    return Feedback(data[0] & 0x0F, data[0] >> 4, p * 2 * p_max / 65535 - p_max, v * 2 * v_max / 4095 - v_max,
                    t * 2 * t_max / 4095 - t_max)


def reply_to(peer, can_id, data, fb_id=0x11, fd=False, flags=0, timeout=3.0):
    """Send a frame and return the next frame on `fb_id` as (data, is_fd,
    flags), or None when none comes in time."""
    peer.drain(0.01)
    if fd:
        peer.send_fd(can_id, data, flags=flags)
    else:
        peer.send(can_id, data)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        frame = peer.recv_full()
        if frame and frame[0] == fb_id:
            return frame[1:]
    return None


def read_register(peer, cmd_id, reg, timeout=3.0):
    """The reply frame (id, data, is_fd), or None when nothing answers in time."""
    peer.drain(0.01)
    peer.send(REGISTER_ID, register_frame(cmd_id, READ, reg))
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        frame = peer.recv()
        if frame and len(frame[1]) == 8 and frame[1][2] == READ and frame[1][3] == reg:
            return frame
    return None


def write_register(peer, cmd_id, reg, value, fb_id=0x11):
    """Write and wait for the echo, so the value is in force afterwards."""
    data = register_frame(cmd_id, WRITE, reg, value)
    peer.drain(0.01)
    peer.send(REGISTER_ID, data)
    deadline = time.monotonic() + 3.0
    while time.monotonic() < deadline:
        frame = peer.recv()
        if frame == (fb_id, data, False):
            return
    raise AssertionError(f"no echo for the write of register {reg}")


def u32(frame):
    return int.from_bytes(frame[1][4:8], "little")
