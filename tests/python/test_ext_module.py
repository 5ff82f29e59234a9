"""torvane_ext without a bus: what it imports and refuses, its declared
surface (text signatures, stub, stubtest), its own classes, and arguments
refused before anything could be sent."""

import ast
import importlib.metadata
import inspect
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

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
    expected = {"__version__", "ControlMode", "REGISTERS", "MotorGroup", "Robot", "MotorInfo", "RegisterInfo",
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
        "watchdog_ms=None, limits=None, mode=None, set_mode=False, max_state_age_ms=50)")
    assert tx.Robot.__text_signature__ == "(groups, timeout_ms=None, *, spin_us=0, on_fault='report', on_exit='disable')"


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


@pytest.mark.parametrize("cls", ["MotorGroup", "MotorInfo", "RegisterInfo", "Loop", "LoopStats"])
def test_classes_are_final_and_immutable(cls):
    c = getattr(tx, cls)
    with pytest.raises(TypeError):
        type("Sub", (c,), {})
    with pytest.raises(TypeError):
        c.__new__ = lambda *a: None


@pytest.mark.parametrize("cls", ["MotorInfo", "RegisterInfo"])
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
             lambda: tx.MotorGroup(forged, [m]).refresh()):
    try:
        call()
    except RuntimeError as e:
        print(type(e).__name__, e)
"""


def test_a_bus_made_without_its_constructor_is_refused_as_torvane_refuses_it():
    # Python can replace the class's __new__; such a bus has no socket.
    r = subprocess.run([sys.executable, "-c", FORGED], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["RuntimeError SocketCanTransport is not open: it was made without its constructor"] * 4


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
