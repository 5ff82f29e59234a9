"""A doctor's finding: one check, its result, and what to do about it."""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass
from typing import Any

OK, WARN, FAIL = "ok", "warn", "FAIL"


@dataclass(frozen=True)
class Check:
    name: str
    status: str
    detail: str
    fix: str | None = None
    iface: str | None = None
    motor: int | None = None


def where(c: Check) -> str:
    if c.iface is None:
        return "-"
    return c.iface if c.motor is None else f"{c.iface} motor {c.motor}"


def line(c: Check) -> str:
    text = f"{c.status:<4}  {where(c):<16}  {c.name}: {c.detail}"
    return f"{text}  -> {c.fix}" if c.fix else text


def as_json(c: Check) -> dict[str, Any]:
    return {"name": c.name, "interface": c.iface, "motor": c.motor, "status": c.status.lower(),
            "detail": c.detail, "fix": c.fix}


def counts(checks: list[Check]) -> dict[str, int]:
    n = Counter(c.status for c in checks)
    return {"ok": n[OK], "warn": n[WARN], "fail": n[FAIL]}


def exit_status(checks: list[Check]) -> int:
    # Warnings are advice: only a failure makes the setup unusable.
    return 1 if any(c.status == FAIL for c in checks) else 0


def dmtool_command(iface: str, rest: str) -> str:
    """A dmtool command line for IFACE, naming it unless it is the default."""
    return f"dmtool {rest}" if iface == "can0" else f"dmtool --iface {iface} {rest}"


def rate_text(bps: int) -> str:
    if bps % 1_000_000 == 0:
        return f"{bps // 1_000_000} Mbit/s"
    if bps % 1000 == 0:
        return f"{bps // 1000} kbit/s"
    return f"{bps} bit/s"
