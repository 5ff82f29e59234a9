"""Damiao and SocketCanTransport construction, and what fails before a bus is needed."""

import copy
import os
import pickle

import pytest
from torvane import Damiao, MitLimits, MitSetpoint, SocketCanTransport
from numlike import Index as Indexable

RANGE = "out of range integral type conversion attempted"
BUS_METHODS = ["enable", "disable", "set_zero", "clear_error", "ensure_mit_mode"]


class MyInt(int):
    pass


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(
    "args,kwargs,motor_id,master_id,text",
    [
        ((1, 0x11), {}, 1, 17, "Damiao(motor_id=0x1, master_id=0x11)"),
        ((0, 0), {}, 0, 0, "Damiao(motor_id=0x0, master_id=0x0)"),
        ((65535, 2047), {}, 65535, 2047, "Damiao(motor_id=0xffff, master_id=0x7ff)"),
        ((0x801, 0x811), {}, 0x801, 0x811, "Damiao(motor_id=0x801, master_id=0x811)"),
        ((True, False), {}, 1, 0, "Damiao(motor_id=0x1, master_id=0x0)"),
        ((Indexable(0xABC), MyInt(0x10)), {}, 0xABC, 0x10, "Damiao(motor_id=0xabc, master_id=0x10)"),
        ((), {"master_id": 5, "motor_id": 6}, 6, 5, "Damiao(motor_id=0x6, master_id=0x5)"),
        ((1, 2, None), {}, 1, 2, "Damiao(motor_id=0x1, master_id=0x2)"),
        ((1, 2), {"limits": MitLimits.dmh3510(), "timeout_ms": 0}, 1, 2, "Damiao(motor_id=0x1, master_id=0x2)"),
        ((1, 2, MitLimits(p_max=-1.0), 2**64 - 1), {}, 1, 2, "Damiao(motor_id=0x1, master_id=0x2)"),
        ((1, 2), {"timeout_ms": True}, 1, 2, "Damiao(motor_id=0x1, master_id=0x2)"),
        ((1, 2), {"timeout_ms": Indexable(1500)}, 1, 2, "Damiao(motor_id=0x1, master_id=0x2)"),
    ],
)
def test_construction(args, kwargs, motor_id, master_id, text):
    d = Damiao(*args, **kwargs)
    assert type(d) is Damiao
    assert (d.motor_id, d.master_id) == (motor_id, master_id)
    assert type(d.motor_id) is int and type(d.master_id) is int
    assert repr(d) == str(d) == text


def test_limits_argument_is_copied():
    limits = MitLimits(p_max=3.0)
    d = Damiao(1, 2, limits)
    del limits
    assert repr(d) == "Damiao(motor_id=0x1, master_id=0x2)"


@pytest.mark.parametrize(
    "args,kwargs,exc,message",
    [
        ((65536, 1), {}, OverflowError, RANGE),
        ((-1, 1), {}, OverflowError, RANGE),
        ((1, 65536), {}, OverflowError, RANGE),
        ((1, -1), {}, OverflowError, RANGE),
        ((Indexable(70000), 1), {}, OverflowError, RANGE),
        ((2**63, 1), {}, OverflowError, "Python int too large to convert to C long"),
        ((1, -(2**70)), {}, OverflowError, "Python int too large to convert to C long"),
        ((1.0, 1), {}, TypeError, "argument 'motor_id': 'float' object cannot be interpreted as an integer"),
        (("1", 1), {}, TypeError, "argument 'motor_id': 'str' object cannot be interpreted as an integer"),
        ((None, 1), {}, TypeError, "argument 'motor_id': 'NoneType' object cannot be interpreted as an integer"),
        ((1, 2.5), {}, TypeError, "argument 'master_id': 'float' object cannot be interpreted as an integer"),
        ((1, Indexable("x")), {}, TypeError, "argument 'master_id': __index__ returned non-int (type str)"),
        ((1, 2, MitSetpoint()), {}, TypeError,
         "argument 'limits': 'MitSetpoint' object cannot be converted to 'MitLimits'"),
        ((1, 2), {"limits": 0}, TypeError, "argument 'limits': 'int' object cannot be converted to 'MitLimits'"),
        ((1, 2), {"limits": MitLimits}, TypeError,
         "argument 'limits': 'type' object cannot be converted to 'MitLimits'"),
        ((1, 2), {"limits": Outer.Inner()}, TypeError,
         "argument 'limits': 'Outer.Inner' object cannot be converted to 'MitLimits'"),
        ((1, 2), {"timeout_ms": None}, TypeError,
         "argument 'timeout_ms': 'NoneType' object cannot be interpreted as an integer"),
        ((1, 2), {"timeout_ms": 1.5}, TypeError,
         "argument 'timeout_ms': 'float' object cannot be interpreted as an integer"),
        ((1, 2), {"timeout_ms": "20"}, TypeError,
         "argument 'timeout_ms': 'str' object cannot be interpreted as an integer"),
        ((1, 2), {"timeout_ms": -1}, OverflowError, "can't convert negative int to unsigned"),
        ((1, 2), {"timeout_ms": Indexable(-5)}, OverflowError, "can't convert negative int to unsigned"),
        ((1, 2), {"timeout_ms": 2**64}, OverflowError, "int too big to convert"),
        # Conversions run in parameter order; the first failure wins.
        (("a", "b"), {"limits": 1, "timeout_ms": None}, TypeError,
         "argument 'motor_id': 'str' object cannot be interpreted as an integer"),
        ((70000, "b"), {"limits": 1}, OverflowError, RANGE),
        ((1, "b"), {"limits": 1, "timeout_ms": None}, TypeError,
         "argument 'master_id': 'str' object cannot be interpreted as an integer"),
        ((1, 2), {"timeout_ms": None, "limits": 1}, TypeError,
         "argument 'limits': 'int' object cannot be converted to 'MitLimits'"),
    ],
)
def test_construction_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        Damiao(*args, **kwargs)
    assert type(info.value) is exc and str(info.value) == message


@pytest.mark.parametrize("param", ["motor_id", "timeout_ms"])
def test_index_errors_follow_the_rewording_rule(param):
    def call(value):
        kwargs = {"motor_id": 1, "master_id": 2, param: value}
        with pytest.raises(BaseException) as info:
            Damiao(**kwargs)
        return info.value

    cause, plain = KeyError("k"), TypeError("nope")
    chained = TypeError("boom")
    chained.__cause__ = cause
    reworded = call(Indexable(chained))
    assert type(reworded) is TypeError and str(reworded) == f"argument '{param}': boom" and reworded.__cause__ is cause
    assert call(Indexable(plain)).__cause__ is None

    class Sub(TypeError):
        pass

    for err in (Sub("s"), ValueError("v"), OverflowError("o")):
        assert call(Indexable(err)) is err


def test_configuration_is_not_readable_or_writable():
    d = Damiao(1, 2, MitLimits(), 30)
    for name in ("limits", "timeout_ms", "timeout"):
        with pytest.raises(AttributeError):
            getattr(d, name)
    for name in ("motor_id", "master_id"):
        with pytest.raises(AttributeError, match="not writable"):
            setattr(d, name, 3)
        with pytest.raises(AttributeError, match="not writable"):
            delattr(d, name)
    assert (d.motor_id, d.master_id) == (1, 2)


def test_identity_semantics_and_no_pickling():
    a, b = Damiao(1, 2), Damiao(1, 2)
    assert a != b and a == a and hash(a) == object.__hash__(a)
    for action in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match="cannot pickle"):
            action(a)


@pytest.mark.parametrize(
    "bus,type_name",
    [(None, "NoneType"), (0, "int"), ("vcan0", "str"), (MitLimits(), "MitLimits"), (Damiao(1, 2), "Damiao"),
     (SocketCanTransport, "type"), (Outer.Inner(), "Outer.Inner")],
)
@pytest.mark.parametrize("method", BUS_METHODS + ["mit_control"])
def test_bus_is_checked_before_anything_else(method, bus, type_name):
    d = Damiao(1, 2)
    extra = {"setpoint": MitLimits()} if method == "mit_control" else {}  # a bad setpoint too: bus first
    with pytest.raises(TypeError) as info:
        getattr(d, method)(bus=bus, **extra)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument 'bus': '{type_name}' object cannot be converted to 'SocketCanTransport'"


# ---- SocketCanTransport: failures that happen before any CAN socket ---------

@pytest.mark.parametrize(
    "iface,type_name", [(0, "int"), (None, "NoneType"), (b"vcan0", "bytes"), (bytearray(b"x"), "bytearray"),
                        (Outer.Inner(), "Outer.Inner")])
def test_transport_needs_a_str(iface, type_name):
    for call in (lambda: SocketCanTransport(iface), lambda: SocketCanTransport(iface=iface)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == f"argument 'iface': '{type_name}' object cannot be converted to 'PyString'"


class MyStr(str):
    pass


@pytest.mark.parametrize(
    "iface,message",
    [
        ("torvane-nx0", "No such device (os error 19)"),
        ("", "No such device (os error 19)"),
        (MyStr("torvane-nx1"), "No such device (os error 19)"),
        ("x" * 40, "No such device (os error 19)"),
        ("vcan0\0", "Invalid argument (os error 22)"),
        ("lo\0x", "Invalid argument (os error 22)"),  # "lo" exists: the whole name must be refused
        ("\0", "Invalid argument (os error 22)"),
    ],
)
def test_transport_open_errors(iface, message):
    for call in (lambda: SocketCanTransport(iface), lambda: SocketCanTransport(iface=iface)):
        with pytest.raises(OSError) as info:
            call()
        e = info.value
        assert type(e) is OSError
        assert str(e) == message and e.args == (message,)
        assert e.errno is None and e.strerror is None


def test_transport_unencodable_name_raises_the_codec_error():
    with pytest.raises(UnicodeEncodeError) as info:
        SocketCanTransport("vcan\ud800")
    e = info.value
    assert type(e) is UnicodeEncodeError and e.encoding == "utf-8" and e.reason == "surrogates not allowed"
    assert e.__cause__ is None


def _open_fds():
    return sorted(os.listdir("/proc/self/fd"))


def test_failed_opens_leave_no_descriptor_behind():
    # "lo" exists everywhere but is no CAN interface: whether CAN sockets
    # work on this kernel or not, the open fails after the name lookup.
    before = _open_fds()
    for name in ["lo", "torvane-nx0", "lo\0", "\ud800", 0] * 20:
        with pytest.raises((OSError, UnicodeEncodeError, TypeError)):
            SocketCanTransport(name)
    assert _open_fds() == before
