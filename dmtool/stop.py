"""dmtool stop: disable every motor on the bus, at once.

An emergency stop, also from a second terminal while another program drives
the motors: it opens its own socket and sends. A disable frame needs only
the command id, so one goes to every id asked before anything is read. The
group exchange pairs replies with motors by feedback id, which is guessed
first (command id + 0x10, the usual pattern). A motor that did not answer on
its guess is found by a scan, which names its own feedback id, and is sent
the disable again until it confirms.
"""

from __future__ import annotations

import json
import sys
from dataclasses import dataclass
from typing import Any

from dmtool import args as types
from dmtool.cli import subparser
from dmtool.errors import Failure, UsageError
from dmtool.session import Session
from dmtool.text import is_fault, status_text

DEFAULT_IDS = "1-16"
GUESS_OFFSET = 0x10
# Disables sent to a motor known to be there, until it confirms.
TRIES = 3


def add_parser(sub: Any) -> None:
    p = subparser(sub, "stop", "disable every motor on the bus, even while another program drives them",
                  "Disable every motor on the bus (an emergency stop; it works while another program is "
                  "driving them). A disable goes to every id first, then the motors that did not confirm are "
                  "found by a scan and sent it again. Exit status 0 when every motor found confirmed.",
                  master_id=False)
    p.add_argument("--ids", type=types.id_ranges, default=types.id_ranges(DEFAULT_IDS), metavar="RANGES",
                   help=f"command ids to disable, e.g. 1-16 or 1,3,5-8 (default {DEFAULT_IDS})")
    p.add_argument("--json", action="store_true", help="print a JSON object instead of lines")
    p.set_defaults(run=run)


@dataclass
class Motor:
    motor_id: int
    master_id: int | None = None   # once it answered, on the guess or to the scan
    state: Any = None              # its last reply to a disable

    def answer(self, state: Any) -> None:
        # The group knows a reply only by its identifier; the motor names itself in the low nibble.
        if state is not None and state.motor_id == self.motor_id & 0x0F:
            self.state = state


def guesses(ids: list[int]) -> dict[int, int]:
    """A distinct feedback id for each command id: id + 0x10 where there is room."""
    preferred = {i: i + GUESS_OFFSET for i in ids if i + GUESS_OFFSET <= types.MAX_ID}
    spare = (n for n in range(types.MAX_ID, -1, -1) if n not in preferred.values())
    return {i: preferred[i] if i in preferred else next(spare) for i in ids}


def stopped(tx: Any, state: Any) -> bool:
    # A latched fault stops the motor driving as a disable does.
    return state is not None and (state.error == 0 or is_fault(tx, state.error))


def disable(session: Session, feedback: dict[int, int]) -> dict[int, Any]:
    """One disable to each command id, as few group exchanges as distinct feedback ids allow."""
    groups: list[dict[int, int]] = []
    for motor_id, master_id in feedback.items():
        group = next((g for g in groups if master_id not in g.values()), None)
        if group is None:
            groups.append(group := {})
        group[motor_id] = master_id
    replies: dict[int, Any] = {}
    for group in groups:
        motors = [session.tv.Damiao(i, m, timeout_ms=session.timeout_ms) for i, m in group.items()]
        replies.update(zip(group, session.group(motors).disable(), strict=True))
    return replies


def feedback_ids(session: Session, ids: list[int]) -> dict[int, int]:
    """Each motor's own feedback id, for those of IDS that answer a scan."""
    tx = session.tx
    try:
        found = tx.scan(session.bus, ids=ids, timeout_ms=session.timeout_ms)
    except tx.MotorTimeout:
        # A reply lost among the reads after the probe; one id at a time loses only that one.
        found = []
        for i in ids:
            try:
                found += tx.scan(session.bus, ids=[i], timeout_ms=session.timeout_ms)
            except tx.MotorTimeout:
                continue
    return {info.motor_id: info.master_id for info in found}


def stop(session: Session, ids: list[int]) -> list[Motor]:
    tx = session.tx
    motors = {i: Motor(i) for i in ids}
    guess = guesses(ids)
    for i, state in disable(session, guess).items():
        motors[i].answer(state)
        if motors[i].state is not None:
            motors[i].master_id = guess[i]
    unknown = [i for i, m in motors.items() if m.master_id is None]
    if unknown:
        for i, master_id in feedback_ids(session, unknown).items():
            motors[i].master_id = master_id
    for _ in range(TRIES):
        # A reply to the other program's last command can come before the one to ours.
        pending = {i: m.master_id for i, m in motors.items()
                   if m.master_id is not None and not stopped(tx, m.state)}
        if not pending:
            break
        for i, state in disable(session, pending).items():
            motors[i].answer(state)
    return list(motors.values())


def ranges_text(ids: list[int]) -> str:
    """[1, 2, 3, 5] -> '1-3, 5'."""
    runs: list[list[int]] = []
    for i in sorted(ids):
        if runs and i == runs[-1][-1] + 1:
            runs[-1].append(i)
        else:
            runs.append([i])
    return ", ".join(f"{r[0]}-{r[-1]}" if len(r) > 1 else f"{r[0]}" for r in runs)


def motor_json(tx: Any, m: Motor) -> dict[str, Any]:
    s = m.state
    return {"motor_id": m.motor_id, "master_id": m.master_id, "stopped": stopped(tx, s),
            "status": None if s is None else s.error, "status_name": None if s is None else status_text(tx, s.error)}


def outcome(tx: Any, m: Motor) -> str:
    name = f"motor {m.motor_id} (feedback {m.master_id:#x})"
    if m.state is None:
        return f"{name}: did not answer the disable"
    status = status_text(tx, m.state.error)
    if m.state.error == 0:
        return f"{name}: disabled"
    if stopped(tx, m.state):
        return f"{name}: answered with {status} ({m.state.error:#x}), not driving"
    return f"{name}: still {status} after {TRIES + 1} disables"


def run(args: Any, session: Session) -> int:
    if session.feedback_id is not None:
        raise UsageError("--master-id names one motor's feedback id; stop finds each motor's own")
    tx = session.tx
    if not args.json:
        print(f"ids {ranges_text(args.ids)} on {session.iface}: disabling every motor: they stop holding torque, "
              f"and a loaded joint will fall", flush=True)
    motors = stop(session, args.ids)
    found = [m for m in motors if m.master_id is not None]
    silent = [m.motor_id for m in motors if m.master_id is None]
    failed = [m for m in found if not stopped(tx, m.state)]
    if args.json:
        print(json.dumps({"iface": session.iface, "motors": [motor_json(tx, m) for m in found],
                          "no_answer": silent}, indent=2))
    else:
        for m in found:
            print(outcome(tx, m))
        if silent and found:
            print(f"no answer from ids {ranges_text(silent)} (each was sent a disable)")
    if not found:
        raise Failure(f"no motor answered on {session.iface} (ids {ranges_text(args.ids)}); each was sent a "
                      f"disable, but none is known to have stopped")
    if failed:
        raise Failure("; ".join(outcome(tx, m) for m in failed))
    return 0
