"""Gravity compensation for torvane's arms: the torque each motor must give
to hold an arm still, from MuJoCo's inverse dynamics of a model.

    import torvane_gravity as tg
    g = tg.Gravity(tg.ARM, ["joint1", "joint2", ..., "gripper"])
    tau = g.torques(q)            # q in motor order, rad; tau in N m

Needs MuJoCo (`pip install mujoco`, or the extra: `pip install torvane[gravity]`).
torvane and torvane_ext never import it.
"""

from .paths import ARM, TWO_ARMS
from .gravity import Gravity

__all__ = ["ARM", "TWO_ARMS", "Gravity"]
