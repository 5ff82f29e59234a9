"""The argument binder shared by every constructor, method and mit_setpoint.

None of these calls gets past binding, so no bus is needed: a binding error
is raised before any argument is converted or type-checked.
"""

import functools

import pytest
from torvane import Damiao, MitLimits, MitSetpoint, SocketCanTransport, mit_setpoint

LIMIT_PARAMS = ("p_max", "v_max", "kp_max", "kd_max", "t_max")
SETPOINT_PARAMS = ("q", "dq", "kp", "kd", "tau")
MOTOR = Damiao(1, 2)

# (callable, display name, parameter names, number required)
CALLABLES = {
    "MitLimits": (MitLimits, "MitLimits.__new__()", LIMIT_PARAMS, 0),
    "MitSetpoint": (MitSetpoint, "MitSetpoint.__new__()", SETPOINT_PARAMS, 0),
    "mit_setpoint": (mit_setpoint, "mit_setpoint()", SETPOINT_PARAMS, 0),
    "Damiao": (Damiao, "Damiao.__new__()", ("motor_id", "master_id", "limits", "timeout_ms"), 2),
    "SocketCanTransport": (SocketCanTransport, "SocketCanTransport.__new__()", ("iface",), 1),
    **{
        m: (getattr(MOTOR, m), f"Damiao.{m}()", ("bus",), 1)
        for m in ("enable", "disable", "set_zero", "clear_error", "ensure_mit_mode")
    },
    "mit_control": (MOTOR.mit_control, "Damiao.mit_control()", ("bus", "setpoint"), 2),
    # Through the class: the descriptor passes the receiver, the binder sees the rest.
    "unbound mit_control": (
        functools.partial(Damiao.mit_control, MOTOR), "Damiao.mit_control()", ("bus", "setpoint"), 2),
}


def raises(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize("extra", [1, 3])
@pytest.mark.parametrize("key", CALLABLES)
def test_too_many_positional(key, extra):
    fn, name, params, required = CALLABLES[key]
    n, given = len(params), len(params) + extra
    if required == n:
        expected = f"{name} takes {n} positional arguments but {given} were given"
    else:
        expected = f"{name} takes from {required} to {n} positional arguments but {given} were given"
    raises(lambda: fn(*[None] * given), expected)


@pytest.mark.parametrize("keyword", ["bogus", "ü", "upper", "nul", "prefix"])
@pytest.mark.parametrize("key", CALLABLES)
def test_unexpected_keyword(key, keyword):
    fn, name, params, _ = CALLABLES[key]
    # Names match whole and case-sensitively.
    keyword = {"upper": params[0].upper(), "nul": params[0] + "\0", "prefix": params[0][:-1]}.get(keyword, keyword)
    raises(lambda: fn(**{keyword: None}), f"{name} got an unexpected keyword argument '{keyword}'")


@pytest.mark.parametrize("key", CALLABLES)
def test_multiple_values(key):
    fn, name, params, _ = CALLABLES[key]
    for i, param in enumerate(params):
        raises(lambda: fn(*[None] * (i + 1), **{param: None}),
               f"{name} got multiple values for argument '{param}'")


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: Damiao(), "Damiao.__new__() missing 2 required positional arguments: 'motor_id' and 'master_id'"),
        (lambda: Damiao(limits=None, timeout_ms=5),
         "Damiao.__new__() missing 2 required positional arguments: 'motor_id' and 'master_id'"),
        (lambda: Damiao(1), "Damiao.__new__() missing 1 required positional argument: 'master_id'"),
        (lambda: Damiao(master_id=1), "Damiao.__new__() missing 1 required positional argument: 'motor_id'"),
        (lambda: SocketCanTransport(), "SocketCanTransport.__new__() missing 1 required positional argument: 'iface'"),
        (lambda: MOTOR.enable(), "Damiao.enable() missing 1 required positional argument: 'bus'"),
        (lambda: MOTOR.disable(), "Damiao.disable() missing 1 required positional argument: 'bus'"),
        (lambda: MOTOR.set_zero(), "Damiao.set_zero() missing 1 required positional argument: 'bus'"),
        (lambda: MOTOR.clear_error(), "Damiao.clear_error() missing 1 required positional argument: 'bus'"),
        (lambda: MOTOR.ensure_mit_mode(), "Damiao.ensure_mit_mode() missing 1 required positional argument: 'bus'"),
        (lambda: MOTOR.mit_control(),
         "Damiao.mit_control() missing 2 required positional arguments: 'bus' and 'setpoint'"),
        (lambda: MOTOR.mit_control(None), "Damiao.mit_control() missing 1 required positional argument: 'setpoint'"),
        (lambda: MOTOR.mit_control(setpoint=None),
         "Damiao.mit_control() missing 1 required positional argument: 'bus'"),
    ],
)
def test_missing_required(call, message):
    # No callable has three required parameters, so the "'a', 'b', and 'c'"
    # form cannot be reached from Python.
    raises(call, message)


@pytest.mark.parametrize(
    "call,message",
    [
        # Too many positional arguments beats every keyword problem.
        (lambda: Damiao(1, 2, 3, 4, 5, bogus=1),
         "Damiao.__new__() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda: MOTOR.enable(1, 2, bus=3), "Damiao.enable() takes 1 positional arguments but 2 were given"),
        (lambda: MitLimits(*"abcdef", p_max=1),
         "MitLimits.__new__() takes from 0 to 5 positional arguments but 6 were given"),
        # A keyword problem beats missing parameters.
        (lambda: Damiao(bogus=1), "Damiao.__new__() got an unexpected keyword argument 'bogus'"),
        (lambda: MOTOR.mit_control(bogus=1), "Damiao.mit_control() got an unexpected keyword argument 'bogus'"),
        (lambda: MOTOR.mit_control(1, bus=2), "Damiao.mit_control() got multiple values for argument 'bus'"),
        # Keywords are checked one at a time, in the order they were passed.
        (lambda: Damiao(1, 2, motor_id=3, bogus=4), "Damiao.__new__() got multiple values for argument 'motor_id'"),
        (lambda: Damiao(1, 2, bogus=4, motor_id=3), "Damiao.__new__() got an unexpected keyword argument 'bogus'"),
        (lambda: MOTOR.mit_control(1, bus=2, bogus=3), "Damiao.mit_control() got multiple values for argument 'bus'"),
        (lambda: MOTOR.mit_control(1, bogus=3, bus=2),
         "Damiao.mit_control() got an unexpected keyword argument 'bogus'"),
        (lambda: mit_setpoint(1, 2, kd=3, dq=4), "mit_setpoint() got multiple values for argument 'dq'"),
        # Binding comes before any conversion or type check.
        (lambda: MitLimits("x", bogus=1), "MitLimits.__new__() got an unexpected keyword argument 'bogus'"),
        (lambda: SocketCanTransport(0, iface="vcan0"),
         "SocketCanTransport.__new__() got multiple values for argument 'iface'"),
        (lambda: MOTOR.enable(bus=None, x=1), "Damiao.enable() got an unexpected keyword argument 'x'"),
        (lambda: Damiao("a", limits=5), "Damiao.__new__() missing 1 required positional argument: 'master_id'"),
    ],
)
def test_violation_precedence(call, message):
    raises(call, message)


@pytest.mark.parametrize(
    "call,text",
    [
        (lambda: MitLimits(1, 2, t_max=7), "MitLimits(p_max=1, v_max=2, kp_max=500, kd_max=5, t_max=7)"),
        (lambda: MitLimits(t_max=7, p_max=1, v_max=2), "MitLimits(p_max=1, v_max=2, kp_max=500, kd_max=5, t_max=7)"),
        (lambda: mit_setpoint(1, 2, tau=5), "MitSetpoint(q=1, dq=2, kp=0, kd=0, tau=5)"),
        (lambda: MitSetpoint(tau=5, dq=2, q=1), "MitSetpoint(q=1, dq=2, kp=0, kd=0, tau=5)"),
        (lambda: Damiao(motor_id=1, master_id=2, timeout_ms=5, limits=None), "Damiao(motor_id=0x1, master_id=0x2)"),
        (lambda: Damiao(3, master_id=4), "Damiao(motor_id=0x3, master_id=0x4)"),
    ],
)
def test_any_parameter_by_position_or_keyword(call, text):
    assert repr(call()) == text
