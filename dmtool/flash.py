"""Saving a motor's registers to flash, shared by set, set-id and mode."""

from __future__ import annotations

from typing import Any

from dmtool.session import Session, no_answer
from dmtool.text import motor_name


def save(session: Session, motor: Any) -> None:
    # The firmware disables the motor to save: it lets go of whatever it held.
    name = motor_name(motor.motor_id)
    print(f"{name}: saving to flash, which disables the motor first", flush=True)
    try:
        session.tx.save_parameters(session.bus, motor)
    except session.tx.MotorTimeout:
        raise no_answer(f"{name} (saving)", session.iface) from None
    print(f"{name}: saved")
