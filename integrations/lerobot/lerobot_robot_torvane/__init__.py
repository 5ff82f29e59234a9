"""LeRobot on torvane: a Damiao motors bus, the OpenArm followers (one arm
and both arms) that tick all their motors in one exchange, and OpenArm
leaders that float with gravity compensation.

LeRobot's tools import this package by its distribution name; importing it
registers the robot types torvane_openarm_follower and
torvane_bi_openarm_follower, and the teleoperator types
torvane_openarm_leader and torvane_bi_openarm_leader."""

from .bi_openarm import TorvaneBiOpenArmFollower
from .config import (
    TorvaneArmConfigBase,
    TorvaneBiOpenArmFollowerConfig,
    TorvaneBiOpenArmLeaderConfig,
    TorvaneLeaderConfigBase,
    TorvaneOpenArmFollowerConfig,
    TorvaneOpenArmLeaderConfig,
)
from .leader import TorvaneBiOpenArmLeader, TorvaneOpenArmLeader
from .motors_bus import DamiaoMotorsBus, MotorFaultError, NoReplyError
from .openarm import TorvaneOpenArmFollower

__all__ = [
    "DamiaoMotorsBus",
    "MotorFaultError",
    "NoReplyError",
    "TorvaneArmConfigBase",
    "TorvaneBiOpenArmFollower",
    "TorvaneBiOpenArmFollowerConfig",
    "TorvaneOpenArmFollower",
    "TorvaneOpenArmFollowerConfig",
    "TorvaneBiOpenArmLeader",
    "TorvaneBiOpenArmLeaderConfig",
    "TorvaneLeaderConfigBase",
    "TorvaneOpenArmLeader",
    "TorvaneOpenArmLeaderConfig",
]
