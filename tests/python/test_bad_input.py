"""Bad input that needs no bus, beyond what test_damiao_ctor, test_values and
test_binding cover: every integer and float parameter against the whole
range of wrong values (huge integers, NaN and infinities, numbers of other
kinds, objects whose __index__ or __float__ misbehave), exceptions with odd
messages inside conversions, keyword names that are not plain strings, and
objects made without their constructor. The bus methods' cases are in
bus/test_bad_input_bus.py, where a peer can see that nothing was sent.
"""

import math
import warnings
from decimal import Decimal
from fractions import Fraction

import pytest
from torvane import Damiao, MitLimits, MitSetpoint, MotorState, SocketCanTransport, mit_setpoint
from numlike import Index

RANGE = "out of range integral type conversion attempted"
C_LONG = "Python int too large to convert to C long"
NEGATIVE = "can't convert negative int to unsigned"
TOO_BIG = "int too big to convert"
NOT_INT = "'{}' object cannot be interpreted as an integer"


class Real:
    """__float__ gives back `v`, or raises it when it is an exception."""

    def __init__(self, v):
        self.v = v

    def __float__(self):
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v

    def __repr__(self):
        return f"Real({self.v!r})"


class Unprintable:
    def __str__(self):
        raise LookupError("no text for this one")


class FloatChild(float):
    pass


class StrChild(str):
    pass


# ---- integer parameters -----------------------------------------------------

ID_PARAMS = ["motor_id", "master_id"]


def damiao_with(param, value):
    kwargs = {"motor_id": 1, "master_id": 2, param: value}
    return Damiao(**kwargs)


# (value, exception type, message for the identifiers, message for timeout_ms)
INT_CASES = [
    (2**64, OverflowError, C_LONG, TOO_BIG),
    (2**1000, OverflowError, C_LONG, TOO_BIG),
    (-(2**1000), OverflowError, C_LONG, NEGATIVE),
    (-(2**63), OverflowError, RANGE, NEGATIVE),  # fits a C long, below 0
    (2**63 - 1, OverflowError, RANGE, None),  # fits a C long, above 65535; a valid timeout
    (Index(2**1000), OverflowError, C_LONG, TOO_BIG),
    (Index(-1), OverflowError, RANGE, NEGATIVE),
    (math.nan, TypeError, NOT_INT.format("float"), NOT_INT.format("float")),
    (math.inf, TypeError, NOT_INT.format("float"), NOT_INT.format("float")),
    (-math.inf, TypeError, NOT_INT.format("float"), NOT_INT.format("float")),
    (1 + 2j, TypeError, NOT_INT.format("complex"), NOT_INT.format("complex")),
    (Decimal(1), TypeError, NOT_INT.format("decimal.Decimal"), NOT_INT.format("decimal.Decimal")),
    (Fraction(2, 1), TypeError, NOT_INT.format("Fraction"), NOT_INT.format("Fraction")),
    (b"\x01", TypeError, NOT_INT.format("bytes"), NOT_INT.format("bytes")),
    ("\ud800", TypeError, NOT_INT.format("str"), NOT_INT.format("str")),
    ([1], TypeError, NOT_INT.format("list"), NOT_INT.format("list")),
    (Index(1.5), TypeError, "__index__ returned non-int (type float)", "__index__ returned non-int (type float)"),
    (Index(None), TypeError, "__index__ returned non-int (type NoneType)",
     "__index__ returned non-int (type NoneType)"),
    (Real(1.0), TypeError, NOT_INT.format("Real"), NOT_INT.format("Real")),  # __float__ is no integer
]


@pytest.mark.parametrize("value, exc, id_message, timeout_message", INT_CASES, ids=repr)
@pytest.mark.parametrize("param", [*ID_PARAMS, "timeout_ms"])
def test_integer_parameters_refuse_bad_values(param, value, exc, id_message, timeout_message):
    message = timeout_message if param == "timeout_ms" else id_message
    if message is None:
        damiao_with(param, value)
        return
    with pytest.raises(exc) as info:
        damiao_with(param, value)
    assert type(info.value) is exc
    expected = f"argument '{param}': {message}" if exc is TypeError else message
    assert str(info.value) == expected


@pytest.mark.parametrize("param", [*ID_PARAMS, "timeout_ms"])
def test_integer_parameter_edges_are_accepted(param):
    top = 2**64 - 1 if param == "timeout_ms" else 0xFFFF
    for value in (0, top, Index(top), True):
        d = damiao_with(param, value)
        if param != "timeout_ms":
            assert getattr(d, param) == int(value)


# ---- float parameters -------------------------------------------------------

FLOAT_CALLABLES = {
    "MitLimits": (MitLimits, ("p_max", "v_max", "kp_max", "kd_max", "t_max")),
    "MitSetpoint": (MitSetpoint, ("q", "dq", "kp", "kd", "tau")),
    "mit_setpoint": (mit_setpoint, ("q", "dq", "kp", "kd", "tau")),
}
FLOAT_PARAMS = [(key, name) for key, (_, names) in FLOAT_CALLABLES.items() for name in names]

FLOAT_REFUSED = [
    (2**1024, OverflowError, "int too large to convert to float"),
    (-(10**400), OverflowError, "int too large to convert to float"),
    (Index(2**2000), OverflowError, "int too large to convert to float"),
    (1 + 2j, TypeError, "must be real number, not complex"),
    (b"1.0", TypeError, "must be real number, not bytes"),
    ("1.0", TypeError, "must be real number, not str"),
    ([1.0], TypeError, "must be real number, not list"),
    (object(), TypeError, "must be real number, not object"),
    (Real("1.0"), TypeError, "Real.__float__ returned non-float (type str)"),
    (Real(1), TypeError, "Real.__float__ returned non-float (type int)"),
    (Real(None), TypeError, "Real.__float__ returned non-float (type NoneType)"),
    (Index(0.5), TypeError, "__index__ returned non-int (type float)"),
]


@pytest.mark.parametrize("value, exc, message", FLOAT_REFUSED, ids=repr)
@pytest.mark.parametrize("key, param", FLOAT_PARAMS)
def test_float_parameters_refuse_bad_values(key, param, value, exc, message):
    make, _ = FLOAT_CALLABLES[key]
    with pytest.raises(exc) as info:
        make(**{param: value})
    assert type(info.value) is exc
    assert str(info.value) == (f"argument '{param}': {message}" if exc is TypeError else message)


# Odd but valid: stored as the nearest 32-bit float, nothing refused.
FLOAT_ACCEPTED = [
    (math.nan, math.nan), (-math.nan, math.nan), (math.inf, math.inf), (-math.inf, -math.inf),
    (-(2**1000), -math.inf), (2**1000, math.inf), (Decimal("-Infinity"), -math.inf), (Decimal("NaN"), math.nan),
    (Fraction(1, 3), 0.3333333432674408), (FloatChild(2.5), 2.5), (Real(math.inf), math.inf),
    (Index(2**200), math.inf), (-0.0, -0.0), (5e-324, 0.0),
]


@pytest.mark.parametrize("value, stored", FLOAT_ACCEPTED, ids=repr)
@pytest.mark.parametrize("key, param", FLOAT_PARAMS)
def test_float_parameters_store_odd_values(key, param, value, stored):
    make, _ = FLOAT_CALLABLES[key]
    got = getattr(make(**{param: value}), param)
    if math.isnan(stored):
        assert math.isnan(got)
    else:
        assert got == stored and math.copysign(1, got) == math.copysign(1, stored)


# ---- conversions that misbehave ---------------------------------------------

# Every conversion hook the module calls, with the parameter it feeds.
HOOKS = [
    ("Damiao motor_id", lambda v: Damiao(Index(v), 1), "motor_id"),
    ("Damiao master_id", lambda v: Damiao(1, master_id=Index(v)), "master_id"),
    ("Damiao timeout_ms", lambda v: Damiao(1, 2, timeout_ms=Index(v)), "timeout_ms"),
    ("MitLimits __float__", lambda v: MitLimits(kd_max=Real(v)), "kd_max"),
    ("MitSetpoint __index__", lambda v: MitSetpoint(tau=Index(v)), "tau"),
    ("mit_setpoint __float__", lambda v: mit_setpoint(1, 2, Real(v)), "kp"),
]


@pytest.mark.parametrize("name, call, param", HOOKS, ids=[h[0] for h in HOOKS])
def test_type_error_with_an_unencodable_message_is_reworded(name, call, param):
    with pytest.raises(TypeError) as info:
        call(TypeError("bad \ud800 value"))
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{param}': bad \ud800 value"


@pytest.mark.parametrize("name, call, param", HOOKS, ids=[h[0] for h in HOOKS])
def test_type_error_without_text_keeps_the_original_in_view(name, call, param):
    # The reworded message cannot be made when the original has no text:
    # the failure to make it surfaces, with the original as its context.
    original = TypeError(Unprintable())
    with pytest.raises(LookupError) as info:
        call(original)
    assert str(info.value) == "no text for this one"
    assert info.value.__context__ is original


@pytest.mark.parametrize("name, call, param", HOOKS, ids=[h[0] for h in HOOKS])
@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), MemoryError(), RecursionError("deep")],
                         ids=lambda e: type(e).__name__)
def test_base_exceptions_from_a_hook_pass_unchanged(name, call, param, exc):
    with pytest.raises(BaseException) as info:
        call(exc)
    assert info.value is exc


@pytest.mark.parametrize("name, call, param", HOOKS, ids=[h[0] for h in HOOKS])
def test_deprecated_subclass_results_follow_the_warning_filter(name, call, param):
    # __index__ returning a bool, __float__ a float subclass: a
    # DeprecationWarning, which an "error" filter turns into the failure.
    value = FloatChild(1.0) if "__float__" in name else True
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as info:
            call(value)
    assert type(info.value) is DeprecationWarning and "deprecated" in str(info.value)
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always", DeprecationWarning)
        call(value)
    assert [w.category for w in seen] == [DeprecationWarning]


# ---- keyword names ------------------------------------------------------------

@pytest.mark.parametrize("call, display", [
    (lambda kw: mit_setpoint(**kw), "mit_setpoint()"),
    (lambda kw: MitLimits(**kw), "MitLimits.__new__()"),
    (lambda kw: Damiao(1, 2, **kw), "Damiao.__new__()"),
    (lambda kw: SocketCanTransport(**kw), "SocketCanTransport.__new__()"),
    (lambda kw: Damiao(1, 2).enable(**kw), "Damiao.enable()"),
])
@pytest.mark.parametrize("keyword", ["\ud800", "q\udcff", "\0", "p_max ", "ΔΤ"])
def test_odd_keyword_names_are_reported_as_given(call, display, keyword):
    with pytest.raises(TypeError) as info:
        call({keyword: 1})
    assert str(info.value) == f"{display} got an unexpected keyword argument '{keyword}'"


def test_keyword_names_match_by_value_whatever_their_type_or_identity():
    built = "".join(["mas", "ter_id"])  # equal, not the same object
    assert repr(Damiao(**{StrChild("motor_id"): 3, built: 4})) == "Damiao(motor_id=0x3, master_id=0x4)"
    assert mit_setpoint(**{StrChild("tau"): 2.0}).tau == 2.0
    assert MitLimits(**{"".join(["t_", "max"]): 7}).t_max == 7.0


# ---- objects made without their constructor -----------------------------------

@pytest.mark.parametrize("cls", [MitLimits, MitSetpoint, MotorState, Damiao, SocketCanTransport],
                         ids=lambda c: c.__name__)
def test_no_instance_without_its_own_constructor(cls):
    # An instance that skipped __new__ would hold garbage: a socket number
    # that was never opened, a lock never built.
    with pytest.raises(TypeError, match=r"is not safe, use torvane\.\w+\.__new__\(\)$"):
        object.__new__(cls)
    other = MitSetpoint if cls is MitLimits else MitLimits
    for wrong in (object, int, other):
        with pytest.raises(TypeError, match="is not a subtype of"):
            cls.__new__(wrong)
    with pytest.raises(TypeError):
        cls.__new__()


# ---- SocketCanTransport names -------------------------------------------------

@pytest.mark.parametrize("name", ["x" * (1 << 20), "vcan0 ", " vcan0", "VCAN0", "vcan0\n", "ΔΤ0", "../vcan0"],
                         ids=["1MiB", "trailing-space", "leading-space", "upper", "newline", "greek", "path"])
def test_names_no_interface_has(name):
    with pytest.raises(OSError) as info:
        SocketCanTransport(StrChild(name))
    assert type(info.value) is OSError and str(info.value) == "No such device (os error 19)"


@pytest.mark.parametrize("name", ["\udcff", "vcan\ud800\udc00", "\udfff" * 3])
def test_unencodable_names_raise_the_codec_error(name):
    with pytest.raises(UnicodeEncodeError) as info:
        SocketCanTransport(iface=StrChild(name))
    assert info.value.encoding == "utf-8" and info.value.reason == "surrogates not allowed"
