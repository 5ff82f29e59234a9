"""The shape of enable, disable, zero and clear: one group exchange for every
motor named, then a line per motor.

Each command says beforehand what the motors are about to do, since enabling
and disabling can move an arm.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from dmtool import args as types
from dmtool.cli import subparser
from dmtool.errors import Failure
from dmtool.session import Session
from dmtool.text import FAULT_HINT, is_fault, motor_name, status_text


@dataclass(frozen=True)
class Command:
    name: str
    method: str         # of tx.MotorGroup
    help: str
    warning: str        # printed before anything is sent, after the motors' names
    done: str           # after each motor's name
    accept: Callable[[int], bool]   # the status codes that mean it worked


def add_parser(sub: Any, command: Command) -> None:
    p = subparser(sub, command.name, command.help)
    p.add_argument("ids", type=types.motor_id, nargs="+", metavar="ID", help="command ids of the motors")
    p.set_defaults(run=lambda args, session: run(command, args, session))


def names(motors: list[Any]) -> str:
    ids = ", ".join(str(m.motor_id) for m in motors)
    return f"motor{'s' if len(motors) > 1 else ''} {ids}"


def run(command: Command, args: Any, session: Session) -> int:
    motors = session.motors(args.ids)
    group = session.group(motors)
    print(f"{names(motors)}: {command.warning}", flush=True)
    states = getattr(group, command.method)()
    failed = []
    for motor, state in zip(motors, states, strict=True):
        name = motor_name(motor.motor_id)
        if state is None:
            failed.append(f"{name} did not answer")
        elif not command.accept(state.error):
            hint = f" ({FAULT_HINT})" if is_fault(session.tx, state.error) else ""
            failed.append(f"{name}: {status_text(session.tx, state.error)} ({state.error:#x}){hint}")
        else:
            status = status_text(session.tx, state.error)
            done = command.done if status.lower() == command.done else f"{command.done}, {status}"
            print(f"{name}: {done} at {state.position:+.4f} rad")
    if failed:
        raise Failure("; ".join(failed))
    return 0
