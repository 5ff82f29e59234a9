"""What each frame on a bus of Damiao motors says, from the frames alone.

`Decoder.feed` takes frames in the order they passed and gives one `Event`
per frame: which motor, what kind, and the values it carries. It knows only
what the frames and the --motor presets tell it: the limits that scale MIT
values are the preset's until a register reply for PMAX, VMAX or TMAX of
that motor passes; a feedback id not given is learnt from a register reply
(bytes 0-1 name the motor) or from the first answer after a command. Nothing
here touches a socket.

`Summary` gathers, per motor, frames, command rate, reply latency (command
to that motor's next answer) and faults.
"""

from __future__ import annotations

import math
import struct
from collections.abc import Iterable
from dataclasses import dataclass, field, replace
from typing import Any

from dmtool.candump import Frame

REGISTER_ID = 0x7FF
POS_VEL_BASE, VEL_BASE, FORCE_POS_BASE = 0x100, 0x200, 0x300
OP_READ, OP_WRITE, OP_SAVE, OP_REFRESH = 0x33, 0x55, 0xAA, 0xCC
MODES = ((0, "mit"), (POS_VEL_BASE, "pos_vel"), (VEL_BASE, "vel"), (FORCE_POS_BASE, "force_pos"))
FIXED = {0xFC: "enable", 0xFD: "disable", 0xFE: "set_zero", 0xFB: "clear_error"}
REG_PMAX, REG_VMAX, REG_TMAX = 21, 22, 23
KP_MAX, KD_MAX = 500.0, 5.0        # no register holds the gain ranges
# Commands a motor answers; a save is not answered.
ANSWERED = {"mit", "pos_vel", "vel", "force_pos", "refresh", "reg_read", "reg_write", *FIXED.values()}


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
    """What the decoder names: registers (number -> (name, is_float)) and statuses (code -> (name, is_fault))."""

    registers: dict[int, tuple[str, bool]]
    statuses: dict[int, tuple[str, bool]]

    @classmethod
    def of(cls, tx: Any) -> Tables:
        return cls({r.number: (r.name, r.type == "float") for r in tx.REGISTERS},
                   {int(s): (s.name, s.is_fault) for s in tx.Status})

    def status(self, code: int) -> tuple[str, bool]:
        # A code outside the table is no state a working motor reports.
        return self.statuses.get(code, (f"0x{code:X}", True))


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
    kind: str                 # mit, pos_vel, ..., feedback, reg_reply, reg_ack, raw
    motor_id: int | None = None
    values: dict[str, Any] = field(default_factory=dict)


def f32(data: bytes, at: int) -> float:
    return struct.unpack_from("<f", data, at)[0]


def u16(data: bytes, at: int) -> int:
    return struct.unpack_from("<H", data, at)[0]


def unscale(code: int, m: float, bits: int) -> float:
    return code * (2 * m) / ((1 << bits) - 1) - m


def mit_values(d: bytes, lim: Limits) -> dict[str, float]:
    p = d[0] << 8 | d[1]
    v = d[2] << 4 | d[3] >> 4
    kp = (d[3] & 0xF) << 8 | d[4]
    kd = d[5] << 4 | d[6] >> 4
    t = (d[6] & 0xF) << 8 | d[7]
    return {"q": unscale(p, lim.p_max, 16), "dq": unscale(v, lim.v_max, 12), "kp": kp * KP_MAX / 4095,
            "kd": kd * KD_MAX / 4095, "tau": unscale(t, lim.t_max, 12)}


def feedback_values(d: bytes, lim: Limits, tables: Tables) -> dict[str, Any]:
    status = d[0] >> 4
    name, fault = tables.status(status)
    return {"status": status, "status_name": name, "fault": fault,
            "position": unscale(d[1] << 8 | d[2], lim.p_max, 16),
            "velocity": unscale(d[3] << 4 | d[4] >> 4, lim.v_max, 12),
            "torque": unscale((d[4] & 0xF) << 8 | d[5], lim.t_max, 12), "t_mos": d[6], "t_rotor": d[7]}


class Decoder:
    def __init__(self, motors: Iterable[MotorSpec], tables: Tables) -> None:
        self.tables = tables
        self.motors: dict[int, MotorSpec] = {m.motor_id: replace(m) for m in motors}
        self.by_master = {m.master_id: m for m in self.motors.values() if m.master_id is not None}
        # Register requests not answered yet: (motor, op, reg).
        self.asked: set[tuple[int, int, int]] = set()
        # Motors with no known feedback id, waiting for an answer: motor -> time of the command.
        self.unplaced: dict[int, float] = {}

    def motor(self, motor_id: int) -> MotorSpec:
        if motor_id not in self.motors:
            self.motors[motor_id] = MotorSpec(motor_id)
        return self.motors[motor_id]

    def place(self, m: MotorSpec, master_id: int) -> None:
        if m.master_id is None and master_id not in self.by_master and master_id not in self.motors:
            m.master_id = master_id
            self.by_master[master_id] = m
            self.unplaced.pop(m.motor_id, None)

    def register_value(self, reg: int, bits: bytes) -> int | float:
        is_float = self.tables.registers.get(reg, ("", False))[1]
        return f32(bits, 0) if is_float else struct.unpack("<I", bits)[0]

    def reg_fields(self, reg: int, data: bytes, with_value: bool) -> dict[str, Any]:
        out: dict[str, Any] = {"register": reg, "name": self.tables.registers.get(reg, (f"r{reg}", False))[0]}
        if with_value:
            out["value"] = self.register_value(reg, data[4:8])
        return out

    def feed(self, f: Frame) -> Event:
        e = self._decode(f)
        if e.kind in ANSWERED and e.motor_id is not None and self.motors[e.motor_id].master_id is None:
            self.unplaced.setdefault(e.motor_id, f.t)
        return e

    def _decode(self, f: Frame) -> Event:
        d, cid = f.data, f.can_id
        raw = Event(f.t, f, "raw")
        if f.remote or f.error or f.extended:
            return raw
        if cid == REGISTER_ID:
            return self.system(f)
        if len(d) == 8 and d[2] in (OP_READ, OP_WRITE):
            motor_id = d[0] | d[1] << 8
            op = d[2]
            if (motor_id, op, d[3]) in self.asked:
                return self.register_answer(f, motor_id, op)
        if cid in self.by_master:
            m = self.by_master[cid]
            if len(d) < 8:
                return replace(raw, motor_id=m.motor_id)
            return Event(f.t, f, "feedback", m.motor_id, feedback_values(d, m.limits, self.tables))
        if len(d) == 8 and not any(cid - base in self.motors for base, _ in MODES):
            for motor_id in self.unplaced:
                if (d[0] & 0xF) == (motor_id & 0xF) and d[0] >> 4 in self.tables.statuses:
                    m = self.motors[motor_id]
                    self.place(m, cid)
                    return Event(f.t, f, "feedback", motor_id, feedback_values(d, m.limits, self.tables))
        return self.command(f)

    def command(self, f: Frame) -> Event:
        d, cid = f.data, f.can_id
        # A motor named by --motor (or seen) first; then the id ranges as they are laid out.
        for base, kind in MODES:
            if cid - base in self.motors:
                break
        else:
            if cid >> 8 >= len(MODES) or not cid & 0xFF:
                return Event(f.t, f, "raw")
            base, kind = MODES[cid >> 8]
        motor_id = cid - base
        m = self.motor(motor_id)
        if kind == "mit":
            if len(d) != 8:
                return Event(f.t, f, "raw", motor_id)
            if d[:7] == b"\xff" * 7 and d[7] in FIXED:
                return Event(f.t, f, FIXED[d[7]], motor_id)
            return Event(f.t, f, "mit", motor_id, mit_values(d, m.limits))
        if kind == "pos_vel" and len(d) >= 8:
            return Event(f.t, f, kind, motor_id, {"q": f32(d, 0), "dq": f32(d, 4)})
        if kind == "vel" and len(d) >= 4:
            return Event(f.t, f, kind, motor_id, {"dq": f32(d, 0)})
        if kind == "force_pos" and len(d) >= 8:
            return Event(f.t, f, kind, motor_id,
                         {"q": f32(d, 0), "v_limit": u16(d, 4) / 100.0, "i_limit": u16(d, 6) / 10000.0})
        return Event(f.t, f, "raw", motor_id)

    def system(self, f: Frame) -> Event:
        d = f.data
        if len(d) != 8:
            return Event(f.t, f, "raw")
        motor_id, op = d[0] | d[1] << 8, d[2]
        if op == OP_REFRESH:
            self.motor(motor_id)
            return Event(f.t, f, "refresh", motor_id)
        if op == OP_SAVE and d[3] == 0x01:
            self.motor(motor_id)
            return Event(f.t, f, "save", motor_id)
        if op in (OP_READ, OP_WRITE):
            self.motor(motor_id)
            self.asked.add((motor_id, op, d[3]))
            kind = "reg_read" if op == OP_READ else "reg_write"
            return Event(f.t, f, kind, motor_id, self.reg_fields(d[3], d, op == OP_WRITE))
        return Event(f.t, f, "raw")

    def register_answer(self, f: Frame, motor_id: int, op: int) -> Event:
        d = f.data
        reg = d[3]
        self.asked.discard((motor_id, op, reg))
        m = self.motor(motor_id)
        self.place(m, f.can_id)
        values = self.reg_fields(reg, d, True)
        if op == OP_READ and reg in (REG_PMAX, REG_VMAX, REG_TMAX):
            value = values["value"]
            if isinstance(value, float) and math.isfinite(value) and value > 0:
                name = {REG_PMAX: "p_max", REG_VMAX: "v_max", REG_TMAX: "t_max"}[reg]
                m.limits = replace(m.limits, **{name: value})
        return Event(f.t, f, "reg_reply" if op == OP_READ else "reg_ack", motor_id, values)


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
    head = f"{e.t:.6f} {e.frame.iface} {e.frame.can_id:03X}"
    who = f"motor {e.motor_id}" if e.motor_id is not None else "-"
    v = e.values
    if e.kind == "feedback":
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
              "t_rotor", "q", "dq", "kp", "kd", "tau", "v_limit", "i_limit", "register", "value", "data"]


def csv_row(e: Event) -> list[Any]:
    v = dict(e.values)
    if "status_name" in v:
        v["status"] = v.pop("status_name")
        v.pop("fault")
    row: list[Any] = [f"{e.t:.6f}", e.frame.iface, f"0x{e.frame.can_id:03X}",
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

    def __init__(self, grace: float = 0.1) -> None:
        self.grace = grace
        self.motors: dict[int, MotorStats] = {}
        self.end = 0.0

    def add(self, e: Event) -> None:
        self.end = max(self.end, e.t)
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
        return out
