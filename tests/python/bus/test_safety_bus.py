"""Safety on torvane_ext's groups and robots, against dmsim on vcan: faults
by name and each on_fault reaction, a stop however a with block is left
(return, exception, a real SIGINT mid-tick), the motors' own watchdog when
the controller is killed, the control mode checked before enabling, and
limits no frame on the wire crosses."""

import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import torvane
import torvane_ext as tx
from canpeer import IFACE, Peer
from motorframes import DISABLE, ENABLE

pytestmark = pytest.mark.bus

LIMITS = torvane.MitLimits.dm4310()
FAULTS = {"overvoltage": tx.Status.OVERVOLTAGE, "undervoltage": tx.Status.UNDERVOLTAGE,
          "overcurrent": tx.Status.OVERCURRENT, "overload": tx.Status.OVERLOAD,
          "mos_overtemp": tx.Status.MOS_OVERTEMP, "rotor_overtemp": tx.Status.ROTOR_OVERTEMP}


def arm(n=3, timeout_ms=1000):
    return [torvane.Damiao(i, 0x10 + i, LIMITS, timeout_ms=timeout_ms) for i in range(1, n + 1)]


def sim_args(n=3):
    return [f"{i}:0x{0x10 + i:x}:dm4310" for i in range(1, n + 1)]


@pytest.fixture
def bus():
    return torvane.SocketCanTransport(IFACE)


@pytest.fixture
def peer():
    p = Peer(timeout=1.0)
    yield p
    p.close()


def commands(frames, data):
    """The command ids of the fixed command `data` among `frames`, in order."""
    return [i for i, d, _ in frames if bytes(d) == data]


def wait_for(check, seconds=5.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if check():
            return True
        time.sleep(0.05)
    return False


# ---- faults by name --------------------------------------------------------------------

@pytest.mark.parametrize("name", FAULTS)
def test_an_injected_fault_reaches_python_by_name(start_dmsim, bus, name):
    start_dmsim(*sim_args(2), args=["--fault", f"2:{name}@0.3"])
    group = tx.MotorGroup(bus, arm(2))
    group.enable()
    assert wait_for(lambda: (s := group.refresh()[1]) is not None and s.error == FAULTS[name])
    assert tx.status(tx.refresh(bus, arm(2)[1])) is FAULTS[name]
    assert group.faults() == {1: FAULTS[name]} and FAULTS[name].is_fault
    assert tx.status(group.last_states[0]) is tx.Status.ENABLED


@pytest.mark.parametrize("on_fault", ["raise", "disable"])
def test_on_fault_raises_after_the_tick_and_disable_stops_every_motor_first(start_dmsim, bus, peer, on_fault):
    start_dmsim(*sim_args(3), args=["--fault", "3:overcurrent@0.5"])
    group = tx.MotorGroup(bus, arm(3), on_fault=on_fault)
    group.enable()
    peer.drain(0.2)
    with pytest.raises(tx.MotorFault) as err:
        end = time.monotonic() + 20
        while time.monotonic() < end:
            group.refresh()
            time.sleep(0.01)
    assert err.value.faults == {2: tx.Status.OVERCURRENT}
    assert err.value.states[2].error == tx.Status.OVERCURRENT
    assert [s.motor_id for s in err.value.states] == [1, 2, 3]
    assert "motor 2 OVERCURRENT" in str(err.value)
    disabled = commands(peer.drain(0.3), DISABLE)
    # The faulted motor keeps the group raising; the others are asked one by one.
    others = [tx.status(tx.refresh(bus, m)) for m in arm(3)[:2]]
    if on_fault == "disable":
        assert disabled[:3] == [1, 2, 3]
        assert others == [tx.Status.DISABLED] * 2
    else:
        assert disabled == []
        assert others == [tx.Status.ENABLED] * 2
        with pytest.raises(tx.MotorFault):
            group.refresh()


def test_report_only_records(start_dmsim, bus):
    start_dmsim(*sim_args(2), args=["--fault", "1:overload@0.2"])
    group = tx.MotorGroup(bus, arm(2))
    group.enable()
    time.sleep(0.4)
    states = group.refresh()
    assert states[0].error == tx.Status.OVERLOAD and group.faults() == {0: tx.Status.OVERLOAD}


# ---- a stop however the block is left -------------------------------------------------------

def run_block(group, how):
    def body():
        with group as g:
            g.enable()
            g.refresh()
            if how == "return":
                return
            raise ValueError("the controller failed")
    if how == "exception":
        with pytest.raises(ValueError, match="controller failed"):
            body()
    else:
        body()


@pytest.mark.parametrize("how", ["return", "exception"])
@pytest.mark.parametrize("kind", ["group", "robot"])
def test_leaving_a_with_block_disables_every_motor(start_dmsim, bus, peer, how, kind):
    start_dmsim(*sim_args(3))
    group = tx.MotorGroup(bus, arm(3))
    target = group if kind == "group" else tx.Robot([group])
    peer.drain(0.2)
    run_block(target, how)
    frames = peer.drain(0.3)
    assert commands(frames, ENABLE) == [1, 2, 3]
    assert commands(frames, DISABLE)[:3] == [1, 2, 3]
    assert [tx.status(s) for s in group.refresh()] == [tx.Status.DISABLED] * 3


def test_keep_leaves_the_motors_enabled_and_close_refuses_later_calls(start_dmsim, bus, peer):
    start_dmsim(*sim_args(2))
    group = tx.MotorGroup(bus, arm(2), on_exit="keep")
    with group:
        group.enable()
    assert [tx.status(s) for s in group.refresh()] == [tx.Status.ENABLED] * 2
    peer.drain(0.2)
    group.close()
    assert commands(peer.drain(0.3), DISABLE)[:2] == [1, 2]
    with pytest.raises(RuntimeError, match="closed"):
        group.refresh()
    group.close()  # a second close does nothing


def test_motors_that_never_confirm_are_named(start_dmsim, bus):
    start_dmsim(*sim_args(2))
    group = tx.MotorGroup(bus, arm(3, timeout_ms=500))  # motor 3 is not played
    with pytest.warns(RuntimeWarning, match="motors 2 did not confirm"):
        with pytest.raises(tx.MotorTimeout, match="motors 2 did not confirm"):
            with group:
                group.refresh()
    # A block that already raised keeps its own error; the warning still names them.
    with pytest.warns(RuntimeWarning, match="motors 2"):
        with pytest.raises(KeyError):
            with group:
                raise KeyError("mine")


CONTROLLER = textwrap.dedent("""
    import sys, time, torvane, torvane_ext as tx
    limits = torvane.MitLimits.dm4310()
    bus = torvane.SocketCanTransport(sys.argv[1])
    arm = [torvane.Damiao(i, 0x10 + i, limits, timeout_ms=1000) for i in (1, 2, 3)]
    watchdog = int(sys.argv[2]) or None
    with tx.MotorGroup(bus, arm, watchdog_ms=watchdog, mode=tx.ControlMode.MIT, set_mode=True) as group:
        group.enable()
        print("ticking", flush=True)
        while True:
            group.mit_control([torvane.mit_setpoint(q=0.2, kp=5, kd=0.5)] * 3)
""")


@pytest.fixture
def start_controller():
    """A controller process ticking the three motors; killed at the end whatever happened."""
    procs = []

    def start(watchdog_ms=0):
        proc = subprocess.Popen([sys.executable, "-c", CONTROLLER, IFACE, str(watchdog_ms)], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        procs.append(proc)
        ready, _, _ = select.select([proc.stdout], [], [], 120)
        line = proc.stdout.readline() if ready else ""
        if line != "ticking\n":
            proc.kill()
            pytest.fail(f"the controller did not start: {proc.communicate(timeout=30)[1]}")
        time.sleep(0.3)
        return proc

    yield start
    for proc in procs:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_a_real_sigint_mid_tick_disables_every_motor(start_dmsim, start_controller):
    sim = start_dmsim(*sim_args(3))
    proc = start_controller()
    # Opened only now: a socket left to fill while the controller ticks would
    # drop the newest frames, the disables among them.
    peer = Peer(timeout=1.0)
    try:
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=60)
        frames = peer.drain(0.3)
    finally:
        peer.close()
    assert proc.returncode != 0 and "KeyboardInterrupt" in err
    assert commands(frames, DISABLE)[:3] == [1, 2, 3]
    states = [tx.refresh(torvane.SocketCanTransport(IFACE), m) for m in arm(3)]
    assert [tx.status(s) for s in states] == [tx.Status.DISABLED] * 3
    assert sim.proc.poll() is None


def test_a_killed_controller_s_motors_stop_on_their_own_watchdog(start_dmsim, start_controller):
    start_dmsim(*sim_args(3))
    proc = start_controller(watchdog_ms=50)
    # Opened now: an older socket holds the controller's own register replies.
    bus = torvane.SocketCanTransport(IFACE)
    assert [tx.read_register(bus, m, "TIMEOUT") for m in arm(3)] == [1000] * 3  # 50 ms in 50 us units
    proc.send_signal(signal.SIGKILL)
    killed = time.monotonic()
    proc.wait()
    # 50 ms, plus a margin for the emulated guest's scheduling.
    time.sleep(max(0.0, killed + 0.05 + 0.25 - time.monotonic()))
    # A fresh socket again: the last one holds the controller's feedback.
    probe = torvane.SocketCanTransport(IFACE)
    states = [tx.refresh(probe, m) for m in arm(3)]
    assert [tx.status(s) for s in states] == [tx.Status.COMM_LOST] * 3


# ---- the mode checked before the first command ------------------------------------------------

def test_motors_in_another_mode_are_named_and_nothing_is_enabled(start_dmsim, bus, peer):
    start_dmsim(*sim_args(3))  # dmsim starts in POS_VEL
    group = tx.MotorGroup(bus, arm(3), mode=tx.ControlMode.MIT)
    peer.drain(0.2)
    with pytest.raises(tx.VerifyError, match=r"motor 0 \(id 1\) is in mode 2; motor 1 \(id 2\) is in mode 2"):
        group.enable()
    assert commands(peer.drain(0.3), ENABLE) == []
    switching = tx.MotorGroup(bus, arm(3), mode=tx.ControlMode.MIT, set_mode=True)
    states = switching.enable()
    assert [tx.status(s) for s in states] == [tx.Status.ENABLED] * 3
    assert [tx.read_register(bus, m, "CTRL_MODE") for m in arm(3)] == [1] * 3
    switching.disable()


def test_a_watchdog_already_set_is_not_written_again(start_dmsim, bus, peer):
    start_dmsim(*sim_args(2))
    group = tx.MotorGroup(bus, arm(2), watchdog_ms=20)
    group.enable()
    assert [tx.read_register(bus, m, "TIMEOUT") for m in arm(2)] == [400] * 2
    group.disable()
    peer.drain(0.2)
    group.enable()
    writes = [d for i, d, _ in peer.drain(0.3) if i == 0x7FF and d[2] == 0x55]
    assert writes == []
    group.disable()
