"""What every subcommand works with: the two modules, the bus, the motors.

The modules come in as an ``Api`` so that the tests can hand in stand-ins;
nothing in dmtool imports torvane or torvane_ext at load time.
"""

from __future__ import annotations

import importlib
from dataclasses import dataclass
from types import ModuleType
from typing import Any

from dmtool.errors import Failure, UsageError
from dmtool.text import motor_name


@dataclass(frozen=True)
class Api:
    torvane: ModuleType
    ext: ModuleType


def load_api() -> Api:
    try:
        return Api(importlib.import_module("torvane"), importlib.import_module("torvane_ext"))
    except ImportError as e:
        raise Failure(f"cannot load the motor modules: {e}") from None


def no_answer(what: str, iface: str) -> Failure:
    return Failure(f"{what} did not answer on {iface} (powered? on this bus, at this bit rate? "
                   f"'dmtool --iface {iface} scan' lists the motors that answer)")


class Session:
    """One bus, opened on first use, and the motors named on the command line."""

    def __init__(self, api: Api, iface: str, *, fd: bool = False, timeout_ms: int = 20,
                 feedback_id: int | None = None) -> None:
        self.api = api
        self.tv = api.torvane
        self.tx = api.ext
        self.iface = iface
        self.fd = fd
        self.timeout_ms = timeout_ms
        self.feedback_id = feedback_id
        self._bus: Any = None
        # A Damiao does not show its limits: those read for each command id.
        self.limits: dict[int, Any] = {}

    def on(self, iface: str) -> Session:
        """The same options on another interface."""
        return Session(self.api, iface, fd=self.fd, timeout_ms=self.timeout_ms, feedback_id=self.feedback_id)

    @property
    def bus(self) -> Any:
        if self._bus is None:
            try:
                self._bus = self.tv.SocketCanTransport(self.iface)
            except OSError as e:
                raise Failure(f"cannot open {self.iface}: {e}") from None
        return self._bus

    @property
    def opened(self) -> bool:
        return self._bus is not None

    def register(self, reg: str) -> Any:
        """The tx.RegisterInfo that REG names: a number, or a name in any case."""
        table = self.tx.REGISTERS
        try:
            number = int(reg, 0)
        except ValueError:
            found = [r for r in table if r.name == reg] or [r for r in table if r.name.lower() == reg.lower()]
        else:
            found = [r for r in table if r.number == number]
        if not found:
            raise UsageError(f"no register {reg!r} ('dmtool info ID' lists them all)")
        return found[0]

    def motor(self, motor_id: int, *, limits: bool = False) -> Any:
        """A torvane.Damiao for command id MOTOR_ID, with its feedback id.

        The feedback id is --master-id when given, otherwise what the motor
        answers to a scan of its one id (register 7). With LIMITS the
        motor's own PMAX/VMAX/TMAX replace the preset, so positions decode
        right.
        """
        tv, tx = self.tv, self.tx
        if self.feedback_id is None:
            found = tx.scan(self.bus, ids=[motor_id], timeout_ms=self.timeout_ms)
            if not found:
                raise no_answer(motor_name(motor_id), self.iface)
            info = found[0]
            self.limits[motor_id] = info.limits
            return tv.Damiao(info.motor_id, info.master_id, info.limits, timeout_ms=self.timeout_ms)
        motor = tv.Damiao(motor_id, self.feedback_id, timeout_ms=self.timeout_ms)
        if not limits:
            return motor
        try:
            read = tx.read_limits(self.bus, motor)
        except tx.MotorTimeout:
            raise no_answer(motor_name(motor_id, self.feedback_id), self.iface) from None
        self.limits[motor_id] = read
        return tv.Damiao(motor_id, self.feedback_id, read, timeout_ms=self.timeout_ms)

    def motors(self, motor_ids: list[int], *, limits: bool = False) -> list[Any]:
        if len(set(motor_ids)) != len(motor_ids):
            raise UsageError("each motor id once, please")
        if self.feedback_id is not None and len(motor_ids) > 1:
            raise UsageError("--master-id is the feedback id of one motor; name one ID, or leave it out "
                             "and each motor's is read from it")
        motors = [self.motor(i, limits=limits) for i in motor_ids]
        seen: dict[int, int] = {}
        for m in motors:
            if m.master_id in seen:
                raise Failure(f"motors {seen[m.master_id]} and {m.motor_id} both answer on feedback id "
                              f"{m.master_id:#x}; give one a new one with 'dmtool set-id'")
            seen[m.master_id] = m.motor_id
        return motors

    def group(self, motors: list[Any]) -> Any:
        # A command's motors stay as it leaves them ('dmtool enable' and 'move' leave them enabled):
        # no stop at exit or collection.
        return self.tx.MotorGroup(self.bus, motors, timeout_ms=self.timeout_ms, fd=self.fd, on_exit="keep")
