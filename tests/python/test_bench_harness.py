"""The benchmarks' shared harness (benchmarks/harness): the parts that run
without a CAN bus."""

import shutil
import sys
import textwrap
from pathlib import Path

import pytest
import torvane
import torvane_ext as tx

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))
from harness import callgrind, dmsim, frames, markdown, memory, timing  # noqa: E402

DM4310 = torvane.MitLimits.dm4310()
STEPS = {"q": 25.0 / 65535, "dq": 60.0 / 4095, "kp": 500.0 / 4095, "kd": 5.0 / 4095, "tau": 20.0 / 4095}

# ---- frames ---------------------------------------------------------------------------------


@pytest.mark.parametrize("sp", [(0.0, 0.0, 0.0, 0.0, 0.0), (1.0, 2.0, 50.0, 1.0, 0.5),
                                (-3.25, 7.5, 123.5, 2.25, -4.5), (12.5, 30.0, 500.0, 5.0, 10.0),
                                (-12.5, -30.0, 0.0, 0.0, -10.0)])
def test_the_codec_encodes_what_the_core_decodes(sp):
    got = tx.decode_frame(1, frames.encode_setpoint(*sp), DM4310).values
    for name, want in zip(STEPS, sp):
        # Codes truncate toward the bottom of the range: at most one step below (the core reads in float32).
        assert want - STEPS[name] - 1e-5 <= got[name] <= want + 1e-5, name


def test_the_codec_clamps_to_the_limits():
    assert frames.encode_setpoint(100.0, -100.0, 1000.0, 10.0, 100.0) == bytes.fromhex("ffff000fffffffff")
    assert frames.encode_setpoint(-100.0, 100.0, -1.0, -1.0, -100.0) == bytes.fromhex("0000fff000000000")


@pytest.mark.parametrize("reply", ["0180008008001e20", "02ffffffffff0000", "117fff7ff7ff282d", "3a123456789abcde"])
def test_the_codec_decodes_feedback_as_the_core_does(reply):
    d = bytes.fromhex(reply)
    motor, error, q, dq, tau, t_mos, t_rotor = frames.decode_feedback(d)
    theirs = tx.decode_frame(0x10 + (d[0] & 0xF), d, DM4310, feedback_of=d[0] & 0xF)
    assert (motor, error) == (theirs.motor_id, int(theirs.status))
    values = theirs.values
    assert (q, dq, tau) == pytest.approx((values["position"], values["velocity"], values["torque"]), abs=1e-5)
    assert (t_mos, t_rotor) == (values["t_mos"], values["t_rotor"])


def test_frame_bits():
    # 111 bits unstuffed; 24 stuff bits at the most in the 98 that can carry them.
    assert (frames.FRAME_BITS, frames.STUFFED_MAX) == (111, 24)


# ---- callgrind ------------------------------------------------------------------------------

DUMP = """\
# callgrind format
version: 1
creator: callgrind-3.19.0
pid: 4242
cmd:  python3 worker.py
part: 2

positions: line
events: Ir
summary: 1500

ob=(1) /usr/bin/python3.13
fl=(1) ???
fn=(1) _PyEval_EvalFrameDefault
0 450
+2 50
cfn=(2) PyObject_Malloc
calls=10 0
0 200
fn=(2)
0 200
fn=(3) _PyEval_EvalFrameDefault'2
0 300
ob=(2) /venv/lib/torvane.so
fl=(2) ???
fn=(4) torvane::damiao::Damiao::mit_control(torvane::can::Transport&, torvane::damiao::MitSetpoint const&) const
0 400
cfn=(5) send@@GLIBC_2.2.5
calls=10 0
0 100
fn=(5)
0 100

totals: 1500
"""


def test_a_dump_parses_into_costs_and_calls(tmp_path):
    path = tmp_path / "callgrind.x.2"
    path.write_text(DUMP)
    p = callgrind.parse_callgrind(path)
    mit = "torvane::damiao::Damiao::mit_control(torvane::can::Transport&, torvane::damiao::MitSetpoint const&) const"
    assert p.total == 1500
    assert p.self_cost == {"_PyEval_EvalFrameDefault": 500, "PyObject_Malloc": 200,
                           "_PyEval_EvalFrameDefault'2": 300, mit: 400, "send@@GLIBC_2.2.5": 100}
    assert p.inclusive == {"PyObject_Malloc": 200, "send@@GLIBC_2.2.5": 100}
    assert p.calls == {"PyObject_Malloc": 10, "send@@GLIBC_2.2.5": 10}
    assert callgrind.by_short_name(p.calls) == {"PyObject_Malloc": 10, "send": 10}
    assert p.heaviest(2) == [("_PyEval_EvalFrameDefault", 800), ("torvane::damiao::Damiao::mit_control", 400)]


def test_a_dump_without_totals_sums_its_costs(tmp_path):
    path = tmp_path / "callgrind.x.2"
    path.write_text("\n".join(line for line in DUMP.splitlines() if not line.startswith(("summary", "totals"))))
    assert callgrind.parse_callgrind(path).total == 1500


@pytest.mark.parametrize("name, short", [
    ("(anonymous namespace)::encode(float, float) const", "encode"),
    ("recv@GLIBC_2.2.5", "recv"),
    ("_PyEval_EvalFrameDefault'3", "_PyEval_EvalFrameDefault"),
    ("main::{lambda()#2}::operator()() const", "main::{lambda()#2}::operator()"),
    ("std::vector<int, std::allocator<int> >::push_back(int const&)",
     "std::vector<int, std::allocator<int> >::push_back"),
    ("operator new(unsigned long)", "operator new"),
])
def test_short_names(name, short):
    assert callgrind.short_name(name) == short


@pytest.mark.skipif(shutil.which("valgrind") is None, reason="needs valgrind")
def test_a_python_worker_between_marks_is_counted_alone(tmp_path, monkeypatch):
    monkeypatch.delenv("LD_PRELOAD", raising=False)  # a sanitizer's runtime and valgrind do not mix
    worker = tmp_path / "worker.py"
    worker.write_text(textwrap.dedent(f"""\
        import sys
        sys.path.insert(0, {str(Path(callgrind.__file__).parents[1])!r})
        from harness.callgrind import between_marks
        between_marks(lambda: sum(range(10)), 7, 100)
        sum(range(10))  # after the second mark: not in the measured dump
        """))
    p = callgrind.finish_callgrind("w", callgrind.start_python("w", worker, [], tmp_path), tmp_path)
    assert callgrind.by_short_name(p.calls)["builtin_sum"] == 100
    assert p.total == sum(p.self_cost.values()) > 0


# ---- timing ---------------------------------------------------------------------------------


def test_rates_come_from_the_median_block():
    s = timing.Summary()
    s.add(timing.Sample([1000, 2000, 100_000], [5, 1, 3]))
    s.add(timing.Sample([4000, 2000, 2000], [2, 4]))
    assert s.calls == 6 * timing.BLOCK
    assert s.rate == 1e9 * timing.BLOCK / 2000
    assert s.mean_rate == 1e9 * 6 * timing.BLOCK / 111_000
    assert s.rate_range == (1e9 * timing.BLOCK / 2000, 1e9 * timing.BLOCK / 2000)
    assert s.per_call() == (3, 5)
    assert timing.percentile(list(range(1, 101)), 0.99) == 99


def test_round_ratios_pair_rounds():
    fast, slow = timing.Summary(), timing.Summary()
    for f, k in ((100, 2), (100, 3), (200, 5)):
        fast.add(timing.Sample([f], []))
        slow.add(timing.Sample([f * k], []))
    assert timing.round_ratios({"fast": fast, "slow": slow}, "slow", "fast") == (3, 2, 5)


# ---- memory ---------------------------------------------------------------------------------


def _objects(keep):
    for i in range(len(keep)):
        keep[i] = object()


def _nothing(keep, value):
    for i in range(len(keep)):
        keep[i] = value


def test_kept_counts_what_the_storing_line_allocates():
    blocks, size, keep = memory.kept(_objects, 1000)
    assert blocks == 1.0 and size > 0 and len(set(map(id, keep))) == 1000
    assert memory.kept(_nothing, 1000, "same")[:2] == (0.0, 0.0)


def test_growth_sees_what_the_runs_keep():
    kept = []
    grown = memory.growth(lambda n: kept.extend(object() for _ in range(n)), 20_000, 100, 100)
    assert grown["blocks"] >= 20_000 and grown["traced"] >= 20_000 * 16
    assert grown["blocks_before"] > 0 and grown["rss_before"] > 0


# ---- markdown -------------------------------------------------------------------------------

OLD = """\
# Benchmarks: one MIT exchange

the old head

<!-- group_tick: begin -->
group, old
<!-- group_tick: end -->

<!-- loop_rate: begin -->
loop, old
<!-- loop_rate: end -->
"""


def test_values_and_tables():
    assert [markdown.fmt_ns(999.4), markdown.fmt_ns(1234.0), markdown.fmt_int(1234567.5)] == \
        ["999 ns", "1.2 µs", "1,234,568"]
    s = timing.Summary()
    s.add(timing.Sample([20_000], []))
    s.add(timing.Sample([10_000], []))
    assert markdown.fmt_rates(s) == "500,000 to 1,000,000"
    assert markdown.table(["a", "b"], [[1, "x"], ["y", 2.5]]) == ["| a | b |", "|---|---|", "| 1 | x |", "| y | 2.5 |"]
    assert [markdown.verdict(True), markdown.verdict(False), markdown.verdict(False, bold=False)] == \
        ["met", "**missed**", "missed"]
    assert markdown.counts({"send": 20, "recv": 0, "poll": 5}, ("send", "recv", "poll", "x"), 10) == \
        "`send` 2.00, `poll` 0.50"


def test_a_section_replaces_its_old_self_in_place(tmp_path):
    path = tmp_path / "BENCHMARKS.md"
    path.write_text(OLD)
    markdown.write_section(path, "<!-- group_tick: begin -->\ngroup, new\n<!-- group_tick: end -->", "group_tick")
    assert path.read_text() == OLD.replace("group, old", "group, new")


def test_a_new_section_goes_after_the_rest(tmp_path):
    path = tmp_path / "BENCHMARKS.md"
    path.write_text(OLD + "\n\n")
    text = "<!-- robot_tick: begin -->\nrobot\n<!-- robot_tick: end -->"
    markdown.write_section(path, text, "robot_tick")
    assert path.read_text() == OLD + "\n" + text + "\n"
    markdown.write_section(tmp_path / "new.md", text, "robot_tick")
    assert (tmp_path / "new.md").read_text() == text + "\n"


def test_the_head_keeps_the_sections_after_it(tmp_path, capsys):
    path = tmp_path / "BENCHMARKS.md"
    path.write_text(OLD)
    markdown.publish("# Benchmarks: one MIT exchange\n\nthe new head\n", str(path))
    assert path.read_text() == OLD.replace("the old head", "the new head")
    assert capsys.readouterr().out == "# Benchmarks: one MIT exchange\n\nthe new head\n\n"


def test_publishing_to_dash_only_prints(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    markdown.publish("<!-- x: begin -->\nx\n<!-- x: end -->", "-", "x")
    assert capsys.readouterr().out == "<!-- x: begin -->\nx\n<!-- x: end -->\n"
    assert list(tmp_path.iterdir()) == []


def test_header_names_the_benchmark_and_the_machine():
    ctx = {"date": "2025-01-02 03:04 UTC", "command": "tools/bench-group", "machine": ["cpu", "bus: vcan0 (vcan)"]}
    assert markdown.header("group_tick.py", ctx) == [
        "Written by `benchmarks/group_tick.py` on 2025-01-02 03:04 UTC. Command: `tools/bench-group`", "",
        "Machine:", "", "- cpu", "- bus: vcan0 (vcan)", ""]


# ---- dmsim ----------------------------------------------------------------------------------


def test_motor_args():
    assert dmsim.motor_args(dmsim.ARM[:2]) == ["--motor", "1:0x11:dm8009", "--motor", "2:0x12:dm8009"]
