"""dmsim --model: motors driving the joints of a MuJoCo model (sim/tests/pendulum.xml, the
project's own: a pendulum with end stops at +-1.5 rad and a turntable), commanded by a
torvane_ext MotorGroup in MIT mode."""

import math
import time
from pathlib import Path

import pytest

import torvane
import torvane_ext as tx

pytestmark = pytest.mark.bus

REPO = Path(__file__).resolve().parents[3]
MODEL = REPO / "sim" / "tests" / "pendulum.xml"
LIMITS = torvane.MitLimits.dm4310()
UPPER = 1.5  # the pendulum's upper end stop, as the model sets it
# The guest runs physics far slower than a host: wait on what the motors report, with
# room for the simulated time to lag behind the clock.
SETTLE_S = 40.0


def finite(s):
    return all(math.isfinite(v) for v in (s.position, s.velocity, s.torque))


def until(group, setpoints, done):
    """Send the setpoints until done(states) holds; returns the states that made it so."""
    end = time.monotonic() + SETTLE_S
    seen = []
    while time.monotonic() < end:
        states = group.mit_control(setpoints)
        if all(s is not None for s in states):
            assert all(finite(s) for s in states), states
            seen = states
            if done(states):
                return states
        time.sleep(0.01)
    pytest.fail(f"not reached within {SETTLE_S} s; last states {seen}")


def test_a_target_past_the_end_stop_rests_there_and_a_disabled_motor_lets_it_fall(start_dmsim):
    sim = start_dmsim("1:0x11:dm4310@swing", "2:0x12:dm4310@turn", args=["--model", MODEL])
    assert f"; model {MODEL}, 2 joints bound, step 1 ms" in sim.stderr()
    bus = torvane.SocketCanTransport(sim.argv[sim.argv.index("--iface") + 1])
    motors = [torvane.Damiao(i, 0x10 + i, LIMITS, timeout_ms=400) for i in (1, 2)]
    group = tx.MotorGroup(bus, motors, mode=tx.ControlMode.MIT, set_mode=True)
    states = group.enable()
    assert all(s is not None and tx.status(s) is tx.Status.ENABLED for s in states), states

    # 2.5 rad is past the stop: the law asks 20 x 1 N m there, capped at the motor's peak.
    push = [torvane.mit_setpoint(q=2.5, kp=20.0, kd=1.0), torvane.mit_setpoint(q=-0.5, kp=10.0, kd=0.5)]
    swing, turn = until(group, push, lambda st: abs(st[0].position - UPPER) < 0.02 and abs(st[0].velocity) < 0.05
                        and abs(st[1].position + 0.5) < 0.02)
    assert swing.position == pytest.approx(UPPER, abs=0.02)
    assert swing.torque == pytest.approx(LIMITS.t_max, abs=0.01)
    assert turn.torque == pytest.approx(0.0, abs=0.1)

    states = group.disable()
    assert all(s is not None and s.torque == pytest.approx(0.0, abs=0.01) for s in states), states
    end = time.monotonic() + SETTLE_S
    while (state := group.refresh()[0]) is None or state.position > UPPER - 0.3:
        assert time.monotonic() < end, f"still at {state} {SETTLE_S} s after disabling"
        time.sleep(0.05)
    assert finite(state)

    assert sim.stop() == 0
    err = sim.stderr()
    assert "dmsim: physics at exit: " in err and "real-time factor " in err, err
    assert "diverged" not in err, err
