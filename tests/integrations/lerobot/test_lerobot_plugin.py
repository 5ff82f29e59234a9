"""The LeRobot plugin against dmsim playing LeRobot's OpenArm motors, one arm
per bus: LeRobot finds it and builds both robot types by name, their
observations and actions have LeRobot's own keys, every motor is disabled
after disconnect and after a failed call (a latched fault among the causes),
a motor that answers only now and then fails the call as a silent one does,
and its bus answers as LeRobot's own DamiaoMotorsBus does, to within one
code step."""

import json
import logging
import math
import signal
import subprocess
import sys
import time

import pytest

import torvane
import torvane_ext as tx
from arms import IFACES, MODELS, SIM_ARGS, SIM_MOTORS, TIMEOUT_MS, start_arms
from canpeer import Peer
from lerobot.motors import Motor, MotorNormMode
from lerobot.motors.damiao import DamiaoMotorsBus as LeRobotBus
from lerobot.robots.bi_openarm_follower import BiOpenArmFollower, BiOpenArmFollowerConfig
from lerobot.robots.openarm_follower import OpenArmFollower, OpenArmFollowerConfig
from lerobot_robot_torvane import (
    DamiaoMotorsBus,
    MotorFaultError,
    NoReplyError,
    TorvaneArmConfigBase,
    TorvaneBiOpenArmFollowerConfig,
    TorvaneOpenArmFollower,
    TorvaneOpenArmFollowerConfig,
)
from lerobot_robot_torvane.openarm import arm_bus

NAMES = [f"joint_{i}" for i in range(1, 8)] + ["gripper"]

DISCOVERY = r"""
import dataclasses, json, sys
import draccus
from lerobot.robots.config import RobotConfig
from lerobot.robots.utils import make_robot_from_config
from lerobot.utils.import_utils import register_third_party_plugins

before = "torvane_openarm_follower" in RobotConfig.get_known_choices()
register_third_party_plugins()

@dataclasses.dataclass
class Cli:
    robot: RobotConfig

built = {}
for argv in (["--robot.type=torvane_openarm_follower", "--robot.port=vcan0"],
             ["--robot.type=torvane_bi_openarm_follower", "--robot.left_arm_config.port=vcan0",
              "--robot.right_arm_config.port=vcan1"]):
    cfg = draccus.parse(Cli, args=argv + ["--robot.calibration_dir=" + sys.argv[1]]).robot
    robot = make_robot_from_config(cfg)
    built[cfg.type] = [type(robot).__module__ + "." + type(robot).__name__, robot.name,
                       sorted(robot.action_features)]
print(json.dumps({"before": before, "built": built, "plugin": sys.modules["lerobot_robot_torvane"].__file__}))
"""


def test_lerobot_imports_the_plugin_and_builds_both_types_from_their_names(tmp_path):
    out = subprocess.run([sys.executable, "-c", DISCOVERY, str(tmp_path)], capture_output=True, text=True,
                         timeout=600)
    assert out.returncode == 0, out.stderr
    got = json.loads(out.stdout.splitlines()[-1])
    assert got["before"] is False
    single, bi = got["built"]["torvane_openarm_follower"], got["built"]["torvane_bi_openarm_follower"]
    assert single[:2] == ["lerobot_robot_torvane.openarm.TorvaneOpenArmFollower", "torvane_openarm_follower"]
    assert bi[:2] == ["lerobot_robot_torvane.bi_openarm.TorvaneBiOpenArmFollower", "torvane_bi_openarm_follower"]
    assert single[2] == sorted(f"{n}.pos" for n in NAMES)
    assert bi[2] == sorted(f"{s}_{n}.pos" for s in ("left", "right") for n in NAMES)


def lerobots(arm):
    return {k: v for k, v in arm.items() if k != "watchdog_ms"}


def robots(kind, tmp_path, **arm):
    """(the plugin's robot, LeRobot's own of the same configuration), not connected."""
    from lerobot_robot_torvane import TorvaneBiOpenArmFollower, TorvaneOpenArmFollower

    if kind == "single":
        ours = TorvaneOpenArmFollower(TorvaneOpenArmFollowerConfig(
            port=IFACES[0], calibration_dir=tmp_path, timeout_ms=TIMEOUT_MS, **arm))
        theirs = OpenArmFollower(OpenArmFollowerConfig(port=IFACES[0], calibration_dir=tmp_path, **lerobots(arm)))
        return ours, theirs
    ours = TorvaneBiOpenArmFollower(TorvaneBiOpenArmFollowerConfig(
        calibration_dir=tmp_path,
        left_arm_config=TorvaneArmConfigBase(port=IFACES[0], timeout_ms=TIMEOUT_MS, **arm),
        right_arm_config=TorvaneArmConfigBase(port=IFACES[1], timeout_ms=TIMEOUT_MS, **arm)))
    from lerobot.robots.openarm_follower import OpenArmFollowerConfigBase

    theirs = BiOpenArmFollower(BiOpenArmFollowerConfig(
        calibration_dir=tmp_path, left_arm_config=OpenArmFollowerConfigBase(port=IFACES[0], **lerobots(arm)),
        right_arm_config=OpenArmFollowerConfigBase(port=IFACES[1], **lerobots(arm))))
    return ours, theirs


@pytest.mark.parametrize("kind", ["single", "bi"])
@pytest.mark.parametrize("with_vt", [False, True])
def test_features_are_lerobots_own(kind, with_vt, tmp_path):
    ours, theirs = robots(kind, tmp_path, use_velocity_and_torque=with_vt)
    assert list(ours.observation_features) == list(theirs.observation_features)
    assert list(ours.action_features) == list(theirs.action_features)


def plugin_warnings(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "lerobot_robot_torvane.motors_bus"]


def sides(kind):
    return [""] if kind == "single" else ["left_", "right_"]


def motor_status(ifaces):
    """Each motor's feedback status nibble on a refresh from a socket of the test's own."""
    out = []
    for iface in ifaces:
        group = tx.MotorGroup(torvane.SocketCanTransport(iface), [
            torvane.Damiao(i, 0x10 + i, getattr(torvane.MitLimits, m)(), timeout_ms=TIMEOUT_MS)
            for i, m in enumerate(MODELS, start=1)], fd=True)
        out += [s.error if s else None for s in group.refresh()]
    return out


def targets(kind, deg):
    # Inside the default joint limits (at most 5 degrees; joint_4 0..5, gripper -5..0).
    one = {f"{n}.pos": (-deg if n == "gripper" else deg) for n in NAMES}
    return {f"{p}{k}": v for p in sides(kind) for k, v in one.items()}


@pytest.mark.bus
@pytest.mark.parametrize("kind", ["single", "bi"])
def test_a_session_moves_the_arms_and_disconnect_disables_every_motor(start_dmsim, kind, tmp_path):
    ifaces = IFACES[: len(sides(kind))]
    start_arms(start_dmsim, ifaces)
    robot, theirs = robots(kind, tmp_path, use_velocity_and_torque=True, watchdog_ms=2000)
    robot.connect(calibrate=False)
    try:
        assert set(motor_status(ifaces)) == {1}  # enabled
        for iface in ifaces:  # 2000 ms in 50 us units, in every motor
            bus = torvane.SocketCanTransport(iface)
            assert {tx.read_register(bus, torvane.Damiao(i, 0x10 + i, torvane.MitLimits.dm4310(), timeout_ms=TIMEOUT_MS),
                                     "TIMEOUT") for i in range(1, 9)} == {40000}
        obs = robot.get_observation()
        assert list(obs) == list(theirs.observation_features)
        wanted = targets(kind, 4.0)
        action = {**wanted, **{f"{p}joint_1.pos": 50.0 for p in sides(kind)}}  # beyond the 5 degree limit
        sent = robot.send_action(action)
        assert sent == {**wanted, **{f"{p}joint_1.pos": 5.0 for p in sides(kind)}}
        end = time.monotonic() + 3.0
        while time.monotonic() < end:
            robot.send_action(sent)
            obs = robot.get_observation()
        for key, goal in sent.items():
            assert obs[key] == pytest.approx(goal, abs=0.5), key
    finally:
        robot.disconnect()
    assert not robot.is_connected
    assert motor_status(ifaces) == [0] * 8 * len(ifaces)


@pytest.mark.bus
@pytest.mark.parametrize("kind", ["single", "bi"])
@pytest.mark.parametrize("fault", ["bad action", "silent motors"])
def test_a_failing_send_action_disables_every_motor(start_dmsim, kind, fault, tmp_path, caplog):
    ifaces = IFACES[: len(sides(kind))]
    sims = start_arms(start_dmsim, ifaces)
    robot, _ = robots(kind, tmp_path)
    robot.connect(calibrate=False)
    try:
        robot.send_action(targets(kind, 2.0))
        assert set(motor_status(ifaces)) == {1}
        if fault == "bad action":
            action = targets(kind, 2.0)
            action[f"{sides(kind)[-1]}joint_3.pos"] = "far"
            with pytest.raises(TypeError):
                robot.send_action(action)
        else:
            # The last arm's simulator stops: its motors stay silent.
            sims[-1].proc.send_signal(19)  # SIGSTOP
            try:
                caplog.set_level(logging.WARNING, logger="lerobot_robot_torvane.motors_bus")
                for tick in range(1, 3):
                    robot.send_action(targets(kind, 2.0))
                    warnings = plugin_warnings(caplog)
                    assert len(warnings) == 8 * tick
                    assert all(f"({tick} of 2 misses allowed in 10 ticks)" in w for w in warnings[-8:])
                    assert {w.split("no reply from ")[1].split(" ")[0] for w in warnings[-8:]} == set(NAMES)
                    ages = [float(w.split("state from ")[1].split(" ms ago")[0]) for w in warnings[-8:]]
                    assert min(ages) >= TIMEOUT_MS * tick * 0.9
                with pytest.raises(NoReplyError, match="silent for 3 ticks"):
                    robot.send_action(targets(kind, 2.0))
            finally:
                sims[-1].proc.send_signal(18)  # SIGCONT: it takes the frames queued meanwhile
        time.sleep(0.5)
        assert motor_status(ifaces) == [0] * 8 * len(ifaces)
    finally:
        robot.disconnect()


# ---- the plugin's bus against LeRobot's own ------------------------------------------


def lerobot_motors():
    motors = {}
    for name, (i, model) in zip(NAMES, enumerate(MODELS, start=1)):
        m = Motor(i, model, MotorNormMode.DEGREES)
        m.recv_id, m.motor_type_str = 0x10 + i, model
        motors[name] = m
    return motors


def mit_fields(data):
    """(q, dq, kp, kd, tau) codes of an MIT frame."""
    return (data[0] << 8 | data[1], data[2] << 4 | data[3] >> 4, (data[3] & 0xF) << 8 | data[4],
            data[5] << 4 | data[6] >> 4, (data[6] & 0xF) << 8 | data[7])


# One code step of each field LeRobot reports, per motor: position 16 bits over
# 2 PMAX, velocity and torque 12 bits over 2 VMAX and 2 TMAX (the larger of
# the two libraries' VMAX), temperatures whole degrees.
def steps(model):
    limits = getattr(torvane.MitLimits, model)()
    vmax = max(limits.v_max, {"dm8009": 45, "dm4340": 8, "dm4310": 30}[model])
    return {"position": math.degrees(25.0 / 65535) * 1.001, "velocity": math.degrees(2 * vmax / 4095) * 1.001,
            "torque": 2 * limits.t_max / 4095 * 1.001, "temp_mos": 0, "temp_rotor": 0}


def drain(bus):
    while bus.canbus.recv(timeout=0.0):
        pass


def generous_lerobot_deadlines(monkeypatch):
    """LeRobot's bus waits 1 to 10 ms for replies, which the emulated guest often
    cannot meet; a drop leaves its last state (after connect, the decoding of its
    own enable frame), and then there is nothing to compare."""
    import lerobot.motors.damiao.damiao as their_module

    for name in ("SHORT_TIMEOUT_SEC", "MEDIUM_TIMEOUT_SEC"):
        monkeypatch.setattr(their_module, name, TIMEOUT_MS / 1000)
    recv = LeRobotBus._recv_motor_response
    monkeypatch.setattr(recv, "__defaults__", (None, TIMEOUT_MS / 1000))


@pytest.mark.bus
def test_the_plugins_bus_answers_as_lerobots_own(start_dmsim, caplog, monkeypatch):
    start_arms(start_dmsim, IFACES[:1])
    generous_lerobot_deadlines(monkeypatch)
    caplog.set_level(logging.WARNING)
    theirs = LeRobotBus(IFACES[0], lerobot_motors(), can_interface="socketcan")
    ours = DamiaoMotorsBus(IFACES[0], lerobot_motors(), can_interface="socketcan", timeout_ms=TIMEOUT_MS)
    peer = Peer(IFACES[0], timeout=1.0)
    theirs.connect()
    ours.connect()
    try:
        tolerance = {n: steps(m) for n, m in zip(NAMES, MODELS)}

        def same_states():
            mine = ours.sync_read_all_states()
            drain(theirs)
            other = theirs.sync_read_all_states()
            for name in NAMES:
                for field, tol in tolerance[name].items():
                    assert mine[name][field] == pytest.approx(other[name][field], abs=tol), (name, field)
            for data_name, field in (("Present_Position", "position"), ("Present_Torque", "torque")):
                one = NAMES[2]
                drain(theirs)
                assert ours.read(data_name, one) == pytest.approx(theirs.read(data_name, one),
                                                                  abs=tolerance[one][field])
            return mine

        same_states()
        commands = {n: (20.0 + 10 * i, 0.5 + 0.3 * i, 3.0 * (i + 1) * (-1) ** i, 0.0, 0.05 * i)
                    for i, n in enumerate(NAMES)}
        sent = []
        for bus in (ours, theirs):
            peer.drain(0.2)
            if bus is theirs:
                drain(theirs)
            bus._mit_control_batch(commands)
            sent.append({f[0]: (f[1], f[2]) for f in peer.drain(0.3) if f[0] < 0x10})
        assert sorted(sent[0]) == sorted(sent[1]) == list(range(1, 9))
        for motor_id in range(1, 9):
            (mine, mine_fd), (other, other_fd) = sent[0][motor_id], sent[1][motor_id]
            assert mine_fd and other_fd
            for a, b in zip(mit_fields(mine), mit_fields(other)):
                assert abs(a - b) <= 1, (motor_id, mit_fields(mine), mit_fields(other))
        time.sleep(2.0)  # at rest on the targets
        states = same_states()
        for i, name in enumerate(NAMES):
            assert states[name]["position"] == pytest.approx(3.0 * (i + 1) * (-1) ** i, abs=1.0)
        theirs.disable_torque()
        ours.sync_write("Kp", dict.fromkeys(NAMES, 5.0))
        assert ours.sync_read("Present_Position") == pytest.approx({n: s["position"] for n, s in states.items()},
                                                                  abs=0.5)
        assert ours._group.missed == (0,) * 8
        assert plugin_warnings(caplog) == []
        # Nor did LeRobot's: each comparison was of two answers.
        assert not [r for r in caplog.records if "Packet drop" in r.getMessage()]
    finally:
        peer.close()
        ours.disconnect()
        theirs.disconnect()
    assert motor_status(IFACES[:1]) == [0] * 8


def decoded_q(data):
    return (data[0] << 8 | data[1]) / 65535 * 25.0 - 12.5


@pytest.mark.bus
def test_the_group_holds_commands_to_joint_limits_and_max_relative_target(start_dmsim):
    start_arms(start_dmsim, IFACES[:1])
    # joint_5: a window and the step; joint_6: the step alone.
    bus = DamiaoMotorsBus(IFACES[0], lerobot_motors(), can_interface="socketcan", timeout_ms=TIMEOUT_MS,
                          joint_limits={"joint_5": (-5.0, 5.0)}, max_relative_target={"joint_5": 2.0, "joint_6": 2.0})
    peer = Peer(IFACES[0], timeout=1.0)
    bus.connect()
    try:
        present = {n: s["position"] for n, s in bus.sync_read_all_states().items()}
        goal = dict(present, joint_5=30.0, joint_6=-40.0, joint_7=present["joint_7"] + 10.0)
        peer.drain(0.2)
        bus._mit_control_batch({n: (10.0, 0.5, goal[n], 0.0, 0.0) for n in NAMES})
        sent = {f[0]: f[1] for f in peer.drain(0.3) if f[0] < 0x10}
        step = math.degrees(25.0 / 65535)
        assert math.degrees(decoded_q(sent[5])) == pytest.approx(min(present["joint_5"] + 2.0, 5.0), abs=step)
        assert math.degrees(decoded_q(sent[6])) == pytest.approx(present["joint_6"] - 2.0, abs=step)
        assert math.degrees(decoded_q(sent[7])) == pytest.approx(goal["joint_7"], abs=step)  # no limits
        assert list(bus._group.clamped) == [0, 0, 0, 0, 1, 1, 0, 0]
    finally:
        peer.close()
        bus.disconnect()
    assert motor_status(IFACES[:1]) == [0] * 8


def test_an_unknown_motor_type_is_refused_before_any_bus_is_opened():
    motors = lerobot_motors()
    motors["gripper"].motor_type_str = "dm9999"
    with pytest.raises(ValueError, match="dm9999"):
        DamiaoMotorsBus("vcan0", motors)


@pytest.mark.parametrize("max_relative_target", [None, 3.0, {"joint_2": 1.5}])
def test_each_arm_bus_takes_its_config_and_its_limits_in_radians(max_relative_target):
    cfg = TorvaneArmConfigBase(port="vcan1", use_can_fd=False, max_stale_ticks=5, stale_window=12, timeout_ms=7,
                               watchdog_ms=50, side="left", max_relative_target=max_relative_target)
    cfg.joint_limits = {"joint_1": (-75.0, 75.0), "gripper": (-65.0, 0.0)}
    bus = arm_bus(cfg, None)
    assert (bus.port, bus.use_can_fd, bus.data_bitrate, bus.max_stale_ticks, bus.stale_window, bus.timeout_ms,
            bus.watchdog_ms) == ("vcan1", False, None, 5, 12, 7, 50)
    for name, limits in zip(NAMES, bus._limits):
        window = cfg.joint_limits.get(name)
        step = max_relative_target.get(name) if isinstance(max_relative_target, dict) else max_relative_target
        if window is None and step is None:
            assert limits is None, name
            continue
        want = [math.radians(v) for v in window] if window else [-12.5, 12.5]
        assert list(limits.position) == pytest.approx(want), name
        assert limits.max_step == (None if step is None else pytest.approx(math.radians(step))), name
    assert [(m.id, m.recv_id, m.motor_type_str) for m in bus.motors.values()] == [
        (int(s.split(":")[0]), int(s.split(":")[1], 16), s.split(":")[2]) for s in SIM_MOTORS]


def test_the_bimanual_follower_takes_lerobots_own_arm_configs(tmp_path):
    from lerobot.robots.openarm_follower import OpenArmFollowerConfigBase
    from lerobot_robot_torvane import TorvaneBiOpenArmFollower

    robot = TorvaneBiOpenArmFollower(TorvaneBiOpenArmFollowerConfig(
        calibration_dir=tmp_path,
        left_arm_config=OpenArmFollowerConfigBase(port=IFACES[0], use_can_fd=False, max_relative_target=4.0),
        right_arm_config=TorvaneArmConfigBase(port=IFACES[1], timeout_ms=7, max_stale_ticks=5)))
    left, right = robot.left_arm.bus, robot.right_arm.bus
    defaults = TorvaneArmConfigBase(port="unused")
    # LeRobot's fields as given, the plugin's at their defaults.
    assert (left.port, left.use_can_fd, left.timeout_ms, left.max_stale_ticks, left.stale_window,
            left.watchdog_ms) == (IFACES[0], False, defaults.timeout_ms, defaults.max_stale_ticks,
                                  defaults.stale_window, defaults.watchdog_ms)
    assert robot.left_arm.config.max_relative_target == 4.0
    assert (right.port, right.timeout_ms, right.max_stale_ticks) == (IFACES[1], 7, 5)


@pytest.mark.parametrize("max_stale_ticks, stale_window", [(2, 2), (2, 1), (0, 0), (5, 3)])
def test_a_window_too_short_to_hold_more_misses_than_allowed_is_refused(max_stale_ticks, stale_window):
    with pytest.raises(ValueError, match=f"stale_window \\({stale_window}\\) must be more than max_stale_ticks"):
        DamiaoMotorsBus("vcan0", lerobot_motors(), max_stale_ticks=max_stale_ticks, stale_window=stale_window)


# ---- faults and motors that answer now and then ------------------------------------------

# Late enough that the arms are connected and ticking first, in a slow guest.
FAULT_AT_S = 8.0
OVERLOAD = 0xE


def bus_read_one(robot):
    return robot.bus.read("Present_Position", "joint_3")


# The call that ticks after the fault, and how LeRobot names the motor in it.
FAULT_CALLS = {
    ("single", "get_observation"): (lambda r: r.get_observation(), "joint_3"),
    ("single", "send_action"): (lambda r: r.send_action(targets("single", 2.0)), "joint_3"),
    ("single", "bus.sync_read"): (lambda r: r.bus.sync_read("Present_Position"), "joint_3"),
    # A group of that one motor: the rest of the arm is disabled by the bus.
    ("single", "bus.read"): (bus_read_one, "joint_3"),
    ("bi", "get_observation"): (lambda r: r.get_observation(), "right_joint_3"),
    ("bi", "send_action"): (lambda r: r.send_action(targets("bi", 2.0)), "right_joint_3"),
}


@pytest.mark.bus
@pytest.mark.parametrize("kind, call", list(FAULT_CALLS))
def test_a_motor_latching_a_fault_fails_the_next_call_by_name_and_disables_the_arm(start_dmsim, kind, call,
                                                                                       tmp_path):
    ifaces = IFACES[: len(sides(kind))]
    tick, name = FAULT_CALLS[kind, call]
    # Motor 3 (joint_3) of the last arm overloads.
    start_arms(start_dmsim, ifaces[:-1])
    started = time.monotonic()  # the fault's clock starts after this
    start_arms(start_dmsim, ifaces[-1:], args=["--fault", f"3:overload@{FAULT_AT_S}"])
    robot, _ = robots(kind, tmp_path)
    robot.connect(calibrate=False)
    try:
        tick(robot)
        assert time.monotonic() - started < FAULT_AT_S, "too slow to tick before the fault"
        deadline = started + FAULT_AT_S + 60.0
        with pytest.raises(MotorFaultError) as raised:
            while time.monotonic() < deadline:
                tick(robot)
        assert time.monotonic() - started >= FAULT_AT_S
        err = raised.value
        assert f"{ifaces[-1]}: {name} (0x03/0x13) latched OVERLOAD" in str(err)
        assert err.faults == {name: tx.Status.OVERLOAD}
        assert isinstance(err.__cause__, tx.MotorFault)
        # Before disconnect: the failing call itself disabled every motor; the faulted one shows its fault.
        want = [0] * 8 * len(ifaces)
        want[8 * (len(ifaces) - 1) + 2] = OVERLOAD
        assert motor_status(ifaces) == want
    finally:
        robot.disconnect()


def pause(sim):
    sim.proc.send_signal(signal.SIGSTOP)
    # Taken asynchronously: the next exchange must find it stopped.
    deadline = time.monotonic() + 10.0
    while time.monotonic() < deadline:
        with open(f"/proc/{sim.proc.pid}/stat") as f:
            if f.read().rsplit(")", 1)[1].split()[0] == "T":
                return
        time.sleep(0.001)
    pytest.fail(f"dmsim {sim.proc.pid} did not stop")


def wait_quiet(iface, quiet_s=0.5):
    """Until no frame has crossed the bus for quiet_s: a resumed simulator has answered what it
    was sent meanwhile, whose late replies an exchange would otherwise take for its own."""
    peer = Peer(iface)
    try:
        peer.drain(quiet_s)
    finally:
        peer.close()


# stale_window (None: the default), the tick (1 based) that raises, and the
# misses counted in the window at each warned tick. The motor misses every odd
# tick: never 3 in a row, which is all a window of 3 sees.
FLAKY = [
    (None, 5, [1, 2]),
    (3, None, [1, 2, 2, 2, 2, 2]),
]


@pytest.mark.bus
@pytest.mark.parametrize("stale_window, fails_at, counted", FLAKY)
def test_a_motor_answering_every_other_tick_fails_within_the_window(start_dmsim, stale_window, fails_at, counted,
                                                                    tmp_path, caplog):
    # joint_3 in a simulator of its own, which the test stops for a tick at a time.
    start_dmsim(*(m for m in SIM_MOTORS if not m.startswith("3:")), iface=IFACES[0], args=SIM_ARGS)
    flaky = start_dmsim(SIM_MOTORS[2], iface=IFACES[0], args=SIM_ARGS)
    window = {} if stale_window is None else {"stale_window": stale_window}
    robot = TorvaneOpenArmFollower(TorvaneOpenArmFollowerConfig(
        port=IFACES[0], calibration_dir=tmp_path, timeout_ms=TIMEOUT_MS, max_stale_ticks=2, **window))
    robot.connect(calibrate=False)
    caplog.set_level(logging.WARNING, logger="lerobot_robot_torvane.motors_bus")
    failed_at = None
    try:
        for tick in range(1, 13):
            silent = tick % 2 == 1
            if silent:
                pause(flaky)
            try:
                robot.send_action(targets("single", 2.0))
            except NoReplyError as e:
                failed_at, error = tick, str(e)
                break
            finally:
                if silent:
                    flaky.proc.send_signal(signal.SIGCONT)
        # Not the error of the disable that follows a failure, which joint_3 misses too.
        warnings = [w for w in plugin_warnings(caplog) if "no reply from" in w]
        assert {w.split("no reply from ")[1].split(" ")[0] for w in warnings} == {"joint_3"}
        shown = stale_window or 10
        assert [int(w.split("(")[2].split(" of 2 misses allowed in ")[0]) for w in warnings] == counted
        assert all(f"misses allowed in {shown} ticks" in w for w in warnings)
        assert failed_at == fails_at
        wait_quiet(IFACES[0])
        if fails_at:
            assert "joint_3 (0x03/0x13) missed 3 of the last 10 ticks" in error
            assert motor_status(IFACES[:1]) == [0] * 8
        else:
            assert set(motor_status(IFACES[:1])) == {1}
    finally:
        robot.disconnect()
