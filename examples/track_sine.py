#!/usr/bin/env python3
"""Track a sine trajectory with one or more motors in MIT mode.

For each motor: make sure it is in MIT mode, enable it, then send position
setpoints along a sine around where it stood, as fast as the bus answers, for
a few seconds; disable every motor at the end (also on Ctrl-C or a fault).
Writes a CSV of commanded and measured positions and, when matplotlib is
installed, a PNG plot of them.

Against the simulator on a virtual bus:

    dmsim --iface vcan0 --motor 1:0x11:dm4310 --motor 2:0x12:dm4340 &
    python examples/track_sine.py --iface vcan0 --motor 1:0x11:dm4310 --motor 2:0x12:dm4340

Against real motors, name the interface and the ids they were configured with:

    python examples/track_sine.py --iface can0 --motor 1:0x11:dm4310
"""

from __future__ import annotations

import argparse
import csv
import math
import signal
import sys
import time
from dataclasses import dataclass, field

import torvane


@dataclass
class Motor:
    label: str
    driver: torvane.Damiao
    t_max: float
    origin: float = 0.0
    last: torvane.MotorState | None = None
    misses: int = 0
    sq_error: float = 0.0
    samples: int = 0
    max_error: float = 0.0
    rows: list[tuple[float, float, float, float, float]] = field(default_factory=list)


def motor_arg(text: str) -> tuple[int, int, str]:
    try:
        cmd, fb, model = text.split(":")
        cmd_id, fb_id = int(cmd, 0), int(fb, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r}: expected CMD:FB:MODEL, e.g. 1:0x11:dm4310") from None
    if not (model.startswith("dm") and callable(getattr(torvane.MitLimits, model, None))):
        raise argparse.ArgumentTypeError(f"{text!r}: unknown model {model!r}")
    if not (0 <= cmd_id <= 0x7FE and 0 <= fb_id <= 0x7FF):
        raise argparse.ArgumentTypeError(f"{text!r}: ids out of range")
    return cmd_id, fb_id, model


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--iface", default="vcan0", help="CAN interface (default vcan0)")
    p.add_argument("--motor", type=motor_arg, action="append",
                   help="CMD:FB:MODEL, repeatable (default 1:0x11:dm4310)")
    p.add_argument("--duration", type=float, default=5.0, help="seconds of tracking (default 5)")
    p.add_argument("--amplitude", type=float, default=0.5, help="rad (default 0.5)")
    p.add_argument("--frequency", type=float, default=0.5, help="Hz (default 0.5)")
    p.add_argument("--kp", type=float, default=30.0, help="stiffness (default 30)")
    p.add_argument("--kd", type=float, default=1.0, help="damping (default 1)")
    p.add_argument("--timeout-ms", type=int, default=20, help="reply timeout per exchange (default 20)")
    p.add_argument("--csv", default="track_sine.csv", help="log file (default track_sine.csv)")
    p.add_argument("--png", default="track_sine.png", help="plot file, needs matplotlib (default track_sine.png)")
    p.add_argument("--no-plot", action="store_true", help="do not write the plot")
    args = p.parse_args(argv)
    if not args.motor:
        args.motor = [motor_arg("1:0x11:dm4310")]
    if len({m[0] for m in args.motor}) != len(args.motor):
        p.error("each --motor needs its own command id")
    if args.duration <= 0 or args.frequency < 0:
        p.error("--duration must be positive and --frequency not negative")
    return args


def trajectory(m: Motor, args: argparse.Namespace, t: float) -> tuple[float, float]:
    w = 2.0 * math.pi * args.frequency
    return m.origin + args.amplitude * math.sin(w * t), args.amplitude * w * math.cos(w * t)


def progress(motors: list[Motor], t: float, cycles: int, elapsed: float) -> str:
    rate = cycles / elapsed if elapsed > 0 else 0.0
    parts = [f"t={t:5.2f}s  {rate:6.0f} cycles/s"]
    for m in motors:
        rms = math.sqrt(m.sq_error / m.samples) if m.samples else 0.0
        temps = f"{m.last.t_mos}/{m.last.t_rotor}C" if m.last else "-"
        parts.append(f"{m.label}: err rms {rms:.4f} max {m.max_error:.4f} rad, mos/rotor {temps}")
    return "  |  ".join(parts)


def run(args: argparse.Namespace) -> int:
    bus = torvane.SocketCanTransport(args.iface)
    motors = []
    for cmd_id, fb_id, model in args.motor:
        limits = getattr(torvane.MitLimits, model)()
        driver = torvane.Damiao(cmd_id, fb_id, limits, timeout_ms=args.timeout_ms)
        motors.append(Motor(f"{model}@{cmd_id:#x}", driver, limits.t_max))

    enabled: list[Motor] = []
    status = 0
    try:
        for m in motors:
            m.driver.ensure_mit_mode(bus)
            m.last = m.driver.enable(bus)
            enabled.append(m)
            if m.last.error != 1:
                raise RuntimeError(f"{m.label}: enable answered with error code {m.last.error:#x}")
            m.origin = m.last.position
            print(f"{m.label}: MIT mode, enabled at {m.origin:+.4f} rad", flush=True)

        start = time.monotonic()
        next_print = 0.0
        cycles = 0
        while (t := time.monotonic() - start) < args.duration:
            for m in motors:
                q, dq = trajectory(m, args, t)
                sp = torvane.MitSetpoint(q=q, dq=dq, kp=args.kp, kd=args.kd, tau=0.0)
                try:
                    m.last = state = m.driver.mit_control(bus, sp)
                except RuntimeError as e:  # a lost frame is not fatal on a busy bus
                    m.misses += 1
                    if m.misses == 1 or m.misses % 100 == 0:
                        print(f"\n{m.label}: {e} ({m.misses} so far)", file=sys.stderr)
                    continue
                if state.error != 1:
                    raise RuntimeError(f"{m.label}: motor reports error code {state.error:#x}")
                err = state.position - q
                m.sq_error += err * err
                m.samples += 1
                m.max_error = max(m.max_error, abs(err))
                m.rows.append((t, q, state.position, state.velocity, state.torque))
            cycles += 1
            if t >= next_print:
                print("\r" + progress(motors, t, cycles, time.monotonic() - start), end="", flush=True)
                next_print = t + 0.2
        print("\r" + progress(motors, min(t, args.duration), cycles, time.monotonic() - start), flush=True)
    except KeyboardInterrupt:
        print("\ninterrupted", file=sys.stderr)
        status = 130
    except RuntimeError as e:
        print(f"\nerror: {e}", file=sys.stderr)
        status = 1
    finally:
        for m in enabled:
            try:
                m.driver.disable(bus)
            except RuntimeError as e:
                print(f"{m.label}: disable failed: {e}", file=sys.stderr)
                status = status or 1

    write_csv(args.csv, motors)
    print(f"wrote {args.csv}")
    if not args.no_plot:
        plot(args.png, motors)
    return status


def write_csv(path: str, motors: list[Motor]) -> None:
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["time_s", "motor", "commanded_rad", "measured_rad", "velocity_rad_s", "torque_nm"])
        for m in motors:
            for t, q, pos, vel, tau in m.rows:
                w.writerow([f"{t:.6f}", m.label, f"{q:.6f}", f"{pos:.6f}", f"{vel:.6f}", f"{tau:.6f}"])


def plot(path: str, motors: list[Motor]) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no plot")
        return
    fig, axes = plt.subplots(len(motors), 1, figsize=(9, 3 * len(motors)), squeeze=False, sharex=True)
    for ax, m in zip(axes[:, 0], motors):
        ts = [r[0] for r in m.rows]
        ax.plot(ts, [r[1] for r in m.rows], label="commanded")
        ax.plot(ts, [r[2] for r in m.rows], label="measured")
        ax.set_title(m.label)
        ax.set_ylabel("position (rad)")
        ax.legend(loc="upper right")
    axes[-1, 0].set_xlabel("time (s)")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    print(f"wrote {path}")


def main(argv: list[str] | None = None) -> int:
    # `kill PID` stops the motors as Ctrl-C does.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    args = parse_args(argv)
    try:
        return run(args)
    except OSError as e:
        print(f"cannot open {args.iface}: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
