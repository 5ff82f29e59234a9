"""Module import, registration and the shape of every class and callable."""

import gc
import importlib
import importlib.util
import inspect
import json
import subprocess
import sys
import textwrap
import weakref

import pytest
import torvane
from torvane import Damiao, MitLimits, MitSetpoint, MotorState, SocketCanTransport, mit_setpoint

CLASS_NAMES = ["MitLimits", "MitSetpoint", "MotorState", "Damiao", "SocketCanTransport"]
BUS_METHODS = ["enable", "disable", "set_zero", "clear_error", "ensure_mit_mode"]
PRESET_NAMES = [n for n, v in vars(MitLimits).items() if isinstance(v, staticmethod)]
ENSURE_DOC = (
    "Force the firmware into MIT control mode (register 10 = 1). Some\n"
    "motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is\n"
    "silently ignored."
)

# Type flags that must stay off: managed weakref/dict, immutable, base type, GC.
FORBIDDEN_FLAGS = (1 << 3) | (1 << 4) | (1 << 8) | (1 << 10) | (1 << 14)


def run_python(code):
    """Run `code` in a fresh interpreter of this venv; return its stdout lines."""
    proc = subprocess.run(
        [sys.executable, "-I", "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


def test_module_attributes():
    assert torvane.__all__ == ["__version__", *CLASS_NAMES, "mit_setpoint"]
    assert type(torvane.__all__) is list
    assert torvane.__version__ == "1.0.1"
    assert torvane.__doc__ == ""
    assert torvane.__name__ == "torvane"
    assert not hasattr(torvane, "PanicException")
    # __all__ comes into being with the first name added, then each name in turn.
    added = [n for n in vars(torvane) if n not in ("__name__", "__doc__", "__package__", "__loader__",
                                                   "__spec__", "__file__")]
    assert added == ["__all__", *torvane.__all__]


def test_reimport_returns_the_cached_module():
    module = sys.modules["torvane"]
    assert importlib.import_module("torvane") is module
    del sys.modules["torvane"]
    try:
        again = importlib.import_module("torvane")  # runs PyInit_torvane once more
    finally:
        sys.modules["torvane"] = module
    assert again is module
    assert importlib.reload(module) is module
    assert module.__all__ == ["__version__", *CLASS_NAMES, "mit_setpoint"]


def test_mit_setpoint_function():
    assert type(mit_setpoint).__name__ == "builtin_function_or_method"
    assert mit_setpoint.__self__ is torvane
    assert mit_setpoint.__module__ == "torvane"
    assert mit_setpoint.__name__ == mit_setpoint.__qualname__ == "mit_setpoint"


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_type_properties(name):
    cls = getattr(torvane, name)
    assert cls.__module__ == "torvane"
    assert cls.__name__ == cls.__qualname__ == name
    assert repr(cls) == f"<class 'torvane.{name}'>"
    assert cls.__bases__ == (object,)
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    assert cls.__flags__ & FORBIDDEN_FLAGS == 0
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (cls,), {})


@pytest.mark.parametrize(
    "make", [MitLimits, MitSetpoint, mit_setpoint, MitLimits.dmh3510, lambda: Damiao(1, 2)],
    ids=["MitLimits", "MitSetpoint", "mit_setpoint", "preset", "Damiao"],
)
def test_instances_take_no_attributes_or_weakrefs(make):
    obj = make()
    assert not hasattr(obj, "__dict__")
    assert not gc.is_tracked(obj)
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(obj)


DOCS = [
    (MitLimits, "(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0)", ""),
    (MitSetpoint, "(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)", ""),
    (MotorState, None, None),
    (Damiao, "(motor_id, master_id, limits=None, timeout_ms=20)", ""),
    (SocketCanTransport, "(iface)", ""),
    (mit_setpoint, "(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)",
     "Build a `MitSetpoint` (handy when keyword args are awkward)."),
    *[(getattr(Damiao, m), "($self, bus)", None) for m in BUS_METHODS[:4]],
    (Damiao.mit_control, "($self, bus, setpoint)", None),
    (Damiao.ensure_mit_mode, "($self, bus)", ENSURE_DOC),
    *[(getattr(MitLimits, p), "()", None) for p in PRESET_NAMES],
]


@pytest.mark.parametrize("obj,signature,doc", DOCS, ids=lambda v: getattr(v, "__qualname__", None))
def test_text_signature_and_doc(obj, signature, doc):
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc


def test_signatures_as_inspect_sees_them():
    assert str(inspect.signature(Damiao)) == "(motor_id, master_id, limits=None, timeout_ms=20)"
    assert str(inspect.signature(Damiao(1, 2).mit_control)) == "(bus, setpoint)"
    assert Damiao.motor_id.__doc__ == Damiao.master_id.__doc__ == ""


@pytest.mark.parametrize(
    "call",
    [
        lambda: Damiao.enable(MitLimits(), None),
        lambda: Damiao.mit_control(object(), None, None),
        lambda: Damiao.__repr__(MitSetpoint()),
        lambda: Damiao.motor_id.__get__(MitLimits()),
        lambda: MitLimits.p_max.__get__(MitSetpoint()),
        lambda: MitSetpoint.__repr__(MitLimits()),
        lambda: MotorState.position.__get__(MitLimits()),
        lambda: MotorState.__repr__(Damiao(1, 2)),
    ],
)
def test_foreign_receivers_are_refused(call):
    with pytest.raises(TypeError):
        call()


def _subinterpreter_api():
    for name in ("_interpreters", "_xxsubinterpreters"):
        if importlib.util.find_spec(name):
            return name
    return None


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_subinterpreter_import_is_refused(config):
    # "legacy" lets the interpreter call PyInit_torvane, so the module's own
    # owner check answers; "isolated" is refused by CPython for any
    # single-phase module. Either way the main interpreter's module survives.
    api = _subinterpreter_api()
    if api is None:
        pytest.skip("this CPython has neither _interpreters nor _xxsubinterpreters")
    out = run_python(
        f"""
        import json, sys, torvane
        import {api} as api
        code = '''
        try:
            import torvane
            print("imported")
        except ImportError as e:
            print("ImportError:", e)
        '''
        if hasattr(api, "exec"):
            interp = api.create({config!r})
            api.exec(interp, code)
        else:
            interp = api.create(isolated={config == 'isolated'})
            api.run_string(interp, code)
        api.destroy(interp)
        print(json.dumps([repr(torvane.MitLimits.dm4310()), sys.modules["torvane"] is torvane]))
        """
    )
    assert len(out) == 2, out
    message = out[0].replace("subinterpreters", "sub-interpreters")
    assert message.startswith("ImportError:") and "not support" in message and "sub-interpreters" in message
    assert json.loads(out[1]) == ["MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=10)", True]


def test_panic_exception_from_a_failed_import():
    # With `logging` unimportable the module body fails with PanicException,
    # the one internal-fault class; a later import with logging back works.
    out = run_python(
        """
        import json, sys
        sys.modules["logging"] = None
        caught, by_exception = [], False
        for _ in range(2):
            try:
                try:
                    import torvane
                except Exception:
                    by_exception = True
            except BaseException as e:
                caught.append(e)
        del sys.modules["logging"]
        import torvane
        t = type(caught[0]) if caught else None
        print(json.dumps({
            "by_exception": by_exception, "count": len(caught), "same_class": {type(e) for e in caught} == {t},
            "name": t.__name__, "bases": [b.__name__ for b in t.__bases__],
            "is_exception": issubclass(t, Exception), "args": [list(e.args) for e in caught],
            "all": torvane.__all__, "exported": hasattr(torvane, t.__name__),
        }))
        """
    )
    r = json.loads(out[-1])
    assert r["count"] == 2 and not r["by_exception"] and r["same_class"]
    assert r["name"] == "PanicException" and r["bases"] == ["BaseException"] and not r["is_exception"]
    for args in r["args"]:
        assert len(args) == 1 and args[0].startswith("Failed to initialize python logging")
    assert r["all"] == ["__version__", *CLASS_NAMES, "mit_setpoint"]
    assert not r["exported"]
