"""The two robot types' configurations: LeRobot's OpenArm fields and defaults,
plus how a silent motor is bridged and how long a tick may wait."""

from dataclasses import dataclass, field

from lerobot.cameras import CameraConfig
from lerobot.robots.config import RobotConfig
from lerobot.robots.openarm_follower.config_openarm_follower import OpenArmFollowerConfigBase


@dataclass
class TorvaneArmConfigBase(OpenArmFollowerConfigBase):
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
