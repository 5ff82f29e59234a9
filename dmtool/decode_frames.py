"""What each frame on a bus of Damiao motors says, from the frames alone.

`Decoder.feed` takes frames in the order they passed and gives one `Event`
per frame: which motor, what kind, and the values it carries. torvane_ext's
decode_frame reads each frame; the decoder keeps what the frames and the
--motor presets have told it so far and hands that to each reading: the
limits that scale MIT values are the preset's until a register reply for
PMAX, VMAX or TMAX of that motor passes; a feedback id not given is learnt
from a register reply or from the first answer after a command. Nothing
here touches a socket.

An error frame (a controller's report, which a listener's socket receives
when it asks for them) is read by torvane_ext too: its classes and the
controller state it reports, in words.

`Summary` gathers, per motor, frames, command rate, reply latency (command
to that motor's next answer) and faults; for the bus, its error frames by
class and the last state they reported.
"""

from __future__ import annotations

import importlib
import math
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field, replace
from types import ModuleType
from typing import Any

from dmtool.candump import CAN_ERR_FLAG, Frame

COMMANDS = {"mit", "pos_vel", "vel", "force_pos", "enable", "disable", "set_zero", "clear_error"}
# What a motor answers; a save is not answered.
ANSWERED = {*COMMANDS, "refresh", "reg_read", "reg_write"}
REQUESTS = {"reg_reply": "reg_read", "reg_ack": "reg_write"}  # by the kind of their answer
LIMIT_REGISTERS = {"PMAX": "p_max", "VMAX": "v_max", "TMAX": "t_max"}


@dataclass(frozen=True)
class Limits:
    p_max: float = 12.5
    v_max: float = 30.0
    t_max: float = 10.0

    @classmethod
    def of(cls, mit_limits: Any) -> Limits:
        return cls(mit_limits.p_max, mit_limits.v_max, mit_limits.t_max)


@dataclass(frozen=True)
class Tables:
    """What the decoder takes from the modules: torvane_ext's decode_frame, torvane's MitLimits, the
    names of registers (number -> name) and statuses (code -> (name, is_fault)), and of the error classes
    by bit."""

    decode_frame: Callable[..., Any]
    mit_limits: Callable[..., Any]
    registers: dict[int, str]
    statuses: dict[int, tuple[str, bool]]
    error_classes: tuple[str, ...] = ()

    @classmethod
    def of(cls, tx: Any, tv: ModuleType | None = None) -> Tables:
        # torvane_ext alone: the torvane it loaded beside it.
        tv = tv or importlib.import_module("torvane")
        return cls(tx.decode_frame, tv.MitLimits, {r.number: r.name for r in tx.REGISTERS},
                   {int(s): (s.name, s.is_fault) for s in tx.Status}, tuple(tx.ERROR_CLASSES))

    def classes(self, mask: int) -> list[str]:
        """The names of an error frame's classes (bit 9, the counters' flag, is none)."""
        return [name for k, name in enumerate(self.error_classes) if mask >> k & 1]

    def status(self, code: int) -> tuple[str, bool]:
        # A code outside the table is no state a working motor reports.
        return self.statuses.get(code, (f"0x{code:X}", True))

    def register(self, number: int) -> str:
        return self.registers.get(number, f"r{number}")


@dataclass
class MotorSpec:
    motor_id: int
    master_id: int | None = None
    limits: Limits = field(default_factory=Limits)
    model: str = "default"


@dataclass(frozen=True)
class Event:
    t: float
    frame: Frame
    kind: str                 # mit, pos_vel, ..., feedback, reg_reply, reg_ack, error, raw
    motor_id: int | None = None
    values: dict[str, Any] = field(default_factory=dict)


class Decoder:
    def __init__(self, motors: Iterable[MotorSpec], tables: Tables) -> None:
        self.tables = tables
        self.motors: dict[int, MotorSpec] = {m.motor_id: replace(m) for m in motors}
        self.by_master = {m.master_id: m for m in self.motors.values() if m.master_id is not None}
        # Register requests not answered yet: (kind, motor, register).
        self.asked: set[tuple[str, int, int]] = set()
        # Motors with no known feedback id, waiting for an answer: motor -> time of the command.
        self.unplaced: dict[int, float] = {}
        self.mit_limits: dict[Limits, Any] = {}

    def motor(self, motor_id: int) -> MotorSpec:
        if motor_id not in self.motors:
            self.motors[motor_id] = MotorSpec(motor_id)
        return self.motors[motor_id]

    def place(self, m: MotorSpec, master_id: int) -> None:
        if m.master_id is None and master_id not in self.by_master and master_id not in self.motors:
            m.master_id = master_id
            self.by_master[master_id] = m
            self.unplaced.pop(m.motor_id, None)

    def limits_of(self, motor_id: int) -> Any:
        m = self.motors.get(motor_id)
        lim = m.limits if m else Limits()
        if lim not in self.mit_limits:
            self.mit_limits[lim] = self.tables.mit_limits(p_max=lim.p_max, v_max=lim.v_max, t_max=lim.t_max)
        return self.mit_limits[lim]

    def read(self, f: Frame, feedback_of: int | None) -> Any:
        """torvane_ext's reading of F; without feedback_of an MIT command's limits are its identifier's motor's."""
        limits = self.limits_of(f.can_id if feedback_of is None else feedback_of)
        return self.tables.decode_frame(f.can_id, f.data, limits, feedback_of=feedback_of, motors=self.motors.keys(),
                                        asked=self.asked)

    def feed(self, f: Frame) -> Event:
        e = self._decode(f)
        if e.kind in ANSWERED and e.motor_id is not None and self.motors[e.motor_id].master_id is None:
            self.unplaced.setdefault(e.motor_id, f.t)
        return e

    def _decode(self, f: Frame) -> Event:
        if f.error:
            r = self.tables.decode_frame(f.can_id | CAN_ERR_FLAG, f.data)
            return Event(f.t, f, r.kind, None, {**r.values, "error": r.error, "bus_state": r.state})
        if f.remote or f.extended:
            return Event(f.t, f, "raw")
        known = self.by_master.get(f.can_id)
        r = self.read(f, known.motor_id if known else None)
        if r.kind in REQUESTS:
            return self.register_answer(f, r)
        if known is None and r.kind in (*COMMANDS, "raw") and r.motor_id not in self.motors:
            # No known motor's command: perhaps the first answer of one without a feedback id.
            for motor_id in self.unplaced:
                answer = self.read(f, motor_id)
                if answer.kind == "feedback" and int(answer.status) in self.tables.statuses:
                    self.place(self.motors[motor_id], f.can_id)
                    return self.event(f, answer)
        if r.motor_id is not None:
            self.motor(r.motor_id)
        if r.kind in REQUESTS.values():
            self.asked.add((r.kind, r.motor_id, r.values["register"]))
        return self.event(f, r)

    def register_answer(self, f: Frame, r: Any) -> Event:
        self.asked.discard((REQUESTS[r.kind], r.motor_id, r.values["register"]))
        m = self.motor(r.motor_id)
        self.place(m, f.can_id)
        e = self.event(f, r)
        limit, value = LIMIT_REGISTERS.get(e.values["name"]), e.values["value"]
        if r.kind == "reg_reply" and limit and isinstance(value, float) and math.isfinite(value) and value > 0:
            m.limits = replace(m.limits, **{limit: value})
        return e

    def event(self, f: Frame, r: Any) -> Event:
        values = dict(r.values)
        if r.kind == "feedback":
            name, fault = self.tables.status(int(r.status))
            values = {"status": int(r.status), "status_name": name, "fault": fault, **values}
        elif "register" in values:
            values = {"register": values["register"], "name": self.tables.register(values["register"]), **values}
        return Event(f.t, f, r.kind, r.motor_id, values)


def decode(frames: Iterable[Frame], motors: Iterable[MotorSpec], tables: Tables) -> list[Event]:
    decoder = Decoder(motors, tables)
    return [decoder.feed(f) for f in frames]


# ---- text -----------------------------------------------------------------------------

def number(v: Any) -> str:
    if isinstance(v, float):
        return f"{v:+.4f}"
    return str(v)


def event_text(e: Event) -> str:
    """One line: time, interface, identifier, motor, kind, values, and the raw bytes for what is not decoded."""
    ident = f"{e.frame.can_id | CAN_ERR_FLAG:08X}" if e.frame.error else f"{e.frame.can_id:03X}"
    head = f"{e.t:.6f} {e.frame.iface} {ident}"
    who = f"motor {e.motor_id}" if e.motor_id is not None else "-"
    v = e.values
    if e.kind == "error":
        body = v["error"]
    elif e.kind == "feedback":
        body = (f"status={v['status_name']} pos={v['position']:+.4f} vel={v['velocity']:+.4f} "
                f"torque={v['torque']:+.4f} t_mos={v['t_mos']} t_rotor={v['t_rotor']}")
    elif e.kind in ("reg_read", "reg_write", "reg_reply", "reg_ack"):
        value = v.get("value")
        shown = "" if value is None else f" = {value!r}" if isinstance(value, float) else f" = {value}"
        body = f"{v['name']} ({v['register']}){shown}"
    elif e.kind == "raw":
        body = (("##" if e.frame.fd else "#") + e.frame.data.hex().upper())
    else:
        body = " ".join(f"{k}={number(x)}" for k, x in v.items())
    return f"{head} {who:<10} {e.kind:<11} {body}".rstrip()


CSV_HEADER = ["time_s", "iface", "can_id", "motor_id", "kind", "status", "position", "velocity", "torque", "t_mos",
              "t_rotor", "q", "dq", "kp", "kd", "tau", "v_limit", "i_limit", "register", "value", "error",
              "bus_state", "data"]


def csv_row(e: Event) -> list[Any]:
    v = dict(e.values)
    if "status_name" in v:
        v["status"] = v.pop("status_name")
        v.pop("fault")
    ident = f"0x{e.frame.can_id | CAN_ERR_FLAG:08X}" if e.frame.error else f"0x{e.frame.can_id:03X}"
    row: list[Any] = [f"{e.t:.6f}", e.frame.iface, ident,
                      "" if e.motor_id is None else e.motor_id, e.kind]
    for col in CSV_HEADER[5:-1]:
        x = v.get(col, "")
        row.append(f"{x:.6f}" if isinstance(x, float) else x)
    row.append(e.frame.data.hex().upper())
    return row


# ---- summary ----------------------------------------------------------------------------

def percentile(sorted_values: list[float], p: float) -> float:
    """Nearest rank: the smallest value with at least p% of the values at or below it."""
    if not sorted_values:
        return math.nan
    rank = max(1, math.ceil(p / 100 * len(sorted_values)))
    return sorted_values[rank - 1]


@dataclass
class MotorStats:
    motor_id: int
    frames: int = 0
    commands: int = 0
    first_command: float | None = None
    last_command: float | None = None
    latencies: list[float] = field(default_factory=list)
    missed: int = 0
    waiting: float | None = None          # time of the command not answered yet
    faults: dict[str, int] = field(default_factory=dict)
    last: Event | None = None             # the last feedback
    last_command_event: Event | None = None

    def rate(self) -> float:
        if self.commands < 2 or self.first_command is None or self.last_command is None:
            return 0.0
        span = self.last_command - self.first_command
        return (self.commands - 1) / span if span > 0 else 0.0


class Summary:
    """Per motor: frames, commands, latency of each answered command, missed answers, faults.

    A command counts as missed when the motor's next command comes before its
    answer, or when it is still unanswered `grace` seconds before the end.
    """

    def __init__(self, grace: float = 0.1, tables: Tables | None = None) -> None:
        self.grace = grace
        self.tables = tables
        self.motors: dict[int, MotorStats] = {}
        self.end = 0.0
        # The bus: error frames by class, and the last state one reported.
        self.errors: dict[str, int] = {}
        self.bus_state = "error-active"

    def add(self, e: Event) -> None:
        self.end = max(self.end, e.t)
        if e.kind == "error":
            for name in self.tables.classes(e.values["classes"]) if self.tables else []:
                self.errors[name] = self.errors.get(name, 0) + 1
            self.bus_state = e.values["bus_state"] or self.bus_state
        if e.motor_id is None:
            return
        s = self.motors.setdefault(e.motor_id, MotorStats(e.motor_id))
        s.frames += 1
        if e.kind in ANSWERED:
            s.commands += 1
            s.first_command = e.t if s.first_command is None else s.first_command
            s.last_command = e.t
            s.last_command_event = e
            if s.waiting is not None:
                s.missed += 1
            s.waiting = e.t
        elif e.kind in ("feedback", "reg_reply", "reg_ack"):
            if s.waiting is not None:
                s.latencies.append(e.t - s.waiting)
                s.waiting = None
            if e.kind == "feedback":
                s.last = e
                name = e.values["status_name"]
                if e.values["fault"]:
                    s.faults[name] = s.faults.get(name, 0) + 1

    def missed(self, s: MotorStats) -> int:
        late = s.waiting is not None and self.end - s.waiting >= self.grace
        return s.missed + int(late)

    def lines(self, masters: dict[int, int | None] | None = None) -> list[str]:
        out = []
        for motor_id in sorted(self.motors):
            s = self.motors[motor_id]
            lat = sorted(s.latencies)
            master = (masters or {}).get(motor_id)
            name = f"motor {motor_id}" + (f" (feedback 0x{master:X})" if master is not None else "")
            if lat:
                latency = (f"latency p50 {percentile(lat, 50) * 1e3:.3f} ms p99 {percentile(lat, 99) * 1e3:.3f} ms "
                           f"max {lat[-1] * 1e3:.3f} ms over {len(lat)}")
            else:
                latency = "latency -"
            faults = ", ".join(f"{k} x{n}" for k, n in s.faults.items()) or "none"
            out.append(f"{name}: {s.frames} frames, {s.commands} commands at {s.rate():.1f}/s, {latency}, "
                       f"{self.missed(s)} missed, faults: {faults}")
        return [*out, self.bus_line()]

    def bus_line(self) -> str:
        """The bus's last state and its error frames by class."""
        return f"bus: {self.bus_state}, error frames: {errors_text(self.errors)}"


def errors_text(counts: dict[str, int]) -> str:
    """"controller x2, bus-off x1" of the classes seen, or "none"."""
    return ", ".join(f"{k} x{n}" for k, n in counts.items() if n) or "none"
