#!/usr/bin/env python3
"""Drive a seven-joint arm through one coordinated trajectory, two ways.

Reads each motor's limits from its registers (PMAX, VMAX, TMAX) and builds
its driver with them, switches every motor to MIT mode and enables the arm.
Then it tracks smooth sines, one per joint with its own phase, as fast as
the bus answers: first with one torvane_ext.MotorGroup exchange per tick,
then with seven Damiao.mit_control calls per tick, each way for --duration
seconds. The arm is disabled at the end, also on Ctrl-C, SIGTERM or a fault.
Writes a CSV of commanded and measured positions and, when matplotlib is
installed, a PNG of the tracking per joint beside the tick rate of both ways.

Against the simulator (tools/demo does all of this):

    dmsim --iface vcan0 --bitrate 1000000 --latency-us 200 \\
          --motor 1:0x11:dm4340 --motor 2:0x12:dm4340 --motor 3:0x13:dm4310 --motor 4:0x14:dm4310 \\
          --motor 5:0x15:dm4310 --motor 6:0x16:dm3507 --motor 7:0x17:dm3507 &
    python examples/arm.py --iface vcan0

Against real motors, name the interface and each motor as ID:MASTER:MODEL
(the model's preset is only the starting point: the limits come from the
motor):

    python examples/arm.py --iface can0 --motor 1:0x11:dm4340 --motor 2:0x12:dm4310 ...
"""

from __future__ import annotations

import argparse
import csv
import math
import signal
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path

import torvane
import torvane_ext as tx

# The arm tools/demo plays (its own list names the same seven): shoulders on
# the large motors, small joints at the wrist.
ARM = [
    ("shoulder_pan", "1:0x11:dm4340"),
    ("shoulder_lift", "2:0x12:dm4340"),
    ("elbow", "3:0x13:dm4310"),
    ("forearm_roll", "4:0x14:dm4310"),
    ("wrist_pitch", "5:0x15:dm4310"),
    ("wrist_roll", "6:0x16:dm3507"),
    ("gripper", "7:0x17:dm3507"),
]
# torvane's text for a reply that did not come: a lost frame, not a broken bus.
TIMEOUT_TEXT = "transport error: timeout waiting for frame"
GROUP, SEQUENTIAL = "group", "sequential"
WAY_TITLES = {GROUP: "group.mit_control", SEQUENTIAL: "7 x Damiao.mit_control"}


@dataclass
class Joint:
    label: str
    model: str
    driver: torvane.Damiao
    phase: float
    origin: float = 0.0


@dataclass
class Way:
    name: str
    ticks: int = 0
    elapsed: float = 0.0
    # (t, commanded per joint, measured per joint or None when no reply came)
    rows: list[tuple[float, list[float], list[float | None]]] = field(default_factory=list)

    @property
    def rate(self) -> float:
        return self.ticks / self.elapsed if self.elapsed > 0 else 0.0

    def misses(self, j: int) -> int:
        return sum(row[2][j] is None for row in self.rows)

    def rms(self, j: int, after: float = 0.0) -> float:
        errors = [m - row[1][j] for row in self.rows if (m := row[2][j]) is not None and row[0] >= after]
        return math.sqrt(sum(e * e for e in errors) / len(errors)) if errors else math.nan


def motor_arg(text: str) -> tuple[int, int, str]:
    try:
        cmd, fb, model = text.split(":")
        cmd_id, fb_id = int(cmd, 0), int(fb, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r}: expected ID:MASTER:MODEL, e.g. 1:0x11:dm4340") from None
    if not (model.startswith("dm") and callable(getattr(torvane.MitLimits, model, None))):
        raise argparse.ArgumentTypeError(f"{text!r}: unknown model {model!r}")
    if not (1 <= cmd_id <= 0x7FE and 0 <= fb_id <= 0x7FE):
        raise argparse.ArgumentTypeError(f"{text!r}: ids out of range")
    return cmd_id, fb_id, model


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--iface", default="vcan0", help="CAN interface (default vcan0)")
    p.add_argument("--motor", type=motor_arg, action="append", metavar="ID:MASTER:MODEL",
                   help="one joint, repeatable, in order from the base (default: the seven of tools/demo)")
    p.add_argument("--duration", type=float, default=5.0, help="seconds of tracking for each way (default 5)")
    p.add_argument("--amplitude", type=float, default=0.5, help="rad (default 0.5)")
    p.add_argument("--frequency", type=float, default=0.5, help="Hz (default 0.5)")
    p.add_argument("--kp", type=float, default=30.0, help="stiffness (default 30)")
    p.add_argument("--kd", type=float, default=1.0, help="damping (default 1)")
    p.add_argument("--timeout-ms", type=int, default=20, help="reply timeout of a call or a group tick (default 20)")
    p.add_argument("--fd", action="store_true", help="group commands as CAN FD frames (motors with FD firmware)")
    p.add_argument("--csv", default="out/arm.csv", help="log file (default out/arm.csv)")
    p.add_argument("--png", default="out/arm.png", help="plot file, needs matplotlib (default out/arm.png)")
    p.add_argument("--no-plot", action="store_true", help="do not write the plot")
    args = p.parse_args(argv)
    if args.motor:
        args.joints = [(f"j{n}", m) for n, m in enumerate(args.motor, 1)]
    else:
        args.joints = [(name, motor_arg(spec)) for name, spec in ARM]
    if len({m[0] for _, m in args.joints}) != len(args.joints) or len({m[1] for _, m in args.joints}) != len(
            args.joints):
        p.error("each --motor needs its own command id and feedback id")
    if args.duration <= 0 or args.frequency < 0 or args.timeout_ms < 0:
        p.error("--duration must be positive, --frequency and --timeout-ms not negative")
    return args


def envelope(t: float, duration: float) -> tuple[float, float]:
    """A gain that rises smoothly from 0 and falls back to 0 at the end, and its slope.

    Each way starts and ends at rest where the arm was enabled, so the
    second way begins where the first did.
    """
    ramp = min(0.5, duration / 4)
    for edge, sign in ((t, 1.0), (duration - t, -1.0)):
        if edge < ramp:
            x = math.pi * max(edge, 0.0) / ramp
            return 0.5 - 0.5 * math.cos(x), sign * 0.5 * math.pi / ramp * math.sin(x)
    return 1.0, 0.0


def trajectory(joint: Joint, args: argparse.Namespace, t: float) -> tuple[float, float]:
    w = 2.0 * math.pi * args.frequency
    gain, slope = envelope(t, args.duration)
    s, c = math.sin(w * t + joint.phase), math.cos(w * t + joint.phase)
    return joint.origin + args.amplitude * gain * s, args.amplitude * (slope * s + gain * w * c)


def open_arm(bus: torvane.SocketCanTransport, args: argparse.Namespace) -> list[Joint]:
    """Limits from each motor's registers, then MIT mode."""
    arm = []
    for n, (label, (cmd_id, fb_id, model)) in enumerate(args.joints):
        preset = getattr(torvane.MitLimits, model)()
        probe = torvane.Damiao(cmd_id, fb_id, preset, timeout_ms=args.timeout_ms)
        limits = tx.read_limits(bus, probe)
        driver = torvane.Damiao(cmd_id, fb_id, limits, timeout_ms=args.timeout_ms)
        tx.set_control_mode(bus, driver, tx.ControlMode.MIT)
        same = (limits.p_max, limits.v_max, limits.t_max) == (preset.p_max, preset.v_max, preset.t_max)
        print(f"{label:<14} {model:<7} {cmd_id}/{fb_id:#x}: PMAX {limits.p_max:g} VMAX {limits.v_max:g} "
              f"TMAX {limits.t_max:g} from its registers{'' if same else ' (not the preset)'}, MIT mode", flush=True)
        arm.append(Joint(label, model, driver, phase=2.0 * math.pi * n / len(args.joints)))
    return arm


def sequential(bus: torvane.SocketCanTransport, arm: list[Joint]) -> Callable[[list[torvane.MitSetpoint]], list]:
    drivers = [j.driver for j in arm]

    def send(setpoints: list[torvane.MitSetpoint]) -> list[torvane.MotorState | None]:
        states: list[torvane.MotorState | None] = []
        for driver, sp in zip(drivers, setpoints, strict=True):
            try:
                states.append(driver.mit_control(bus, sp))
            except RuntimeError as e:
                if str(e) != TIMEOUT_TEXT:
                    raise
                states.append(None)
        return states
    return send


def progress(way: Way, t: float, duration: float, worst: float, missed: int) -> str:
    return (f"{WAY_TITLES[way.name]:<23} t={t:5.2f}/{duration:g} s  {way.rate:7.0f} ticks/s  "
            f"largest error {worst:.4f} rad  {missed} replies missed")


def track(way: Way, arm: list[Joint], args: argparse.Namespace,
          send: Callable[[list[torvane.MitSetpoint]], Sequence[torvane.MotorState | None]]) -> Way:
    live = sys.stdout.isatty()
    next_report = 0.0
    worst, missed = 0.0, 0
    start = time.monotonic()
    while (t := time.monotonic() - start) < args.duration:
        targets = [trajectory(j, args, t) for j in arm]
        states = send([torvane.MitSetpoint(q=q, dq=dq, kp=args.kp, kd=args.kd, tau=0.0) for q, dq in targets])
        measured: list[float | None] = []
        for j, (q, _), s in zip(arm, targets, states, strict=True):
            if s is None:
                missed += 1
                measured.append(None)
                continue
            if s.error != 1:
                raise RuntimeError(f"{j.label}: the motor reports error code {s.error:#x}")
            worst = max(worst, abs(s.position - q))
            measured.append(s.position)
        way.rows.append((t, [q for q, _ in targets], measured))
        way.ticks += 1
        way.elapsed = time.monotonic() - start
        if t >= next_report:
            line = progress(way, t, args.duration, worst, missed)
            print(("\r" if live else "") + line, end="" if live else "\n", flush=True)
            next_report = t + (0.2 if live else 1.0)
    way.elapsed = time.monotonic() - start
    print(("\r" if live else "") + progress(way, args.duration, args.duration, worst, missed), flush=True)
    return way


def run(args: argparse.Namespace) -> tuple[int, list[Joint], list[Way]]:
    bus = torvane.SocketCanTransport(args.iface)
    print(f"arm: {len(args.joints)} motors on {args.iface}", flush=True)
    arm: list[Joint] = []
    ways: list[Way] = []
    group = None
    status = 0
    try:
        arm = open_arm(bus, args)
        group = tx.MotorGroup(bus, [j.driver for j in arm], timeout_ms=args.timeout_ms, fd=args.fd)
        print(f"enabling {len(arm)} motors: they hold where they stand, then move", flush=True)
        for j, s in zip(arm, group.enable(), strict=True):
            if s is None:
                raise RuntimeError(f"{j.label}: no answer to enable")
            if s.error != 1:
                raise RuntimeError(f"{j.label}: enable answered with error code {s.error:#x}")
            j.origin = s.position
        for way, send in ((Way(GROUP), group.mit_control), (Way(SEQUENTIAL), sequential(bus, arm))):
            ways.append(way)  # kept as far as it got, should it end early
            track(way, arm, args, send)
    except KeyboardInterrupt:
        print("\ninterrupted", file=sys.stderr)
        status = 130
    except RuntimeError as e:
        print(f"\nerror: {e}", file=sys.stderr)
        status = 1
    finally:
        if group is not None:
            try:
                silent = [j.label for j, s in zip(arm, group.disable(), strict=True) if s is None]
                print(f"disabled {len(arm) - len(silent)} motors" + (f"; no answer from {', '.join(silent)}"
                                                                     if silent else ""))
                status = status or (1 if silent else 0)
            except RuntimeError as e:
                print(f"disable failed: {e}", file=sys.stderr)
                status = status or 1
    return status, arm, ways


def summary(arm: list[Joint], ways: list[Way], args: argparse.Namespace) -> None:
    by_name = {w.name: w for w in ways}
    if len(by_name) == 2:
        g, s = by_name[GROUP], by_name[SEQUENTIAL]
        ratio = g.rate / s.rate if s.rate else math.inf
        print(f"tick rate: {WAY_TITLES[GROUP]} {g.rate:.0f}/s, {WAY_TITLES[SEQUENTIAL]} {s.rate:.0f}/s "
              f"({ratio:.2f}x)")
    settle = min(0.5, args.duration / 4)
    print(f"rms tracking error (rad), past the first {settle:g} s:")
    print(f"  {'joint':<14} {'model':<7}" + "".join(f" {WAY_TITLES[w.name]:>23}" for w in ways))
    for n, j in enumerate(arm):
        cells = "".join(f" {w.rms(n, settle):>15.4f} ({w.misses(n):>3} lost)" for w in ways)
        print(f"  {j.label:<14} {j.model:<7}{cells}")


def write_csv(path: Path, arm: list[Joint], ways: list[Way]) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["time_s", "way", *[f"{j.label}_{kind}_rad" for j in arm for kind in ("cmd", "meas")]])
        for way in ways:
            for t, cmd, meas in way.rows:
                cells = [x for c, m in zip(cmd, meas, strict=True)
                         for x in (f"{c:.6f}", "" if m is None else f"{m:.6f}")]
                w.writerow([f"{t:.6f}", way.name, *cells])


def plot(path: Path, arm: list[Joint], ways: list[Way]) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no plot")
        return
    panels = len(arm) + 1
    rows = (panels + 1) // 2
    fig, axes = plt.subplots(rows, 2, figsize=(13, 2.6 * rows), squeeze=False)
    flat = list(axes.flat)
    colours = {GROUP: "tab:blue", SEQUENTIAL: "tab:orange"}
    for n, (ax, j) in enumerate(zip(flat, arm, strict=False)):  # spare axes stay empty
        if ways:
            ax.plot([r[0] for r in ways[0].rows], [r[1][n] for r in ways[0].rows], "k--", lw=1, label="commanded")
        for way in ways:
            ts = [r[0] for r in way.rows if r[2][n] is not None]
            ax.plot(ts, [r[2][n] for r in way.rows if r[2][n] is not None], color=colours[way.name], lw=1,
                    label=f"measured, {WAY_TITLES[way.name]}")
        ax.set_title(f"{j.label} ({j.model})", fontsize=10)
        ax.set_ylabel("rad")
        ax.set_xlabel("time (s)")
    if arm:
        flat[0].legend(loc="upper right", fontsize=7)
    bars = flat[len(arm)]
    rates = [w.rate for w in ways]
    drawn = bars.bar([WAY_TITLES[w.name] for w in ways], rates, color=[colours[w.name] for w in ways])
    bars.bar_label(drawn, labels=[f"{r:.0f} ticks/s" for r in rates])
    bars.set_title(f"tick rate, {len(arm)} motors")
    bars.set_ylabel("ticks per second")
    bars.set_ylim(0, max(rates, default=1.0) * 1.2 or 1.0)
    for ax in flat[panels:]:
        ax.set_visible(False)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    plt.close(fig)
    print(f"wrote {path}")


def main(argv: Sequence[str] | None = None) -> int:
    # `kill PID` stops the motors as Ctrl-C does.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    args = parse_args(argv)
    try:
        status, arm, ways = run(args)
    except OSError as e:
        print(f"cannot open {args.iface}: {e}", file=sys.stderr)
        return 1
    if ways:
        summary(arm, ways, args)
        write_csv(Path(args.csv), arm, ways)
        print(f"wrote {args.csv}")
        if not args.no_plot:
            plot(Path(args.png), arm, ways)
    return status


if __name__ == "__main__":
    sys.exit(main())
