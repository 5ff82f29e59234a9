"""Bad input to the bus methods, with a real bus and a peer watching it:
every refused call raises its documented error and puts nothing on the bus,
and odd but valid values (NaN, infinities, huge timeouts) go out as the
codec defines them.
"""

import math

import pytest

import torvane
from canpeer import IFACE, Peer

pytestmark = pytest.mark.bus

FEEDBACK = bytes.fromhex("0180008008001E20")
METHODS = ["enable", "disable", "set_zero", "clear_error", "ensure_mit_mode", "mit_control"]


@pytest.fixture
def bus():
    return torvane.SocketCanTransport(IFACE)


@pytest.fixture
def peer():
    p = Peer()
    yield p
    p.close()


class Outer:
    class Inner:
        pass


def args_for(method, bus, setpoint):
    return (bus, setpoint) if method == "mit_control" else (bus,)


# ---- refused: nothing reaches the bus ---------------------------------------

WRONG_SETPOINTS = [
    (None, "NoneType"), (0, "int"), (math.nan, "float"), ((0.0,) * 5, "tuple"), ({"q": 0.0}, "dict"),
    ("\ud800", "str"), (torvane.MitLimits(), "MitLimits"), (torvane.MitSetpoint, "type"),
    (Outer.Inner(), "Outer.Inner"),
]


@pytest.mark.parametrize("value, type_name", WRONG_SETPOINTS, ids=lambda v: type(v).__name__)
def test_wrong_setpoint_sends_nothing(bus, peer, value, type_name):
    motor = torvane.Damiao(1, 0x11, timeout_ms=50)
    for call in (lambda: motor.mit_control(bus, value), lambda: motor.mit_control(setpoint=value, bus=bus)):
        with pytest.raises(TypeError) as info:
            call()
        assert type(info.value) is TypeError
        assert str(info.value) == f"argument 'setpoint': '{type_name}' object cannot be converted to 'MitSetpoint'"
    assert peer.drain() == []


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("call, message", [
    (lambda m, name, a: getattr(m, name)(*a, a[0]), "takes {n} positional arguments but {g} were given"),
    (lambda m, name, a: getattr(m, name)(*a, bogus=1), "got an unexpected keyword argument 'bogus'"),
    (lambda m, name, a: getattr(m, name)(*a, bus=a[0]), "got multiple values for argument 'bus'"),
    (lambda m, name, a: getattr(m, name)(*a, **{"\ud800": 1}), "got an unexpected keyword argument '\ud800'"),
], ids=["extra-positional", "unexpected-keyword", "repeated-keyword", "unencodable-keyword"])
def test_binding_errors_with_a_real_bus_send_nothing(bus, peer, method, call, message):
    motor = torvane.Damiao(1, 0x11, timeout_ms=50)
    args = args_for(method, bus, torvane.MitSetpoint())
    expected = f"Damiao.{method}() " + message.format(n=len(args), g=len(args) + 1)
    with pytest.raises(TypeError) as info:
        call(motor, method, args)
    assert str(info.value) == expected
    assert peer.drain() == []


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("receiver", [None, 1, torvane.MitLimits(), "bus"], ids=repr)
def test_foreign_receiver_with_a_real_bus_sends_nothing(bus, peer, method, receiver):
    if receiver == "bus":
        receiver = bus
    with pytest.raises(TypeError, match=rf"^descriptor '{method}' for 'torvane\.Damiao' objects doesn't apply"):
        getattr(torvane.Damiao, method)(receiver, *args_for(method, bus, torvane.MitSetpoint()))
    assert peer.drain() == []


# Limits the encoder refuses: each field negative or NaN, with the pair the
# message names. -0.0 and infinities are not refused (below).
REFUSED_LIMITS = [
    ("p_max", -1.0, "min = 1.0, max = -1.0"),
    ("p_max", math.nan, "min = NaN, max = NaN"),
    ("v_max", -0.5, "min = 0.5, max = -0.5"),
    ("v_max", math.nan, "min = NaN, max = NaN"),
    ("kp_max", -1e-45, f"min = 0.0, max = -0.{'0' * 44}1"),  # the smallest float32
    ("kp_max", math.nan, "min = 0.0, max = NaN"),
    ("kd_max", -math.inf, "min = 0.0, max = -inf"),
    ("kd_max", math.nan, "min = 0.0, max = NaN"),
    ("t_max", -1e40, "min = inf, max = -inf"),
    ("t_max", math.nan, "min = NaN, max = NaN"),
]


@pytest.mark.parametrize("field, value, pair", REFUSED_LIMITS, ids=lambda v: str(v))
def test_refused_limits_send_nothing(bus, peer, field, value, pair):
    motor = torvane.Damiao(1, 0x11, torvane.MitLimits(**{field: value}), 50)
    with pytest.raises(ValueError) as info:
        motor.mit_control(bus, torvane.MitSetpoint())
    assert str(info.value) == f"min > max, or either was NaN. {pair}"
    assert peer.drain() == []
    # The motor's other commands use no limits to send, and the bus is fine.
    peer.send(0x11, FEEDBACK)
    assert motor.enable(bus).t_mos == 30


# ---- odd but valid: sent as the codec defines -----------------------------------

@pytest.mark.parametrize("limits, setpoint, wire", [
    # NaN codes as 0; infinities clamp to the field's bounds.
    (torvane.MitLimits(), torvane.mit_setpoint(q=math.nan, dq=math.inf, kp=-math.inf, kd=math.nan, tau=-math.inf),
     "0000FFF000000000"),
    (torvane.MitLimits(), torvane.mit_setpoint(q=-math.inf, dq=-math.inf, kp=math.inf, kd=math.inf, tau=math.inf),
     "0000000FFFFFFFFF"),
    # Huge integers become infinities on the way in, then clamp the same way.
    (torvane.MitLimits(), torvane.mit_setpoint(q=2**1000, dq=-(2**1000), kp=2**200, kd=-(2**64), tau=2**64),
     "FFFF000FFF000FFF"),
    # Infinite and signed-zero limits are valid: their fields code as 0.
    (torvane.MitLimits(p_max=math.inf, kp_max=-0.0, t_max=0.0), torvane.mit_setpoint(q=1, kp=1, tau=1),
     "00007FF000000000"),
])
def test_odd_values_go_out_as_encoded(bus, peer, limits, setpoint, wire):
    peer.send(0x11, FEEDBACK)
    torvane.Damiao(1, 0x11, limits, 1000).mit_control(bus, setpoint)
    assert peer.drain() == [(0x001, bytes.fromhex(wire), False)]


@pytest.mark.parametrize("timeout_ms", [2**64 - 1, 2**63, 2**32 * 1000, 10**18])
def test_huge_timeouts_wait_for_the_reply(bus, peer, timeout_ms):
    # Seconds beyond what the socket's timeout can hold are capped, never
    # refused: the queued reply is returned at once.
    peer.send(0x11, FEEDBACK)
    assert torvane.Damiao(1, 0x11, timeout_ms=timeout_ms).enable(bus).t_mos == 30
    assert peer.drain() == [(0x001, bytes.fromhex("FFFFFFFFFFFFFFFC"), False)]


@pytest.mark.parametrize("ids, sent_to", [((0x7FF + 1, 0x11), 0x000), ((0xFFFF, 0x11), 0x7FF)])
def test_identifiers_beyond_eleven_bits_are_masked_not_refused(bus, peer, ids, sent_to):
    peer.send(0x11, FEEDBACK)
    torvane.Damiao(*ids, timeout_ms=1000).enable(bus)
    assert peer.drain() == [(sent_to, bytes.fromhex("FFFFFFFFFFFFFFFC"), False)]
