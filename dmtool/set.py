"""dmtool set: write one register, read it back, and save it if asked."""

from __future__ import annotations

import math
from typing import Any

from dmtool import args as types
from dmtool.cli import subparser
from dmtool.errors import Failure, UsageError
from dmtool.flash import save
from dmtool.session import Session, no_answer
from dmtool.text import motor_name, one_line, value_text

UINT32_MAX = 2**32 - 1


def add_parser(sub: Any) -> None:
    p = subparser(sub, "set", "write one register and check it reads back")
    p.add_argument("id", type=types.motor_id, metavar="ID", help="the motor's command id")
    p.add_argument("reg", metavar="REG", help="register number or name (TIMEOUT, CTRL_MODE, PMAX, ...)")
    p.add_argument("value", metavar="VALUE", help="an integer (decimal or 0x-hex) or a number, by the register's type")
    p.add_argument("--save", action="store_true", help="then save the registers to flash (disables the motor)")
    p.set_defaults(run=run)


def parse_value(reg: Any, text: str) -> int | float:
    if reg.type == "int":
        try:
            value = int(text, 0)
        except ValueError:
            raise UsageError(f"{reg.name} ({reg.number}) holds an integer, not {text!r}") from None
        if not 0 <= value <= UINT32_MAX:
            raise UsageError(f"{reg.name} ({reg.number}) holds 0 to {UINT32_MAX}, not {text}")
        return value
    try:
        number = float(text)
    except ValueError:
        raise UsageError(f"{reg.name} ({reg.number}) holds a number, not {text!r}") from None
    if not math.isfinite(number):
        raise UsageError(f"{reg.name} ({reg.number}) holds a finite number, not {text!r}")
    return number


def write(session: Session, motor: Any, reg: Any, value: float) -> None:
    tx = session.tx
    name = motor_name(motor.motor_id)
    try:
        tx.write_register(session.bus, motor, reg.number, value)
    except tx.MotorTimeout:
        raise no_answer(f"{name} (writing {reg.name})", session.iface) from None
    except tx.VerifyError as e:
        raise Failure(f"{name}: {reg.name} did not read back as {value_text(value, reg.type)} ({one_line(e)})") \
            from None
    except tx.RegisterError as e:
        raise Failure(f"{name}: {reg.name} refused {value_text(value, reg.type)} ({one_line(e)})") from None


def run(args: Any, session: Session) -> int:
    reg = session.register(args.reg)
    if reg.read_only:
        raise UsageError(f"{reg.name} ({reg.number}) is read-only")
    value = parse_value(reg, args.value)
    motor = session.motor(args.id)
    write(session, motor, reg, value)
    print(f"{motor_name(args.id)}: {reg.name} ({reg.number}) = {value_text(value, reg.type)}, read back")
    if args.save:
        save(session, motor)
    return 0
