"""The plugin's robot and teleoperator types' configurations: LeRobot's
OpenArm fields and defaults, plus how a silent motor is bridged, how long a
tick may wait, and the robot model for gravity feed-forward."""

from dataclasses import dataclass, field

from lerobot.cameras import CameraConfig
from lerobot.robots.config import RobotConfig
from lerobot.robots.openarm_follower.config_openarm_follower import OpenArmFollowerConfigBase
from lerobot.teleoperators.config import TeleoperatorConfig
from lerobot.teleoperators.openarm_leader.config_openarm_leader import OpenArmLeaderConfigBase


# Keyword-only, so that they may follow LeRobot's fields without defaults.
@dataclass(kw_only=True)
class _BusFields:
    # Ticks of its last stale_window a silent motor may be given its last
    # state (with a warning each time) before the call raises: misses in a row
    # and a motor answering only now and then alike. stale_window =
    # max_stale_ticks + 1 counts misses in a row alone.
    max_stale_ticks: int = 2
    stale_window: int = 10
    # The one deadline of each exchange, for all the arm's motors.
    timeout_ms: int = 10
    # Each motor disables itself after this long without a frame (its TIMEOUT
    # register, set in RAM before enabling). None leaves the register alone:
    # the gap between connect() and the first tick (a leader arm connecting,
    # cameras starting) must stay under it.
    watchdog_ms: int | None = None
    # The arm's robot model for gravity feed-forward: a MuJoCo model file, or
    # "arm" for the one torvane_gravity ships; None adds none. gravity_joints
    # maps motor names to the model's joints (None: joint_1 -> joint1, ...,
    # gripper -> gripper); a motor without a joint gets no feed-forward.
    gravity_model: str | None = None
    gravity_joints: dict[str, str] | None = None


@dataclass
class TorvaneArmConfigBase(OpenArmFollowerConfigBase, _BusFields):
    pass


@RobotConfig.register_subclass("torvane_openarm_follower")
@dataclass
class TorvaneOpenArmFollowerConfig(RobotConfig, TorvaneArmConfigBase):
    pass


@RobotConfig.register_subclass("torvane_bi_openarm_follower")
@dataclass(kw_only=True)
class TorvaneBiOpenArmFollowerConfig(RobotConfig):
    # As LeRobot's own, so that its calibration files are found.
    id: str | None = "bi_openarm_follower"

    # LeRobot's own OpenArmFollowerConfigBase is taken too, the plugin's
    # fields at their defaults.
    left_arm_config: TorvaneArmConfigBase
    right_arm_config: TorvaneArmConfigBase

    # Cameras of neither arm: their keys stay unprefixed in observations.
    cameras: dict[str, CameraConfig] = field(default_factory=dict)


@dataclass
class TorvaneLeaderConfigBase(OpenArmLeaderConfigBase, _BusFields):
    # With gravity_model and manual_control, the arm floats: its motors are
    # enabled in MIT with no stiffness, this damping (N m s/rad, per motor in
    # motor_config's order) and the gravity torque, so it stays where the hand
    # leaves it. Without gravity_model, manual_control disables the motors as
    # LeRobot's own leader does, and the person holds the arm up.
    float_kd: list[float] = field(default_factory=lambda: [0.4, 0.4, 0.2, 0.2, 0.05, 0.05, 0.05, 0.02])


@TeleoperatorConfig.register_subclass("torvane_openarm_leader")
@dataclass
class TorvaneOpenArmLeaderConfig(TeleoperatorConfig, TorvaneLeaderConfigBase):
    pass


@TeleoperatorConfig.register_subclass("torvane_bi_openarm_leader")
@dataclass(kw_only=True)
class TorvaneBiOpenArmLeaderConfig(TeleoperatorConfig):
    # As LeRobot's own, so that its calibration files are found.
    id: str | None = "bi_openarm_leader"

    # LeRobot's own OpenArmLeaderConfigBase is taken too, the plugin's fields
    # at their defaults.
    left_arm_config: TorvaneLeaderConfigBase
    right_arm_config: TorvaneLeaderConfigBase
