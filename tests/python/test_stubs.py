"""The shipped type stubs: generated from the module's signature catalogue,
installed as the stub-only package torvane-stubs, and checked here against
the live module, mypy's stubtest and mypy --strict.

Needs mypy in the environment under test (pip install mypy)."""

import ast
import importlib.metadata
import inspect
import re
import subprocess
import sys
from pathlib import Path

import pytest

import torvane

REPO = Path(__file__).resolve().parents[2]
STUB_FILE = "torvane-stubs/__init__.pyi"
CLASSES = ["Damiao", "MitLimits", "MitSetpoint", "MotorState", "SocketCanTransport"]


def installed_files():
    return {f.as_posix(): f for f in importlib.metadata.files("torvane") or []}


def stub_tree():
    files = installed_files()
    if STUB_FILE not in files:
        pytest.fail(f"{STUB_FILE} is not installed with torvane")
    return ast.parse(Path(files[STUB_FILE].locate()).read_text())


STUB = stub_tree()
STUB_CLASSES = {n.name: n for n in STUB.body if isinstance(n, ast.ClassDef)}
STUB_FUNCTIONS = {n.name: n for n in STUB.body if isinstance(n, ast.FunctionDef)}


def decorators(fn):
    return {ast.unparse(d) for d in fn.decorator_list}


def stub_params(fn):
    """[(name, has_default)] of a stub function, receiver included."""
    args = fn.args.args
    defaults = [False] * (len(args) - len(fn.args.defaults)) + [True] * len(fn.args.defaults)
    return [(a.arg, d) for a, d in zip(args, defaults)]


def live_params(obj):
    return [(p.name, p.default is not inspect.Parameter.empty) for p in inspect.signature(obj).parameters.values()]


def stub_members(name):
    return {n.name: n for n in STUB_CLASSES[name].body if isinstance(n, ast.FunctionDef)}


def mypy(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(cwd / ".mypy_cache"), *args],
        cwd=cwd, capture_output=True, text=True, timeout=300,
    )


# ---- packaging ---------------------------------------------------------------

def test_distribution_ships_module_and_stub_package():
    files = installed_files()
    assert STUB_FILE in files
    assert any(re.fullmatch(r"torvane\.cpython-.*\.so", f) for f in files)
    # A stub-only package for one module: nothing else inside it.
    assert sorted(f for f in files if f.startswith("torvane-stubs/")) == [STUB_FILE]


def test_module_carries_the_catalogue():
    # The catalogue is only referenced by its own static registrations, so a
    # link that dropped it would still import fine.
    data = Path(torvane.__file__).read_bytes()
    assert b"motor_id,master_id,limits = ...,timeout_ms = ..." in data
    assert b"p_max = ...,v_max = ...,kp_max = ...,kd_max = ...,t_max = ..." in data


# ---- catalogue against the live module ---------------------------------------------

def test_stub_names_match_all():
    declared = ast.literal_eval(next(
        n.value for n in STUB.body
        if isinstance(n, ast.Assign) and [ast.unparse(t) for t in n.targets] == ["__all__"]))
    assert sorted(declared) == sorted(torvane.__all__)
    assert sorted(STUB_CLASSES) == CLASSES
    assert sorted(STUB_FUNCTIONS) == ["mit_setpoint"]


@pytest.mark.parametrize("name", CLASSES)
def test_class_members_match(name):
    cls = getattr(torvane, name)
    live = {k for k in vars(cls) if not k.startswith("_") or k == "__repr__"}
    if cls.__text_signature__ is not None:
        live.add("__new__")
    assert set(stub_members(name)) == live
    assert decorators(STUB_CLASSES[name]) == {"typing.final"}


@pytest.mark.parametrize("name", CLASSES)
def test_method_kinds_and_parameters_match(name):
    cls = getattr(torvane, name)
    for member, fn in stub_members(name).items():
        if member == "__new__":
            assert stub_params(fn)[0] == ("cls", False)
            assert stub_params(fn)[1:] == live_params(cls), member
            continue
        raw = vars(cls)[member]
        kinds = decorators(fn)
        if "property" in kinds:
            assert type(raw).__name__ == "getset_descriptor", member
            assert stub_params(fn) == [("self", False)], member
        elif "staticmethod" in kinds:
            assert isinstance(raw, staticmethod), member
            assert stub_params(fn) == live_params(getattr(cls, member)), member
        else:
            assert kinds == set(), member
            assert not isinstance(raw, (staticmethod, classmethod)), member
            assert stub_params(fn) == live_params(getattr(cls, member)), member


def test_function_parameters_match():
    assert stub_params(STUB_FUNCTIONS["mit_setpoint"]) == live_params(torvane.mit_setpoint)


def test_documentation_matches():
    def doc(fn):
        return ast.get_docstring(fn, clean=False)

    assert doc(STUB_FUNCTIONS["mit_setpoint"]) == inspect.getdoc(torvane.mit_setpoint)
    stub_doc = doc(stub_members("Damiao")["ensure_mit_mode"])
    live_doc = torvane.Damiao.ensure_mit_mode.__doc__
    assert [line.strip() for line in stub_doc.splitlines()] == live_doc.splitlines()


def annotation(fn):
    return ast.unparse(fn.returns)


@pytest.mark.parametrize("make", [
    lambda: torvane.MitLimits(),
    lambda: torvane.MitLimits.dm8009(),
    lambda: torvane.MitSetpoint(q=1.0),
    lambda: torvane.Damiao(1, 0x11),
    lambda: torvane.Damiao(1, 0x11, limits=torvane.MitLimits.dm4340(), timeout_ms=5),
], ids=["limits", "preset", "setpoint", "damiao", "damiao-limits"])
def test_annotated_types_match_values(make):
    obj = make()
    cls = type(obj).__name__
    for member, fn in stub_members(cls).items():
        if "property" in decorators(fn):
            assert type(getattr(obj, member)).__name__ == annotation(fn), member
        elif "staticmethod" in decorators(fn):
            assert type(getattr(type(obj), member)()).__name__ == annotation(fn), member
        elif member == "__repr__":
            assert annotation(fn) == "str"
    assert type(torvane.mit_setpoint()).__name__ == annotation(STUB_FUNCTIONS["mit_setpoint"])


# ---- mypy --------------------------------------------------------------------

def test_stubtest_passes(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "torvane"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_example_passes_strict(tmp_path):
    result = mypy("--strict", str(REPO / "examples" / "typed_usage.py"), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


MISUSES = {
    "float_as_str": ("import torvane\nx: str = torvane.mit_setpoint().q\n", "assignment"),
    "wrong_limits": ("import torvane\ntorvane.Damiao(1, 2, limits=torvane.MitSetpoint())\n", "arg-type"),
    "missing_bus": ("import torvane\ntorvane.Damiao(1, 2).enable()\n", "call-arg"),
    "read_only": ("import torvane\ntorvane.MitLimits.dm4310().p_max = 1.0\n", "misc"),
    "subclass": ("import torvane\nclass Mine(torvane.MitSetpoint): ...\n", "misc"),
    "none_result": ("import torvane\ndef f(d: torvane.Damiao, b: torvane.SocketCanTransport) -> int:\n"
                    "    return d.ensure_mit_mode(b)\n", "func-returns-value"),
}


def test_misuse_is_reported(tmp_path):
    # The stubs must carry real types: each of these is an error under mypy.
    for name, (source, _) in MISUSES.items():
        (tmp_path / f"{name}.py").write_text(source)
    result = mypy("--strict", *(f"{name}.py" for name in MISUSES), cwd=tmp_path)
    reported = {}
    for line in result.stdout.splitlines():
        m = re.match(r"(\w+)\.py:\d+: error: .*\[([\w-]+)\]$", line)
        if m:
            reported.setdefault(m[1], set()).add(m[2])
    for name, (_, code) in MISUSES.items():
        assert code in reported.get(name, set()), f"{name}: {result.stdout}"
