"""MitLimits, MitSetpoint, mit_setpoint and what of MotorState needs no bus."""

import copy
import decimal
import math
import pickle
import random
import re
import struct
from decimal import Decimal
from fractions import Fraction

import pytest
from torvane import MitLimits, MitSetpoint, MotorState, mit_setpoint

LIMIT_FIELDS = ("p_max", "v_max", "kp_max", "kd_max", "t_max")
SETPOINT_FIELDS = ("q", "dq", "kp", "kd", "tau")
STATE_FIELDS = ("motor_id", "error", "position", "velocity", "torque", "t_mos", "t_rotor")
FLOAT_CALLABLES = {"MitLimits": (MitLimits, LIMIT_FIELDS), "MitSetpoint": (MitSetpoint, SETPOINT_FIELDS),
                   "mit_setpoint": (mit_setpoint, SETPOINT_FIELDS)}

PRESETS = {  # model: p_max, v_max, kp_max, kd_max, t_max; in class order
    "dm3507": (12.566, 50.0, 500.0, 5.0, 5.0),
    "dm4310": (12.5, 30.0, 500.0, 5.0, 10.0),
    "dm4310p": (12.5, 50.0, 500.0, 5.0, 10.0),
    "dm4340": (12.5, 10.0, 500.0, 5.0, 28.0),
    "dm4340p": (12.5, 10.0, 500.0, 5.0, 28.0),
    "dm6006": (12.5, 45.0, 500.0, 5.0, 20.0),
    "dm6248p": (12.566, 20.0, 500.0, 5.0, 120.0),
    "dm8006": (12.5, 45.0, 500.0, 5.0, 40.0),
    "dm8009": (12.5, 45.0, 500.0, 5.0, 54.0),
    "dm10010": (12.5, 20.0, 500.0, 5.0, 200.0),
    "dm10010l": (12.5, 25.0, 500.0, 5.0, 200.0),
    "dmg6215": (12.5, 45.0, 500.0, 5.0, 10.0),
    "dmh3510": (12.5, 280.0, 500.0, 5.0, 1.0),
    "dmh6220": (12.5, 45.0, 500.0, 5.0, 10.0),
    "dmjh11": (12.5, 10.0, 500.0, 5.0, 12.0),
}


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def fields(obj, names):
    return tuple(getattr(obj, n) for n in names)


# ---- defaults and presets ---------------------------------------------------

def test_defaults():
    assert fields(MitLimits(), LIMIT_FIELDS) == (12.5, 30.0, 500.0, 5.0, 10.0)
    for make in (MitSetpoint, mit_setpoint):
        sp = make()
        assert type(sp) is MitSetpoint
        assert fields(sp, SETPOINT_FIELDS) == (0.0,) * 5
        assert all(type(v) is float and math.copysign(1, v) == 1 for v in fields(sp, SETPOINT_FIELDS))


def test_presets_in_class_order():
    assert [n for n, v in vars(MitLimits).items() if isinstance(v, staticmethod)] == list(PRESETS)


@pytest.mark.parametrize("name", PRESETS)
def test_preset_values(name):
    a, b = getattr(MitLimits, name)(), getattr(MitLimits(), name)()  # on the class and on an instance
    assert type(a) is MitLimits and type(b) is MitLimits
    assert a is not b and a != b
    assert fields(a, LIMIT_FIELDS) == fields(b, LIMIT_FIELDS) == tuple(f32(v) for v in PRESETS[name])


def test_preset_details():
    assert bits(MitLimits.dm3507().p_max) == 0x41490E56
    assert fields(MitLimits.dm4310(), LIMIT_FIELDS) == fields(MitLimits(), LIMIT_FIELDS)
    assert repr(MitLimits.dm6248p()) == "MitLimits(p_max=12.566, v_max=20, kp_max=500, kd_max=5, t_max=120)"
    with pytest.raises(TypeError, match=r"^MitLimits\.dm4310\(\) takes no arguments \(1 given\)$"):
        MitLimits.dm4310(1)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        MitLimits.dm4310(p_max=1)


# ---- identity, immutability, no pickling -------------------------------------

def test_equality_and_hash_are_by_identity():
    a, b = MitLimits(), MitLimits()
    assert a == a and a != b
    assert hash(a) == object.__hash__(a)
    assert mit_setpoint() != mit_setpoint()
    with pytest.raises(TypeError):
        a < b  # noqa: B015


@pytest.mark.parametrize("cls,names", [(MitLimits, LIMIT_FIELDS), (MitSetpoint, SETPOINT_FIELDS),
                                       (MotorState, STATE_FIELDS)])
def test_properties_declared_in_order(cls, names):
    assert tuple(n for n, v in vars(cls).items() if type(v).__name__ == "getset_descriptor") == names


@pytest.mark.parametrize("make,names", [(MitLimits, LIMIT_FIELDS), (MitSetpoint, SETPOINT_FIELDS)])
def test_properties_are_read_only(make, names):
    obj = make()
    for name in names:
        with pytest.raises(AttributeError, match="not writable"):
            setattr(obj, name, 1.0)
        with pytest.raises(AttributeError, match="not writable"):
            delattr(obj, name)
    assert repr(obj) == repr(make())


@pytest.mark.parametrize("action", [pickle.dumps, lambda o: pickle.dumps(o, 0), copy.copy, copy.deepcopy],
                         ids=["pickle", "pickle0", "copy", "deepcopy"])
@pytest.mark.parametrize("make", [MitLimits, MitSetpoint, MitLimits.dm8009])
def test_no_pickling_or_copying(make, action):
    with pytest.raises(TypeError, match="cannot pickle"):
        action(make())


@pytest.mark.parametrize("args,kwargs", [((), {}), ((1, 2), {}), ((), {"motor_id": 1})])
def test_motor_state_has_no_constructor(args, kwargs):
    with pytest.raises(TypeError) as info:
        MotorState(*args, **kwargs)
    assert type(info.value) is TypeError and str(info.value) == "No constructor defined for MotorState"


# ---- repr ------------------------------------------------------------------

def test_default_reprs():
    assert repr(MitLimits()) == "MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=10)"
    assert repr(MitSetpoint()) == "MitSetpoint(q=0, dq=0, kp=0, kd=0, tau=0)"
    sp = mit_setpoint(tau=5, kd=4, kp=3, dq=2, q=1)
    assert repr(sp) == repr(MitSetpoint(1, 2, 3, 4, 5)) == str(sp) == "MitSetpoint(q=1, dq=2, kp=3, kd=4, tau=5)"
    assert fields(sp, SETPOINT_FIELDS) == (1.0, 2.0, 3.0, 4.0, 5.0)


@pytest.mark.parametrize(
    "value,text",
    [
        (0.1, "0.1"), (12.5, "12.5"), (30, "30"), (0.0, "0"), (-0.0, "-0"), (-2.5, "-2.5"), (0.3, "0.3"),
        (1 / 3, "0.33333334"), (12.566, "12.566"), (16777217, "16777216"), (100.25, "100.25"),
        (1e20, "1" + "0" * 20), (1e-7, "0.0000001"), (-1e-7, "-0.0000001"),
        (3.4028234663852886e38, "34028235" + "0" * 31),
        (2.0**-149, "0." + "0" * 44 + "1"),  # "2e-45" reads back too, "1e-45" is closer
        (2.0**-148, "0." + "0" * 44 + "3"),
        (1e-50, "0"), (-1e-50, "-0"), (1e40, "inf"), (-1e40, "-inf"),
        (math.inf, "inf"), (-math.inf, "-inf"), (math.nan, "NaN"), (-math.nan, "NaN"),
    ],
)
def test_repr_numbers(value, text):
    assert repr(MitLimits(kp_max=value)) == f"MitLimits(p_max=12.5, v_max=30, kp_max={text}, kd_max=5, t_max=10)"
    assert repr(mit_setpoint(tau=value)) == f"MitSetpoint(q=0, dq=0, kp=0, kd=0, tau={text})"


def _rounds_to(candidate, x):
    """Whether the exact decimal `candidate` rounds (nearest-even) to the float32 `x` > 0."""
    b = bits(x)
    lo = (Decimal(struct.unpack("<f", struct.pack("<I", b - 1))[0]) + Decimal(x)) / 2
    up = struct.unpack("<f", struct.pack("<I", b + 1))[0] if b + 1 < 0x7F800000 else 2.0**128
    hi = (Decimal(x) + Decimal(up)) / 2
    return lo < candidate < hi or (b % 2 == 0 and candidate in (lo, hi))


def _bracket(exact, precision):
    """The two decimals of `precision` significant digits around `exact`."""
    step = Decimal(1).scaleb(exact.adjusted() - precision + 1)
    return {exact.quantize(step, rounding=r) for r in (decimal.ROUND_FLOOR, decimal.ROUND_CEILING)}


def test_repr_is_shortest_round_trip_text():
    # Random finite float32 values against an exact oracle: the text reads
    # back to the same float32, no shorter digit string would, and of the
    # strings of that length it is the one closest to the value.
    rng = random.Random(20240601)
    with decimal.localcontext() as ctx:
        ctx.prec = 400
        for _ in range(3000):
            x = struct.unpack("<f", struct.pack("<I", rng.randrange(1, 0x7F800000)))[0]
            negative = rng.random() < 0.5
            text = repr(MitSetpoint(q=-x if negative else x)).removeprefix("MitSetpoint(q=").split(",")[0]
            assert re.fullmatch(r"-?(0|[1-9][0-9]*)(\.[0-9]*[1-9])?", text) and text.startswith("-") == negative, text
            value, exact = Decimal(text.lstrip("-")), Decimal(x)
            digits = len(value.normalize().as_tuple().digits)
            assert _rounds_to(value, x), (x, text)
            assert digits == 1 or not any(_rounds_to(c, x) for c in _bracket(exact, digits - 1)), (x, text)
            best = min((c for c in _bracket(exact, digits) if _rounds_to(c, x)), key=lambda c: abs(c - exact))
            assert abs(value - exact) == abs(best - exact), (x, text, best)


# ---- conversion to float32 ---------------------------------------------------

class Indexable:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Floaty:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v


@pytest.mark.parametrize(
    "arg,expected",
    [
        (3, 3.0), (True, 1.0), (False, 0.0), (Fraction(1, 3), f32(1 / 3)), (Decimal("0.1"), f32(0.1)),
        (Indexable(7), 7.0), (Floaty(2.5), 2.5), (16777217, 16777216.0), (2**200, math.inf), (-(2**200), -math.inf),
        (1e40, math.inf), (-1e40, -math.inf),
        (float.fromhex("0x1.ffffffp127"), math.inf),  # halfway past FLT_MAX rounds to even, i.e. up
        (float.fromhex("0x1.fffffefffffffp127"), float.fromhex("0x1.fffffep127")),
        (1 + 2.0**-24, 1.0), (1 + 3 * 2.0**-24, 1 + 2.0**-22),  # ties to even
        (2.0**-150, 0.0), (2.0**-150 * 1.5, 2.0**-149), (1e-50, 0.0),
    ],
)
@pytest.mark.parametrize("key", FLOAT_CALLABLES)
def test_float_conversion(key, arg, expected):
    make, names = FLOAT_CALLABLES[key]
    got = getattr(make(**{names[2]: arg}), names[2])
    assert type(got) is float
    assert got == expected and math.copysign(1, got) == math.copysign(1, expected)


@pytest.mark.parametrize("key", FLOAT_CALLABLES)
def test_nan_and_signed_zero_are_kept(key):
    make, names = FLOAT_CALLABLES[key]
    obj = make(math.nan, -0.0, -1e-50)
    assert math.isnan(getattr(obj, names[0]))
    assert [math.copysign(1, getattr(obj, n)) for n in names[1:3]] == [-1, -1]


@pytest.mark.parametrize("bad,detail", [
    ("x", "must be real number, not str"), (None, "must be real number, not NoneType"),
    (Indexable("no"), "__index__ returned non-int (type str)")])
@pytest.mark.parametrize("key", FLOAT_CALLABLES)
def test_type_errors_name_the_parameter(key, bad, detail):
    make, names = FLOAT_CALLABLES[key]
    for name in names:
        with pytest.raises(TypeError) as info:
            make(**{name: bad})
        assert type(info.value) is TypeError and str(info.value) == f"argument '{name}': {detail}"


@pytest.mark.parametrize("key", FLOAT_CALLABLES)
def test_first_bad_parameter_in_declared_order_wins(key):
    make, names = FLOAT_CALLABLES[key]
    kwargs = {n: ("x" if i % 2 else None) for i, n in enumerate(names)}
    with pytest.raises(TypeError, match=rf"^argument '{names[0]}': must be real number, not NoneType$"):
        make(**dict(reversed(kwargs.items())))


@pytest.mark.parametrize("with_cause", [True, False])
@pytest.mark.parametrize("key", FLOAT_CALLABLES)
def test_reworded_type_error_keeps_its_cause(key, with_cause):
    make, names = FLOAT_CALLABLES[key]
    cause = KeyError("k")
    err = TypeError("boom")
    if with_cause:
        err.__cause__ = cause
    with pytest.raises(TypeError) as info:
        make(**{names[3]: Floaty(err)})
    assert info.value is not err and type(info.value) is TypeError
    assert str(info.value) == f"argument '{names[3]}': boom"
    assert info.value.__cause__ is (cause if with_cause else None)


class TypeErrorChild(TypeError):
    pass


class ValueErrorChild(ValueError):
    pass


@pytest.mark.parametrize("err", [OverflowError("big"), ValueErrorChild("v"), TypeErrorChild("t"), ZeroDivisionError()],
                         ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("key", FLOAT_CALLABLES)
def test_other_exceptions_pass_unchanged(key, err):
    make, names = FLOAT_CALLABLES[key]
    with pytest.raises(BaseException) as info:
        make(**{names[1]: Floaty(err)})
    assert info.value is err and str(info.value) == str(err)


@pytest.mark.parametrize("key", FLOAT_CALLABLES)
def test_int_too_large_for_a_double(key):
    make, _ = FLOAT_CALLABLES[key]
    with pytest.raises(OverflowError) as info:
        make(10**400)
    assert type(info.value) is OverflowError and str(info.value) == "int too large to convert to float"
