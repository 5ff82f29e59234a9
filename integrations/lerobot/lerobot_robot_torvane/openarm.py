"""The OpenArm follower arm on torvane: LeRobot's observation and action keys,
joint-limit clipping and max_relative_target, one exchange per call, and the
arm's motors disabled on disconnect and whenever a call fails: a motor's
latched fault fails the call with MotorFaultError, which names the motor (its
name in motor_config) and the fault."""

import logging
from functools import cached_property
from pathlib import Path

from lerobot.cameras import make_cameras_from_configs
from lerobot.motors import Motor, MotorCalibration, MotorNormMode
from lerobot.robots.openarm_follower.config_openarm_follower import (
    LEFT_DEFAULT_JOINTS_LIMITS,
    RIGHT_DEFAULT_JOINTS_LIMITS,
)
from lerobot.robots.robot import Robot
from lerobot.utils.decorators import check_if_already_connected, check_if_not_connected

from .config import TorvaneArmConfigBase, TorvaneOpenArmFollowerConfig
from .gravity import ArmGravity
from .motors_bus import DamiaoMotorsBus

logger = logging.getLogger(__name__)

# Where LeRobot's own OpenArm follower keeps its calibration files: a switch
# of robot type keeps them.
CALIBRATION_NAME = "openarm_follower"


def calibration_dir(config) -> Path:
    from lerobot.utils.constants import HF_LEROBOT_CALIBRATION, ROBOTS

    return config.calibration_dir or HF_LEROBOT_CALIBRATION / ROBOTS / CALIBRATION_NAME


def arm_bus(config: TorvaneArmConfigBase, calibration) -> DamiaoMotorsBus:
    motors = {}
    for name, (send_id, recv_id, motor_type) in config.motor_config.items():
        motor = Motor(send_id, motor_type, MotorNormMode.DEGREES)
        motor.recv_id = recv_id
        motor.motor_type_str = motor_type
        motors[name] = motor
    return DamiaoMotorsBus(
        port=config.port,
        motors=motors,
        calibration=calibration,
        can_interface=config.can_interface,
        use_can_fd=config.use_can_fd,
        bitrate=config.can_bitrate,
        data_bitrate=config.can_data_bitrate if config.use_can_fd else None,
        max_stale_ticks=config.max_stale_ticks,
        stale_window=config.stale_window,
        timeout_ms=config.timeout_ms,
        watchdog_ms=config.watchdog_ms,
        # A leader's config has neither.
        joint_limits=getattr(config, "joint_limits", None),
        max_relative_target=getattr(config, "max_relative_target", None),
    )


def calibrate_arm(device) -> None:
    """Zero an arm (a robot's or a teleoperator's) where it hangs, gripper closed, and record a
    +-90 degree range per joint; or take its calibration file's values."""
    if device.calibration:
        answer = input(f"Press ENTER to use provided calibration file associated with the id {device.id}, "
                       "or type 'c' and press ENTER to run calibration: ")
        if answer.strip().lower() != "c":
            device.bus.write_calibration(device.calibration)
            return
    device.bus.disable_torque()
    input("\nCalibration: set the zero position. Let the arm hang straight down with the gripper "
          "closed, then press ENTER...")
    device.bus.set_zero_position()
    for name, motor in device.bus.motors.items():
        device.calibration[name] = MotorCalibration(id=motor.id, drive_mode=0, homing_offset=0, range_min=-90,
                                                    range_max=90)
    device.bus.write_calibration(device.calibration)
    device._save_calibration()
    print(f"Calibration saved to {device.calibration_fpath}")


def cap_relative(goal: dict, present: dict, max_relative_target) -> dict:
    """Each goal moved at most max_relative_target (one for all, or per motor) from where the motor is."""
    capped = {}
    for name, g in goal.items():
        step = max_relative_target.get(name) if isinstance(max_relative_target, dict) else max_relative_target
        if step is None:
            capped[name] = g
            continue
        p = present[name]
        safe = min(max(g, p - step), p + step)
        if safe != g:
            logger.warning("%s: goal %.2f capped to %.2f (max_relative_target %s)", name, g, safe, step)
        capped[name] = safe
    return capped


class TorvaneOpenArmFollower(Robot):
    """One OpenArm follower arm: 7 joints and a gripper, Damiao motors in MIT mode, on torvane."""

    config_class = TorvaneOpenArmFollowerConfig
    name = "torvane_openarm_follower"

    def __init__(self, config: TorvaneOpenArmFollowerConfig):
        if config.calibration_dir is None:
            config.calibration_dir = calibration_dir(config)
        super().__init__(config)
        self.config = config
        if config.side == "left":
            config.joint_limits = LEFT_DEFAULT_JOINTS_LIMITS
        elif config.side == "right":
            config.joint_limits = RIGHT_DEFAULT_JOINTS_LIMITS
        elif config.side is not None:
            raise ValueError("config.side must be either 'left', 'right' (for default values) or 'None' "
                             "(for CLI values)")
        logger.info("Values used for joint limits: %s.", config.joint_limits)
        self.bus = arm_bus(config, self.calibration)
        self.cameras = make_cameras_from_configs(config.cameras)
        self._gain_index = {name: i for i, name in enumerate(config.motor_config)}
        self._gravity = (ArmGravity(config.gravity_model, config.gravity_joints, config.motor_config)
                         if config.gravity_model else None)

    # ---- features -----------------------------------------------------------------

    @property
    def _motors_ft(self) -> dict[str, type]:
        features = {}
        for motor in self.bus.motors:
            features[f"{motor}.pos"] = float
            if self.config.use_velocity_and_torque:
                features[f"{motor}.vel"] = float
                features[f"{motor}.torque"] = float
        return features

    @property
    def _cameras_ft(self) -> dict[str, tuple]:
        features = {}
        for cam in self.cameras:
            cfg = self.config.cameras[cam]
            if getattr(cfg, "use_rgb", True):
                features[cam] = (cfg.height, cfg.width, 3)
            if getattr(cfg, "use_depth", False):
                features[f"{cam}_depth"] = (cfg.height, cfg.width, 1)
        return features

    @cached_property
    def observation_features(self) -> dict:
        return {**self._motors_ft, **self._cameras_ft}

    @cached_property
    def action_features(self) -> dict:
        return self._motors_ft

    # ---- connection ----------------------------------------------------------------

    @property
    def is_connected(self) -> bool:
        return self.bus.is_connected and all(cam.is_connected for cam in self.cameras.values())

    @property
    def is_calibrated(self) -> bool:
        return self.bus.is_calibrated

    @check_if_already_connected
    def connect(self, calibrate: bool = True) -> None:
        """Open the bus (every motor must answer), calibrate if asked and needed, open the
        cameras, put the motors in MIT mode and enable them."""
        self.bus.connect()
        try:
            if not self.is_calibrated and calibrate:
                self.calibrate()
            for cam in self.cameras.values():
                cam.connect()
            self.configure()
            self.bus.enable_torque()
        except BaseException:
            self.bus.emergency_disable()
            self.bus._close()
            raise
        logger.info("%s connected.", self)

    def calibrate(self) -> None:
        """Zero the arm where it hangs (gripper closed) and record a +-90 degree range per joint,
        or take the calibration file's values."""
        calibrate_arm(self)

    def configure(self) -> None:
        with self.bus.torque_disabled():
            self.bus.configure_motors()

    def setup_motors(self) -> None:
        raise NotImplementedError("Motor IDs are set with the maker's tools or dmtool set-id.")

    @check_if_not_connected
    def disconnect(self) -> None:
        self.bus.disconnect(self.config.disable_torque_on_disconnect)
        for cam in self.cameras.values():
            cam.disconnect()
        logger.info("%s disconnected.", self)

    # ---- ticks -----------------------------------------------------------------------

    def observation(self, states: dict) -> dict:
        """The arm's observation from bus states (as sync_read_all_states gives them) and its cameras."""
        obs = {}
        with_vt = self.config.use_velocity_and_torque
        for motor, state in states.items():
            obs[f"{motor}.pos"] = state["position"]
            if with_vt:
                obs[f"{motor}.vel"] = state["velocity"]
                obs[f"{motor}.torque"] = state["torque"]
        for key, cam in self.cameras.items():
            if getattr(cam, "use_rgb", True):
                obs[key] = cam.read_latest()
            if getattr(cam, "use_depth", False):
                obs[f"{key}_depth"] = cam.read_latest_depth()
        return obs

    def goals(self, action: dict) -> dict:
        """Goal positions (degrees) from an action, clipped to the joint limits."""
        goal = {}
        limits = self.config.joint_limits
        for key, value in action.items():
            if key.endswith(".pos"):
                name = key.removesuffix(".pos")
                if name in limits:
                    lo, hi = limits[name]
                    value = min(max(value, lo), hi)
                goal[name] = value
        return goal

    def commands(self, goal: dict, custom_kp=None, custom_kd=None) -> dict:
        """MIT commands (kp, kd, position, 0, tau) in the bus's motor order; tau is the gravity
        feed-forward at the measured positions with a gravity_model, else 0."""
        kp_cfg, kd_cfg = self.config.position_kp, self.config.position_kd
        tau = self._gravity.torques(self.present()) if self._gravity else {}
        commands = {}
        for name in self.bus.motors:
            if name not in goal:
                continue
            i = self._gain_index.get(name, 0)
            kp = custom_kp[name] if custom_kp and name in custom_kp else (
                kp_cfg[i] if isinstance(kp_cfg, list) else kp_cfg)
            kd = custom_kd[name] if custom_kd and name in custom_kd else (
                kd_cfg[i] if isinstance(kd_cfg, list) else kd_cfg)
            commands[name] = (kp, kd, goal[name], 0.0, tau.get(name, 0.0))
        return commands

    def guarded(self, call, *args):
        """Run one of the robot's calls; any exception out of it disables the arm first."""
        try:
            return call(*args)
        except BaseException:
            self.bus.emergency_disable()
            raise

    @check_if_not_connected
    def get_observation(self) -> dict:
        return self.guarded(lambda: self.observation(self.bus.sync_read_all_states()))

    @check_if_not_connected
    def send_action(self, action: dict, custom_kp: dict | None = None, custom_kd: dict | None = None) -> dict:
        return self.guarded(self._send_action, action, custom_kp, custom_kd)

    def present(self) -> dict:
        """Each motor's position (degrees) as the last exchange left it: what the group's max_step
        measures from, so that the action returned is the one sent."""
        return {name: state["position"] for name, state in self.bus.states().items()}

    def _send_action(self, action, custom_kp, custom_kd):
        goal = self.goals(action)
        if self.config.max_relative_target is not None:
            goal = cap_relative(goal, self.present(), self.config.max_relative_target)
        commands = self.commands(goal, custom_kp, custom_kd)
        self.bus._mit_control_batch(commands)
        return {f"{name}.pos": goal[name] for name in commands}
