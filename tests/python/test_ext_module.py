"""torvane_ext without a bus: what it imports and refuses, its declared
surface (text signatures, stub, stubtest), its own classes, and arguments
refused before anything could be sent."""

import ast
import importlib.metadata
import inspect
import os
import re
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from memwatch import calls_from_env, measure

import torvane
import torvane_ext as tx

STUB_FILE = "torvane_ext-stubs/__init__.pyi"

FUNCTIONS = {
    "read_limits": "(bus, motor)",
    "read_register": "(bus, motor, reg)",
    "write_register": "(bus, motor, reg, value, verify=True)",
    "save_parameters": "(bus, motor)",
    "set_control_mode": "(bus, motor, mode)",
    "pos_vel": "(bus, motor, q, dq)",
    "vel": "(bus, motor, dq)",
    "force_pos": "(bus, motor, q, v_limit, i_limit)",
    "refresh": "(bus, motor)",
    "scan": "(bus, ids=None, timeout_ms=20)",
    "realtime": "(priority=50, cpus=None, lock_memory=True)",
    "monotonic_ns": "()",
    "stop_on_signals": "(on)",
    "decode_frame": "(can_id, data, limits=None, *, feedback_of=None, motors=(), asked=())",
    "bus_health": "(bus)",
    "reset_bus_health": "(bus)",
}
GROUP_METHODS = {
    "enable": "($self)", "disable": "($self)", "set_zero": "($self)", "clear_error": "($self)",
    "refresh": "($self)", "mit_control": "($self, setpoints)", "pos_vel": "($self, pairs)",
    "vel": "($self, velocities)", "force_pos": "($self, triples)",
}


def arm(n=3, **kw):
    return [torvane.Damiao(i, 0x10 + i, torvane.MitLimits.dm4310(), **kw) for i in range(1, n + 1)]


# ---- import ---------------------------------------------------------------------

def test_version_and_names():
    assert tx.__version__ == torvane.__version__
    expected = {"__version__", "ControlMode", "REGISTERS", "COMMAND_COLUMNS", "STATE_COLUMNS", "ERROR_CLASSES",
                "MotorGroup", "Robot", "MotorInfo", "RegisterInfo", "DecodedFrame", "BusHealth",
                "Loop", "LoopStats", "Status", "status", "JointLimits", "MotorFault",
                "MotorError", "MotorTimeout", "BusError", "RegisterError", "VerifyError", *FUNCTIONS}
    assert set(tx.__all__) == expected


def test_works_on_torvanes_own_types():
    # A result of a torvane_ext call and torvane's classes are the same
    # objects: the module adopted them rather than making copies.
    import torvane_ext
    assert torvane_ext.MotorGroup.__module__ == "torvane_ext"
    src = Path(torvane_ext.__file__).read_bytes()
    assert b"torvane.MotorState\x00" not in src  # no type of that name is made here (stub texts may name it)


FAKES = {
    "other-version": ("__version__ = '0.9.0'\n", r"needs torvane 1\.0\.1, but torvane '0\.9\.0' is installed"),
    "other-layout": (
        "__version__ = {v!r}\n"
        # Loading the real module puts it in sys.modules under its own name.
        "import sys; me = sys.modules[__name__]; import torvane_real; sys.modules[__name__] = me\n"
        "for n in ('MitLimits', 'MitSetpoint', 'MotorState', 'SocketCanTransport'):\n"
        "    globals()[n] = getattr(torvane_real, n)\n"
        "class Damiao: __slots__ = ('a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l')\n",
        r"cannot use torvane\.Damiao: its layout is not the one torvane_ext was built with"),
    "not-a-class": (
        "__version__ = {v!r}\nMitLimits = 1\n", r"cannot use torvane\.MitLimits"),
}


@pytest.mark.parametrize("case", FAKES)
def test_refuses_another_torvane(tmp_path, case):
    source, message = FAKES[case]
    (tmp_path / "torvane.py").write_text(source.format(v=torvane.__version__))
    real = Path(torvane.__file__)
    # The real module under another name, for the fake to borrow classes from.
    (tmp_path / "torvane_real.py").write_text(
        "import importlib.util, sys\n"
        f"spec = importlib.util.spec_from_file_location('torvane', {str(real)!r})\n"
        "m = importlib.util.module_from_spec(spec); spec.loader.exec_module(m)\n"
        "globals().update(vars(m))\n")
    code = textwrap.dedent("""
        import sys
        try:
            import torvane_ext
        except ImportError as e:
            print("ImportError:", e)
            sys.exit(3)
        sys.exit(0)
    """)
    r = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=60,
                       env={**os.environ, "PYTHONPATH": str(tmp_path)})
    assert r.returncode == 3, r.stdout + r.stderr
    assert re.search(message, r.stdout), r.stdout


# ---- declared surface -------------------------------------------------------------------

@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_text_signatures(name):
    fn = getattr(tx, name)
    assert fn.__text_signature__ == FUNCTIONS[name]
    assert inspect.signature(fn)
    assert fn.__doc__


def test_every_callable_says_what_it_does():
    missing = []
    for name in tx.__all__:
        obj = getattr(tx, name)
        if callable(obj) and not (obj.__doc__ or "").strip():
            missing.append(name)
        if isinstance(obj, type) and obj.__module__ == "torvane_ext" and not issubclass(obj, (int, Exception)):
            for attr, member in vars(obj).items():
                if callable(member) and (not attr.startswith("_") or attr in ("__enter__", "__exit__")):
                    if not (member.__doc__ or "").strip():
                        missing.append(f"{name}.{attr}")
    assert missing == []


@pytest.mark.parametrize("name", GROUP_METHODS)
def test_group_method_text_signatures(name):
    assert getattr(tx.MotorGroup, name).__text_signature__ == GROUP_METHODS[name]


def test_group_constructor_signature():
    assert tx.MotorGroup.__text_signature__ == (
        "(bus, motors, timeout_ms=None, fd=False, *, spin_us=0, on_fault='report', on_exit='disable', "
        "watchdog_ms=None, limits=None, mode=None, set_mode=False, max_state_age_ms=50, settle=True)")
    assert tx.Robot.__text_signature__ == "(groups, timeout_ms=None, *, spin_us=0, on_fault='report', on_exit='disable', settle=True)"


def installed_stub():
    files = {f.as_posix(): f for f in importlib.metadata.files("torvane") or []}
    if STUB_FILE not in files:
        pytest.fail(f"{STUB_FILE} is not installed with torvane")
    return Path(files[STUB_FILE].locate())


def test_wheel_ships_the_module_and_its_stub():
    files = [f.as_posix() for f in importlib.metadata.files("torvane") or []]
    assert any(re.fullmatch(r"torvane_ext\.cpython-.*\.so", f) for f in files)
    assert sorted(f for f in files if f.startswith("torvane_ext-stubs/")) == [STUB_FILE]


def test_stub_all_matches_module():
    tree = ast.parse(installed_stub().read_text())
    declared = ast.literal_eval(next(
        n.value for n in tree.body
        if isinstance(n, ast.Assign) and [ast.unparse(t) for t in n.targets] == ["__all__"]))
    assert sorted(declared) == sorted(tx.__all__)


def test_stub_shows_no_catalogue_notes_or_empty_records():
    text = installed_stub().read_text()
    assert "# uses:" not in text
    assert "\n\n\n" not in text


def test_stubtest_passes(tmp_path):
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", "torvane_ext"], cwd=tmp_path,
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr


def test_typed_example_passes_strict(tmp_path):
    (tmp_path / "example.py").write_text(textwrap.dedent("""
        import torvane
        import torvane_ext as tx

        def tick(bus: torvane.SocketCanTransport, arm: list[torvane.Damiao]) -> list[float]:
            group = tx.MotorGroup(bus, arm, timeout_ms=5)
            states = group.mit_control([torvane.mit_setpoint(q=0.1) for _ in arm])
            limits: torvane.MitLimits = tx.read_limits(bus, arm[0])
            value: int | float = tx.read_register(bus, arm[0], "TIMEOUT")
            tx.set_control_mode(bus, arm[0], tx.ControlMode.POS_VEL)
            found: list[tx.MotorInfo] = tx.scan(bus, ids=range(1, 4))
            return [s.position for s in states if s is not None] + [limits.p_max, float(value), len(found)]
    """))
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / ".c"), "example.py"],
                       cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr


# ---- its own classes --------------------------------------------------------------------

def test_control_mode():
    assert issubclass(tx.ControlMode, __import__("enum").IntEnum)
    assert [(m.name, int(m)) for m in tx.ControlMode] == [("MIT", 1), ("POS_VEL", 2), ("VEL", 3), ("FORCE_POS", 4)]
    assert tx.ControlMode.__module__ == "torvane_ext"


def test_registers_table():
    regs = tx.REGISTERS
    assert isinstance(regs, tuple) and len(regs) == 45
    by_number = {r.number: r for r in regs}
    assert [r.number for r in regs] == sorted(by_number)
    assert (by_number[9].name, by_number[9].type, by_number[9].read_only) == ("TIMEOUT", "int", False)
    assert (by_number[21].name, by_number[21].type) == ("PMAX", "float")
    assert [r.number for r in regs if r.read_only] == [11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 36, 50, 51, 52, 53,
                                                        54, 55, 80, 81]
    assert repr(by_number[9]) == "RegisterInfo(number=9, name='TIMEOUT', type='int', read_only=False)"
    with pytest.raises(AttributeError):
        by_number[9].name = "X"


def test_row_layouts_name_every_into_call_and_keep_their_order():
    intos = {n.removesuffix("_into") for n in dir(tx.MotorGroup) if n.endswith("_into")} - {"refresh"}
    assert set(tx.COMMAND_COLUMNS) == intos
    # Code reads columns by these positions: the order is part of the interface.
    assert tx.COMMAND_COLUMNS == {"mit_control": ("q", "dq", "kp", "kd", "tau"), "pos_vel": ("q", "dq"),
                                  "vel": ("dq",), "force_pos": ("q", "v_limit", "i_limit")}
    assert tx.STATE_COLUMNS == ("position", "velocity", "torque", "t_mos", "t_rotor", "status")


@pytest.mark.parametrize("cls", ["MotorGroup", "MotorInfo", "RegisterInfo", "Loop", "LoopStats", "DecodedFrame",
                                 "BusHealth"])
def test_classes_are_final_and_immutable(cls):
    c = getattr(tx, cls)
    with pytest.raises(TypeError):
        type("Sub", (c,), {})
    with pytest.raises(TypeError):
        c.__new__ = lambda *a: None


@pytest.mark.parametrize("cls", ["MotorInfo", "RegisterInfo", "DecodedFrame", "BusHealth"])
def test_info_classes_have_no_constructor(cls):
    with pytest.raises(TypeError, match=f"No constructor defined for {cls}"):
        getattr(tx, cls)()


def test_exceptions_are_runtime_errors():
    assert tx.MotorError.__bases__ == (RuntimeError,)
    for name in ("MotorTimeout", "BusError", "RegisterError", "VerifyError"):
        assert getattr(tx, name).__bases__ == (tx.MotorError,)
    assert tx.BusError.errno is None


# ---- arguments refused without a bus ---------------------------------------------------------

REFUSED = [
    (lambda m: tx.refresh(None, m), TypeError, "argument 'bus': 'NoneType' object cannot be converted to 'SocketCanTransport'"),
    (lambda m: tx.refresh(m, m), TypeError, "argument 'bus': 'Damiao' object cannot be converted"),
    (lambda m: tx.pos_vel(None), TypeError, r"pos_vel\(\) missing 3 required positional arguments: 'motor', 'q', and 'dq'"),
    (lambda m: tx.vel(None, m, 1.0, 2.0), TypeError, r"vel\(\) takes 3 positional arguments but 4 were given"),
    (lambda m: tx.scan(None, bogus=1), TypeError, r"scan\(\) got an unexpected keyword argument 'bogus'"),
]


@pytest.mark.parametrize("call,exc,message", REFUSED, ids=range(len(REFUSED)))
def test_bad_arguments_without_a_bus(call, exc, message):
    with pytest.raises(exc, match=message):
        call(arm(1)[0])


def test_group_refuses_without_a_bus():
    with pytest.raises(TypeError, match="argument 'bus': 'NoneType' object cannot be converted"):
        tx.MotorGroup(None, arm())


FORGED = """
import torvane, torvane_ext as tx
cls = torvane.SocketCanTransport
cls.__new__ = lambda c, *a: object.__new__(c)
forged = cls("ignored")
m = torvane.Damiao(1, 0x11)
for call in (lambda: m.enable(forged), lambda: tx.refresh(forged, m), lambda: tx.read_limits(forged, m),
             lambda: tx.MotorGroup(forged, [m]).refresh(), lambda: tx.bus_health(forged),
             lambda: tx.reset_bus_health(forged)):
    try:
        call()
    except RuntimeError as e:
        print(type(e).__name__, e)
"""


def test_a_bus_made_without_its_constructor_is_refused_as_torvane_refuses_it():
    # Python can replace the class's __new__; such a bus has no socket.
    r = subprocess.run([sys.executable, "-c", FORGED], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["RuntimeError SocketCanTransport is not open: it was made without its constructor"] * 6


# ---- JointLimits -----------------------------------------------------------------

@pytest.mark.parametrize("kwargs, error", [
    ({"position": (1.0, -1.0)}, "lo <= hi"),
    ({"position": (float("nan"), 1.0)}, "lo <= hi"),
    ({"position": (-1.0, 1.0), "max_step": -0.1}, "max_step"),
    ({"position": (-1.0, 1.0), "velocity": float("nan")}, "velocity"),
    ({"position": (-1.0, 1.0), "torque": -1}, "torque"),
    ({"position": (-1.0, 1.0), "kp": -1}, "kp"),
    ({"position": (-1.0, 1.0), "kd": float("nan")}, "kd"),
])
def test_joint_limits_refuse_what_cannot_be_a_limit(kwargs, error):
    with pytest.raises(ValueError, match=error):
        tx.JointLimits(**kwargs)


def test_joint_limits_keep_what_they_were_given():
    limits = tx.JointLimits(position=(-1.5, 0.5), max_step=0.25, torque=3, kp=40)
    assert (limits.position, limits.max_step, limits.velocity, limits.torque, limits.kp, limits.kd) == (
        (-1.5, 0.5), 0.25, None, 3.0, 40.0, None)
    assert repr(limits) == ("JointLimits(position=(-1.5, 0.5), max_step=0.25, velocity=None, torque=3, kp=40, "
                            "kd=None)")
    with pytest.raises(TypeError):
        tx.JointLimits(position=1.0)
    with pytest.raises(ValueError, match="pair"):
        tx.JointLimits(position=(1.0, 2.0, 3.0))


# ---- decode_frame ----------------------------------------------------------------

DM4310, DM4340 = torvane.MitLimits.dm4310(), torvane.MitLimits.dm4340()


def scaled(code, m, bits):
    """A symmetric fixed-point field: code 0 is -m, the largest code +m."""
    return code * 2 * m / ((1 << bits) - 1) - m


def mit(p, v, kp, kd, t, lim=DM4310):
    return {"q": scaled(p, lim.p_max, 16), "dq": scaled(v, lim.v_max, 12), "kp": kp * lim.kp_max / 4095,
            "kd": kd * lim.kd_max / 4095, "tau": scaled(t, lim.t_max, 12)}


def state(p, v, t, t_mos, t_rotor, lim=DM4310):
    return {"position": scaled(p, lim.p_max, 16), "velocity": scaled(v, lim.v_max, 12),
            "torque": scaled(t, lim.t_max, 12), "t_mos": t_mos, "t_rotor": t_rotor}


def f32hex(*values):
    return struct.pack(f"<{len(values)}f", *values).hex()


# (can_id, data, arguments) -> kind, motor, values, status. The command bytes
# are the core encoder's (tests/cpp test_mit.cpp, test_commands.cpp), for the
# setpoints named.
DECODED = {
    "enable": (0x001, "FFFFFFFFFFFFFFFC", {}, "enable", 1, {}, None),
    "disable": (0x012, "FFFFFFFFFFFFFFFD", {}, "disable", 0x12, {}, None),
    "set_zero": (0x001, "FFFFFFFFFFFFFFFE", {}, "set_zero", 1, {}, None),
    "clear_error": (0x0FF, "FFFFFFFFFFFFFFFB", {}, "clear_error", 0xFF, {}, None),
    "mit zero": (0x002, "7FFF7FF0000007FF", {"limits": DM4310}, "mit", 2, mit(0x7FFF, 0x7FF, 0, 0, 0x7FF), None),
    # q=1, dq=2, kp=50, kd=1, tau=0.5: codes 35388, 2184, 409, 819, 2149
    "mit mixed": (0x001, "8A3C888199333865", {"limits": DM4310}, "mit", 1, mit(35388, 2184, 409, 819, 2149), None),
    "mit top, dm4340": (0x001, "FFFFFFFFFFFFFFFF", {"limits": DM4340}, "mit", 1,
                        {"q": 12.5, "dq": 10.0, "kp": 500.0, "kd": 5.0, "tau": 28.0}, None),
    "mit without limits": (0x001, "0000000000000000", {}, "mit", 1,
                           {"q": -12.5, "dq": -30.0, "kp": 0.0, "kd": 0.0, "tau": -10.0}, None),
    "mit of 7 bytes": (0x001, "FFFFFFFFFFFFFF", {}, "raw", 1, {}, None),
    "pos_vel": (0x101, "0000803F00000040", {}, "pos_vel", 1, {"q": 1.0, "dq": 2.0}, None),
    "vel": (0x201, "000060C000000000", {}, "vel", 1, {"dq": -3.5}, None),
    "vel of 4 bytes": (0x27F, "000060C0", {}, "vel", 0x7F, {"dq": -3.5}, None),
    "force_pos": (0x301, "0000003FF401B80B", {}, "force_pos", 1, {"q": 0.5, "v_limit": 5.0, "i_limit": 0.3}, None),
    "force_pos, FD": (0x305, "0000003FF401B80B00000000", {}, "force_pos", 5,
                      {"q": 0.5, "v_limit": 5.0, "i_limit": 0.3}, None),
    # The same bytes: MIT for a motor known by command id 0x101, else POS_VEL for motor 1.
    "known command id first": (0x101, "0000803F00000040", {"motors": [0x101]}, "mit", 0x101,
                               mit(0x0000, 0x803, 0xF00, 0x000, 0x040), None),
    "the layout otherwise": (0x101, "0000803F00000040", {"motors": [2]}, "pos_vel", 1, {"q": 1.0, "dq": 2.0}, None),
    "no motor's range": (0x555, "DEAD", {}, "raw", None, {}, None),
    "refresh": (0x7FF, "0100CC0000000000", {}, "refresh", 1, {}, None),
    "save": (0x7FF, "0200AA0100000000", {}, "save", 2, {}, None),
    "empty on 0x7FF": (0x7FF, "", {}, "raw", None, {}, None),
    "reg_read": (0x7FF, "0100331500000000", {}, "reg_read", 1, {"register": 21}, None),
    "reg_write, int": (0x7FF, "01005509E8030000", {}, "reg_write", 1, {"register": 9, "value": 1000}, None),
    "reg_write, float": (0x7FF, "01005515" + f32hex(3.0), {}, "reg_write", 1, {"register": 21, "value": 3.0}, None),
    "reg_reply": (0x011, "01003315" + f32hex(3.0), {"feedback_of": 1, "asked": [("reg_read", 1, 21)]}, "reg_reply",
                  1, {"register": 21, "value": 3.0}, None),
    "reg_ack on another id": (0x033, "03005509E8030000", {"asked": {("reg_write", 3, 9)}}, "reg_ack", 3,
                              {"register": 9, "value": 1000}, None),
    "reply-shaped, not asked": (0x011, "01003315" + f32hex(3.0), {"feedback_of": 1}, "feedback", 1,
                                state(0x0033, 0x150, 0x000, 0x40, 0x40), tx.Status.DISABLED),
    "feedback": (0x011, "11 8000 800 800 1E 20", {"limits": DM4310, "feedback_of": 1}, "feedback", 1,
                 state(0x8000, 0x800, 0x800, 30, 32), tx.Status.ENABLED),
    "fault, dm4340": (0x012, "C2 FFFF FFF FFF 50 60", {"limits": DM4340, "feedback_of": 2}, "feedback", 2,
                      state(0xFFFF, 0xFFF, 0xFFF, 0x50, 0x60, DM4340), tx.Status.ROTOR_OVERTEMP),
    "status not in Status": (0x011, "71 0000 000 000 00 00", {"feedback_of": 1}, "feedback", 1,
                             state(0, 0, 0, 0, 0), 7),
    "another motor's nibble": (0x011, "12 8000 800 800 1E 20", {"feedback_of": 1}, "raw", 1, {}, None),
    "feedback of 7 bytes": (0x011, "11 8000 800 800 1E", {"feedback_of": 1}, "raw", 1, {}, None),
}


@pytest.mark.parametrize("case", DECODED)
def test_decode_frame(case):
    can_id, data, kwargs, kind, motor, values, status = DECODED[case]
    got = tx.decode_frame(can_id, bytes.fromhex(data.replace(" ", "")), **kwargs)
    assert type(got) is tx.DecodedFrame
    assert (got.kind, got.motor_id) == (kind, motor)
    # Single precision, as torvane decodes: within a millionth, far below one code.
    assert list(got.values) == list(values)
    assert got.values == pytest.approx(values, rel=1e-6, abs=1e-6)
    assert [type(v) for v in got.values.values()] == [type(v) for v in values.values()]
    assert got.status == status and type(got.status) is type(status)


@pytest.mark.parametrize("data", [bytes.fromhex("8A3C888199333865"), bytearray.fromhex("8A3C888199333865"),
                                  memoryview(b"xx\x8a\x3c\x88\x81\x99\x33\x38\x65")[2:]],
                         ids=lambda d: type(d).__name__)
def test_decode_frame_reads_any_buffer(data):
    assert tx.decode_frame(1, data, DM4310).values == pytest.approx(mit(35388, 2184, 409, 819, 2149), rel=1e-6)


def test_decoded_frame_repr():
    fb = tx.decode_frame(0x11, bytes.fromhex("C1FFFFFFFFFF5060"), DM4310, feedback_of=1)
    assert repr(fb) == ("DecodedFrame(kind='feedback', motor_id=0x1, values={'position': 12.5, 'velocity': 30.0, "
                        "'torque': 10.0, 't_mos': 80, 't_rotor': 96}, status=Status.ROTOR_OVERTEMP)")
    assert repr(tx.decode_frame(0x7FF, bytes.fromhex("01005509E8030000"))) == (
        "DecodedFrame(kind='reg_write', motor_id=0x1, values={'register': 9, 'value': 1000}, status=None)")
    assert repr(tx.decode_frame(0x555, b"")) == "DecodedFrame(kind='raw', motor_id=None, values={}, status=None)"
    with pytest.raises(AttributeError):
        fb.kind = "mit"


CAN_ERR_FLAG = 0x20000000

# Error frames as linux/can/error.h lays them out: (classes, bytes) -> words, the state reported. Every
# class and byte the core reads is in tests/cpp/test_bus_health.cpp; these are what the binding passes on.
ERRORS = {
    "bus-off": (0x040, "0000000000000000", "bus-off", "bus-off"),
    "passive with an overflow": (0x004, "0021000000000000", "controller rx overflow, tx error-passive",
                                 "error-passive"),
    "warning with counters": (0x204, "0008000000006003", "controller tx error-warning; counters tx 96 rx 3",
                              "error-warning"),
    "no state, fewer bytes": (0x020, "", "no-ack", None),
    "protocol": (0x088, "0000821900000000", "protocol form, on transmission at ack slot; bus-error", None),
}


@pytest.mark.parametrize("case", ERRORS)
def test_decode_error_frames(case):
    classes, data, text, state = ERRORS[case]
    raw = bytes.fromhex(data)
    got = tx.decode_frame(CAN_ERR_FLAG | classes, raw)
    padded = raw.ljust(8, b"\0")
    assert (got.kind, got.motor_id, got.status, got.error, got.state) == ("error", None, None, text, state)
    assert got.values == {"classes": classes, "arbitration_bit": padded[0], "controller": padded[1],
                          "protocol": padded[2], "location": padded[3], "transceiver": padded[4],
                          "tx_errors": padded[6], "rx_errors": padded[7]}
    # Whatever a listener knows, the flag decides.
    assert tx.decode_frame(CAN_ERR_FLAG | classes, raw, feedback_of=1, motors={classes}).error == text


def test_error_classes_are_the_bits_of_an_error_frame():
    assert tx.ERROR_CLASSES == ("tx-timeout", "lost-arbitration", "controller", "protocol", "transceiver", "no-ack",
                                "bus-off", "bus-error", "restarted")
    for bit, name in enumerate(tx.ERROR_CLASSES):
        assert tx.decode_frame(CAN_ERR_FLAG | 1 << bit, bytes(8)).error.startswith(name)


def test_frames_that_are_no_error_frame_carry_no_error():
    for got in (tx.decode_frame(0x040, bytes(8)), tx.decode_frame(0x011, bytes(8), feedback_of=1)):
        assert (got.error, got.state) == (None, None)


def test_decoded_error_frame_repr():
    assert repr(tx.decode_frame(CAN_ERR_FLAG | 0x040, bytes(8))) == (
        "DecodedFrame(kind='error', motor_id=None, values={'classes': 64, 'arbitration_bit': 0, 'controller': 0, "
        "'protocol': 0, 'location': 0, 'transceiver': 0, 'tx_errors': 0, 'rx_errors': 0}, error='bus-off', "
        "state='bus-off')")
    assert repr(tx.decode_frame(CAN_ERR_FLAG | 0x020, b"")).endswith("error='no-ack', state=None)")


def test_bus_health_refuses_what_is_no_bus():
    for fn in (tx.bus_health, tx.reset_bus_health):
        with pytest.raises(TypeError, match="argument 'bus': 'NoneType' object cannot be converted"):
            fn(None)


@pytest.mark.parametrize("call, exc, message", [
    (lambda: tx.decode_frame(0x800, b""), ValueError,
     r"argument 'can_id': a standard identifier is 0\.\.0x7FF, or an error frame's has CAN_ERR_FLAG \(0x20000000\) "
     r"and its classes, not 2048"),
    (lambda: tx.decode_frame(-1, b""), ValueError, "a standard identifier is 0..0x7FF, .* not -1"),
    # The error flag with another flag (extended, remote) is no error frame a socket gives.
    (lambda: tx.decode_frame(0xA0000040, b""), ValueError, "not 2684354624"),
    (lambda: tx.decode_frame(0x60000040, b""), ValueError, "not 1610612800"),
    (lambda: tx.decode_frame(2**64, b""), OverflowError, "int too big to convert"),
    (lambda: tx.decode_frame(1.0, b""), TypeError, "argument 'can_id'"),
    (lambda: tx.decode_frame(1, bytes(65)), ValueError, "argument 'data': a CAN frame carries at most 64 bytes, not 65"),
    (lambda: tx.decode_frame(1, "FFFF"), TypeError, "argument 'data': 'str' object cannot be converted to 'bytes'"),
    (lambda: tx.decode_frame(1, b"", DM4310.p_max), TypeError, "argument 'limits'"),
    (lambda: tx.decode_frame(1, b"", None, 1), TypeError, "takes from 2 to 3 positional arguments"),
    (lambda: tx.decode_frame(1, b"", feedback_of=65536), OverflowError, "out of range"),
    (lambda: tx.decode_frame(1, b"", motors=1), TypeError,
     r"argument 'motors' must be a container \(a set, a dict's keys, \.\.\.\), not int"),
    (lambda: tx.decode_frame(1, b"", asked=iter([("reg_read", 1, 2)])), TypeError,
     "argument 'asked' must be a container"),
    (lambda: tx.decode_frame(1, b"", asked=None), TypeError, "argument 'asked' must be a container"),
], ids=range(14))
def test_decode_frame_refuses(call, exc, message):
    with pytest.raises(exc, match=message):
        call()


class Lookups:
    """A container that records what is looked up in it, and raises when told."""

    def __init__(self, holds=(), fails=False):
        self.holds, self.fails, self.asked = set(holds), fails, []

    def __contains__(self, key):
        self.asked.append(key)
        if self.fails:
            raise KeyError(key)
        return key in self.holds


def test_decode_frame_looks_up_only_what_the_frame_needs():
    motors, asked = Lookups({0x101}), Lookups({("reg_write", 3, 9)})
    answer = bytes.fromhex("03005509E8030000")
    got = tx.decode_frame(0x101, bytes(8), motors=motors, asked=asked)  # no answer's shape
    assert (got.kind, got.motor_id, motors.asked, asked.asked) == ("mit", 0x101, [0x101], [])
    got = tx.decode_frame(0x033, answer, motors=motors, asked=asked)  # an answer first
    assert (got.kind, got.motor_id, motors.asked, asked.asked) == ("reg_ack", 3, [0x101], [("reg_write", 3, 9)])
    got = tx.decode_frame(0x201, bytes(8), motors=motors, asked=asked)  # 0x201 unknown, 0x101 known
    assert (got.kind, got.motor_id, motors.asked) == ("pos_vel", 0x101, [0x101, 0x201, 0x101])
    assert tx.decode_frame(0x7FF, answer, motors=motors, asked=asked).kind == "reg_write"  # a request
    assert (len(motors.asked), len(asked.asked)) == (3, 1)


@pytest.mark.parametrize("call", [
    lambda: tx.decode_frame(0x001, bytes(8), motors=Lookups(fails=True)),
    lambda: tx.decode_frame(0x011, bytes.fromhex("01003315" + f32hex(3.0)), feedback_of=1, asked=Lookups(fails=True)),
], ids=["motors", "asked"])
def test_decode_frame_passes_on_a_failed_lookup(call):
    with pytest.raises(KeyError):
        call()


# Arguments kept across the calls below; their reference counts are watched.
LEAK_DATA, LEAK_LONG = bytes.fromhex("01003315" + f32hex(3.0)), bytearray(65)
LEAK_MOTORS, LEAK_ASKED = {1: None, 2: None}, {("reg_read", 1, 21)}


class Failing:
    def __contains__(self, key):
        raise KeyError(key)


LEAK_FAILING = Failing()
LEAK_FRAME = tx.decode_frame(0x11, bytes.fromhex("C1FFFFFFFFFF5060"), DM4310, feedback_of=1)
LEAK_ERROR = tx.decode_frame(0x20000244, bytes.fromhex("0024000000006000"))


@pytest.mark.parametrize("call, raises", [
    (lambda: tx.decode_frame(0x11, LEAK_DATA, DM4310, feedback_of=1, motors=LEAK_MOTORS.keys(), asked=LEAK_ASKED),
     None),
    (lambda: tx.decode_frame(0x11, LEAK_DATA, DM4310, feedback_of=1, motors=LEAK_MOTORS), None),
    (lambda: LEAK_FRAME.values, None),
    (lambda: LEAK_FRAME.status, None),
    (lambda: repr(LEAK_FRAME), None),
    (lambda: tx.decode_frame(0x11, LEAK_LONG), ValueError),
    (lambda: tx.decode_frame(0x11, LEAK_DATA, asked=LEAK_FAILING), KeyError),
    (lambda: tx.decode_frame(0x11, LEAK_DATA, motors=LEAK_FAILING), KeyError),
    (lambda: tx.decode_frame(0x11, LEAK_DATA, motors=1), TypeError),
    (lambda: tx.decode_frame(0x20000244, LEAK_DATA), None),
    (lambda: (LEAK_ERROR.values, LEAK_ERROR.error, LEAK_ERROR.state, repr(LEAK_ERROR)), None),
    (lambda: tx.decode_frame(0xA0000040, LEAK_DATA), ValueError),
], ids=["reply", "feedback", "values", "status", "repr", "too long", "asked fails", "motors fail", "no container",
        "error frame", "its fields", "no error frame"])
def test_decode_frame_leaves_memory_and_reference_counts_flat(call, raises):
    watch = [(name, globals()[name]) for name in ("DM4310", "LEAK_DATA", "LEAK_LONG", "LEAK_MOTORS", "LEAK_ASKED",
                                                  "LEAK_FAILING", "LEAK_FRAME")]
    usage = measure(call, calls_from_env("TORVANE_LEAK_CALLS", 100_000), raises=raises,
                    watch=[*watch, ("class DecodedFrame", tx.DecodedFrame), ("module", tx)])
    assert not usage.problems(), usage.summary()
