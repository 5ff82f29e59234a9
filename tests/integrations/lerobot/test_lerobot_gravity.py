"""The plugin's gravity compensation against dmsim playing an arm with weight
(models/arm.xml): the follower holds a level arm with LeRobot's default gains
and the feed-forward, sagging a tenth of what it sags without; the leader
floats where it was left, and falls without a model."""

import math
import time
from pathlib import Path

import pytest

import torvane
import torvane_ext as tx
from arms import IFACES, MODELS, TIMEOUT_MS
from lerobot_robot_torvane import (
    TorvaneOpenArmFollower,
    TorvaneOpenArmFollowerConfig,
    TorvaneOpenArmLeader,
    TorvaneOpenArmLeaderConfig,
)

pytestmark = pytest.mark.bus

MODEL = Path(__file__).resolve().parents[3] / "models" / "arm.xml"
NAMES = [f"joint_{i}" for i in range(1, 8)] + ["gripper"]
MODEL_JOINTS = [f"joint{i}" for i in range(1, 8)] + ["gripper"]
SIM_MOTORS = [f"{i}:0x{0x10 + i:x}:{m}@{j}" for i, (m, j) in enumerate(zip(MODELS, MODEL_JOINTS), start=1)]
WIDE = {name: (-150.0, 180.0) for name in NAMES}
# Upper arm and forearm level, in LeRobot's degrees.
LEVEL = {f"{n}.pos": 0.0 for n in NAMES} | {"joint_2.pos": 90.0}


def start_arm(start_dmsim):
    return start_dmsim(*SIM_MOTORS, iface=IFACES[0], args=["--model", str(MODEL), "--mode", "1"])


def follower(tmp_path, model):
    return TorvaneOpenArmFollower(TorvaneOpenArmFollowerConfig(
        port=IFACES[0], calibration_dir=tmp_path, timeout_ms=TIMEOUT_MS, joint_limits=WIDE, gravity_model=model))


def sag_at_level(robot):
    """Ramp to LEVEL over 3 s of calls, hold 3 s; how far the shoulder and elbow hang below it."""
    robot.connect(calibrate=False)
    try:
        start = robot.get_observation()
        t0 = time.monotonic()
        while (t := time.monotonic() - t0) < 6.0:
            x = 0.5 - 0.5 * math.cos(math.pi * min(t / 3.0, 1.0))
            robot.send_action({k: start[k] + (v - start[k]) * x for k, v in LEVEL.items()})
        seen = []
        for _ in range(20):
            robot.send_action(LEVEL)
            obs = robot.get_observation()
            seen.append([obs["joint_2.pos"], obs["joint_4.pos"]])
    finally:
        robot.disconnect()
    return [abs(sum(s[k] for s in seen) / len(seen) - LEVEL[key]) for k, key in enumerate(("joint_2.pos",
                                                                                             "joint_4.pos"))]


def test_the_follower_holds_a_level_arm_with_lerobots_gains_and_the_feed_forward(start_dmsim, tmp_path):
    start_arm(start_dmsim)
    without = sag_at_level(follower(tmp_path, None))
    with_ff = sag_at_level(follower(tmp_path, "arm"))
    print(f"follower sag (shoulder, elbow), degrees: without {without}, with feed-forward {with_ff}")
    assert without[0] > 0.5
    for sag, no_ff in zip(with_ff, without):
        assert sag <= no_ff / 10


def pose_arm(pose):
    """Hold the arm at `pose` (radians) from a program of the test's own, then leave it so."""
    import torvane_gravity as tg

    bus = torvane.SocketCanTransport(IFACES[0])
    motors = [torvane.Damiao(i, 0x10 + i, getattr(torvane.MitLimits, m)(), timeout_ms=TIMEOUT_MS)
              for i, m in enumerate(MODELS, start=1)]
    gravity = tg.Gravity(tg.ARM, MODEL_JOINTS)
    with tx.MotorGroup(bus, motors, timeout_ms=TIMEOUT_MS, on_exit="keep") as group:
        q = [s.position for s in group.enable()]
        t0 = time.monotonic()
        while (t := time.monotonic() - t0) < 4.0:
            x = 0.5 - 0.5 * math.cos(math.pi * min(t / 3.0, 1.0))
            tau = gravity.torques(q)
            states = group.mit_control([torvane.mit_setpoint(q=a + (b - a) * x, kp=60.0, kd=2.0, tau=g)
                                        for a, b, g in zip(q, pose, tau)])
            q = [s.position if s else p for s, p in zip(states, q)]


def leader(tmp_path, model):
    return TorvaneOpenArmLeader(TorvaneOpenArmLeaderConfig(port=IFACES[0], calibration_dir=tmp_path,
                                                           timeout_ms=TIMEOUT_MS, gravity_model=model))


def float_for(device, seconds):
    device.connect(calibrate=False)
    try:
        first = device.get_action()
        t0, drift = time.monotonic(), dict.fromkeys(first, 0.0)
        while time.monotonic() - t0 < seconds:
            for k, v in device.get_action().items():
                drift[k] = max(drift[k], abs(v - first[k]))
    finally:
        device.disconnect()
    return first, drift


def test_the_leader_floats_where_it_was_left_and_falls_without_a_model(start_dmsim, tmp_path):
    start_arm(start_dmsim)
    pose = [0.3, 1.0, 0.0, 0.8, 0.0, 0.4, 0.0, 0.2]
    pose_arm(pose)
    first, drift = float_for(leader(tmp_path, "arm"), 5.0)
    assert first["joint_2.pos"] == pytest.approx(math.degrees(pose[1]), abs=3.0)
    print(f"leader drift over 5 s, degrees: {drift}")
    assert max(drift.values()) < math.degrees(0.05)
    # LeRobot's way: the motors disabled, nothing holds the arm up.
    pose_arm(pose)
    _, drift = float_for(leader(tmp_path, None), 3.0)
    assert drift["joint_2.pos"] > math.degrees(0.3)
