import threading
import time

import pytest

import torvane
from canpeer import CANFD_BRS, IFACE, Peer

pytestmark = pytest.mark.bus

ENABLE = bytes.fromhex("FFFFFFFFFFFFFFFC")
DISABLE = bytes.fromhex("FFFFFFFFFFFFFFFD")
SET_ZERO = bytes.fromhex("FFFFFFFFFFFFFFFE")
CLEAR_ERROR = bytes.fromhex("FFFFFFFFFFFFFFFB")
FEEDBACK = bytes.fromhex("0180008008001E20")
FEEDBACK_REPR = ("MotorState(motor_id=1, error=0, position=0.0002, velocity=0.0073, "
                 "torque=0.0024, t_mos=30, t_rotor=32)")
# The guest this often runs in is slow; replies are queued before each call,
# so a generous timeout costs nothing when the test passes.
SLOW = 1000


@pytest.fixture
def bus():
    return torvane.SocketCanTransport(IFACE)


@pytest.fixture
def peer():
    p = Peer()
    yield p
    p.close()


def reg_reply(motor_id, reg, value, lead=None):
    head = lead if lead is not None else [motor_id & 0xFF, motor_id >> 8]
    return bytes([*head, 0x33, reg]) + value.to_bytes(4, "little")


@pytest.mark.parametrize("method, payload", [
    ("enable", ENABLE), ("disable", DISABLE), ("set_zero", SET_ZERO), ("clear_error", CLEAR_ERROR)])
def test_fixed_commands_send_their_frame_and_decode_the_reply(bus, peer, method, payload):
    peer.send(0x11, FEEDBACK)
    state = getattr(torvane.Damiao(1, 0x11, timeout_ms=SLOW), method)(bus)
    assert peer.drain() == [(0x001, payload, False)]
    assert repr(state) == FEEDBACK_REPR
    assert (state.motor_id, state.error, state.t_mos, state.t_rotor) == (1, 0, 30, 32)
    assert state.position == pytest.approx(0.00019073486, abs=1e-9)


def test_identifiers_are_masked_to_eleven_bits(bus, peer):
    motor = torvane.Damiao(0x801, 0x811, timeout_ms=SLOW)
    peer.send(0x011, FEEDBACK)
    motor.enable(bus)
    assert peer.drain() == [(0x001, ENABLE, False)]
    assert repr(motor) == "Damiao(motor_id=0x801, master_id=0x811)"


def test_reply_is_matched_by_identifier_alone(bus, peer):
    peer.send(0x12, bytes(8))                       # another motor's feedback id
    peer.send(0x11, bytes(8), extended=True)        # same number, extended
    peer.send(0x11, bytes.fromhex("1F7FFF7FF7FF282D"))  # another motor's nibble, error 1
    state = torvane.Damiao(1, 0x11, timeout_ms=SLOW).enable(bus)
    assert (state.motor_id, state.error, state.t_mos, state.t_rotor) == (15, 1, 40, 45)


def test_timeout_raises_runtime_error_and_bus_stays_usable(bus, peer):
    motor = torvane.Damiao(1, 0x11, timeout_ms=100)
    start = time.monotonic()
    with pytest.raises(RuntimeError) as err:
        motor.enable(bus)
    took = time.monotonic() - start
    assert type(err.value) is RuntimeError
    assert str(err.value) == "transport error: timeout waiting for frame"
    assert err.value.args == ("transport error: timeout waiting for frame",)
    assert 0.1 <= took < 2.0
    peer.send(0x11, FEEDBACK)
    assert motor.enable(bus).t_mos == 30


def test_late_reply_is_consumed_by_the_next_call(bus, peer):
    motor = torvane.Damiao(1, 0x11, timeout_ms=20)
    with pytest.raises(RuntimeError):
        motor.disable(bus)
    peer.send(0x11, bytes.fromhex("0280008008002A2B"))  # answers the call that gave up
    peer.send(0x11, FEEDBACK)
    assert motor.enable(bus).t_mos == 0x2A
    assert torvane.Damiao(1, 0x11, timeout_ms=SLOW).enable(bus).t_mos == 30


@pytest.mark.parametrize("setpoint, wire", [
    (torvane.MitSetpoint(), "7FFF7FF0000007FF"),
    (torvane.mit_setpoint(q=1.0, dq=2.0, kp=50.0, kd=1.0, tau=0.5), "8A3C888199333865"),
    (torvane.MitSetpoint(100, -100, 1000, 10, 100), "FFFF000FFFFFFFFF"),
])
def test_mit_control_sends_the_encoded_setpoint(bus, peer, setpoint, wire):
    peer.send(0x11, FEEDBACK)
    motor = torvane.Damiao(1, 0x11, None, SLOW)
    assert repr(motor.mit_control(setpoint=setpoint, bus=bus)) == FEEDBACK_REPR
    assert peer.drain() == [(0x001, bytes.fromhex(wire), False)]


def test_refused_limits_send_nothing_and_leave_the_bus_usable(bus, peer):
    motor = torvane.Damiao(1, 0x11, torvane.MitLimits(p_max=-1.0), SLOW)
    with pytest.raises(ValueError) as err:
        motor.mit_control(bus, torvane.MitSetpoint())
    assert str(err.value) == "min > max, or either was NaN. min = 1.0, max = -1.0"
    assert peer.drain() == []
    peer.send(0x11, FEEDBACK)
    assert motor.enable(bus).t_mos == 30


@pytest.mark.parametrize("length", [0, 1, 7])
def test_short_feedback_is_an_ordinary_error(bus, peer, length):
    motor = torvane.Damiao(1, 0x11, timeout_ms=SLOW)
    peer.send(0x11, bytes(range(length)))
    with pytest.raises(RuntimeError, match=rf"^feedback frame too short to decode: {length} bytes, expected 8$"):
        motor.enable(bus)
    peer.send(0x11, FEEDBACK)
    assert motor.enable(bus).t_mos == 30


def test_long_feedback_uses_the_first_eight_bytes(bus, peer):
    peer.send_fd(0x11, FEEDBACK + bytes([0xEE] * 4))
    assert repr(torvane.Damiao(1, 0x11, timeout_ms=SLOW).enable(bus)) == FEEDBACK_REPR


# ---- ensure_mit_mode ---------------------------------------------------------

def test_already_in_mit_mode_reads_once_and_writes_nothing(bus, peer):
    peer.send(0x11, reg_reply(1, 10, 1))
    assert torvane.Damiao(1, 0x11, timeout_ms=SLOW).ensure_mit_mode(bus) is None
    assert peer.drain() == [(0x7FF, bytes.fromhex("0100330A00000000"), False)]


@pytest.mark.parametrize("first", [2, 257])
def test_other_mode_is_written_then_verified_after_a_pause(bus, peer, first):
    peer.send(0x11, reg_reply(1, 10, first))
    peer.send(0x11, reg_reply(1, 10, 1))
    start = time.monotonic()
    torvane.Damiao(1, 0x11, timeout_ms=SLOW).ensure_mit_mode(bus)
    assert time.monotonic() - start >= 0.1
    assert peer.drain() == [
        (0x7FF, bytes.fromhex("0100330A00000000"), False),
        (0x7FF, bytes.fromhex("0100550A01000000"), False),
        (0x7FF, bytes.fromhex("0100330A00000000"), False),
    ]


@pytest.mark.parametrize("readback, reported", [(2, 2), (259, 3)])
def test_readback_mismatch_reports_the_low_byte(bus, peer, readback, reported):
    peer.send(0x11, reg_reply(1, 10, 2))
    peer.send(0x11, reg_reply(1, 10, readback))
    with pytest.raises(RuntimeError) as err:
        torvane.Damiao(1, 0x11, timeout_ms=SLOW).ensure_mit_mode(bus)
    assert type(err.value) is RuntimeError
    assert str(err.value) == f"control mode verification failed: wrote 1, motor reports {reported}"


def test_register_frames_carry_the_full_motor_id(bus, peer):
    peer.send(0x11, reg_reply(0x0123, 10, 3))
    peer.send(0x11, reg_reply(0x0123, 10, 1))
    torvane.Damiao(0x0123, 0x11, timeout_ms=SLOW).ensure_mit_mode(bus)
    assert [data[:2] for _, data, _ in peer.drain()] == [b"\x23\x01"] * 3


def test_register_reply_is_matched_by_pattern_only(bus, peer):
    peer.send(0x11, reg_reply(1, 10, 2)[:7])                    # 7 bytes
    peer.send_fd(0x11, reg_reply(1, 10, 2) + bytes(4), CANFD_BRS)  # 12-byte FD
    peer.send(0x11, bytes([1, 0, 0x55, 10, 2, 0, 0, 0]))        # not a read reply
    peer.send(0x11, reg_reply(1, 9, 2))                          # another register
    peer.send(0x123, reg_reply(9, 10, 1, lead=[0xAB, 0xCD]), extended=True)  # any id, any lead bytes
    torvane.Damiao(1, 0x11, timeout_ms=SLOW).ensure_mit_mode(bus)
    assert len(peer.drain()) == 1  # no write: the matching reply said 1


def test_second_read_timing_out_leaves_the_write_sent(bus, peer):
    peer.send(0x11, reg_reply(1, 10, 2))
    with pytest.raises(RuntimeError, match="^transport error: timeout waiting for frame$"):
        torvane.Damiao(1, 0x11, timeout_ms=200).ensure_mit_mode(bus)
    assert [data[2] for _, data, _ in peer.drain()] == [0x33, 0x55, 0x33]


def test_threads_on_one_bus_get_one_whole_exchange_each(bus, peer):
    n = 8
    for i in range(n):
        peer.send(0x11, bytes([1, 0x80, 0, 0x80, 8, 0, i, 0]))
    motor = torvane.Damiao(1, 0x11, timeout_ms=SLOW)
    results, errors = [], []

    def worker():
        try:
            results.append(motor.enable(bus).t_mos)
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker) for _ in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert sorted(results) == list(range(n))
    assert peer.drain() == [(0x001, ENABLE, False)] * n
