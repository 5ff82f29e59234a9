"""Argument types shared by the subcommands' parsers.

Each raises argparse.ArgumentTypeError, which argparse turns into a one-line
usage error (exit 2).
"""

from __future__ import annotations

import argparse
import math

# 0x7FF carries register traffic, so no motor can take it as its own.
MAX_ID = 0x7FE


def _int(text: str) -> int:
    try:
        return int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number (decimal or 0x-hex)") from None


def motor_id(text: str) -> int:
    """A command id: 1 to 0x7FE."""
    value = _int(text)
    if not 1 <= value <= MAX_ID:
        raise argparse.ArgumentTypeError(f"{text!r}: a motor id is 1 to {MAX_ID:#x}")
    return value


def master_id(text: str) -> int:
    """A feedback id: 0 to 0x7FE."""
    value = _int(text)
    if not 0 <= value <= MAX_ID:
        raise argparse.ArgumentTypeError(f"{text!r}: a feedback id is 0 to {MAX_ID:#x}")
    return value


def id_ranges(text: str) -> list[int]:
    """'1-32', '1,3,8-10', '0x10-0x1f': the command ids in that order, once each."""
    ids: list[int] = []
    for part in text.split(","):
        low, sep, high = part.strip().partition("-")
        first = motor_id(low)
        last = motor_id(high) if sep else first
        if last < first:
            raise argparse.ArgumentTypeError(f"{part.strip()!r}: the range runs backwards")
        ids.extend(range(first, last + 1))
    return list(dict.fromkeys(ids))


def positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"{text!r}: must be above 0")
    return value


def finite(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r}: must be a finite number")
    return value


def timeout_ms(text: str) -> int:
    value = _int(text)
    if not 1 <= value <= 60_000:
        raise argparse.ArgumentTypeError(f"{text!r}: 1 to 60000 ms")
    return value


def motor_preset(text: str) -> tuple[int, int, str]:
    """'ID:FB:MODEL' (1:0x11:dm4310): command id, feedback id, preset name."""
    parts = text.split(":")
    if len(parts) != 3 or not parts[2]:
        raise argparse.ArgumentTypeError(f"{text!r}: a motor is ID:FB:MODEL, as 1:0x11:dm4310")
    return motor_id(parts[0]), master_id(parts[1]), parts[2].lower()


def web_address(text: str) -> tuple[str, int]:
    """'[HOST:]PORT': where the page is served; 127.0.0.1 unless a host is given."""
    host, sep, port = text.rpartition(":")
    value = _int(port)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"{text!r}: a port is 0 to 65535")
    return (host.strip("[]") if sep and host else "127.0.0.1"), value
