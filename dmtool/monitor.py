"""dmtool monitor: a live table of motors' state, one group refresh per tick.

On a terminal the table is redrawn in place; piped, every tick gives one
key=value line per motor and one for the bus. Each motor's watchdog
(TIMEOUT) is read once, at the start, and shown beside it. Below the motors
the bus's health (torvane_ext.bus_health): the controller's state, error
frames by class, stale and unsolicited frames, waits for transmit room. A
tick that finds the bus off shows every motor silent, and the monitor goes
on. Ctrl-C (or SIGTERM) ends it with status 0.
"""

from __future__ import annotations

import csv
import sys
import time
from contextlib import ExitStack
from typing import IO, Any

from dmtool import args as types
from dmtool.cli import subparser
from dmtool.interrupt import StopOnInterrupt, cut_short
from dmtool.session import Session
from dmtool.text import is_fault, status_text
from dmtool.watchdog import read_watchdog, watchdog_text

# Redrawing a terminal faster than this shows nothing more.
DRAW_PERIOD_S = 0.05
NAP_S = 0.05
CSV_HEADER = ["time_s", "motor_id", "master_id", "answered", "status", "position_rad", "velocity_rad_s",
              "torque_nm", "t_mos_c", "t_rotor_c", "bus_state", "stale", "unsolicited", "tx_waits"]
# Then one column of error frames per class: errors_<class>.


def add_parser(sub: Any) -> None:
    p = subparser(sub, "monitor", "watch position, velocity, torque, temperatures and status of motors",
                  "Watch position, velocity, torque, temperatures and status of motors, refreshed in one "
                  "group exchange per tick (nothing moves). Ctrl-C stops.")
    p.add_argument("ids", type=types.motor_id, nargs="+", metavar="ID", help="command ids of the motors")
    p.add_argument("--rate", type=types.positive, default=50.0, metavar="HZ", help="ticks per second (default 50)")
    p.add_argument("--csv", metavar="FILE", help="also write every tick to this CSV file")
    p.add_argument("--web", type=types.web_address, metavar="[HOST:]PORT",
                   help="also serve live plots of the motors on http://HOST:PORT/ (127.0.0.1 unless given)")
    p.set_defaults(run=run)


class Watch:
    """What is known of one motor: its watchdog, its last state and since when it is silent."""

    def __init__(self, motor: Any, tx: Any, watchdog: int | None = None) -> None:
        self.motor = motor
        self.tx = tx
        self.watchdog = watchdog
        self.state: Any = None
        self.silent_since: float | None = None

    def update(self, state: Any, t: float) -> None:
        if state is None:
            if self.silent_since is None:
                self.silent_since = t
        else:
            self.state, self.silent_since = state, None

    def status(self, t: float) -> str:
        if self.silent_since is not None:
            return f"NO ANSWER {t - self.silent_since:.1f}s"
        return status_text(self.tx, self.state.error) if self.state else "-"


def table(watches: list[Watch], t: float) -> list[str]:
    header = (f"{'motor':>5} {'master':>6}  {'status':<22} {'watchdog':>8} {'pos rad':>9} {'vel rad/s':>9} "
              f"{'torque Nm':>9} {'MOS C':>5} {'rotor C':>7}")
    lines = [header]
    for w in watches:
        head = (f"{w.motor.motor_id:>5} {w.motor.master_id:>#6x}  {w.status(t):<22} "
                f"{watchdog_text(w.watchdog):>8}")
        s = w.state
        if s is None or w.silent_since is not None:
            lines.append(f"{head} {'-':>9} {'-':>9} {'-':>9} {'-':>5} {'-':>7}")
        else:
            lines.append(f"{head} {s.position:>+9.4f} {s.velocity:>+9.4f} {s.torque:>+9.4f} {s.t_mos:>5} "
                         f"{s.t_rotor:>7}")
    return lines


def plain_line(tx: Any, t: float, w: Watch, state: Any) -> str:
    motor = w.motor
    head = (f"t={t:.3f} motor={motor.motor_id} master={motor.master_id:#x} "
            f"watchdog={watchdog_text(w.watchdog).replace(' ', '')}")
    if state is None:
        return f"{head} status=no-answer"
    return (f"{head} status={status_text(tx, state.error).replace(' ', '-')} pos={state.position:+.4f} "
            f"vel={state.velocity:+.4f} torque={state.torque:+.4f} t_mos={state.t_mos} t_rotor={state.t_rotor}")


def errors_text(health: Any) -> str:
    """The classes with error frames, "controller x2, bus-off x1", or "none"."""
    return ", ".join(f"{k} x{n}" for k, n in health.error_frames.items() if n) or "none"


def bus_text(iface: str, health: Any) -> str:
    return (f"bus {iface}: {health.state}; error frames: {errors_text(health)}; stale {health.stale}, "
            f"unsolicited {health.unsolicited}, tx waits {health.tx_waits}")


def bus_line(t: float, iface: str, health: Any) -> str:
    errors = ",".join(f"{k}:{n}" for k, n in health.error_frames.items() if n) or "none"
    return (f"t={t:.3f} bus={iface} state={health.state} errors={errors} stale={health.stale} "
            f"unsolicited={health.unsolicited} tx_waits={health.tx_waits}")


def csv_header(tx: Any) -> list[str]:
    return [*CSV_HEADER, *(f"errors_{name.replace('-', '_')}" for name in tx.ERROR_CLASSES)]


def csv_row(t: float, motor: Any, state: Any, health: Any) -> list[Any]:
    bus = [health.state, health.stale, health.unsolicited, health.tx_waits, *health.error_frames.values()]
    if state is None:
        return [f"{t:.6f}", motor.motor_id, motor.master_id, 0, "", "", "", "", "", "", *bus]
    return [f"{t:.6f}", motor.motor_id, motor.master_id, 1, state.error, f"{state.position:.6f}",
            f"{state.velocity:.6f}", f"{state.torque:.6f}", state.t_mos, state.t_rotor, *bus]


class Screen:
    """Redraws the same block of lines on a terminal."""

    def __init__(self, out: IO[str]) -> None:
        self.out = out
        self.height = 0

    def draw(self, lines: list[str]) -> None:
        up = f"\x1b[{self.height}F" if self.height else ""
        self.out.write(up + "".join(f"{line}\x1b[K\n" for line in lines))
        self.out.flush()
        self.height = len(lines)


def run(args: Any, session: Session) -> int:
    motors = session.motors(args.ids, limits=True)
    group = session.group(motors)
    watches = [Watch(m, session.tx, read_watchdog(session.tx, session.bus, m)) for m in motors]
    with ExitStack() as stack:
        writer = csv.writer(stack.enter_context(open(args.csv, "w", newline=""))) if args.csv else None
        if writer:
            writer.writerow(csv_header(session.tx))
        live = None
        if getattr(args, "web", None):
            from dmtool.web import serve
            live = stack.enter_context(serve(args.web, f"dmtool monitor on {session.iface}", asks=True))
            for m in motors:
                live.watch(m.motor_id)
            print(f"dmtool monitor: live plots on {live.url}", file=sys.stderr, flush=True)
        ticks, elapsed = watch(args, session, group, watches, writer, live)
    print(f"dmtool monitor: stopped after {ticks} ticks in {elapsed:.1f} s", file=sys.stderr)
    return 0


def watch(args: Any, session: Session, group: Any, watches: list[Watch], writer: Any,
          live: Any = None) -> tuple[int, float]:
    """Tick until Ctrl-C; the number of ticks and the time they took."""
    tx = session.tx
    screen = Screen(sys.stdout) if sys.stdout.isatty() else None
    period = 1.0 / args.rate
    ticks = 0
    start = time.monotonic()
    next_tick = start
    last_draw = -DRAW_PERIOD_S
    with StopOnInterrupt() as stop:
        while not stop.requested:
            try:
                states = group.refresh()
            except tx.BusError as e:
                if cut_short(e, tx):
                    continue
                if tx.bus_health(session.bus).state != "bus-off":
                    raise
                states = (None,) * len(watches)
            health = tx.bus_health(session.bus)
            t = time.monotonic() - start
            ticks += 1
            if live is not None:
                live.bus(bus_text(session.iface, health))
            for w, state in zip(watches, states, strict=True):
                w.update(state, t)
                if writer:
                    writer.writerow(csv_row(t, w.motor, state, health))
                if live is not None and state is None:
                    live.missing(w.motor.motor_id)
                elif live is not None:
                    live.sample(w.motor.motor_id, time.time(), state.position, state.velocity, state.torque,
                                state.t_mos, state.t_rotor, status_text(tx, state.error), is_fault(tx, state.error))
            if screen is None:
                print("\n".join([*(plain_line(tx, t, w, s) for w, s in zip(watches, states, strict=True)),
                                 bus_line(t, session.iface, health)]), flush=True)
            elif t - last_draw >= DRAW_PERIOD_S:
                rate = ticks / t if t > 0 else 0.0
                status = f"{session.iface}: {rate:.0f} ticks/s of {args.rate:g} asked, {ticks} ticks; Ctrl-C stops"
                screen.draw([*table(watches, t), bus_text(session.iface, health), status])
                last_draw = t
            next_tick = max(next_tick + period, time.monotonic())  # when behind, no burst to catch up
            # In slices: a sleep goes on after the handler runs, and a slow rate would keep Ctrl-C waiting.
            while not stop.requested and (delay := next_tick - time.monotonic()) > 0:
                time.sleep(min(delay, NAP_S))
    return ticks, time.monotonic() - start
