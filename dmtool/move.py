"""dmtool move: take one motor to a position in POS_VEL mode and wait until it is there."""

from __future__ import annotations

import sys
import time
from typing import Any

from dmtool import args as types
from dmtool.cli import subparser
from dmtool.errors import Failure, UsageError
from dmtool.mode import set_mode
from dmtool.session import Session, no_answer
from dmtool.sigint import StopOnSigint, cut_short
from dmtool.text import FAULT_HINT, f32_text, is_fault, mode_text, motor_name, status_text

# The target is sent again at this period: each answer tells where the motor is.
PERIOD_S = 0.01
# Replies in a row that may go missing before the motor counts as gone.
MISSES = 10


def add_parser(sub: Any) -> None:
    p = subparser(sub, "move", "move a motor to a position (POS_VEL mode) and wait until it arrives",
                  "Move a motor to a position in POS_VEL mode and wait until it arrives. Switches the motor "
                  "to POS_VEL (not saved) and enables it; it stays enabled, holding the position, afterwards.")
    p.add_argument("id", type=types.motor_id, metavar="ID", help="the motor's command id")
    p.add_argument("--pos", type=types.finite, required=True, metavar="RAD", help="target position in rad")
    p.add_argument("--vel", type=types.positive, default=1.0, metavar="RAD_S",
                   help="velocity limit on the way, rad/s (default 1)")
    p.add_argument("--timeout", type=types.positive, default=10.0, metavar="S",
                   help="give up after this many seconds (default 10)")
    p.add_argument("--tolerance", type=types.positive, default=0.01, metavar="RAD",
                   help="arrived when this close (default 0.01)")
    p.set_defaults(run=run)


def check_state(tx: Any, name: str, state: Any) -> None:
    if is_fault(tx, state.error):
        raise Failure(f"{name}: {status_text(tx, state.error)} ({state.error:#x}) at {state.position:+.4f} rad; "
                      f"{FAULT_HINT}")


def run(args: Any, session: Session) -> int:
    tx, bus = session.tx, session.bus
    motor = session.motor(args.id, limits=True)
    name = motor_name(args.id)
    limits = session.limits[args.id]
    if abs(args.pos) > limits.p_max:
        raise UsageError(f"--pos {args.pos:g} is beyond {name}'s range of +-{f32_text(limits.p_max)} rad (PMAX)")
    if args.vel > limits.v_max:
        raise UsageError(f"--vel {args.vel:g} is beyond {name}'s {f32_text(limits.v_max)} rad/s (VMAX)")

    try:
        mode = tx.read_register(bus, motor, "CTRL_MODE")
    except tx.MotorTimeout:
        raise no_answer(name, session.iface) from None
    if mode != tx.ControlMode.POS_VEL:
        print(f"{name}: control mode {mode_text(_mode(tx, mode))} -> POS_VEL (not saved)", flush=True)
        set_mode(session, motor, tx.ControlMode.POS_VEL)

    print(f"{name}: enabling and moving to {args.pos:+.4f} rad at up to {args.vel:g} rad/s", flush=True)
    (state,) = session.group([motor]).enable()
    if state is None:
        raise no_answer(f"{name} (enabling)", session.iface)
    check_state(tx, name, state)

    start = time.monotonic()
    misses = 0
    with StopOnSigint() as stop:
        while not stop.requested:
            try:
                state = tx.pos_vel(bus, motor, q=args.pos, dq=args.vel)
                misses = 0
            except tx.MotorTimeout:
                misses += 1
                if misses >= MISSES:
                    raise no_answer(f"{name} (moving)", session.iface) from None
                continue
            except tx.BusError as e:
                if cut_short(e, tx):
                    continue
                raise
            check_state(tx, name, state)
            elapsed = time.monotonic() - start
            if abs(state.position - args.pos) <= args.tolerance:
                print(f"{name}: at {state.position:+.4f} rad after {elapsed:.2f} s; it stays enabled, holding "
                      f"there ('dmtool disable {args.id}' lets go)")
                return 0
            if elapsed > args.timeout:
                raise Failure(f"{name}: not at {args.pos:+.4f} rad after {args.timeout:g} s "
                              f"(at {state.position:+.4f} rad, still enabled)")
            time.sleep(PERIOD_S)
    # Interrupted: the last answer is where it is now; make that the target.
    tx.pos_vel(bus, motor, q=state.position, dq=args.vel)
    print(f"dmtool move: interrupted; {name} stops at {state.position:+.4f} rad, still enabled "
          f"('dmtool disable {args.id}' lets go)", file=sys.stderr)
    return 130


def _mode(tx: Any, value: int) -> Any:
    try:
        return tx.ControlMode(value)
    except ValueError:
        return value
