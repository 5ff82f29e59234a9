"""One teleoperation tick of the bimanual OpenArm follower (send_action, then
get_observation): the torvane plugin's robot against LeRobot's own, in the
same run, against dmsim on two buses.

    python benchmarks/lerobot_teleop.py [--rounds 4] [--ticks 200] [--output BENCHMARKS.md]

Needs vcan0 and vcan1 (inside tools/vcan-vm: tools/bench-lerobot), LeRobot
and the plugin in this interpreter (tools/lerobot-env) and dmsim beside it.
Each bus carries one arm of LeRobot's OpenArm motors (dm8009 x2, dm4340 x2,
dm4310 x4, ids 1-8, feedback 0x11-0x18) under dmsim --bitrate 1000000
--latency-us 200, in MIT mode. The two robots take turns, a round each,
each connected only for its own rounds (both would read each other's
replies otherwise); every tick sends a slow sine inside the joint limits.

Missed replies: the plugin's are its warnings (a silent motor bridged with
its last state) and the ticks it raised on; LeRobot's own are its "Packet
drop ... Using last known state" warnings, and beside them every reply its
batch receives did not collect before their deadline (its MIT batch drops
them without a word).
"""

from __future__ import annotations

import logging
import math
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness.cli import parser  # noqa: E402
from harness.dmsim import ARM, WIRE, Simulator, find_dmsim, motor_args  # noqa: E402
from harness.machine import machine_lines  # noqa: E402
from harness.markdown import markers, publish, verdict  # noqa: E402

IFACES = ["vcan0", "vcan1"]
NAMES = [f"joint_{i}" for i in range(1, 8)] + ["gripper"]
SECTION = "lerobot_teleop"
BEGIN, END = markers(SECTION)


class Counter(logging.Handler):
    def __init__(self, needle):
        super().__init__(logging.WARNING)
        self.needle, self.count = needle, 0

    def emit(self, record):
        if self.needle in record.getMessage():
            self.count += 1


def versions():
    from importlib.metadata import version

    return ", ".join(f"{d} {version(d)}" for d in ("lerobot", "python-can", "torvane", "lerobot_robot_torvane"))


def action(tick):
    # Inside the default joint limits (joint_4 0..5 degrees, gripper -5..0).
    s = 2.0 * math.sin(tick * 0.05)
    one = {f"{n}.pos": (-abs(s) if n == "gripper" else abs(s) if n == "joint_4" else s) for n in NAMES}
    return {f"{side}_{k}": v for side in ("left", "right") for k, v in one.items()}


def build(kind, calibration_dir, timeout_ms):
    if kind == "torvane":
        from lerobot_robot_torvane import (TorvaneArmConfigBase, TorvaneBiOpenArmFollower,
                                           TorvaneBiOpenArmFollowerConfig)

        return TorvaneBiOpenArmFollower(TorvaneBiOpenArmFollowerConfig(
            calibration_dir=calibration_dir,
            left_arm_config=TorvaneArmConfigBase(port=IFACES[0], timeout_ms=timeout_ms),
            right_arm_config=TorvaneArmConfigBase(port=IFACES[1], timeout_ms=timeout_ms)))
    from lerobot.robots.bi_openarm_follower import BiOpenArmFollower, BiOpenArmFollowerConfig
    from lerobot.robots.openarm_follower import OpenArmFollowerConfigBase

    return BiOpenArmFollower(BiOpenArmFollowerConfig(
        calibration_dir=calibration_dir,
        left_arm_config=OpenArmFollowerConfigBase(port=IFACES[0]),
        right_arm_config=OpenArmFollowerConfigBase(port=IFACES[1])))


def count_batch_misses(robot, tally):
    """Wrap LeRobot's batch receive on each arm's bus: the replies it did not collect."""
    for arm in (robot.left_arm, robot.right_arm):
        bus = arm.bus
        original = bus._recv_all_responses

        def counted(expected, timeout=0.002, _original=original):
            got = _original(expected, timeout=timeout)
            tally[0] += len(set(expected) - set(got))
            return got

        bus._recv_all_responses = counted


def run_round(robot, ticks, start_tick):
    robot.connect(calibrate=False)
    try:
        for t in range(start_tick, start_tick + 20):  # warm-up
            robot.send_action(action(t))
            robot.get_observation()
        start = time.perf_counter()
        for t in range(start_tick, start_tick + ticks):
            robot.send_action(action(t))
            robot.get_observation()
        return ticks / (time.perf_counter() - start)
    finally:
        robot.disconnect()


def main(argv=None):
    ap = parser(__doc__, command=False)
    ap.add_argument("--rounds", type=int, default=4)
    ap.add_argument("--ticks", type=int, default=200)
    ap.add_argument("--timeout-ms", type=int, default=100, help="the plugin's per-tick deadline (default 100)")
    a = ap.parse_args(argv)
    dmsim = find_dmsim()
    if not dmsim:
        sys.exit("no dmsim beside this interpreter")
    logging.basicConfig(level=logging.ERROR)
    ours_missed = Counter("no reply from")
    logging.getLogger("lerobot_robot_torvane.motors_bus").addHandler(ours_missed)
    theirs_dropped = Counter("Packet drop")
    logging.getLogger("lerobot.motors.damiao.damiao").addHandler(theirs_dropped)
    theirs_uncollected = [0]
    ours_raised = 0

    sims = [Simulator(dmsim, iface, [*motor_args(ARM), *WIRE]) for iface in IFACES]
    rates = {"torvane": [], "lerobot": []}
    try:
        with tempfile.TemporaryDirectory() as cal:
            robots = {k: build(k, Path(cal), a.timeout_ms) for k in rates}
            count_batch_misses(robots["lerobot"], theirs_uncollected)
            tick = 0
            for r in range(a.rounds):
                for kind, robot in robots.items():
                    try:
                        rates[kind].append(run_round(robot, a.ticks, tick))
                    except Exception as e:
                        if kind != "torvane":
                            raise
                        ours_raised += 1
                        print(f"round {r}: the plugin raised {e}", file=sys.stderr)
                    print(f"round {r} {kind}: {rates[kind][-1] if rates[kind] else 0:,.1f} ticks/s",
                          file=sys.stderr, flush=True)
                tick += a.ticks + 20
    finally:
        for s in sims:
            s.stop()

    ours, theirs = statistics.median(rates["torvane"]), statistics.median(rates["lerobot"])
    total = a.rounds * (a.ticks + 20)
    lines = [BEGIN, "## LeRobot teleoperation tick (tools/bench-lerobot)", "",
             *machine_lines(f"{IFACES[0]} and {IFACES[1]}", tools=versions()), "",
             f"Bimanual OpenArm follower, one tick = send_action then get_observation, two buses of eight "
             f"motors under dmsim {' '.join(WIRE)}. One run, {a.rounds} rounds of {a.ticks} ticks per robot "
             f"(after 20 warm-up ticks each), alternating, medians. The plugin's deadline: {a.timeout_ms} ms.", "",
             "| robot | ticks/s | missed replies |", "|---|---|---|",
             f"| lerobot_robot_torvane (`torvane_bi_openarm_follower`) | {ours:,.1f} | "
             f"{ours_missed.count} bridged with a warning, {ours_raised} rounds raised |",
             f"| LeRobot 0.6.1 (`bi_openarm_follower`) | {theirs:,.1f} | "
             f"{theirs_dropped.count} \"Packet drop\" warnings; {theirs_uncollected[0]} replies not collected "
             f"by its batch receives |",
             "", f"Ratio {ours / theirs:.2f}x (target 2x: {verdict(ours / theirs >= 2, bold=False)}); "
             f"{total:,} ticks per robot over the run, warm-up included ({total * 32:,} replies each). "
             f"In the emulated guest compare the two by their ratio, not by their absolute rates.", END]
    publish("\n".join(lines), a.output, SECTION)


if __name__ == "__main__":
    main()
