#!/usr/bin/env python3
"""Two arms, each a MotorGroup on its own CAN bus, driven as one tx.Robot at a fixed rate.

The README's template for driving a robot, with every safety setting on: a
with block, each motor's own watchdog (watchdog_ms), JointLimits on every
joint, the control mode checked and set before enabling, faults raised by
name. One Robot tick per period with tx.Loop, commands and answers in
array.array buffers (numpy arrays serve the same). Every joint follows a
small sine around where it stood when enabled and comes back to it. Ctrl-C,
SIGTERM or SIGHUP, a fault, a silent motor or a refused command ends the
run; leaving the with block disables both arms, whichever way it ends.

Against the simulator, one dmsim per bus (its motors start in POS_VEL mode;
set_mode=True switches them to MIT):

    dmsim --iface vcan0 --motor 1:0x11:dm4310 --motor 2:0x12:dm4310 &
    dmsim --iface vcan1 --motor 1:0x11:dm4310 --motor 2:0x12:dm4310 &
    python examples/two_arms.py

Against real arms, motor N of each arm answering on feedback id 0x10 + N:

    python examples/two_arms.py --left can0 --right can1 --ids 1,2,3 --models dm4340,dm4340,dm4310
"""

from __future__ import annotations

import argparse
import array
import math
import signal
import sys
from collections.abc import Sequence

import torvane
import torvane_ext as tx

# Each joint's limits: put your robot's own here. The window lies inside the
# joint's mechanical range, torque bounds all a command asks of the motor
# (stiffness and damping at its measured state plus the feed-forward), and
# kp and kd bound the gains. max_step is worked out from the motion below.
WINDOW = (-1.5, 1.5)  # rad
VELOCITY = 8.0  # rad/s
TORQUE = 5.0  # N·m
KP_MAX, KD_MAX = 50.0, 2.0
MAX_SILENT = 5  # ticks in a row a motor may miss before the run stops
# Columns of a command row (mit_control_into) and of an answer row, as torvane_ext lays them out:
# q, dq, kp, kd, tau | position, velocity, torque, t_mos, t_rotor, status.
MIT_COLUMNS = tx.COMMAND_COLUMNS["mit_control"]
CMD, OUT = len(MIT_COLUMNS), len(tx.STATE_COLUMNS)
Q, DQ, KP, KD, TAU = map(MIT_COLUMNS.index, ("q", "dq", "kp", "kd", "tau"))
POSITION, STATUS = tx.STATE_COLUMNS.index("position"), tx.STATE_COLUMNS.index("status")
RAMP_S = 0.5  # the sine fades in and out over this long


def id_list(text: str) -> list[int]:
    ids = [int(x, 0) for x in text.split(",")]
    if not ids or any(not 1 <= i <= 0x7FF - 0x10 for i in ids) or len(set(ids)) != len(ids):
        raise argparse.ArgumentTypeError(f"distinct command ids in 1..{0x7FF - 0x10:#x}, comma-separated: {text!r}")
    return ids


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--left", default="vcan0", help="the left arm's CAN interface (default vcan0)")
    p.add_argument("--right", default="vcan1", help="the right arm's CAN interface (default vcan1)")
    p.add_argument("--ids", type=id_list, default=[1, 2],
                   help="each arm's command ids from the base, e.g. 1,2,3; motor N answers on 0x10 + N (default 1,2)")
    p.add_argument("--models", default="dm4310", help="one model per id, or one for all (default dm4310)")
    p.add_argument("--rate", type=float, default=200.0, help="ticks per second (default 200)")
    p.add_argument("--seconds", type=float, default=5.0, help="how long the arms move (default 5)")
    p.add_argument("--amplitude", type=float, default=0.1, help="of each joint's sine, rad (default 0.1)")
    p.add_argument("--frequency", type=float, default=0.5, help="of each joint's sine, Hz (default 0.5)")
    p.add_argument("--kp", type=float, default=20.0, help="stiffness (default 20)")
    p.add_argument("--kd", type=float, default=1.0, help="damping (default 1)")
    p.add_argument("--timeout-ms", type=int, default=20, help="how long a tick waits for replies (default 20)")
    p.add_argument("--watchdog-ms", type=int, default=50,
                   help="a motor that hears nothing for this long disables itself (default 50)")
    p.add_argument("--gravity", metavar="MODEL",
                   help="add gravity feed-forward (tau) from this robot model: a MuJoCo file, or 'arm' for the one "
                        "torvane_gravity ships; needs pip install 'torvane[gravity]'")
    p.add_argument("--joints", help="with --gravity, the model's joint of each id, comma-separated "
                                    "(default joint1,joint2,...)")
    p.add_argument("--realtime", type=int, metavar="PRIORITY",
                   help="run the loop SCHED_FIFO at this priority (needs CAP_SYS_NICE and CAP_IPC_LOCK)")
    args = p.parse_args(argv)
    models = args.models.split(",")
    if len(models) == 1:
        models *= len(args.ids)
    if len(models) != len(args.ids):
        p.error(f"--models names {len(models)} models for {len(args.ids)} ids")
    for m in models:
        if not callable(getattr(torvane.MitLimits, m, None)) or not m.startswith("dm"):
            p.error(f"no motor model {m!r} (torvane.MitLimits has dm4310, dm4340, dm8009, ...)")
    args.models = models
    args.joints = args.joints.split(",") if args.joints else [f"joint{k}" for k in range(1, len(args.ids) + 1)]
    if len(args.joints) != len(args.ids):
        p.error(f"--joints names {len(args.joints)} joints for {len(args.ids)} ids")
    if args.left == args.right:
        p.error("each arm needs its own bus")
    if not (math.isfinite(args.rate) and args.rate > 0 and args.seconds > 0):
        p.error("--rate and --seconds must be positive")
    if not (0 <= args.amplitude <= 1 and args.frequency >= 0 and args.timeout_ms >= 0):
        p.error("--amplitude must be in 0..1 rad; --frequency and --timeout-ms must not be negative")
    if not (0 <= args.kp <= KP_MAX and 0 <= args.kd <= KD_MAX):
        p.error(f"--kp must be in 0..{KP_MAX:g} and --kd in 0..{KD_MAX:g} (the limits' bounds)")
    if not (3000 / args.rate <= args.watchdog_ms <= 3276):
        p.error(f"--watchdog-ms must cover three periods ({3000 / args.rate:.0f} ms) and be at most 3276")
    return args


def max_step(args: argparse.Namespace) -> float:
    """A little above what one period of the fastest motion needs, and never below 0.05 rad."""
    fastest = args.amplitude * (2 * math.pi * args.frequency + math.pi / RAMP_S)  # rad/s, sine and ramp at their steepest
    return max(0.05, 4 * fastest / args.rate)


def arm(bus: torvane.SocketCanTransport, args: argparse.Namespace) -> list[torvane.Damiao]:
    """Each motor's driver, scaled by the limits its registers hold (PMAX, VMAX, TMAX), not the model's preset."""
    motors = []
    for motor_id, model in zip(args.ids, args.models, strict=True):
        preset = getattr(torvane.MitLimits, model)()
        probe = torvane.Damiao(motor_id, 0x10 + motor_id, preset, timeout_ms=args.timeout_ms)
        motors.append(torvane.Damiao(motor_id, 0x10 + motor_id, tx.read_limits(bus, probe),
                                     timeout_ms=args.timeout_ms))
    return motors


def group(bus: torvane.SocketCanTransport, args: argparse.Namespace) -> tx.MotorGroup:
    """One arm, with its safety settings."""
    limits = tx.JointLimits(position=WINDOW, max_step=max_step(args), velocity=VELOCITY, torque=TORQUE,
                            kp=KP_MAX, kd=KD_MAX)
    return tx.MotorGroup(bus, arm(bus, args), timeout_ms=args.timeout_ms,
                         watchdog_ms=args.watchdog_ms,  # each motor's TIMEOUT register, in RAM, put back on leaving
                         limits=[limits] * len(args.ids),
                         mode=tx.ControlMode.MIT, set_mode=True,  # enable() switches each motor to MIT first
                         on_fault="raise",  # a fault raises tx.MotorFault after the tick
                         max_state_age_ms=max(50, math.ceil(3000 / args.rate)))  # limits go by a state this fresh


class FeedForward:
    """Gravity torques at the last measured positions into the commands' tau column, one model
    per arm (the rows of the left arm first). No allocation per tick: the buffers are made once."""

    def __init__(self, args: argparse.Namespace, n: int):
        import torvane_gravity as tg  # optional: MuJoCo comes with it

        path = tg.ARM if args.gravity == "arm" else args.gravity
        self.arms = [tg.Gravity(path, args.joints) for _ in range(2)]
        self.q = [array.array("d", [0.0] * (n // 2)) for _ in self.arms]
        self.tau = [array.array("d", [0.0] * (n // 2)) for _ in self.arms]

    def fill(self, answers: array.array, commands: array.array) -> None:
        row = 0
        for arm, q, tau in zip(self.arms, self.q, self.tau):
            for j in range(len(q)):
                p = answers[(row + j) * OUT + POSITION]
                if p == p:  # a silent motor keeps its last position
                    q[j] = p
            arm.torques(q, tau)
            for j, t in enumerate(tau):
                commands[(row + j) * CMD + TAU] = t  # JointLimits.torque still bounds the total
            row += len(q)


def envelope(t: float, seconds: float) -> tuple[float, float]:
    """A gain that rises smoothly from 0 and falls back to 0 at the end, and its slope."""
    ramp = min(RAMP_S, seconds / 4)
    for edge, sign in ((t, 1.0), (seconds - t, -1.0)):
        if edge < ramp:
            x = math.pi * max(edge, 0.0) / ramp
            return 0.5 - 0.5 * math.cos(x), sign * 0.5 * math.pi / ramp * math.sin(x)
    return 1.0, 0.0


def status_name(code: float) -> str:
    s = tx.status(int(code))
    return s.name if isinstance(s, tx.Status) else f"{s:#x}"


def run(args: argparse.Namespace) -> None:
    buses = [torvane.SocketCanTransport(args.left), torvane.SocketCanTransport(args.right)]
    names = [f"{side}.{i}" for side in ("left", "right") for i in args.ids]
    n = len(names)
    commands = array.array("d", [0.0] * (n * CMD))  # or numpy: np.zeros((n, CMD)) and np.empty((n, OUT))
    answers = array.array("d", [math.nan] * (n * OUT))
    cmd = memoryview(commands).cast("B").cast("d", [n, CMD])  # the same memory as rows of 5 and of 6
    out = memoryview(answers).cast("B").cast("d", [n, OUT])
    groups = [group(bus, args) for bus in buses]
    if args.realtime is not None:
        tx.realtime(priority=args.realtime)  # all or nothing: PermissionError names what is missing
    with tx.Robot(groups, on_fault="raise") as robot:  # however the block is left, every motor is disabled
        origin = []
        for name, state in zip(names, robot.enable(), strict=True):
            if state is None:
                raise RuntimeError(f"{name}: no answer to enable")
            if tx.status(state) is not tx.Status.ENABLED:
                raise RuntimeError(f"{name}: enable answered {status_name(state.error)}")
            if not WINDOW[0] <= state.position <= WINDOW[1]:
                raise RuntimeError(f"{name} stands at {state.position:+.3f} rad, outside its window {WINDOW}")
            origin.append(state.position)
        print(f"enabled {n} motors on {args.left} and {args.right}; moving for {args.seconds:g} s", flush=True)
        for j in range(n):
            commands[j * CMD + KP], commands[j * CMD + KD] = args.kp, args.kd
            answers[j * OUT + POSITION] = origin[j]
        gravity = FeedForward(args, n) if args.gravity else None
        w = 2 * math.pi * args.frequency
        loop = tx.Loop(rate_hz=args.rate)
        report_at = 0.0
        for tick in loop:  # tick n is due at start + n x period; the numbers of periods an overrun missed are skipped
            t = tick * loop.period_s
            if t >= args.seconds:
                break
            gain, slope = envelope(t, args.seconds)
            for j in range(n):
                phase = 2 * math.pi * j / n
                s, c = math.sin(w * t + phase), math.cos(w * t + phase)
                commands[j * CMD + Q] = origin[j] + args.amplitude * gain * s
                commands[j * CMD + DQ] = args.amplitude * (slope * s + gain * w * c)
            if gravity:
                gravity.fill(answers, commands)
            answered = robot.mit_control_into(cmd, out)  # both buses in one exchange; NaN rows for silent motors
            for j, name in enumerate(names):
                status = answers[j * OUT + STATUS]
                if not math.isnan(status) and tx.status(int(status)) is not tx.Status.ENABLED:
                    raise RuntimeError(f"{name}: the motor reports {status_name(status)}")
            silent = [name for name, missed in zip(names, robot.missed) if missed > MAX_SILENT]
            if silent:
                raise RuntimeError(f"no answer for more than {MAX_SILENT} ticks from {', '.join(silent)}")
            if t >= report_at:
                print(f"t={t:5.2f} s  tick {tick}  {answered}/{n} answered  {loop.stats().overruns} overruns",
                      flush=True)
                report_at = math.floor(t) + 1.0
        stats = loop.stats()
        print(f"{stats.ticks} ticks at {args.rate:g}/s, {stats.overruns} overruns, wake-up p99 {stats.p99_us:.0f} us; "
              f"commands changed by the limits per motor: {list(robot.clamped)}", flush=True)
    print(f"disabled {n} motors")


def stop_on_signal(signum: int, frame: object) -> None:
    raise SystemExit(128 + signum)


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    # torvane_ext does the same by itself while motors are enabled; set here,
    # it also covers the set-up (limits read, mode and watchdog written).
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, stop_on_signal)
    try:
        run(args)
        return 0
    except KeyboardInterrupt as e:
        return report(e, "interrupted", 130)
    except SystemExit as e:  # from stop_on_signal
        code = int(e.code or 0)
        return report(e, f"stopped by signal {code - 128}", code)
    except (RuntimeError, ValueError, OSError) as e:  # tx.MotorError and its kinds are RuntimeErrors
        return report(e, f"{type(e).__name__}: {e}", 1)


def report(e: BaseException, text: str, status: int) -> int:
    print(f"\ntwo_arms: {text}", file=sys.stderr)
    # A disable that failed on leaving the with block is a note on the exception.
    for note in getattr(e, "__notes__", []):
        print(f"  {note}", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
