"""dmtool mode: switch a motor's control mode (register 10), verified."""

from __future__ import annotations

from typing import Any

from dmtool import args as types
from dmtool.cli import subparser
from dmtool.errors import Failure
from dmtool.flash import save
from dmtool.session import Session, no_answer
from dmtool.text import motor_name, one_line

MODES = ("mit", "pos_vel", "vel", "force_pos")


def add_parser(sub: Any) -> None:
    p = subparser(sub, "mode", "set the control mode: mit, pos_vel, vel or force_pos")
    p.add_argument("id", type=types.motor_id, metavar="ID", help="the motor's command id")
    p.add_argument("mode", choices=MODES, metavar="MODE", help="one of " + ", ".join(MODES))
    p.add_argument("--save", action="store_true", help="then save the registers to flash (disables the motor)")
    p.set_defaults(run=run)


def set_mode(session: Session, motor: Any, mode: Any) -> None:
    tx = session.tx
    name = motor_name(motor.motor_id)
    try:
        tx.set_control_mode(session.bus, motor, mode)
    except tx.MotorTimeout:
        raise no_answer(f"{name} (setting the control mode)", session.iface) from None
    except tx.VerifyError as e:
        raise Failure(f"{name}: the control mode did not read back as {mode.name} ({one_line(e)})") from None


def run(args: Any, session: Session) -> int:
    mode = session.tx.ControlMode[args.mode.upper()]
    motor = session.motor(args.id)
    set_mode(session, motor, mode)
    print(f"{motor_name(args.id)}: control mode {mode.name}")
    if args.save:
        save(session, motor)
    return 0
