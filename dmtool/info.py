"""dmtool info: every register of one motor, and what they add up to."""

from __future__ import annotations

import json
import sys
from types import SimpleNamespace
from typing import Any

from dmtool import args as types
from dmtool.cli import subparser
from dmtool.errors import Failure
from dmtool.session import Session, no_answer
from dmtool.text import limits_json, limits_text, mode_name, mode_text, motor_name, value_json, value_text


def add_parser(sub: Any) -> None:
    p = subparser(sub, "info", "read every register of a motor: number, name, value, type, read-only")
    p.add_argument("id", type=types.motor_id, metavar="ID", help="the motor's command id")
    p.add_argument("--json", action="store_true", help="print one JSON object")
    p.set_defaults(run=run)


def read_all(session: Session, motor: Any) -> list[tuple[Any, int | float | None]]:
    """(RegisterInfo, value) in table order; None for a register the motor left unanswered."""
    tx = session.tx
    rows: list[tuple[Any, int | float | None]] = []
    for reg in tx.REGISTERS:
        try:
            rows.append((reg, tx.read_register(session.bus, motor, reg.number)))
        except tx.MotorTimeout:
            rows.append((reg, None))
    return rows


def summary(session: Session, rows: list[tuple[Any, int | float | None]]) -> SimpleNamespace:
    by_name = {reg.name: value for reg, value in rows}
    mode = by_name.get("CTRL_MODE")
    try:
        mode = session.tx.ControlMode(mode)
    except ValueError:
        pass
    limits = SimpleNamespace(p_max=by_name.get("PMAX"), v_max=by_name.get("VMAX"), t_max=by_name.get("TMAX"))
    return SimpleNamespace(master_id=by_name.get("MST_ID"), mode=mode, limits=limits, hw_ver=by_name.get("hw_ver"),
                           sw_ver=by_name.get("sw_ver"), serial=by_name.get("SN"))


def access(reg: Any) -> str:
    return "read-only" if reg.read_only else "read-write"


def run(args: Any, session: Session) -> int:
    motor = session.motor(args.id)
    rows = read_all(session, motor)
    missing = [reg for reg, value in rows if value is None]
    if len(missing) == len(rows):
        raise no_answer(motor_name(args.id, motor.master_id), session.iface)
    s = summary(session, rows)
    if None in (s.mode, s.limits.p_max, s.limits.v_max, s.limits.t_max):
        raise Failure(f"{motor_name(args.id, motor.master_id)} left its mode or limits unanswered")

    if args.json:
        print(json.dumps({
            "motor_id": args.id, "master_id": motor.master_id, "mode": int(s.mode), "mode_name": mode_name(s.mode),
            "limits": limits_json(s.limits), "hw_ver": s.hw_ver, "sw_ver": s.sw_ver, "serial": s.serial,
            "registers": [{"number": reg.number, "name": reg.name,
                           "value": None if value is None else value_json(value, reg.type),
                           "type": reg.type, "read_only": reg.read_only} for reg, value in rows],
        }, indent=2))
    else:
        serial = "-" if s.serial is None else f"{s.serial:#010x}"
        hw, sw = ("-" if v is None else v for v in (s.hw_ver, s.sw_ver))
        print(f"motor {args.id}  master {motor.master_id:#x}  {mode_text(s.mode)}  {limits_text(s.limits)}"
              f"  hw {hw}  sw {sw}  serial {serial}")
        width = max(len(reg.name) for reg, _ in rows)
        print(f"{'reg':>4}  {'name':<{width}}  {'value':<14}  {'type':<5}  access")
        for reg, value in rows:
            shown = "no answer" if value is None else value_text(value, reg.type)
            print(f"{reg.number:>4}  {reg.name:<{width}}  {shown:<14}  {reg.type:<5}  {access(reg)}")
    if missing:
        print(f"dmtool info: {motor_name(args.id)} did not answer for register"
              f"{'s' if len(missing) > 1 else ''} {', '.join(str(r.number) for r in missing)}", file=sys.stderr)
    return 0
