#!/usr/bin/env python3
"""Drive a two-arm robot, eight motors per arm on its own bus, at a fixed rate.

Reads each motor's limits from its registers (PMAX, VMAX, TMAX), builds its
driver with them and switches it to MIT mode; makes one torvane_ext.MotorGroup
per arm and one torvane_ext.Robot of the two, and enables both arms. Then it
tracks one coordinated trajectory (every joint a small smooth sine around
where it stood, each with its own phase) at --rate with torvane_ext.Loop, two
ways, each for --duration seconds: one Robot tick per period (both buses in
one exchange), then the two arms' groups ticked one after the other. Both
arms are disabled at the end, also on Ctrl-C, SIGTERM or a fault.
Writes out/robot.csv (time, way, target and measured position per joint,
period error) and, with matplotlib, out/robot.png.

Against the simulator (tools/demo does all of this), one dmsim per bus:

    for bus in vcan0 vcan1; do
        dmsim --iface $bus --bitrate 1000000 --latency-us 200 \\
              --motor 1:0x11:dm8009 --motor 2:0x12:dm8009 --motor 3:0x13:dm4340 --motor 4:0x14:dm4340 \\
              --motor 5:0x15:dm4310 --motor 6:0x16:dm4310 --motor 7:0x17:dm4310 --motor 8:0x18:dm4310 &
    done
    python examples/robot.py --ifaces vcan0,vcan1

Against real arms, name each arm's interface; each arm's motors must answer
as ids 1 to 8 with feedback ids 0x11 to 0x18, in the order of ARM below.
"""

from __future__ import annotations

import argparse
import array
import csv
import math
import signal
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path

import torvane
import torvane_ext as tx

# One arm from the base: the shoulders on the largest motors, the wrist and
# gripper on the smallest. Motor n answers on 0x10 + n.
ARM = [
    ("shoulder_pan", "dm8009"),
    ("shoulder_lift", "dm8009"),
    ("elbow", "dm4340"),
    ("forearm_roll", "dm4340"),
    ("wrist_pitch", "dm4310"),
    ("wrist_yaw", "dm4310"),
    ("wrist_roll", "dm4310"),
    ("gripper", "dm4310"),
]
SIDES = ("left", "right")
# Each motor's joint in the arm's robot model (torvane_gravity.ARM), for --gravity.
MODEL_JOINTS = [f"joint{k}" for k in range(1, 8)] + ["gripper"]
ROBOT, GROUPS, GRAVITY = "robot", "groups", "gravity"
WAY_TITLES = {ROBOT: "one Robot tick", GROUPS: "two group ticks", GRAVITY: "Robot + gravity"}
# Columns of a mit_control_into command row and of an answer row, as torvane_ext lays them out.
MIT_COLUMNS = tx.COMMAND_COLUMNS["mit_control"]
CMD_COLS, OUT_COLS = len(MIT_COLUMNS), len(tx.STATE_COLUMNS)
Q, DQ, KP, KD, TAU = map(MIT_COLUMNS.index, ("q", "dq", "kp", "kd", "tau"))
POSITION, STATUS = tx.STATE_COLUMNS.index("position"), tx.STATE_COLUMNS.index("status")
ENABLED = tx.Status.ENABLED


class Terminated(Exception):
    """SIGTERM arrived: stop as on Ctrl-C."""


@dataclass
class Joint:
    label: str
    model: str
    phase: float
    origin: float = 0.0


@dataclass
class Way:
    name: str
    rate_hz: float
    ticks: int = 0
    elapsed: float = 0.0
    missed: int = 0
    overruns: int = 0
    loop_p99_us: float = math.nan  # the Loop's own wake-up error
    # (t, target per joint, measured per joint (NaN: no reply), period error in us (NaN for the first tick))
    rows: list[tuple[float, list[float], list[float], float]] = field(default_factory=list)

    @property
    def rate(self) -> float:
        return (self.ticks - 1) / self.elapsed if self.elapsed > 0 and self.ticks > 1 else 0.0

    def period_errors(self) -> list[float]:
        return [r[3] for r in self.rows if not math.isnan(r[3])]

    def rms(self, j: int, after: float = 0.0) -> float:
        errors = [r[2][j] - r[1][j] for r in self.rows if r[0] >= after and not math.isnan(r[2][j])]
        return math.sqrt(sum(e * e for e in errors) / len(errors)) if errors else math.nan


def percentile(values: Sequence[float], q: float) -> float:
    if not values:
        return math.nan
    s = sorted(values)
    return s[min(len(s) - 1, int(q * len(s)))]


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--iface-left", default="vcan0", help="the left arm's CAN interface (default vcan0)")
    p.add_argument("--iface-right", default="vcan1", help="the right arm's CAN interface (default vcan1)")
    p.add_argument("--ifaces", metavar="LEFT,RIGHT", help="both interfaces at once")
    p.add_argument("--rate", type=float, default=250.0, help="ticks per second (default 250)")
    p.add_argument("--duration", type=float, default=5.0, help="seconds of tracking for each way (default 5)")
    p.add_argument("--amplitude", type=float, default=0.2, help="rad (default 0.2)")
    p.add_argument("--frequency", type=float, default=0.5, help="Hz (default 0.5)")
    p.add_argument("--kp", type=float, default=30.0, help="stiffness (default 30)")
    p.add_argument("--kd", type=float, default=1.0, help="damping (default 1)")
    p.add_argument("--timeout-ms", type=int, default=20, help="reply timeout of a call or a tick (default 20)")
    p.add_argument("--gravity", metavar="MODEL",
                   help="track once without and once with gravity feed-forward from this robot model (a MuJoCo "
                        "file, or 'arm' for the one torvane_gravity ships), instead of Robot against groups")
    p.add_argument("--out", default="out", help="folder for robot.csv and robot.png (default out)")
    p.add_argument("--no-plot", action="store_true", help="do not write the plot")
    args = p.parse_args(argv)
    if args.ifaces:
        names = args.ifaces.split(",")
        if len(names) != 2 or not all(names):
            p.error("--ifaces takes two interfaces: LEFT,RIGHT")
        args.iface_left, args.iface_right = names
    if args.iface_left == args.iface_right:
        p.error("each arm needs its own bus")
    if not (math.isfinite(args.rate) and args.rate > 0) or args.duration <= 0:
        p.error("--rate and --duration must be positive")
    if args.frequency < 0 or args.timeout_ms < 0:
        p.error("--frequency and --timeout-ms must not be negative")
    return args


def envelope(t: float, duration: float) -> tuple[float, float]:
    """A gain that rises smoothly from 0 and falls back to 0 at the end, and its slope.

    Each way starts and ends at rest where the robot was enabled, so the
    second way begins where the first did.
    """
    ramp = min(0.5, duration / 4)
    for edge, sign in ((t, 1.0), (duration - t, -1.0)):
        if edge < ramp:
            x = math.pi * max(edge, 0.0) / ramp
            return 0.5 - 0.5 * math.cos(x), sign * 0.5 * math.pi / ramp * math.sin(x)
    return 1.0, 0.0


def open_arm(side: str, bus: torvane.SocketCanTransport, args: argparse.Namespace,
             first: int) -> tuple[list[Joint], list[torvane.Damiao]]:
    """Limits from each motor's registers, then MIT mode."""
    joints, drivers = [], []
    total = 2 * len(ARM)
    for n, (name, model) in enumerate(ARM, 1):
        preset = getattr(torvane.MitLimits, model)()
        probe = torvane.Damiao(n, 0x10 + n, preset, timeout_ms=args.timeout_ms)
        limits = tx.read_limits(bus, probe)
        driver = torvane.Damiao(n, 0x10 + n, limits, timeout_ms=args.timeout_ms)
        tx.set_control_mode(bus, driver, tx.ControlMode.MIT)
        label = f"{side}.{name}"
        print(f"{label:<19} {model:<7} {n}/{0x10 + n:#x}: PMAX {limits.p_max:g} VMAX {limits.v_max:g} "
              f"TMAX {limits.t_max:g} from its registers, MIT mode", flush=True)
        joints.append(Joint(label, model, phase=2.0 * math.pi * (first + n - 1) / total))
        drivers.append(driver)
    return joints, drivers


def rows_view(buffer: array.array, start: int, count: int, cols: int) -> memoryview:
    """Rows start..start+count of a flat float64 array, as the C-contiguous 2-D buffer *_into wants."""
    return memoryview(buffer)[start * cols:(start + count) * cols].cast("B").cast("d", [count, cols])


def live_line(way: Way, t: float, duration: float) -> str:
    errors = way.period_errors()
    return (f"{WAY_TITLES[way.name]:<16} t={t:5.2f}/{duration:g} s  {way.rate:6.1f} of {way.rate_hz:g} ticks/s  "
            f"{way.overruns} overruns  p99 period error {percentile([abs(e) for e in errors], 0.99):7.0f} us  "
            f"{way.missed} replies missed")


class FeedForward:
    """Gravity torques at the last measured positions into the commands' tau column, one model
    per arm (the rows of the left arm first). No allocation per tick: the buffers are made once."""

    def __init__(self, model: str, n: int):
        import torvane_gravity as tg  # optional: MuJoCo comes with it

        path = tg.ARM if model == "arm" else model
        self.arms = [tg.Gravity(path, MODEL_JOINTS) for _ in range(2)]
        self.q = [array.array("d", [0.0] * (n // 2)) for _ in self.arms]
        self.tau = [array.array("d", [0.0] * (n // 2)) for _ in self.arms]

    def fill(self, answers: array.array, commands: array.array) -> None:
        row = 0
        for arm, q, tau in zip(self.arms, self.q, self.tau):
            for j in range(len(q)):
                p = answers[(row + j) * OUT_COLS + POSITION]
                if p == p:  # a silent motor keeps its last position
                    q[j] = p
            arm.torques(q, tau)
            for j, t in enumerate(tau):
                commands[(row + j) * CMD_COLS + TAU] = t  # JointLimits.torque still bounds the total
            row += len(q)


def track(way: Way, joints: list[Joint], args: argparse.Namespace, bind: Binder,
          feed: FeedForward | None = None) -> None:
    n = len(joints)
    commands = array.array("d", [0.0] * (n * CMD_COLS))
    answers = array.array("d", [math.nan] * (n * OUT_COLS))
    send = bind(commands, answers)
    for j in range(n):
        commands[j * CMD_COLS + KP], commands[j * CMD_COLS + KD] = args.kp, args.kd
        answers[j * OUT_COLS + POSITION] = joints[j].origin
    w = 2.0 * math.pi * args.frequency
    period_ns = round(1e9 / args.rate)
    live = sys.stdout.isatty()
    next_report = 0.0
    loop = tx.Loop(rate_hz=args.rate)
    first = previous = 0
    for tick in loop:
        woke = tx.monotonic_ns()
        if tick == 0:
            first = loop.deadline_ns
        # Time on the loop's grid: what the trajectory is for, whenever the wake-up came.
        t = (loop.deadline_ns - first) / 1e9
        if t >= args.duration:
            break
        gain, slope = envelope(t, args.duration)
        targets = []
        for j, joint in enumerate(joints):
            s, c = math.sin(w * t + joint.phase), math.cos(w * t + joint.phase)
            q = joint.origin + args.amplitude * gain * s
            commands[j * CMD_COLS + Q] = q
            commands[j * CMD_COLS + DQ] = args.amplitude * (slope * s + gain * w * c)
            targets.append(q)
        if feed:
            feed.fill(answers, commands)
        answered = send()
        way.missed += n - answered
        measured = [answers[j * OUT_COLS + POSITION] for j in range(n)]
        for j, joint in enumerate(joints):
            status = answers[j * OUT_COLS + STATUS]
            if not math.isnan(status) and status != ENABLED:
                raise RuntimeError(f"{joint.label}: the motor reports status {int(status):#x}")
        # The time from one wake-up to the next, less the period: an overrun shows as a whole period.
        error_us = math.nan if tick == 0 else (woke - previous - period_ns) / 1e3
        previous = woke
        way.rows.append((t, targets, measured, error_us))
        way.ticks += 1
        way.elapsed = (woke - first) / 1e9
        if t >= next_report:
            way.overruns = loop.stats().overruns
            print(("\r" if live else "") + live_line(way, t, args.duration), end="" if live else "\n", flush=True)
            next_report = t + (0.2 if live else 1.0)
    stats = loop.stats()
    way.overruns, way.loop_p99_us = stats.overruns, stats.p99_us
    print(("\r" if live else "") + live_line(way, args.duration, args.duration), flush=True)


# Given the robot's flat command and answer arrays, a call that runs one tick on them.
Binder = Callable[[array.array, array.array], Callable[[], int]]


def robot_tick(robot: tx.Robot) -> Binder:
    def bind(commands: array.array, answers: array.array) -> Callable[[], int]:
        n = len(commands) // CMD_COLS
        cmd, out = rows_view(commands, 0, n, CMD_COLS), rows_view(answers, 0, n, OUT_COLS)
        return lambda: robot.mit_control_into(cmd, out)
    return bind


def group_ticks(groups: list[tx.MotorGroup]) -> Binder:
    """Each arm's own exchange in turn, on its rows of the robot's arrays."""
    def bind(commands: array.array, answers: array.array) -> Callable[[], int]:
        calls, first = [], 0
        for g in groups:
            count = len(g.motors)
            calls.append((g.mit_control_into, rows_view(commands, first, count, CMD_COLS),
                          rows_view(answers, first, count, OUT_COLS)))
            first += count
        return lambda: sum(call(cmd, out) for call, cmd, out in calls)
    return bind


def terminate(signum: int, frame: object) -> None:
    raise Terminated


def disable(robot: tx.Robot | None, groups: list[tx.MotorGroup], joints: list[Joint]) -> int:
    """Both arms off, in one exchange when the robot was made; 1 when a motor stayed silent."""
    try:
        states = list(robot.disable()) if robot is not None else [s for g in groups for s in g.disable()]
    except RuntimeError as e:
        print(f"disable failed: {e}", file=sys.stderr)
        return 1
    silent = [j.label for j, s in zip(joints, states, strict=False) if s is None]
    print(f"disabled {len(states) - len(silent)} motors" + (f"; no answer from {', '.join(silent)}" if silent else ""),
          flush=True)
    return 1 if silent else 0


def run(args: argparse.Namespace) -> tuple[int, list[Joint], list[Way]]:
    buses = [torvane.SocketCanTransport(args.iface_left), torvane.SocketCanTransport(args.iface_right)]
    print(f"robot: two arms of {len(ARM)} motors, left on {args.iface_left}, right on {args.iface_right}", flush=True)
    joints: list[Joint] = []
    groups: list[tx.MotorGroup] = []
    robot = None
    ways: list[Way] = []
    status = 0
    previous = signal.signal(signal.SIGTERM, terminate)
    try:
        for side, bus in zip(SIDES, buses, strict=True):
            arm, drivers = open_arm(side, bus, args, first=len(joints))
            groups.append(tx.MotorGroup(bus, drivers, timeout_ms=args.timeout_ms))
            joints += arm
        robot = tx.Robot(groups, timeout_ms=args.timeout_ms)
        print(f"enabling {len(joints)} motors: they hold where they stand, then move", flush=True)
        states = robot.enable()
        for _ in range(2):  # enabling again is harmless; a busy simulator may miss a reply
            if None not in states:
                break
            states = robot.enable()
        for j, s in zip(joints, states, strict=True):
            if s is None:
                raise RuntimeError(f"{j.label}: no answer to enable")
            if s.error != ENABLED:
                raise RuntimeError(f"{j.label}: enable answered with status {s.error:#x}")
            j.origin = s.position
        if args.gravity:
            plan = [(Way(ROBOT, args.rate), robot_tick(robot), None),
                    (Way(GRAVITY, args.rate), robot_tick(robot), FeedForward(args.gravity, len(joints)))]
        else:
            plan = [(Way(ROBOT, args.rate), robot_tick(robot), None), (Way(GROUPS, args.rate), group_ticks(groups), None)]
        for way, bind, feed in plan:
            ways.append(way)  # kept as far as it got, should it end early
            track(way, joints, args, bind, feed)
    except (KeyboardInterrupt, Terminated) as e:
        print(f"\n{'terminated' if isinstance(e, Terminated) else 'interrupted'}", file=sys.stderr)
        status = 130 if isinstance(e, KeyboardInterrupt) else 143
    except RuntimeError as e:
        print(f"\nerror: {e}", file=sys.stderr)
        status = 1
    finally:
        # A second signal must not cut the disable short.
        held = signal.signal(signal.SIGINT, signal.SIG_IGN), signal.signal(signal.SIGTERM, signal.SIG_IGN)
        try:
            if groups:
                status = disable(robot, groups, joints) or status
        finally:
            signal.signal(signal.SIGINT, held[0])
            signal.signal(signal.SIGTERM, previous)
    return status, joints, ways


def summary(joints: list[Joint], ways: list[Way], args: argparse.Namespace) -> None:
    print(f"at {args.rate:g} ticks/s for {args.duration:g} s each:")
    for w in ways:
        errors = w.period_errors()
        print(f"  {WAY_TITLES[w.name]:<16} {w.rate:6.1f} ticks/s held, {w.overruns} overruns, period error "
              f"p50 {percentile(errors, 0.5):.0f} p99 {percentile(errors, 0.99):.0f} "
              f"max {max(errors, default=math.nan):.0f} us, Loop's own wake-up p99 {w.loop_p99_us:.0f} us, "
              f"{w.missed} replies missed")
    settle = min(0.5, args.duration / 4)
    print(f"rms tracking error (rad), past the first {settle:g} s:")
    print(f"  {'joint':<19} {'model':<7}" + "".join(f" {WAY_TITLES[w.name]:>16}" for w in ways))
    for n, j in enumerate(joints):
        print(f"  {j.label:<19} {j.model:<7}" + "".join(f" {w.rms(n, settle):>16.4f}" for w in ways))


def write_csv(path: Path, joints: list[Joint], ways: list[Way]) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(["time_s", "way", *[f"{j.label}_{kind}_rad" for j in joints for kind in ("target", "meas")],
                      "period_error_us"])
        for way in ways:
            for t, target, meas, error in way.rows:
                cells = [x for c, m in zip(target, meas, strict=True)
                         for x in (f"{c:.6f}", "" if math.isnan(m) else f"{m:.6f}")]
                out.writerow([f"{t:.6f}", way.name, *cells, "" if math.isnan(error) else f"{error:.1f}"])


def plot(path: Path, joints: list[Joint], ways: list[Way], args: argparse.Namespace) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no plot")
        return
    cols = 4
    rows = (len(joints) + cols - 1) // cols
    fig = plt.figure(figsize=(16, 2.3 * rows + 3.2))
    grid = fig.add_gridspec(rows + 1, cols, height_ratios=[1] * rows + [1.4])
    colours = {ROBOT: "tab:blue", GROUPS: "tab:orange", GRAVITY: "tab:green"}
    settle = min(0.5, args.duration / 4)
    for n, j in enumerate(joints):
        ax = fig.add_subplot(grid[n // cols, n % cols])
        if ways:
            ax.plot([r[0] for r in ways[0].rows], [r[1][n] for r in ways[0].rows], "k--", lw=1, label="target")
        for way in ways:
            pts = [(r[0], r[2][n]) for r in way.rows if not math.isnan(r[2][n])]
            ax.plot([p[0] for p in pts], [p[1] for p in pts], color=colours[way.name], lw=1,
                    label=f"{WAY_TITLES[way.name]}: rms error {way.rms(n, settle):.4f} rad")
        ax.set_title(f"{j.label} ({j.model})", fontsize=9)
        ax.tick_params(labelsize=7)
        ax.legend(loc="upper right", fontsize=6)
    errors_ax = fig.add_subplot(grid[rows, :cols - 1])
    for way in ways:
        pts = [(r[0], r[3]) for r in way.rows if not math.isnan(r[3])]
        errors_ax.plot([p[0] for p in pts], [p[1] / 1e3 for p in pts], color=colours[way.name], lw=0.8,
                       label=WAY_TITLES[way.name])
    errors_ax.axhline(0, color="k", lw=0.5)
    errors_ax.set_title(f"period error (wake-up to wake-up, less the {1e3 / args.rate:g} ms period)", fontsize=10)
    errors_ax.set_xlabel("time in the way (s)")
    errors_ax.set_ylabel("ms")
    errors_ax.legend(loc="upper right", fontsize=7)
    bars = fig.add_subplot(grid[rows, cols - 1])
    rates = [w.rate for w in ways]
    drawn = bars.bar([WAY_TITLES[w.name] for w in ways], rates, color=[colours[w.name] for w in ways])
    bars.bar_label(drawn, labels=[f"{r:.0f}/s, {w.overruns} overruns" for r, w in zip(rates, ways, strict=True)],
                   fontsize=8)
    bars.axhline(args.rate, color="k", ls="--", lw=1, label=f"asked: {args.rate:g}/s")
    bars.set_title(f"tick rate, {len(joints)} motors on 2 buses", fontsize=10)
    bars.set_ylabel("ticks per second")
    bars.set_ylim(0, max([args.rate, *rates]) * 1.25)
    bars.tick_params(labelsize=8)
    bars.legend(loc="upper right", fontsize=7)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=90)
    plt.close(fig)
    print(f"wrote {path}")


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        status, joints, ways = run(args)
    except OSError as e:
        print(f"cannot open the buses {args.iface_left}, {args.iface_right}: {e}", file=sys.stderr)
        return 1
    if ways:
        out = Path(args.out)
        summary(joints, ways, args)
        write_csv(out / "robot.csv", joints, ways)
        print(f"wrote {out / 'robot.csv'}")
        if not args.no_plot:
            plot(out / "robot.png", joints, ways, args)
    return status


if __name__ == "__main__":
    sys.exit(main())
