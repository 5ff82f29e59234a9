"""Every entry point that needs no bus, called many times: memory stays flat
and the reference counts of arguments, results and classes come back.

TORVANE_LEAK_CALLS sets the calls per entry point (default 100,000; the
figures in docs/testing.md are from a run with 1,000,000). The bus calls have
their own, smaller check in bus/test_leaks_bus.py.
"""

import functools
import sys
from dataclasses import dataclass

import pytest
import torvane
from memwatch import IMMORTAL_FLOOR, calls_from_env, measure
from torvane import Damiao, MitLimits, MitSetpoint, MotorState, SocketCanTransport, mit_setpoint

CALLS = calls_from_env("TORVANE_LEAK_CALLS", 100_000)

LIMIT_FIELDS = ("p_max", "v_max", "kp_max", "kd_max", "t_max")
SETPOINT_FIELDS = ("q", "dq", "kp", "kd", "tau")
PRESETS = [n for n, v in vars(MitLimits).items() if isinstance(v, staticmethod)]
CLASSES = [MitLimits, MitSetpoint, MotorState, Damiao, SocketCanTransport]


class Index:
    """An int-like object that is no int."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Real:
    """A float-like object that is no float."""

    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class Raises:
    """__index__ and __float__ raise a new exception on every call (raising
    one object again and again would grow its traceback, a leak of the test's
    own)."""

    def __init__(self, make):
        self.make = make

    def __index__(self):
        raise self.make()

    def __float__(self):
        raise self.make()


CAUSE = KeyError("cause")


class Unprintable:
    def __str__(self):
        raise LookupError("no text")


def chained_type_error():
    e = TypeError("boom")
    e.__cause__ = CAUSE
    return e


# Arguments kept across all calls; their reference counts are watched.
LIMITS = MitLimits(1.5, 2, 3, 4, 5)
SETPOINT = mit_setpoint(0.1, 0.2, 0.3, 0.4, 0.5)
MOTOR = Damiao(1, 0x11, LIMITS, 20)
BIG = 2**70
HUGE = 10**400
INDEX = Index(0x123)
REAL = Real(2.5)
CHAINED = Raises(chained_type_error)
PASSING = Raises(lambda: ValueError("not reworded"))
TEXTLESS = Raises(lambda: TypeError(Unprintable()))
SURROGATE_TEXT = Raises(lambda: TypeError("bad \ud800"))
BAD_INDEX = Index("no")
BAD_REAL = Real("no")
NAME = "torvane-nx0"
NUL_NAME = "vcan0\0"
SURROGATE_NAME = "vcan\ud800"
BAD_KEYWORD = {"\ud800": 1}
U64_MAX = 2**64 - 1
WATCHED = {n: globals()[n] for n in (
    "CAUSE", "LIMITS", "SETPOINT", "MOTOR", "BIG", "HUGE", "INDEX", "REAL", "CHAINED", "PASSING", "TEXTLESS",
    "SURROGATE_TEXT", "BAD_INDEX", "BAD_REAL", "NAME", "NUL_NAME", "SURROGATE_NAME", "BAD_KEYWORD", "U64_MAX")}


@dataclass
class Case:
    fn: object
    raises: type = None  # every call ends with this exception; None: returns


def p(id_, fn, raises=None):
    return pytest.param(Case(fn, raises), id=id_)


CASES = [
    # ---- constructors and the function that builds values
    p("MitLimits()", MitLimits),
    p("MitLimits(args)", lambda: MitLimits(1.5, 2, kp_max=REAL, kd_max=INDEX, t_max=BIG)),
    p("MitSetpoint()", MitSetpoint),
    p("MitSetpoint(args)", lambda: MitSetpoint(0.5, REAL, kp=INDEX, kd=True, tau=-BIG)),
    p("mit_setpoint()", mit_setpoint),
    p("mit_setpoint(args)", lambda: mit_setpoint(tau=REAL, q=INDEX, dq=1e40)),
    *[p(f"MitLimits.{name}()", getattr(MitLimits, name)) for name in PRESETS],
    p("Damiao(ids)", lambda: Damiao(1, 0x11)),
    p("Damiao(all)", lambda: Damiao(INDEX, master_id=True, limits=LIMITS, timeout_ms=U64_MAX)),
    p("Damiao(None limits)", lambda: Damiao(1, 2, None, INDEX)),
    # ---- getters and reprs
    *[p(f"MitLimits.{f}", functools.partial(getattr, LIMITS, f)) for f in LIMIT_FIELDS],
    *[p(f"MitSetpoint.{f}", functools.partial(getattr, SETPOINT, f)) for f in SETPOINT_FIELDS],
    *[p(f"Damiao.{f}", functools.partial(getattr, MOTOR, f)) for f in ("motor_id", "master_id")],
    p("repr(MitLimits)", functools.partial(repr, LIMITS)),
    p("repr(MitSetpoint)", functools.partial(repr, SETPOINT)),
    p("repr(Damiao)", functools.partial(repr, MOTOR)),
    p("str(Damiao)", functools.partial(str, MOTOR)),
    # ---- TypeError from binding
    p("too many positional", lambda: Damiao(1, 2, 3, 4, 5), TypeError),
    p("unexpected keyword", lambda: MitLimits(bogus=1), TypeError),
    p("unencodable keyword", lambda: mit_setpoint(**BAD_KEYWORD), TypeError),
    p("multiple values", lambda: mit_setpoint(1, q=2), TypeError),
    p("missing required", lambda: Damiao(), TypeError),
    p("method missing bus", lambda: MOTOR.mit_control(), TypeError),
    p("method too many", lambda: MOTOR.enable(1, 2), TypeError),
    p("MotorState()", MotorState, TypeError),
    # ---- TypeError from conversion and class checks
    p("float from str", lambda: MitLimits(p_max="x"), TypeError),
    p("float from bad __float__", lambda: MitSetpoint(kd=BAD_REAL), TypeError),
    p("float chained cause", lambda: mit_setpoint(kp=CHAINED), TypeError),
    p("id from float", lambda: Damiao(1.0, 1), TypeError),
    p("id from bad __index__", lambda: Damiao(1, BAD_INDEX), TypeError),
    p("id chained cause", lambda: Damiao(CHAINED, 1), TypeError),
    p("float message unencodable", lambda: MitLimits(t_max=SURROGATE_TEXT), TypeError),
    p("timeout None", lambda: Damiao(1, 2, timeout_ms=None), TypeError),
    p("timeout chained cause", lambda: Damiao(1, 2, timeout_ms=CHAINED), TypeError),
    p("limits wrong class", lambda: Damiao(1, 2, SETPOINT), TypeError),
    p("bus wrong class", lambda: MOTOR.enable(LIMITS), TypeError),
    p("mit_control bus None", lambda: MOTOR.mit_control(None, SETPOINT), TypeError),
    p("iface not str", lambda: SocketCanTransport(BIG), TypeError),
    # ---- exceptions that pass through unchanged
    p("float passes ValueError", lambda: MitLimits(v_max=PASSING), ValueError),
    p("id passes ValueError", lambda: Damiao(PASSING, 1), ValueError),
    p("iface unencodable", lambda: SocketCanTransport(SURROGATE_NAME), UnicodeEncodeError),
    p("TypeError without text", lambda: Damiao(1, TEXTLESS), LookupError),
    # ---- OverflowError
    p("id out of range", lambda: Damiao(65536, 1), OverflowError),
    p("id beyond C long", lambda: Damiao(1, BIG), OverflowError),
    p("timeout negative", lambda: Damiao(1, 2, timeout_ms=-BIG), OverflowError),
    p("timeout beyond u64", lambda: Damiao(1, 2, timeout_ms=BIG), OverflowError),
    p("float beyond double", lambda: MitSetpoint(HUGE), OverflowError),
    # ---- OSError from a failed open (no CAN needed: the name lookup fails)
    p("open unknown iface", lambda: SocketCanTransport(NAME), OSError),
    p("open NUL in name", lambda: SocketCanTransport(iface=NUL_NAME), OSError),
]


def _probe(case):
    """One call outside the measurement: it must end as the case says, and a
    result must be a new object (or an immortal one)."""
    if case.raises is None:
        result = case.fn()
        count = sys.getrefcount(result)
        assert count >= IMMORTAL_FLOOR or count == 2, f"result referenced {count - 1} times"
        return
    try:
        case.fn()
    except BaseException as e:  # noqa: BLE001 - checked below
        caught = e
    else:
        pytest.fail(f"expected {case.raises.__name__}, the call returned")
    assert type(caught) is case.raises, repr(caught)
    assert sys.getrefcount(caught) == 2


@pytest.mark.parametrize("case", CASES)
def test_calls_leave_memory_and_reference_counts_flat(case):
    _probe(case)
    watch = [*WATCHED.items(), *((f"class {c.__name__}", c) for c in CLASSES),
             ("module", torvane), ("case callable", case.fn)]
    usage = measure(case.fn, CALLS, raises=case.raises, watch=watch)
    print(usage.summary())
    assert not usage.problems(), usage.summary()
