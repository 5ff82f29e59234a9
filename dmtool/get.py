"""dmtool get: one register of one motor."""

from __future__ import annotations

import json
from typing import Any

from dmtool import args as types
from dmtool.cli import subparser
from dmtool.session import Session, no_answer
from dmtool.text import motor_name, value_json, value_text


def add_parser(sub: Any) -> None:
    p = subparser(sub, "get", "read one register")
    p.add_argument("id", type=types.motor_id, metavar="ID", help="the motor's command id")
    p.add_argument("reg", metavar="REG", help="register number or name (TIMEOUT, CTRL_MODE, PMAX, ...)")
    p.add_argument("--json", action="store_true", help="print one JSON object")
    p.set_defaults(run=run)


def run(args: Any, session: Session) -> int:
    tx = session.tx
    reg = session.register(args.reg)
    motor = session.motor(args.id)
    try:
        value = tx.read_register(session.bus, motor, reg.number)
    except tx.MotorTimeout:
        raise no_answer(f"{motor_name(args.id, motor.master_id)} (register {reg.number})", session.iface) from None
    if args.json:
        print(json.dumps({"motor_id": args.id, "master_id": motor.master_id, "number": reg.number, "name": reg.name,
                          "value": value_json(value, reg.type), "type": reg.type, "read_only": reg.read_only}))
    else:
        print(f"{reg.name} ({reg.number}) = {value_text(value, reg.type)}")
    return 0
