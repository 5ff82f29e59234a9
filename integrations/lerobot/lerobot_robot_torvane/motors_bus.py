"""LeRobot's Damiao motors bus on torvane_ext: the same constructor, methods,
data names and units (degrees), with every call that touches several motors
sent as one MotorGroup exchange, the interpreter lock released while it waits.

A motor's latched fault (a torvane_ext.Status whose is_fault is True) is never
passed over: the groups run with on_fault="disable", so the exchange that sees
it disables every motor of the arm in the same call, and the bus raises
MotorFaultError naming the motor and the fault."""

import array
import logging
import math
import time
from contextlib import contextmanager

import torvane
import torvane_ext as tx
from lerobot.motors.motors_bus import MotorCalibration, MotorsBusBase
from lerobot.utils.decorators import check_if_already_connected, check_if_not_connected

logger = logging.getLogger(__name__)

# LeRobot's motor type names that torvane's presets spell differently.
_PRESET_ALIASES = {"dm4310_48v": "dm4310p", "dm4340_48v": "dm4340p", "dmh6215": "dmg6215", "dmg6220": "dmh6220"}

# How old a measured state max_relative_target may still start from: LeRobot's 30 Hz loop reads the
# arm before each action, but its own processing between the two can take hundreds of milliseconds on
# a slow machine; older than this, a send_action refuses to move the arm.
_STATE_AGE_MS = 1000

# The rows of mit_control_into, as torvane_ext lays them out.
_CMD = len(tx.COMMAND_COLUMNS["mit_control"])
_Q, _DQ, _KP, _KD, _TAU = map(tx.COMMAND_COLUMNS["mit_control"].index, ("q", "dq", "kp", "kd", "tau"))
_ROW = len(tx.STATE_COLUMNS)
_POS, _VEL, _TORQUE, _T_MOS, _T_ROTOR = map(tx.STATE_COLUMNS.index,
                                            ("position", "velocity", "torque", "t_mos", "t_rotor"))


class NoReplyError(ConnectionError):
    """A motor missed more ticks, in a row or within the bus's window, than it may be given its
    last state for."""


class MotorFaultError(RuntimeError):
    """A motor reported a latched fault; the arm's motors were disabled before it was raised.

    `faults` maps each faulted motor's name (as the raising bus or robot names its motors) to
    its torvane_ext.Status; the torvane_ext.MotorFault, with motor indexes, is the __cause__.
    The motor drives nothing until its fault is cleared (`dmtool clear`)."""

    def __init__(self, message: str, faults: dict):
        super().__init__(message)
        self.faults = faults


def limits_for(motor_type: str) -> torvane.MitLimits:
    key = motor_type.lower().replace("-", "_")
    preset = getattr(torvane.MitLimits, _PRESET_ALIASES.get(key, key), None)
    if preset is None:
        raise ValueError(f"unknown Damiao motor type {motor_type!r}")
    return preset()


def _rows(n: int, width: int):
    flat = array.array("d", bytes(8 * n * width))
    return flat, memoryview(flat).cast("B").cast("d", [n, width])


class DamiaoMotorsBus(MotorsBusBase):
    """Damiao motors on one SocketCAN interface, in MIT mode, positions in degrees.

    Beyond LeRobot's arguments: `max_stale_ticks` and `stale_window`: a
    silent motor is given its last state (each time with a warning) for at
    most max_stale_ticks of its last stale_window ticks (exchanges that
    include it; 2 of 10 by default); one more miss raises NoReplyError. The
    window also catches a motor that answers only now and then, whose misses
    never come many in a row; stale_window = max_stale_ticks + 1 counts
    misses in a row alone. `timeout_ms`, the one deadline of each exchange
    for all its motors; `watchdog_ms`, each motor's own communication
    timeout, set before it is enabled (None: left alone); and `joint_limits`
    ({motor: (min, max)} degrees) and `max_relative_target`
    (degrees, one for all or per motor), which the group enforces on every
    command as JointLimits, whatever the caller clipped already.

    A latched fault seen by any call raises MotorFaultError once every motor
    of the bus is disabled.
    """

    available_baudrates = [125000, 200000, 250000, 500000, 1000000, 2000000, 2500000, 3200000, 4000000, 5000000]
    default_baudrate = 1000000
    default_timeout = 1000

    def __init__(
        self,
        port: str,
        motors: dict,
        calibration: dict[str, MotorCalibration] | None = None,
        can_interface: str = "auto",
        use_can_fd: bool = True,
        bitrate: int = 1000000,
        data_bitrate: int | None = 5000000,
        *,
        max_stale_ticks: int = 2,
        stale_window: int = 10,
        timeout_ms: int = 10,
        watchdog_ms: int | None = None,
        joint_limits: dict[str, tuple[float, float]] | None = None,
        max_relative_target: float | dict[str, float] | None = None,
    ):
        super().__init__(port, motors, calibration)
        if max_stale_ticks < 0:
            raise ValueError("max_stale_ticks must be 0 or more")
        if stale_window <= max_stale_ticks:
            raise ValueError(f"stale_window ({stale_window}) must be more than max_stale_ticks ({max_stale_ticks}): "
                             "no shorter window can hold more misses than that")
        self.can_interface = can_interface
        self.use_can_fd = use_can_fd
        self.bitrate = bitrate
        self.data_bitrate = data_bitrate
        self.max_stale_ticks = max_stale_ticks
        self.stale_window = stale_window
        self._window_mask = (1 << stale_window) - 1
        self.timeout_ms = timeout_ms
        self.watchdog_ms = watchdog_ms
        self.joint_limits = dict(joint_limits or {})
        self.max_relative_target = max_relative_target
        self._names = tuple(self.motors)
        self._index = {name: i for i, name in enumerate(self._names)}
        self._damiao = []
        self._limits = []
        for name, motor in self.motors.items():
            if motor.motor_type_str is None:
                raise ValueError(f"Motor '{name}' is missing required 'motor_type'")
            if motor.recv_id is None:
                raise ValueError(f"Motor '{name}' has no recv_id")
            limits = limits_for(motor.motor_type_str)
            self._damiao.append(torvane.Damiao(motor.id, motor.recv_id, limits, timeout_ms=timeout_ms))
            self._limits.append(self._joint_limits(name, limits))
        # None until the motor first answers: a miss before that has no state to fall back on.
        self._last_known_states: dict[str, dict | None] = {name: None for name in self._names}
        # Misses in a row, and the last stale_window ticks as bits (1: missed, newest lowest).
        self._misses = dict.fromkeys(self._names, 0)
        self._history = dict.fromkeys(self._names, 0)
        self._gains = {name: {"kp": 10.0, "kd": 0.5} for name in self._names}
        self._transport = None
        self._group = None
        self._subgroups: dict[tuple[str, ...], tx.MotorGroup] = {}
        n = len(self._names)
        self._cmd_flat, self._cmd = _rows(n, _CMD)
        self._out_flat, self._out = _rows(n, _ROW)

    def _joint_limits(self, name: str, limits: torvane.MitLimits) -> tx.JointLimits | None:
        step = self.max_relative_target
        if isinstance(step, dict):
            step = step.get(name)
        window = self.joint_limits.get(name)
        if window is None and step is None:
            return None
        lo, hi = (math.radians(v) for v in window) if window else (-limits.p_max, limits.p_max)
        return tx.JointLimits(position=(lo, hi), max_step=None if step is None else math.radians(step))

    def _make_group(self, indexes) -> tx.MotorGroup:
        # MIT mode is switched to (in RAM, verified) by each enable; close() disables every motor, and so
        # does any exchange that sees a latched fault.
        return tx.MotorGroup(self._transport, [self._damiao[i] for i in indexes], timeout_ms=self.timeout_ms,
                             fd=self.use_can_fd, on_exit="disable", on_fault="disable", watchdog_ms=self.watchdog_ms,
                             limits=[self._limits[i] for i in indexes], mode=tx.ControlMode.MIT, set_mode=True,
                             max_state_age_ms=_STATE_AGE_MS)

    # ---- connection ---------------------------------------------------------------

    @property
    def is_connected(self) -> bool:
        return self._group is not None

    @check_if_already_connected
    def connect(self, handshake: bool = True) -> None:
        """Open the interface; with handshake, enable every motor in one exchange and
        require each to answer."""
        if self.can_interface == "auto":
            self.can_interface = "slcan" if self.port.startswith("/dev/") else "socketcan"
        if self.can_interface != "socketcan":
            raise ConnectionError(f"{self.port}: torvane drives SocketCAN interfaces only, not {self.can_interface}")
        try:
            self._transport = torvane.SocketCanTransport(self.port)
            self._group = self._make_group(range(len(self._names)))
        except Exception as e:
            self._transport = self._group = None
            raise ConnectionError(f"Failed to connect to CAN bus: {e}") from e
        if handshake:
            try:
                self._handshake()
            except BaseException:
                self._close()
                raise

    def _handshake(self) -> None:
        try:
            states = self._group.enable()
        except tx.MotorFault as e:
            raise self._fault(self._group, self._names, e) from e
        missing = [name for name, s in zip(self._names, states) if s is None]
        if missing:
            raise ConnectionError(f"Handshake failed. The following motors did not respond: {missing}. "
                                  "Check power (24V) and CAN wiring.")
        self._settle(self._group, self._names, [self._state_row(s) for s in states])

    @check_if_not_connected
    def disconnect(self, disable_torque: bool = True) -> None:
        if disable_torque:
            try:
                # Every motor, again for those that do not confirm (up to three exchanges).
                self._group.close()
            except Exception as e:
                logger.warning("Failed to disable torque during disconnect: %s", e)
        self._close()

    def _close(self) -> None:
        self._group = self._transport = None
        self._subgroups.clear()

    def label(self, name: str, prefix: str = "") -> str:
        motor = self.motors[name]
        return f"{prefix}{name} (0x{motor.id:02X}/0x{motor.recv_id:02X})"

    def fault_error(self, faults: dict, prefix: str = "") -> MotorFaultError:
        """MotorFaultError for {motor name: Status}, its names given prefix."""
        text = ", ".join(f"{self.label(name, prefix)} latched {getattr(status, 'name', status)}"
                         for name, status in faults.items())
        return MotorFaultError(f"{self.port}: {text}; every motor of the bus was disabled",
                               {prefix + name: status for name, status in faults.items()})

    def _fault(self, group, names, exc: tx.MotorFault) -> MotorFaultError:
        if group is not self._group:
            # The group stopped only its own motors: the rest of the arm too.
            self.emergency_disable()
        return self.fault_error({names[i]: status for i, status in exc.faults.items()})

    def emergency_disable(self) -> None:
        """Disable every motor, up to three exchanges for those that do not confirm; never raises.
        The bus stays usable: enable_torque() brings the motors back."""
        if self._group is None:
            return
        try:
            # The core's one stop: a motor confirms by answering anything but ENABLED (a latched fault too).
            unconfirmed = self._group.disable_all()
            if unconfirmed:
                logger.error("%s: motors did not confirm the disable: %s", self.port,
                             [self._names[i] for i in unconfirmed])
        except Exception as e:  # the caller is already handling a failure
            logger.error("%s: disabling the motors failed: %s", self.port, e)

    # ---- exchanges ------------------------------------------------------------------

    def _group_for(self, names: tuple[str, ...]) -> tx.MotorGroup:
        if names == self._names:
            return self._group
        group = self._subgroups.get(names)
        if group is None:
            group = self._make_group([self._index[n] for n in names])
            self._subgroups[names] = group
        return group

    @staticmethod
    def _state_row(s) -> list[float]:
        if s is None:
            return [math.nan] * _ROW
        return [s.position, s.velocity, s.torque, float(s.t_mos), float(s.t_rotor), float(s.error)]

    def _settle(self, group, names, rows) -> None:
        """Take one exchange's feedback rows (NaN for a silent motor) into the state cache;
        a silent motor keeps its last state while it may, else NoReplyError."""
        silent = None
        states = self._last_known_states
        for name, row in zip(names, rows):
            q = row[_POS]
            if q == q:
                states[name] = {
                    "position": math.degrees(q),
                    "velocity": math.degrees(row[_VEL]),
                    "torque": row[_TORQUE],
                    "temp_mos": row[_T_MOS],
                    "temp_rotor": row[_T_ROTOR],
                }
                self._misses[name] = 0
                if self._history[name]:
                    self._history[name] = (self._history[name] << 1) & self._window_mask
            else:
                if silent is None:
                    silent = []
                silent.append(name)
        if silent:
            self._bridge(group, names, silent)

    def _bridge(self, group, names, silent) -> None:
        now = tx.monotonic_ns()
        answered = dict(zip(names, group.last_answer_ns))
        for other_names, other in self._subgroups.items():
            for name, at in zip(other_names, other.last_answer_ns):
                if at > answered.get(name, 0):
                    answered[name] = at
        if self._group is not None and group is not self._group:
            for name, at in zip(self._names, self._group.last_answer_ns):
                if at > answered.get(name, 0):
                    answered[name] = at
        failures = []
        for name in silent:
            self._misses[name] += 1
            misses = self._misses[name]
            history = self._history[name] = ((self._history[name] << 1) | 1) & self._window_mask
            in_window = history.bit_count()
            at = answered.get(name, 0)
            age_ms = (now - at) / 1e6 if at else math.inf
            label = self.label(name)
            if self._last_known_states[name] is None:
                failures.append(f"{label} has never answered")
            elif misses > self.max_stale_ticks:
                failures.append(f"{label} silent for {misses} ticks, last answer {age_ms:.1f} ms ago")
            elif in_window > self.max_stale_ticks:
                failures.append(f"{label} missed {in_window} of the last {self.stale_window} ticks, "
                                f"last answer {age_ms:.1f} ms ago")
            else:
                logger.warning("%s: no reply from %s (%d of %d misses allowed in %d ticks): using its state "
                               "from %.1f ms ago", self.port, label, in_window, self.max_stale_ticks,
                               self.stale_window, age_ms)
        if failures:
            raise NoReplyError(f"{self.port}: " + "; ".join(failures))

    def _simple(self, command: str, motors, num_retry: int = 0) -> None:
        """enable/disable/set_zero for some motors, one exchange; the silent ones are asked
        again up to num_retry times before the stale rule judges them."""
        names = tuple(self._get_motors_list(motors))
        for attempt in range(num_retry + 1):
            group = self._group_for(names)
            try:
                states = getattr(group, command)()
            except tx.MotorFault as e:
                raise self._fault(group, names, e) from e
            silent = tuple(n for n, s in zip(names, states) if s is None)
            if silent and attempt < num_retry:
                answered = [(n, s) for n, s in zip(names, states) if s is not None]
                self._settle(group, [n for n, _ in answered], [self._state_row(s) for _, s in answered])
                names = silent
                continue
            self._settle(group, names, [self._state_row(s) for s in states])
            return

    def _refresh(self, names: tuple[str, ...]) -> None:
        group = self._group_for(names)
        try:
            if group is self._group:
                group.refresh_into(self._out)
                rows = self._out.tolist()
            else:
                rows = [self._state_row(s) for s in group.refresh()]
        except tx.MotorFault as e:
            raise self._fault(group, names, e) from e
        self._settle(group, names, rows)

    def mit_rows(self, commands: dict, out, first: int = 0) -> None:
        """Write (kp, kd, position_deg, velocity_deg_s, torque) per motor, in the bus's motor
        order, into rows first.. of a mit_control_into command buffer."""
        row = first
        for kp, kd, position, velocity, torque in commands.values():
            out[row, _Q] = math.radians(position)
            out[row, _DQ] = math.radians(velocity)
            out[row, _KP] = kp
            out[row, _KD] = kd
            out[row, _TAU] = torque
            row += 1

    def covers(self, commands: dict) -> bool:
        """Whether commands name every motor in the bus's order: one full-group exchange."""
        return tuple(commands) == self._names

    def _mit_control_batch(self, commands: dict) -> None:
        """MIT commands {motor: (kp, kd, position_deg, velocity_deg_s, torque)}, one exchange."""
        if not commands:
            return
        if self.covers(commands):
            self.mit_rows(commands, self._cmd)
            try:
                self._group.mit_control_into(self._cmd, self._out)
            except tx.MotorFault as e:
                raise self._fault(self._group, self._names, e) from e
            self._settle(self._group, self._names, self._out.tolist())
            return
        names = tuple(self._get_motor_name(m) for m in commands)
        group = self._group_for(names)
        if self.max_relative_target is not None and None in group.last_states:
            # max_step moves a target from the motor's last state in this group: it needs one.
            self._refresh(names)
        setpoints = [torvane.mit_setpoint(q=math.radians(p), dq=math.radians(v), kp=kp, kd=kd, tau=t)
                     for kp, kd, p, v, t in commands.values()]
        try:
            states = group.mit_control(setpoints)
        except tx.MotorFault as e:
            raise self._fault(group, names, e) from e
        self._settle(group, names, [self._state_row(s) for s in states])

    def _mit_control(self, motor, kp: float, kd: float, position_degrees: float, velocity_deg_per_sec: float,
                     torque: float) -> None:
        self._mit_control_batch({self._get_motor_name(motor): (kp, kd, position_degrees, velocity_deg_per_sec,
                                                                torque)})

    # ---- LeRobot's bus interface -----------------------------------------------------

    def configure_motors(self) -> None:
        """Enable every motor, in MIT mode: the group reads each one's mode first and switches it
        (in RAM, verified) if it differs, having set the watchdog if one is asked for."""
        self._simple("enable", None)

    @check_if_not_connected
    def enable_torque(self, motors: str | list[str] | None = None, num_retry: int = 0) -> None:
        self._simple("enable", motors, num_retry)

    @check_if_not_connected
    def disable_torque(self, motors: str | list[str] | None = None, num_retry: int = 0) -> None:
        self._simple("disable", motors, num_retry)

    @contextmanager
    def torque_disabled(self, motors: str | list[str] | None = None):
        self.disable_torque(motors)
        try:
            yield
        finally:
            self.enable_torque(motors)

    @check_if_not_connected
    def set_zero_position(self, motors: str | list[str] | None = None) -> None:
        self._simple("set_zero", motors)

    def _get_cached_value(self, motor: str, data_name: str):
        key = _DATA_NAMES.get(data_name)
        if key is None:
            raise ValueError(f"Unknown data_name: {data_name}")
        state = self._last_known_states[motor]
        if state is None:
            raise NoReplyError(f"{self.port}: motor {motor} has never answered")
        return state[key]

    @check_if_not_connected
    def read(self, data_name: str, motor: str):
        if data_name not in _DATA_NAMES:
            raise ValueError(f"Unknown data_name: {data_name}")
        self._refresh((motor,))
        return self._get_cached_value(motor, data_name)

    @check_if_not_connected
    def write(self, data_name: str, motor: str, value) -> None:
        self.sync_write(data_name, {motor: value})

    @check_if_not_connected
    def sync_read(self, data_name: str, motors: str | list[str] | None = None) -> dict:
        if data_name not in _DATA_NAMES:
            raise ValueError(f"Unknown data_name: {data_name}")
        names = tuple(self._get_motors_list(motors))
        self._refresh(names)
        return {name: self._get_cached_value(name, data_name) for name in names}

    @check_if_not_connected
    def sync_read_all_states(self, motors: str | list[str] | None = None, *, num_retry: int = 0) -> dict:
        """Position, velocity, torque and temperatures of each motor from one refresh exchange."""
        names = tuple(self._get_motors_list(motors))
        self._refresh(names)
        return self.states(names)

    def states(self, names=None) -> dict:
        """The state cache as sync_read_all_states returns it (copies)."""
        return {name: dict(self._last_known_states[name]) for name in (names or self._names)}

    @check_if_not_connected
    def sync_write(self, data_name: str, values: dict) -> None:
        if data_name in ("Kp", "Kd"):
            key = data_name.lower()
            for motor, value in values.items():
                self._gains[motor][key] = float(value)
        elif data_name == "Goal_Position":
            self._mit_control_batch({
                motor: (self._gains[motor]["kp"], self._gains[motor]["kd"], float(value), 0.0, 0.0)
                for motor, value in values.items()
            })
        else:
            raise ValueError(f"Writing {data_name} not supported in MIT mode")

    def read_calibration(self) -> dict[str, MotorCalibration]:
        # Damiao motors keep no calibration of LeRobot's: it lives in the file.
        return self.calibration if self.calibration else {}

    def write_calibration(self, calibration_dict: dict[str, MotorCalibration], cache: bool = True) -> None:
        if cache:
            self.calibration = calibration_dict

    @property
    def is_calibrated(self) -> bool:
        return bool(self.calibration)

    def record_ranges_of_motion(self, motors: str | list[str] | None = None, display_values: bool = True):
        """With torque off, follow the joints moved by hand until Enter; their (mins, maxes) in degrees."""
        from lerobot.utils.utils import enter_pressed, move_cursor_up

        names = self._get_motors_list(motors)
        self.disable_torque(names)
        mins = self.sync_read("Present_Position", names)
        maxes = dict(mins)
        print("\nMove joints through their full range of motion. Press ENTER when done.")
        while True:
            now = self.sync_read("Present_Position", names)
            for n in names:
                mins[n], maxes[n] = min(mins[n], now[n]), max(maxes[n], now[n])
            if display_values:
                print(f"\n{'MOTOR':<20} | {'MIN (deg)':>12} | {'POS (deg)':>12} | {'MAX (deg)':>12}")
                for n in names:
                    print(f"{n:<20} | {mins[n]:>12.1f} | {now[n]:>12.1f} | {maxes[n]:>12.1f}")
            if enter_pressed():
                break
            if display_values:
                move_cursor_up(len(names) + 2)
            time.sleep(0.1)
        self.enable_torque(names)
        narrow = [n for n in names if abs(maxes[n] - mins[n]) < 5]
        if narrow:
            raise ValueError(f"Motors {narrow} moved less than 5 degrees")
        return mins, maxes

    def _get_motors_list(self, motors) -> list[str]:
        if motors is None:
            return list(self._names)
        if isinstance(motors, str):
            return [motors]
        if isinstance(motors, (list, tuple)):
            return list(motors)
        raise TypeError(f"Invalid motors type: {type(motors)}")

    def _get_motor_name(self, motor) -> str:
        if isinstance(motor, str):
            if motor not in self._index:
                raise ValueError(f"Unknown motor: {motor}")
            return motor
        for name, m in self.motors.items():
            if m.id == motor:
                return name
        raise ValueError(f"Unknown motor ID: {motor}")

    def _get_motor_id(self, motor) -> int:
        return self.motors[self._get_motor_name(motor)].id

    def _get_motor_recv_id(self, motor) -> int:
        return self.motors[self._get_motor_name(motor)].recv_id


_DATA_NAMES = {
    "Present_Position": "position",
    "Present_Velocity": "velocity",
    "Present_Torque": "torque",
    "Temperature_MOS": "temp_mos",
    "Temperature_Rotor": "temp_rotor",
}
