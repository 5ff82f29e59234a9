"""What the logging bridge shows from Python: importing torvane imports
`logging`, a missing `logging` fails the import, and the module itself never
logs. Each case runs in a fresh interpreter, since the suite has imported
both modules already."""

import subprocess
import sys
import textwrap


def python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120,
    )


def test_import_imports_logging():
    result = python("""
        import sys
        assert "logging" not in sys.modules
        import torvane
        print("logging" in sys.modules)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True\n"


def test_import_fails_without_logging_and_succeeds_once_it_is_back():
    result = python("""
        import sys
        sys.modules["logging"] = None
        try:
            import torvane
        except BaseException as e:
            print(type(e).__name__, isinstance(e, Exception))
            print(str(e))
        else:
            print("imported")
        assert "torvane" not in sys.modules
        del sys.modules["logging"]
        import torvane
        print(torvane.__version__)
    """)
    assert result.returncode == 0, result.stderr
    kind, message, version = result.stdout.splitlines()
    assert kind == "PanicException False"
    assert message.startswith("Failed to initialize python logging")
    assert version == "1.0.1"


# Everything the module offers that works without a CAN bus, including the
# failures of its bus-bound parts.
EXERCISE = """
    import logging
    import sys

    records = []

    class Keep(logging.Handler):
        def emit(self, record):
            records.append(record)

    root = logging.getLogger()
    root.setLevel(1)
    root.addHandler(Keep(level=1))
    logging.basicConfig(level=1, stream=sys.stderr)

    import torvane

    def fails(call, kind):
        try:
            call()
        except kind:
            return
        raise AssertionError(f"{call} did not raise {kind}")

    limits = torvane.MitLimits(p_max=1.0, v_max=2.0, kp_max=3.0, kd_max=4.0, t_max=5.0)
    repr(limits), limits.p_max, limits.v_max, limits.kp_max, limits.kd_max, limits.t_max
    for name in ["dm3507", "dm4310", "dm4310p", "dm4340", "dm4340p", "dm6006", "dm6248p", "dm8006",
                 "dm8009", "dm10010", "dm10010l", "dmg6215", "dmh3510", "dmh6220", "dmjh11"]:
        repr(getattr(torvane.MitLimits, name)())
    setpoint = torvane.MitSetpoint(q=1.0, dq=2.0, kp=3.0, kd=4.0, tau=5.0)
    repr(setpoint), setpoint.q, setpoint.dq, setpoint.kp, setpoint.kd, setpoint.tau
    repr(torvane.mit_setpoint(1.0, tau=2.0))
    motor = torvane.Damiao(1, 0x11, limits=limits, timeout_ms=5)
    repr(motor), motor.motor_id, motor.master_id
    repr(torvane.Damiao(2, 0x12, None))

    fails(lambda: torvane.SocketCanTransport("tv-no-such0"), OSError)
    fails(lambda: torvane.MotorState(), TypeError)
    fails(lambda: torvane.Damiao(), TypeError)
    fails(lambda: torvane.Damiao(70000, 1), OverflowError)
    fails(lambda: torvane.mit_setpoint(q="x"), TypeError)
    for method in ["enable", "disable", "set_zero", "clear_error", "ensure_mit_mode"]:
        fails(lambda: getattr(motor, method)(object()), TypeError)
    fails(lambda: motor.mit_control(object(), setpoint), TypeError)

    print(len(records))
"""


def test_module_writes_no_log_records():
    result = python(EXERCISE)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "0\n"
    assert result.stderr == ""
