"""dmtool stop: disable every motor on the bus, at once.

An emergency stop, also from a second terminal while another program drives
the motors: it opens its own socket and sends. A disable frame needs only
the command id, so one goes to every id asked before anything is read. The
group exchange pairs replies with motors by feedback id, which is guessed
first (command id + 0x10, the usual pattern). A motor that did not answer on
its guess is found by a scan, which names its own feedback id, and is sent
the disable again until it confirms.

With --hold the disables go on, to every id asked, until Ctrl-C: a program
that enables the motors again cannot keep them enabled. Several interfaces
are stopped each in turn, every bus sent its first disables before any scan.
"""

from __future__ import annotations

import json
import sys
import time
from dataclasses import dataclass
from typing import Any

from dmtool import args as types
from dmtool.cli import failure_text, subparser
from dmtool.errors import Failure, UsageError
from dmtool.interrupt import StopOnInterrupt, cut_short
from dmtool.session import Session
from dmtool.text import is_fault, motor_name, status_text

DEFAULT_IDS = "1-16"
GUESS_OFFSET = 0x10
# Disables sent to a motor known to be there, until it confirms.
TRIES = 3
# Often enough that a re-enabled motor drives for a moment only, seldom enough to leave the bus to others.
HOLD_PERIOD_S = 0.25
NAP_S = 0.05


def add_parser(sub: Any) -> None:
    p = subparser(sub, "stop", "disable every motor on the bus, even while another program drives them",
                  "Disable every motor on the bus (an emergency stop; it works while another program is "
                  "driving them). A disable goes to every id first, then the motors that did not confirm are "
                  "found by a scan and sent it again. With several interfaces, each is stopped. Exit status 0 "
                  "when every motor found confirmed, and each id given with --ids answered (the default "
                  "range is a search: ids that do not answer are fine, as long as some motor does).",
                  master_id=False, several_ifaces=True)
    p.add_argument("--ids", type=types.id_ranges, default=None, metavar="RANGES",
                   help=f"command ids to disable on each interface, e.g. 1-16 or 1,3,5-8 (default {DEFAULT_IDS}); "
                        f"each must answer")
    p.add_argument("--hold", action="store_true",
                   help=f"keep disabling every id, every {HOLD_PERIOD_S:g} s, until Ctrl-C or SIGTERM, so that a "
                        f"program enabling them again cannot keep them enabled; then disable once more and report, "
                        f"with the exit status as without --hold")
    p.add_argument("--json", action="store_true",
                   help="print a JSON object instead of lines (a list of them, one per interface, with several); "
                        "what --hold does goes to stderr")
    p.set_defaults(run=run)


@dataclass
class Motor:
    motor_id: int
    master_id: int | None = None   # once it answered, on the guess or to the scan
    state: Any = None              # its last reply to a disable

    def answer(self, state: Any) -> Any:
        """STATE when it is this motor's reply, else None."""
        # The group knows a reply only by its identifier; the motor names itself in the low nibble.
        if state is not None and state.motor_id == self.motor_id & 0x0F:
            self.state = state
            return state
        return None


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


class BusStop:
    """The stop on one interface: a Motor for each id asked, and what kept it off the bus."""

    def __init__(self, session: Session, ids: list[int], several: bool) -> None:
        self.session = session
        self.motors = {i: Motor(i) for i in ids}
        self.guess = guesses(ids)
        self.several = several
        self.error: str | None = None

    @property
    def iface(self) -> str:
        return self.session.iface

    def label(self, text: str) -> str:
        return f"{self.iface}: {text}" if self.several else text

    def found(self) -> list[Motor]:
        return [m for m in self.motors.values() if m.master_id is not None]

    def silent(self) -> list[int]:
        return [m.motor_id for m in self.motors.values() if m.master_id is None]

    def fail(self, e: BaseException) -> None:
        text = failure_text(e, self.session.api, self.iface)
        self.error = text if self.iface in text else f"{self.iface}: {text}"

    def disable_all(self) -> dict[int, Any]:
        """One disable to every id, on its own feedback id once known, else on the guess; the replies."""
        targets = {i: self.guess[i] if m.master_id is None else m.master_id for i, m in self.motors.items()}
        heard = {}
        for i, state in disable(self.session, targets).items():
            m = self.motors[i]
            heard[i] = m.answer(state)
            if m.master_id is None and heard[i] is not None:
                m.master_id = targets[i]
        return heard

    def confirm(self) -> None:
        """Find the motors silent on their guess, and disable again those not yet stopped."""
        tx = self.session.tx
        unknown = self.silent()
        if unknown:
            for i, master_id in feedback_ids(self.session, unknown).items():
                self.motors[i].master_id = master_id
        for _ in range(TRIES):
            # A reply to the other program's last command can come before the one to ours.
            pending = {i: m.master_id for i, m in self.motors.items()
                       if m.master_id is not None and not stopped(tx, m.state)}
            if not pending:
                break
            for i, state in disable(self.session, pending).items():
                self.motors[i].answer(state)


def stop(buses: list[BusStop]) -> None:
    """Every bus sent its disables before any is scanned: a scan takes a while."""
    for step in (BusStop.disable_all, BusStop.confirm):
        for b in buses:
            if b.error is None:
                try:
                    step(b)
                except (Failure, RuntimeError, OSError) as e:
                    b.fail(e)


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


def round_text(tx: Any, state: Any) -> str:
    if state is None:
        return "no answer"
    status = status_text(tx, state.error)
    if state.error == 0:
        return "disabled"
    if stopped(tx, state):
        return f"{status} ({state.error:#x}), not driving"
    return f"{status}: disabling it again"


def hold(buses: list[BusStop], say: Any) -> tuple[int, float]:
    """A disable to every id on every bus each HOLD_PERIOD_S, until Ctrl-C or SIGTERM.

    Says what changed: a motor enabled again, silent, back. Returns the
    rounds done and the time they took.
    """
    tx = buses[0].session.tx
    shown: dict[tuple[str, int | None], str | None] = {}
    for b in buses:
        shown[b.iface, None] = b.error
        shown.update({(b.iface, i): round_text(tx, m.state) for i, m in b.motors.items()})
    start = time.monotonic()
    rounds = 0

    def show(key: tuple[str, int | None], text: str | None, line: str) -> None:
        if shown[key] != text:
            shown[key] = text
            say(f"{time.monotonic() - start:.1f} s: {line}")

    with StopOnInterrupt() as request:
        next_round = start
        while not request.requested:
            for b in buses:
                try:
                    heard = b.disable_all()
                except (Failure, RuntimeError, OSError) as e:
                    if cut_short(e, tx):
                        break
                    b.fail(e)
                    show((b.iface, None), b.error, str(b.error))
                    continue
                b.error = None
                show((b.iface, None), None, f"{b.iface}: disables go out again")
                for i, state in heard.items():
                    text = round_text(tx, state)
                    show((b.iface, i), text, b.label(f"{motor_name(i, b.motors[i].master_id)}: {text}"))
            else:
                rounds += 1
            next_round = max(next_round + HOLD_PERIOD_S, time.monotonic())
            # In slices: a sleep goes on after the handler runs.
            while not request.requested and (delay := next_round - time.monotonic()) > 0:
                time.sleep(min(delay, NAP_S))
    return rounds, time.monotonic() - start


def outcome_lines(tx: Any, b: BusStop) -> list[str]:
    found = b.found()
    lines = [b.label(outcome(tx, m)) for m in found]
    if b.silent() and found:
        lines.append(b.label(f"no answer from ids {ranges_text(b.silent())} (each was sent a disable)"))
    return lines


def bus_json(tx: Any, b: BusStop) -> dict[str, Any]:
    out = {"iface": b.iface, "motors": [motor_json(tx, m) for m in b.found()], "no_answer": b.silent()}
    if b.error is not None:
        out["error"] = b.error
    return out


def failures(tx: Any, b: BusStop, named: bool) -> list[str]:
    """Why this bus is not known to be stopped, each in a few words; none when it is."""
    found = b.found()
    problems = [b.label(outcome(tx, m)) for m in found if not stopped(tx, m.state)]
    if b.error is not None:
        return [b.error, *problems]
    if not found:
        return [f"no motor answered on {b.iface} (ids {ranges_text(list(b.motors))}); each was sent a disable, "
                f"but none is known to have stopped"]
    silent = b.silent()
    if named and silent:
        # Absent and unreachable look alike on a bus: neither is known to be stopped.
        which = f"id {silent[0]}" if len(silent) == 1 else f"ids {ranges_text(silent)}"
        problems.append(f"{which} did not answer on {b.iface}; sent a disable, but not known to have stopped")
    return problems


def run(args: Any, session: Session) -> int:
    if session.feedback_id is not None:
        raise UsageError("--master-id names one motor's feedback id; stop finds each motor's own")
    tx = session.tx
    named = args.ids is not None
    ids = args.ids if named else types.id_ranges(DEFAULT_IDS)
    sessions = [session, *(session.on(iface) for iface in args.ifaces[1:])]
    buses = [BusStop(s, ids, len(sessions) > 1) for s in sessions]
    ifaces = ", ".join(b.iface for b in buses)
    out = sys.stderr if args.json else sys.stdout

    def say(text: str) -> None:
        print(text, file=out, flush=True)

    if not args.json:
        say(f"ids {ranges_text(ids)} on {ifaces}: disabling every motor: they stop holding torque, "
            f"and a loaded joint will fall")
    stop(buses)
    if args.hold:
        for b in buses:
            for line in ([b.error] if b.error is not None else []) + outcome_lines(tx, b):
                say(line)
        say(f"holding: disabling ids {ranges_text(ids)} on {ifaces} every {HOLD_PERIOD_S:g} s until Ctrl-C")
        rounds, elapsed = hold(buses, say)
        say(f"held for {elapsed:.1f} s, {rounds} rounds; disabling once more")
        for b in buses:
            b.error = None
            for m in b.motors.values():
                m.state = None     # the report is of this last disable alone
        stop(buses)
    if args.json:
        reports = [bus_json(tx, b) for b in buses]
        print(json.dumps(reports if len(reports) > 1 else reports[0], indent=2))
    else:
        for b in buses:
            for line in outcome_lines(tx, b):
                print(line)
    problems = [p for b in buses for p in failures(tx, b, named)]
    if problems:
        raise Failure("; ".join(problems))
    return 0
