"""CAN frames as candump -L writes them, both ways.

    (1700000000.123456) vcan0 123#DEADBEEF      classic
    (1700000000.123456) vcan0 123##1DEADBEEF    CAN FD: flags nibble, then data
    (1700000000.123456) vcan0 123#R             remote (123#R8: with its length)

Identifiers: 3 hex digits, 8 for an extended one; hex in upper case.
"""

from __future__ import annotations

from dataclasses import dataclass

CAN_EFF_FLAG = 0x80000000
CAN_RTR_FLAG = 0x40000000
CAN_ERR_FLAG = 0x20000000
CAN_EFF_MASK = 0x1FFFFFFF


@dataclass(frozen=True)
class Frame:
    t: float                # seconds since the epoch
    can_id: int             # without the flag bits
    data: bytes
    iface: str = ""
    fd: bool = False
    flags: int = 0          # CAN FD flags (bit-rate switch 1, error state 2, ...)
    extended: bool = False
    remote: bool = False
    error: bool = False


def format_line(f: Frame, iface: str | None = None) -> str:
    micros = round(f.t * 1_000_000)
    stamp = f"({micros // 1_000_000}.{micros % 1_000_000:06d})"
    ident = f.can_id | (CAN_ERR_FLAG if f.error else 0)
    head = f"{stamp} {iface if iface is not None else f.iface} {ident:08X}" if (f.extended or f.error) \
        else f"{stamp} {iface if iface is not None else f.iface} {ident:03X}"
    if f.remote:
        return f"{head}#R{len(f.data):X}" if f.data else f"{head}#R"
    if f.fd:
        return f"{head}##{f.flags & 0xF:X}{f.data.hex().upper()}"
    return f"{head}#{f.data.hex().upper()}"


class BadLine(ValueError):
    pass


def parse_line(line: str) -> Frame:
    """One line of a candump -L log (or of candump -l's file)."""
    try:
        stamp, iface, frame = line.split()
        if not (stamp.startswith("(") and stamp.endswith(")")):
            raise ValueError
        t = float(stamp[1:-1])
        ident, sep, rest = frame.partition("#")
        if not sep or len(ident) not in (3, 8):
            raise ValueError
        can_id = int(ident, 16)
        extended = len(ident) == 8
        error = extended and bool(can_id & CAN_ERR_FLAG)
        can_id &= CAN_EFF_MASK if extended else 0x7FF
        if rest.startswith("R"):
            size = int(rest[1:], 16) if rest[1:] else 0
            return Frame(t, can_id, bytes(size), iface, extended=extended, remote=True)
        if rest.startswith("#"):
            return Frame(t, can_id, bytes.fromhex(rest[2:]), iface, fd=True, flags=int(rest[1], 16),
                         extended=extended)
        # candump may end a classic frame's data with _<dlc> for a length code above 8; the data is what counts.
        data = rest.split("_", 1)[0]
        return Frame(t, can_id, bytes.fromhex(data), iface, extended=extended, error=error)
    except (ValueError, IndexError):
        raise BadLine(f"not a candump -L line: {line.strip()!r}") from None


def read_log(lines) -> list[Frame]:
    """Every frame of a log, blank lines skipped; BadLine names the line that is not one."""
    out = []
    for n, line in enumerate(lines, 1):
        if not line.strip():
            continue
        try:
            out.append(parse_line(line))
        except BadLine as e:
            raise BadLine(f"line {n}: {e}") from None
    return out
