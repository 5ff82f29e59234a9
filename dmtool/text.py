"""How values read from a motor are shown: on a terminal and in JSON."""

from __future__ import annotations

import math
import struct
from typing import Any

FAULT_HINT = "dmtool clear ID clears a fault once its cause is gone"


def status_text(tx: Any, code: int) -> str:
    """The name torvane_ext.Status gives the feedback's status code."""
    s = tx.status(code)
    return s.name if isinstance(s, tx.Status) else f"status {code:#x}"


def is_fault(tx: Any, code: int) -> bool:
    s = tx.status(code)
    # A code the table does not know is no state a working motor reports.
    return bool(s.is_fault) if isinstance(s, tx.Status) else code not in (0, 1)


def f32_text(value: float) -> str:
    """The shortest decimal that reads back as the same single-precision value.

    Registers hold float32: 0.1 comes back as 0.10000000149011612, which
    nobody typed.
    """
    if not math.isfinite(value):
        return str(value)
    packed = struct.pack("<f", value)
    for digits in range(1, 10):
        shortest = float(f"{value:.{digits}g}")
        try:
            if struct.pack("<f", shortest) == packed:
                return repr(shortest)  # 30.0 rather than 3e+01
        except OverflowError:  # rounded up past the largest float32
            continue
    return repr(value)


def f32_json(value: float) -> float | str:
    """A float32 for JSON: the short value, or 'nan'/'inf'/'-inf', which JSON cannot hold."""
    return float(f32_text(value)) if math.isfinite(value) else str(value)


def value_text(value: float, kind: str) -> str:
    return f32_text(value) if kind == "float" else str(value)


def value_json(value: float, kind: str) -> int | float | str:
    return f32_json(value) if kind == "float" else int(value)


def mode_name(mode: Any) -> str | None:
    """The ControlMode member's name, None for a number outside the enum."""
    name = getattr(mode, "name", None)
    return name if isinstance(name, str) else None


def mode_text(mode: Any) -> str:
    return mode_name(mode) or f"mode {int(mode)}"


def limits_text(limits: Any) -> str:
    return f"PMAX {f32_text(limits.p_max)}  VMAX {f32_text(limits.v_max)}  TMAX {f32_text(limits.t_max)}"


def limits_json(limits: Any) -> dict[str, float | str]:
    return {"p_max": f32_json(limits.p_max), "v_max": f32_json(limits.v_max), "t_max": f32_json(limits.t_max)}


def motor_name(motor_id: int, master_id: int | None = None) -> str:
    return f"motor {motor_id}" if master_id is None else f"motor {motor_id} (feedback {master_id:#x})"


def one_line(text: object) -> str:
    return " ".join(str(text).split())
