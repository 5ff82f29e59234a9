"""Gravity feed-forward for one arm from its robot model (torvane_gravity,
MuJoCo's inverse dynamics): the torque each motor gives to hold the arm
still at the measured positions."""

import array
import math

# LeRobot's OpenArm motor names against the joints of the arm model that
# ships with torvane_gravity.
DEFAULT_JOINTS = {**{f"joint_{i}": f"joint{i}" for i in range(1, 8)}, "gripper": "gripper"}
# gravity_model's value for that shipped model.
SHIPPED = "arm"


class ArmGravity:
    """Gravity torques (N m) per motor of `names`, from `model` (a model file, or "arm" for the
    shipped one); `joints` maps motor names to the model's joint names (a motor absent from it
    has no joint and gets 0)."""

    def __init__(self, model: str, joints: dict[str, str] | None, names):
        try:
            import torvane_gravity as tg
        except ImportError as e:
            raise ImportError(f"gravity_model needs torvane_gravity and MuJoCo ({e}); "
                              "pip install 'torvane[gravity]'") from e
        self.names = tuple(names)
        mapping = DEFAULT_JOINTS if joints is None else joints
        self._model = tg.Gravity(str(tg.ARM if model == SHIPPED else model), [mapping.get(n) for n in self.names])
        self._q = array.array("d", bytes(8 * len(self.names)))
        self._tau = array.array("d", bytes(8 * len(self.names)))

    def torques(self, positions_deg: dict) -> dict:
        """{motor: torque} at {motor: position in degrees}, for every motor of the arm."""
        q = self._q
        for i, name in enumerate(self.names):
            q[i] = math.radians(positions_deg[name])
        self._model.torques(q, self._tau)
        return dict(zip(self.names, self._tau))
