"""What listen and decode show of decoded frames: a line per frame, or a
table per motor redrawn in place, a CSV row per frame, a candump -L log,
the live page's data, and the summary at the end."""

from __future__ import annotations

import csv
import sys
from typing import IO, Any

from dmtool import args as types
from dmtool import decode_frames as df
from dmtool.candump import Frame, format_line
from dmtool.errors import UsageError
from dmtool.monitor import Screen

DRAW_PERIOD_S = 0.05


def motor_specs(presets: list[tuple[int, int, str]], tv: Any) -> list[df.MotorSpec]:
    """--motor ID:FB:MODEL, each with its preset's limits."""
    specs = []
    for motor_id, master_id, model in presets:
        make = getattr(tv.MitLimits, model, None)
        if make is None or model.startswith("_") or not callable(make):
            raise UsageError(f"no motor model {model!r} (one of the MitLimits presets: dm4310, dm4340, ...)")
        specs.append(df.MotorSpec(motor_id, master_id, df.Limits.of(make()), model))
    if len({s.motor_id for s in specs}) != len(specs):
        raise UsageError("each motor id once, please")
    return specs


def add_output_options(p: Any) -> None:
    p.add_argument("--motor", dest="presets", action="append", default=[], metavar="ID:FB:MODEL",
                   type=types.motor_preset,
                   help="a motor's command and feedback ids and model, whose limits scale its MIT values "
                        "(until its PMAX/VMAX/TMAX pass on the bus); repeatable")
    p.add_argument("--table", action="store_true", help="a table per motor, redrawn in place, instead of a line per frame")
    p.add_argument("--csv", metavar="FILE", help="also write every frame, decoded, to this CSV file")


def table_lines(decoder: df.Decoder, summary: df.Summary) -> list[str]:
    lines = [f"{'motor':>5} {'master':>6} {'frames':>7} {'cmd/s':>7}  {'last command':<12} {'status':<15} "
             f"{'pos rad':>9} {'vel rad/s':>9} {'torque Nm':>9} {'MOS C':>5} {'rotor C':>7} {'lat ms':>7}"]
    for motor_id in sorted(summary.motors):
        s = summary.motors[motor_id]
        m = decoder.motors.get(motor_id)
        master = f"0x{m.master_id:X}" if m and m.master_id is not None else "-"
        cmd = s.last_command_event.kind if s.last_command_event else "-"
        lat = f"{s.latencies[-1] * 1e3:7.3f}" if s.latencies else f"{'-':>7}"
        head = f"{motor_id:>5} {master:>6} {s.frames:>7} {s.rate():>7.1f}  {cmd:<12}"
        if s.last is None:
            lines.append(f"{head} {'-':<15} {'-':>9} {'-':>9} {'-':>9} {'-':>5} {'-':>7} {lat}")
        else:
            v = s.last.values
            lines.append(f"{head} {v['status_name']:<15} {v['position']:>+9.4f} {v['velocity']:>+9.4f} "
                         f"{v['torque']:>+9.4f} {v['t_mos']:>5} {v['t_rotor']:>7} {lat}")
    return [*lines, summary.bus_line()]


class View:
    """Takes frames in order; writes each as asked."""

    def __init__(self, decoder: df.Decoder, *, table: bool, out: IO[str], csv_file: IO[str] | None = None,
                 log: IO[str] | None = None, live: Any = None, redraw: bool = True) -> None:
        self.decoder = decoder
        self.summary = df.Summary(tables=decoder.tables)
        self.out = out
        self.table = table
        # Redrawn in place on a terminal, and only for frames as they come; otherwise the last table, once.
        self.screen = Screen(out) if table and redraw and out.isatty() else None
        self.writer = csv.writer(csv_file) if csv_file else None
        if self.writer:
            self.writer.writerow(df.CSV_HEADER)
        self.log = log
        self.live = live
        self.last_draw = -DRAW_PERIOD_S
        self.count = 0

    def frame(self, f: Frame, now: float | None = None) -> df.Event:
        e = self.decoder.feed(f)
        self.summary.add(e)
        self.count += 1
        if self.log:
            self.log.write(format_line(f) + "\n")
        if self.writer:
            self.writer.writerow(df.csv_row(e))
        if self.live is not None and e.kind == "error":
            self.live.bus(self.summary.bus_line())
        if self.live is not None and e.kind == "feedback" and e.motor_id is not None:
            v = e.values
            self.live.sample(e.motor_id, e.t, v["position"], v["velocity"], v["torque"], v["t_mos"], v["t_rotor"],
                             v["status_name"], v["fault"])
        if not self.table:
            self.out.write(df.event_text(e) + "\n")
        else:
            self.draw(now if now is not None else e.t)
        return e

    def draw(self, now: float, force: bool = False) -> None:
        if self.screen is not None and (force or now - self.last_draw >= DRAW_PERIOD_S):
            self.screen.draw(table_lines(self.decoder, self.summary))
            self.last_draw = now

    def finish(self, prog: str, err: IO[str] | None = None) -> None:
        err = err or sys.stderr
        if self.screen is not None:
            self.draw(0.0, force=True)
        elif self.table:
            self.out.write("".join(f"{line}\n" for line in table_lines(self.decoder, self.summary)))
        self.out.flush()
        masters = {i: m.master_id for i, m in self.decoder.motors.items()}
        print(f"{prog}: {self.count} frames", file=err)
        for line in self.summary.lines(masters):
            print(f"  {line}", file=err)
        err.flush()
