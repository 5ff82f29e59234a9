"""OpenArm leader arms on torvane: LeRobot's leader fields, keys and
calibration, plus gravity compensation. With a gravity_model the arm floats:
each get_action is one exchange that commands every motor in MIT with no
stiffness, a little damping and the gravity torque at the positions it last
measured, and reads the arm. Without one, the motors are disabled and the
person holds the arm up, as with LeRobot's own leader."""

import logging
from functools import cached_property

from lerobot.teleoperators.teleoperator import Teleoperator
from lerobot.utils.constants import HF_LEROBOT_CALIBRATION, TELEOPERATORS
from lerobot.utils.decorators import check_if_already_connected, check_if_not_connected

from .config import TorvaneBiOpenArmLeaderConfig, TorvaneLeaderConfigBase, TorvaneOpenArmLeaderConfig
from .gravity import ArmGravity
from .motors_bus import MotorFaultError
from .openarm import arm_bus, calibrate_arm

logger = logging.getLogger(__name__)

# LeRobot's own leaders keep their calibration files here: a switch of type keeps them.
CALIBRATION_NAME = "openarm_leader"


class TorvaneOpenArmLeader(Teleoperator):
    """One OpenArm leader arm: 7 joints and a gripper, Damiao motors, on torvane."""

    config_class = TorvaneOpenArmLeaderConfig
    name = "torvane_openarm_leader"

    def __init__(self, config: TorvaneOpenArmLeaderConfig):
        if config.calibration_dir is None:
            config.calibration_dir = HF_LEROBOT_CALIBRATION / TELEOPERATORS / CALIBRATION_NAME
        super().__init__(config)
        self.config = config
        self.bus = arm_bus(config, self.calibration)
        self.floats = bool(config.gravity_model) and config.manual_control
        self._gravity = ArmGravity(config.gravity_model, config.gravity_joints, config.motor_config) \
            if self.floats else None
        if len(config.float_kd) != len(config.motor_config):
            raise ValueError(f"float_kd has {len(config.float_kd)} values for {len(config.motor_config)} motors")
        self._kd = dict(zip(config.motor_config, config.float_kd))

    @cached_property
    def action_features(self) -> dict[str, type]:
        features: dict[str, type] = {}
        for motor in self.bus.motors:
            features[f"{motor}.pos"] = float
            if self.config.use_velocity_and_torque:
                features[f"{motor}.vel"] = float
                features[f"{motor}.torque"] = float
        return features

    @cached_property
    def feedback_features(self) -> dict[str, type]:
        return {}

    @property
    def is_connected(self) -> bool:
        return self.bus.is_connected

    @property
    def is_calibrated(self) -> bool:
        return self.bus.is_calibrated

    @check_if_already_connected
    def connect(self, calibrate: bool = True) -> None:
        """Open the bus (every motor must answer), calibrate if asked and needed, then let the arm
        float (gravity_model) or go limp."""
        self.bus.connect()
        try:
            if not self.is_calibrated and calibrate:
                self.calibrate()
            self.configure()
            if self.floats:
                self._float()
        except BaseException:
            self.bus.emergency_disable()
            self.bus._close()
            raise
        logger.info("%s connected.", self)

    def calibrate(self) -> None:
        """Zero the arm where it hangs (gripper closed); a +-90 degree range per joint."""
        calibrate_arm(self)

    def configure(self) -> None:
        if self.floats or not self.config.manual_control:
            self.bus.configure_motors()
        else:
            self.bus.disable_torque()

    def setup_motors(self) -> None:
        raise NotImplementedError("Motor IDs are set with the maker's tools or dmtool set-id.")

    def commands(self) -> dict:
        """One float command per motor: no stiffness, its damping, the gravity torque where it is."""
        present = {name: state["position"] for name, state in self.bus.states().items()}
        tau = self._gravity.torques(present)
        return {name: (0.0, self._kd[name], present[name], 0.0, tau[name]) for name in self.bus.motors}

    def _float(self) -> None:
        self.bus._mit_control_batch(self.commands())

    def action(self) -> dict:
        states = self.bus.states()
        action = {}
        for motor, state in states.items():
            action[f"{motor}.pos"] = state["position"]
            if self.config.use_velocity_and_torque:
                action[f"{motor}.vel"] = state["velocity"]
                action[f"{motor}.torque"] = state["torque"]
        return action

    @check_if_not_connected
    def get_action(self) -> dict:
        try:
            if self.floats:
                self._float()
            else:
                self.bus.sync_read_all_states()
        except BaseException:
            self.bus.emergency_disable()
            raise
        return self.action()

    def send_feedback(self, feedback: dict[str, float]) -> None:
        raise NotImplementedError("Feedback is not implemented for the OpenArm leader.")

    @check_if_not_connected
    def disconnect(self) -> None:
        self.bus.disconnect(True)
        logger.info("%s disconnected.", self)


class TorvaneBiOpenArmLeader(Teleoperator):
    """Left and right OpenArm leader arms, each on its own CAN interface; LeRobot's left_/right_ keys."""

    config_class = TorvaneBiOpenArmLeaderConfig
    name = "torvane_bi_openarm_leader"

    def __init__(self, config: TorvaneBiOpenArmLeaderConfig):
        if config.calibration_dir is None:
            config.calibration_dir = HF_LEROBOT_CALIBRATION / TELEOPERATORS / CALIBRATION_NAME
        super().__init__(config)
        self.config = config
        fields = [f for f in TorvaneLeaderConfigBase.__dataclass_fields__]

        def arm(side, arm_config):
            # LeRobot's own arm config lacks the plugin's fields: they take their defaults.
            given = {f: getattr(arm_config, f) for f in fields if hasattr(arm_config, f)}
            return TorvaneOpenArmLeader(TorvaneOpenArmLeaderConfig(
                id=f"{config.id}_{side}" if config.id else None, calibration_dir=config.calibration_dir, **given))

        self.left_arm = arm("left", config.left_arm_config)
        self.right_arm = arm("right", config.right_arm_config)
        self._arms = {"left_": self.left_arm, "right_": self.right_arm}

    @cached_property
    def action_features(self) -> dict[str, type]:
        return {f"{p}{k}": v for p, arm in self._arms.items() for k, v in arm.action_features.items()}

    @cached_property
    def feedback_features(self) -> dict[str, type]:
        return {}

    @property
    def is_connected(self) -> bool:
        return self.left_arm.is_connected and self.right_arm.is_connected

    @property
    def is_calibrated(self) -> bool:
        return self.left_arm.is_calibrated and self.right_arm.is_calibrated

    def connect(self, calibrate: bool = True) -> None:
        self.left_arm.connect(calibrate)
        try:
            self.right_arm.connect(calibrate)
        except BaseException:
            self.left_arm.bus.emergency_disable()
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
    def get_action(self) -> dict:
        action = {}
        for prefix, arm in self._arms.items():
            try:
                got = arm.get_action()
            except MotorFaultError as e:
                # The arm that saw it disabled itself; the other one too.
                for other in self._arms.values():
                    other.bus.emergency_disable()
                raise arm.bus.fault_error(e.faults, prefix) from e.__cause__
            except BaseException:
                for other in self._arms.values():
                    other.bus.emergency_disable()
                raise
            action.update({f"{prefix}{k}": v for k, v in got.items()})
        return action

    def send_feedback(self, feedback: dict[str, float]) -> None:
        raise NotImplementedError("Feedback is not implemented for the OpenArm leader.")

    def disconnect(self) -> None:
        for arm in self._arms.values():
            if arm.is_connected:
                arm.disconnect()
