"""dmtool set-id: give a motor a new command id (and feedback id), saved.

The firmware takes new ids at power-up: until then the motor still answers
on its old ones, which is what lets the save reach it.
"""

from __future__ import annotations

from typing import Any

from dmtool import args as types
from dmtool.cli import subparser
from dmtool.flash import save
from dmtool.session import Session
from dmtool.set import write
from dmtool.text import motor_name


def add_parser(sub: Any) -> None:
    p = subparser(sub, "set-id", "write a new ESC_ID (and MST_ID) and save them; a power cycle applies them",
                  master_id=False)
    p.add_argument("id", type=types.motor_id, metavar="ID", help="the motor's command id now")
    p.add_argument("--motor-id", type=types.motor_id, required=True, metavar="N", help="the new command id (ESC_ID)")
    p.add_argument("--master-id", dest="new_master_id", type=types.master_id, metavar="M",
                   help="the new feedback id (MST_ID); unchanged if left out. The feedback id the motor "
                        "answers on now goes before the subcommand: dmtool --master-id M set-id ...")
    p.set_defaults(run=run)


def run(args: Any, session: Session) -> int:
    registers = {r.name: r for r in session.tx.REGISTERS}
    motor = session.motor(args.id)
    master = motor.master_id if args.new_master_id is None else args.new_master_id
    name = motor_name(args.id)
    print(f"{name}: writing ESC_ID = {args.motor_id}, MST_ID = {master:#x}", flush=True)
    write(session, motor, registers["ESC_ID"], args.motor_id)
    if args.new_master_id is not None:
        write(session, motor, registers["MST_ID"], args.new_master_id)
    save(session, motor)
    print(f"{name}: answers as {motor_name(args.motor_id, master)} after a power cycle")
    return 0
