"""Stand-ins for torvane and torvane_ext, so dmtool's own logic is tested
without a bus.

They keep the rules dmtool depends on, as the real modules behave: a motor
answers only a Damiao that names its feedback id, though a group command
reaches it by its command id alone, and its reply names it by the low nibble
of that id; a register name matches in
any case; an int no Uint32 holds is refused with OverflowError, a write of
the wrong type or to a read-only register with RegisterError; a write reads
back what the motor kept; new ids take effect only after a save and a power
cycle; a group refuses duplicate feedback ids and gives None for a motor that
did not answer; saving disables the motor; scan's ids default (None) is 1..16;
a bus's health is its own record, which a test sets (a bus-off tick raises
BusError after the state became "bus-off").
"""

from __future__ import annotations

import enum
import struct
import types
from dataclasses import dataclass, field

import torvane_ext

from dmtool.session import Api


class MotorError(RuntimeError):
    pass


class MotorTimeout(MotorError):
    pass


class BusError(MotorError):
    def __init__(self, message, errno=None):
        super().__init__(message)
        self.errno = errno


class RegisterError(MotorError):
    pass


class VerifyError(MotorError):
    pass


class ControlMode(enum.IntEnum):
    MIT = 1
    POS_VEL = 2
    VEL = 3
    FORCE_POS = 4


@dataclass(frozen=True)
class RegisterInfo:
    number: int
    name: str
    type: str
    read_only: bool


# Part of the real table: enough kinds of register for every rule.
REGISTERS = tuple(RegisterInfo(*r) for r in [
    (0, "UV_Value", "float", False), (4, "ACC", "float", False), (7, "MST_ID", "int", False),
    (8, "ESC_ID", "int", False), (9, "TIMEOUT", "int", False), (10, "CTRL_MODE", "int", False),
    (13, "hw_ver", "int", True), (14, "sw_ver", "int", True), (15, "SN", "int", True),
    (21, "PMAX", "float", False), (22, "VMAX", "float", False), (23, "TMAX", "float", False),
    (35, "can_br", "int", False), (80, "p_m", "float", True),
])
BY_NUMBER = {r.number: r for r in REGISTERS}
BY_LOWER_NAME = {r.name.lower(): r for r in REGISTERS}
UINT32_MAX = 2**32 - 1


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


@dataclass(frozen=True)
class MitLimits:
    p_max: float = 12.5
    v_max: float = 30.0
    kp_max: float = 500.0
    kd_max: float = 5.0
    t_max: float = 10.0

    @staticmethod
    def dm4310():
        return MitLimits()


@dataclass(frozen=True)
class MotorState:
    motor_id: int
    error: int
    position: float
    velocity: float
    torque: float
    t_mos: int
    t_rotor: int


@dataclass(frozen=True)
class MotorInfo:
    motor_id: int
    master_id: int
    mode: object
    limits: MitLimits
    hw_ver: int
    sw_ver: int
    serial: int


class Damiao:
    # The real one shows only its two ids.
    def __init__(self, motor_id, master_id, limits=None, timeout_ms=20):
        self.motor_id, self.master_id = motor_id, master_id
        self._limits = limits or MitLimits.dm4310()
        self._timeout_ms = timeout_ms


@dataclass
class FakeMotor:
    """One motor on the fake bus. `ids` are those in force; the registers hold what was written."""

    motor_id: int
    master_id: int
    p_max: float = 12.5
    mode: int = ControlMode.POS_VEL
    position: float = 0.0
    step: float = 0.25         # rad a POS_VEL command moves it, at most
    enabled: bool = False
    fault: int = 0
    answering: bool = True
    stale: int = 0             # replies to another program's commands still to come before ours
    stale_reply: object = None # what those say: the motor as it was when the first came
    fd_replies: str = "fd"     # how it answers an FD request: "fd", "classic" or "none"
    keeps: dict = field(default_factory=dict)   # register -> the value it keeps whatever is written
    silent_registers: set = field(default_factory=set)
    registers: dict = field(default_factory=dict)
    saved: dict = field(default_factory=dict)

    def __post_init__(self):
        self.registers = {0: 10.0, 4: 0.1, 7: self.master_id, 8: self.motor_id, 9: 0, 10: int(self.mode),
                          13: 1, 14: 4107, 15: 0x2A0051, 21: self.p_max, 22: 30.0, 23: 10.0, 35: 4, 80: 0.0,
                          **self.registers}
        for n, value in self.registers.items():
            self.store(n, value)
        self.saved = dict(self.registers)

    def store(self, number, value):
        # Float registers are single precision on the motor.
        self.registers[number] = f32(value) if BY_NUMBER[number].type == "float" else value

    @property
    def status(self):
        return self.fault or int(self.enabled)

    def state(self):
        return MotorState(self.motor_id & 0x0F, self.status, self.position, 0.0, 0.0, 30, 31)

    def info(self):
        mode = self.registers[10]
        return MotorInfo(self.motor_id, self.master_id, ControlMode(mode) if mode in range(1, 5) else mode,
                         MitLimits(self.registers[21], self.registers[22], 500.0, 5.0, self.registers[23]),
                         self.registers[13], self.registers[14], self.registers[15])


class Bus:
    """The fake bus: motors by command id, and a log of what was asked of it."""

    def __init__(self, *motors, iface="can0"):
        self.iface = iface
        self.motors = list(motors)
        self.log = []
        self.on_call = None    # called with the log entry before a call is served
        self.health = types.SimpleNamespace(iface=iface, state="error-active", frames_out=0, frames_in=0, stale=0,
                                            unsolicited=0, tx_waits=0,
                                            error_frames=dict.fromkeys(torvane_ext.ERROR_CLASSES, 0))

    def note(self, *entry):
        self.log.append(entry)
        if self.on_call:
            self.on_call(entry)

    def find(self, motor_id):
        return next((m for m in self.motors if m.motor_id == motor_id and m.answering), None)

    def reach(self, damiao):
        m = self.find(damiao.motor_id)
        if m is None or m.master_id != damiao.master_id:
            raise MotorTimeout("timeout waiting for frame")
        return m

    def power_cycle(self):
        for m in self.motors:
            m.registers = dict(m.saved)
            m.motor_id, m.master_id = m.registers[8], m.registers[7]
            m.enabled = False


def make_api(*buses):
    """An Api whose modules serve BUSES, each on its own interface."""
    tv = types.ModuleType("torvane")
    tx = types.ModuleType("torvane_ext")
    by_iface = {b.iface: b for b in buses}

    def open_bus(iface):
        if iface not in by_iface:
            raise OSError(19, "No such device")
        return by_iface[iface]

    tv.SocketCanTransport = open_bus
    tv.Damiao = Damiao
    tv.MitLimits = MitLimits

    def register(reg):
        # The real table matches names in any case.
        info = BY_LOWER_NAME.get(reg.lower()) if isinstance(reg, str) else BY_NUMBER.get(reg)
        if info is None:
            raise RegisterError(f"unknown register {reg!r}")
        return info

    def read_register(b, m, reg):
        info = register(reg)
        b.note("read", m.motor_id, info.number)
        motor = b.reach(m)
        if info.number in motor.silent_registers:
            raise MotorTimeout("timeout waiting for frame")
        return motor.registers[info.number]

    def write_register(b, m, reg, value, verify=True):
        info = register(reg)
        # An int that no Uint32 holds is refused before anything is sent, as a bad argument.
        if info.type == "int" and isinstance(value, int) and not 0 <= value <= UINT32_MAX:
            raise OverflowError("out of range integral type conversion attempted")
        if info.read_only:
            raise RegisterError(f"register {info.number} is read-only")
        if not isinstance(value, int if info.type == "int" else (int, float)):
            raise RegisterError(f"register {info.number} takes an int")
        b.note("write", m.motor_id, info.number, value)
        motor = b.reach(m)
        motor.store(info.number, motor.keeps.get(info.number, value))
        if verify and motor.registers[info.number] != (f32(value) if info.type == "float" else value):
            raise VerifyError(f"register {info.number} reads back {motor.registers[info.number]}, not {value}")

    def save_parameters(b, m):
        b.note("save", m.motor_id)
        motor = b.reach(m)
        motor.enabled = False
        motor.saved = dict(motor.registers)

    def set_control_mode(b, m, mode):
        b.note("mode", m.motor_id, int(mode))
        write_register(b, m, 10, int(ControlMode(mode)))

    def scan(b, ids=None, timeout_ms=20):
        ids = list(range(1, 17) if ids is None else ids)
        b.note("scan", tuple(ids))
        return [motor.info() for i in ids if (motor := b.find(i))]

    def read_limits(b, m):
        b.note("read_limits", m.motor_id)
        r = b.reach(m).registers
        return MitLimits(r[21], r[22], 500.0, 5.0, r[23])

    def refresh(b, m):
        b.note("refresh", m.motor_id)
        return b.reach(m).state()

    def pos_vel(b, m, q, dq):
        b.note("pos_vel", m.motor_id, q, dq)
        motor = b.reach(m)
        if motor.enabled and motor.registers[10] == ControlMode.POS_VEL:
            motor.position += max(-motor.step, min(motor.step, q - motor.position))
        return motor.state()

    class MotorGroup:
        def __init__(self, b, motors, timeout_ms=None, fd=False, *, spin_us=0, on_fault="report", on_exit="disable",
                     watchdog_ms=None, limits=None, mode=None, set_mode=False):
            self.bus, self.motors, self.fd = b, tuple(motors), fd
            b.group_fd = fd
            self.timeout_ms = timeout_ms if timeout_ms is not None else max(m._timeout_ms for m in motors)
            if len({m.master_id for m in motors}) != len(motors):
                raise ValueError("feedback ids must be distinct")

        def _tick(self, name, act):
            self.bus.note("group", name, tuple(m.motor_id for m in self.motors))
            out = []
            for m in self.motors:
                motor = self.bus.find(m.motor_id)
                if motor is None or (self.fd and motor.fd_replies == "none"):
                    out.append(None)
                    continue
                before = motor.state()
                act(motor)
                if motor.master_id != m.master_id:
                    out.append(None)     # it replied, on an identifier the group does not wait on
                elif motor.stale:
                    motor.stale -= 1
                    motor.stale_reply = motor.stale_reply or before
                    out.append(motor.stale_reply)
                else:
                    out.append(motor.state())
            return tuple(out)

        def enable(self):
            return self._tick("enable", lambda motor: setattr(motor, "enabled", not motor.fault))

        def disable(self):
            return self._tick("disable", lambda motor: setattr(motor, "enabled", False))

        def set_zero(self):
            return self._tick("set_zero", lambda motor: setattr(motor, "position", 0.0))

        def clear_error(self):
            return self._tick("clear_error", lambda motor: setattr(motor, "fault", 0))

        def refresh(self):
            return self._tick("refresh", lambda motor: None)

    def bus_health(b):
        h = b.health
        return types.SimpleNamespace(**{**vars(h), "error_frames": dict(h.error_frames)})

    for item in (MotorError, MotorTimeout, BusError, RegisterError, VerifyError, ControlMode, RegisterInfo, MotorInfo,
                 MotorGroup, read_register, write_register, save_parameters, set_control_mode, scan, read_limits,
                 refresh, pos_vel, bus_health):
        setattr(tx, item.__name__, item)
    tx.REGISTERS = REGISTERS
    tx.ERROR_CLASSES = torvane_ext.ERROR_CLASSES
    # The status table is data, with nothing of a bus to stand in for.
    tx.Status, tx.status = torvane_ext.Status, torvane_ext.status
    return Api(tv, tx)
