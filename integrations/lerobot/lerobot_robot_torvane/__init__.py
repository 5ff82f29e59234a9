"""LeRobot on torvane: a Damiao motors bus and the OpenArm followers (one arm
and both arms) that tick all their motors in one exchange.

LeRobot's tools import this package by its distribution name; importing it
registers the robot types torvane_openarm_follower and
torvane_bi_openarm_follower."""

from .bi_openarm import TorvaneBiOpenArmFollower
from .config import TorvaneArmConfigBase, TorvaneBiOpenArmFollowerConfig, TorvaneOpenArmFollowerConfig
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
]
