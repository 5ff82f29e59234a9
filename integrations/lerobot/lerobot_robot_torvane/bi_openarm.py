"""Two OpenArm follower arms ticked together: both buses' motors in one
torvane_ext.Robot exchange per call, LeRobot's left_/right_ keys. A motor's
latched fault disables both arms in the call that sees it, which then raises
MotorFaultError naming the motor with its side (right_joint_3) and the fault."""

import logging
from dataclasses import fields
from functools import cached_property

import torvane_ext as tx
from lerobot.robots.robot import Robot
from lerobot.utils.decorators import check_if_already_connected, check_if_not_connected

from .config import TorvaneArmConfigBase, TorvaneBiOpenArmFollowerConfig, TorvaneOpenArmFollowerConfig
from .motors_bus import _CMD, _ROW, MotorFaultError, _rows
from .openarm import TorvaneOpenArmFollower, calibration_dir, cap_relative

logger = logging.getLogger(__name__)

# An arm's own fields, taken from either arm config: the plugin's, or LeRobot's
# own (the one-word switch in a user's code), whose arms lack the plugin's
# fields and so get their defaults.
_ARM_FIELDS = tuple(f.name for f in fields(TorvaneArmConfigBase) if f.name != "cameras")


def _arm_values(arm_config):
    return {f: getattr(arm_config, f) for f in _ARM_FIELDS if hasattr(arm_config, f)}


class TorvaneBiOpenArmFollower(Robot):
    """Left and right OpenArm followers, each on its own CAN interface."""

    config_class = TorvaneBiOpenArmFollowerConfig
    name = "torvane_bi_openarm_follower"

    def __init__(self, config: TorvaneBiOpenArmFollowerConfig):
        if config.calibration_dir is None:
            config.calibration_dir = calibration_dir(config)
        super().__init__(config)
        self.config = config
        self._top_level_cam_keys = set(config.cameras)
        clash = self._top_level_cam_keys & (set(config.left_arm_config.cameras) | set(config.right_arm_config.cameras))
        if clash:
            raise ValueError(f"Top-level camera names collide with per-arm camera names: {sorted(clash)}")

        def arm(side, arm_config, cameras):
            return TorvaneOpenArmFollower(TorvaneOpenArmFollowerConfig(
                id=f"{config.id}_{side}" if config.id else None,
                calibration_dir=config.calibration_dir,
                cameras=cameras,
                **_arm_values(arm_config),
            ))

        # The top-level cameras are opened by the left arm, their keys unprefixed.
        self.left_arm = arm("left", config.left_arm_config, {**config.left_arm_config.cameras, **config.cameras})
        self.right_arm = arm("right", config.right_arm_config, config.right_arm_config.cameras)
        self.cameras = {**self.left_arm.cameras, **self.right_arm.cameras}
        self._robot = None
        n_left, n_right = len(self.left_arm.bus.motors), len(self.right_arm.bus.motors)
        self._split = n_left
        _, self._cmd = _rows(n_left + n_right, _CMD)
        _, self._out = _rows(n_left + n_right, _ROW)

    # ---- features -----------------------------------------------------------------

    @property
    def _motors_ft(self) -> dict[str, type]:
        return {**{f"left_{k}": v for k, v in self.left_arm._motors_ft.items()},
                **{f"right_{k}": v for k, v in self.right_arm._motors_ft.items()}}

    @property
    def _cameras_ft(self) -> dict[str, tuple]:
        out = {k if k in self._top_level_cam_keys else f"left_{k}": v for k, v in self.left_arm._cameras_ft.items()}
        out.update({f"right_{k}": v for k, v in self.right_arm._cameras_ft.items()})
        return out

    @cached_property
    def observation_features(self) -> dict:
        return {**self._motors_ft, **self._cameras_ft}

    @cached_property
    def action_features(self) -> dict:
        return self._motors_ft

    # ---- connection ----------------------------------------------------------------

    @property
    def is_connected(self) -> bool:
        return self._robot is not None and self.left_arm.is_connected and self.right_arm.is_connected

    @property
    def is_calibrated(self) -> bool:
        return self.left_arm.is_calibrated and self.right_arm.is_calibrated

    @check_if_already_connected
    def connect(self, calibrate: bool = True) -> None:
        self.left_arm.connect(calibrate)
        try:
            self.right_arm.connect(calibrate)
            self._robot = tx.Robot([self.left_arm.bus._group, self.right_arm.bus._group],
                                   timeout_ms=max(self.left_arm.bus.timeout_ms, self.right_arm.bus.timeout_ms),
                                   on_exit="disable", on_fault="disable")
        except BaseException:
            self._stop()
            if self.left_arm.is_connected:
                self.left_arm.disconnect()
            raise

    def calibrate(self) -> None:
        self.left_arm.calibrate()
        self.right_arm.calibrate()

    def configure(self) -> None:
        self.left_arm.configure()
        self.right_arm.configure()

    def setup_motors(self) -> None:
        raise NotImplementedError("Motor IDs are set with the maker's tools or dmtool set-id.")

    @check_if_not_connected
    def disconnect(self) -> None:
        self._robot = None
        try:
            self.left_arm.disconnect()
        finally:
            self.right_arm.disconnect()

    def _stop(self) -> None:
        # Each arm's own exchange: one bus failing must not keep the other's disable from going out.
        self.left_arm.bus.emergency_disable()
        self.right_arm.bus.emergency_disable()

    # ---- ticks -----------------------------------------------------------------------

    def _settle(self, rows) -> None:
        """Both arms' feedback rows into their buses; both are taken before either raises."""
        left, right = self.left_arm.bus, self.right_arm.bus
        try:
            left._settle(left._group, left._names, rows[: self._split])
        finally:
            right._settle(right._group, right._names, rows[self._split:])

    def _fault(self, exc: tx.MotorFault) -> MotorFaultError:
        """The Robot's MotorFault (indexes over both arms) by side-prefixed motor names."""
        parts = []
        for arm, prefix, first in ((self.left_arm, "left_", 0), (self.right_arm, "right_", self._split)):
            names = arm.bus._names
            faults = {names[i - first]: s for i, s in exc.faults.items() if first <= i < first + len(names)}
            if faults:
                parts.append(arm.bus.fault_error(faults, prefix))
        return MotorFaultError("; ".join(str(p) for p in parts), {k: v for p in parts for k, v in p.faults.items()})

    def _refresh(self) -> None:
        try:
            self._robot.refresh_into(self._out)
        except tx.MotorFault as e:
            raise self._fault(e) from e
        self._settle(self._out.tolist())

    @check_if_not_connected
    def get_observation(self) -> dict:
        try:
            self._refresh()
            obs = {}
            for key, value in self.left_arm.observation(self.left_arm.bus.states()).items():
                obs[key if key in self._top_level_cam_keys else f"left_{key}"] = value
            for key, value in self.right_arm.observation(self.right_arm.bus.states()).items():
                obs[f"right_{key}"] = value
            return obs
        except BaseException:
            self._stop()
            raise

    @check_if_not_connected
    def send_action(self, action: dict, custom_kp: dict | None = None, custom_kd: dict | None = None) -> dict:
        try:
            return self._send_action(action, custom_kp, custom_kd)
        except BaseException:
            self._stop()
            raise

    def _send_action(self, action, custom_kp, custom_kd):
        arms = (self.left_arm, self.right_arm)
        goals = [arm.goals({k.removeprefix(p): v for k, v in action.items() if k.startswith(p)})
                 for arm, p in zip(arms, ("left_", "right_"))]
        goals = [g if arm.config.max_relative_target is None
                 else cap_relative(g, arm.present(), arm.config.max_relative_target) for arm, g in zip(arms, goals)]
        commands = [arm.commands(g, custom_kp, custom_kd) for arm, g in zip(arms, goals)]
        if all(arm.bus.covers(c) for arm, c in zip(arms, commands)):
            self.left_arm.bus.mit_rows(commands[0], self._cmd)
            self.right_arm.bus.mit_rows(commands[1], self._cmd, self._split)
            try:
                self._robot.mit_control_into(self._cmd, self._out)
            except tx.MotorFault as e:
                raise self._fault(e) from e
            self._settle(self._out.tolist())
        else:
            # Not every motor commanded: each arm alone, as its own call would.
            for arm, prefix, c in zip(arms, ("left_", "right_"), commands):
                try:
                    arm.bus._mit_control_batch(c)
                except MotorFaultError as e:
                    raise arm.bus.fault_error(e.faults, prefix) from e.__cause__
        return {**{f"left_{n}.pos": goals[0][n] for n in commands[0]},
                **{f"right_{n}.pos": goals[1][n] for n in commands[1]}}
