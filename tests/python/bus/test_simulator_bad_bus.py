"""dmsim playing a bad bus and a wrongly set-up motor on vcan, checked from the wire: error frames at
their times and only to sockets that ask, a bus-off stretch with no reply and a restarted frame after,
CAN FD requests answered classic or not at all, two replies to a shared command id with different
serials, and registers set at start read back through torvane_ext.

Sockets are opened before dmsim starts, so nothing it writes early is missed. The guest's clock is
noisy: times are lower bounds and ratios."""

import re
import socket
import struct
import subprocess
import time

import pytest

import torvane
import torvane_ext as tx
from canpeer import CANFD_BRS, IFACE, Peer
from motorframes import ENABLE, READ, REFRESH, register_frame, reply_to, system_frame

pytestmark = pytest.mark.bus

CLASSIC = struct.Struct("=IB3x8s")
# linux/can.h, linux/can/error.h
CAN_ERR_FLAG, CAN_RAW_ERR_FILTER, CAN_ERR_MASK = 0x20000000, 2, 0x1FFFFFFF
WARNING, PASSIVE = 0x04 | 0x08, 0x10 | 0x20
# Each kind's identifier (without the flag) and bytes, as linux/can/error.h lays them out.
KINDS = {
    "tx-timeout": (0x1, bytes(8)),
    "lost-arbitration": (0x2, bytes(8)),
    "controller": (0x4, bytes([0, WARNING, 0, 0, 0, 0, 0, 0])),
    "protocol": (0x8, bytes([0, 0, 0x04, 0, 0, 0, 0, 0])),       # a stuffing error
    "transceiver": (0x10, bytes([0, 0, 0, 0, 0x04, 0, 0, 0])),   # CANH: no wire
    "no-ack": (0x20, bytes(8)),
    "bus-off": (0x40, bytes(8)),
    "bus-error": (0x80, bytes(8)),
    "restarted": (0x100, bytes(8)),
    "error-warning": (0x4, bytes([0, WARNING, 0, 0, 0, 0, 0, 0])),
    "error-passive": (0x4, bytes([0, PASSIVE, 0, 0, 0, 0, 0, 0])),
}
OTHER_IFACE = "vcan1"


def raw_socket(errors, iface=IFACE, timeout=0.5):
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    if errors:
        s.setsockopt(socket.SOL_CAN_RAW, CAN_RAW_ERR_FILTER, CAN_ERR_MASK)
    s.bind((iface,))
    s.settimeout(timeout)
    return s


def next_error(s, timeout):
    """(classes, data, arrival time) of the next error frame on `s`, or None after `timeout`."""
    deadline = time.monotonic() + timeout
    while (left := deadline - time.monotonic()) > 0:
        s.settimeout(left)
        try:
            can_id, length, data = CLASSIC.unpack(s.recv(72)[:CLASSIC.size])
        except TimeoutError:
            return None
        if can_id & CAN_ERR_FLAG:
            return can_id & CAN_ERR_MASK, data[:length], time.monotonic()
    return None


def test_error_frames_go_out_at_their_times_only_to_sockets_that_ask(start_dmsim):
    asks, plain, other = raw_socket(True), raw_socket(False), raw_socket(True, OTHER_IFACE)
    try:
        step = 0.25
        args = [a for i, kind in enumerate(KINDS) for a in ("--bus-error", f"{kind}@{1 + step * i}")]
        started = time.monotonic()
        start_dmsim("1:0x11:dm4310", f"{OTHER_IFACE}:1:0x11:dm4310",
                    args=[*args, "--bus-error", f"{OTHER_IFACE}:error-passive@1"])
        got = [next_error(asks, 30) for _ in KINDS]
        assert None not in got
        assert [(c, d) for c, d, _ in got] == list(KINDS.values())
        # The first no sooner than its second after start; the spread is the schedule's, within the guest's noise.
        assert got[0][2] - started >= 1.0
        spread, planned = got[-1][2] - got[0][2], step * (len(KINDS) - 1)
        assert 0.9 * planned <= spread <= 1.5 * planned + 0.5, (spread, planned)
        assert next_error(other, 5)[:2] == KINDS["error-passive"]
        assert next_error(other, 0.5) is None
        # The socket that did not ask got none of them (and dmsim sent nothing else).
        with pytest.raises(TimeoutError):
            plain.recv(72)
    finally:
        for s in (asks, plain, other):
            s.close()


def test_bus_off_drops_every_request_between_its_two_error_frames(start_dmsim):
    """Register reads, each of its own register, so that a late reply is never taken for another's."""
    regs = [0, 2, 4, 5, 6, 9, 10, 21, 22, 23]
    errors = raw_socket(True)
    peer = Peer(timeout=0.01)
    try:
        sim = start_dmsim("1:0x11:dm4310", args=["--bus-off", "2+1.5", "--verbose"])
        sent, answered, events = [], set(), []
        deadline, after = time.monotonic() + 60, None
        # Until the restart, and three requests after it.
        while (after is None or len(sent) < after + 3) and time.monotonic() < deadline:
            i = len(sent)
            peer.send(0x7FF, register_frame(1, READ, regs[i % len(regs)]))
            sent.append(time.monotonic())
            until = time.monotonic() + 0.1
            while time.monotonic() < until:
                frame = peer.recv()
                if frame and frame[0] == 0x11:
                    # Whichever request this answers, by its register.
                    answered.update(j for j in range(i, max(-1, i - len(regs)), -1)
                                    if regs[j % len(regs)] == frame[1][3])
                if (e := next_error(errors, 0.001)) is not None:
                    events.append(e)
                    if len(events) == 2:
                        after = len(sent)
        assert [e[:2] for e in events] == [KINDS["bus-off"], KINDS["restarted"]]
        stretch = events[1][2] - events[0][2]
        assert 0.9 * 1.5 <= stretch <= 1.5 * 1.5 + 0.5, stretch
        dropped = [i for i in range(len(sent)) if i not in answered]
        assert dropped and min(dropped) > 0 and max(dropped) < len(sent) - 1
        # Unanswered are exactly the requests of the stretch: one run, sent between the two error frames
        # (give or take the 0.1 s a request waits for its reply).
        assert dropped == list(range(dropped[0], dropped[-1] + 1))
        assert events[0][2] - 0.15 <= sent[dropped[0]] and sent[dropped[-1]] <= events[1][2]
        assert all(i in dropped for i, t in enumerate(sent) if events[0][2] < t < events[1][2] - 0.25)
        assert sim.stop() == 0
        counted = re.findall(r"vcan\d: error frame restarted \((\d+) requests dropped while bus-off so far\)",
                             sim.stderr())
        assert counted == [str(len(dropped))], sim.stderr()
        assert sim.stderr().count("bus-off: request dropped") == len(dropped)
    finally:
        errors.close()
        peer.close()


@pytest.mark.parametrize("mode, want", [("fd", (True, True)), ("classic", (False, False)), ("none", None)])
def test_fd_requests_are_answered_as_the_option_says_and_classic_ones_classic(start_dmsim, mode, want):
    start_dmsim("1:0x11:dm4310", args=["--fd-replies", mode])
    peer = Peer(timeout=0.5)
    try:
        reply = reply_to(peer, 1, ENABLE, fd=True, flags=CANFD_BRS, timeout=2.0 if want is None else 10.0)
        assert (reply and (reply[1], bool(reply[2] & CANFD_BRS))) == want
        if reply:
            assert len(reply[0]) == 8 and reply[0][0] >> 4 == 1  # enabled
        classic = reply_to(peer, 0x7FF, system_frame(1, REFRESH), timeout=10.0)
        assert classic is not None and classic[1] is False
    finally:
        peer.close()


def test_a_shared_command_id_gets_two_replies_with_different_serials(start_dmsim):
    start_dmsim("1:0x11:dm4310", "1:0x11:dm4340", "2:0x12:dm4310", args=["--shared-id"])
    peer = Peer(timeout=0.5)
    try:
        peer.drain(0.01)
        peer.send(0x7FF, register_frame(1, READ, 15))
        replies = [f for f in peer.drain(1.0)]
        assert [f[0] for f in replies] == [0x11, 0x11]
        serials = sorted(int.from_bytes(f[1][4:8], "little") for f in replies)
        assert serials == [0x5101, 0x15101]
        peer.send(1, ENABLE)
        assert [(f[0], f[1][0] >> 4) for f in peer.drain(1.0)] == [(0x11, 1), (0x11, 1)]
    finally:
        peer.close()
    # The other motor keeps its own serial, as without --shared-id.
    bus = torvane.SocketCanTransport(IFACE)
    assert tx.read_register(bus, torvane.Damiao(2, 0x12, timeout_ms=2000), "SN") == 0x5102


def test_registers_set_at_start_win_over_the_state_file_and_the_defaults(start_dmsim, tmp_path):
    state = tmp_path / "motors.state"
    state.write_text("[0x001:0x011:dm4310]\n9 TIMEOUT 7\n35 can_br 3\n")
    start_dmsim("1:0x11:dm4310", "2:0x12:dm4310",
                args=["--state", state, "--register", "1:TIMEOUT=1000", "--register", "2:can_br=2",
                      "--register", "2:pmax=6.25"])
    bus = torvane.SocketCanTransport(IFACE)
    one, two = (torvane.Damiao(i, 0x10 + i, timeout_ms=2000) for i in (1, 2))
    got = {(m, name): tx.read_register(bus, motor, name) for m, motor in ((1, one), (2, two))
           for name in ("TIMEOUT", "can_br", "PMAX")}
    assert got == {(1, "TIMEOUT"): 1000, (1, "can_br"): 3, (1, "PMAX"): 12.5,
                   (2, "TIMEOUT"): 0, (2, "can_br"): 2, (2, "PMAX"): 6.25}


@pytest.mark.parametrize("arg, message", [
    ("1:SN=5", "--register '1:SN=5': SN is read-only"),
    ("1:TIMEOT=5", "--register '1:TIMEOT=5': no register named 'TIMEOT' ('dmtool info ID' lists every register)"),
])
def test_a_register_dmsim_cannot_set_is_refused_at_start(dmsim_exe, arg, message):
    done = subprocess.run([dmsim_exe, "--motor", "1:0x11:dm4310", "--register", arg], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 2
    assert done.stderr.splitlines()[0] == f"dmsim: {message}"
