"""Registers the firmware keeps to itself: torvane_ext and dmtool refuse to
write them before a frame leaves, and dmsim drops a write that reaches it."""

import subprocess
import sys
from pathlib import Path

import pytest

import torvane
import torvane_ext as tx
from canpeer import IFACE, Peer
from motorframes import WRITE, read_register, register_frame

pytestmark = pytest.mark.bus

DMTOOL = Path(sys.executable).parent / "dmtool"
SLOW_MS = 500
# Motor constants, calibration and the measured position, besides the
# versions and serial that were always read-only.
KEPT = {11: "Damp", 12: "Inertia", 16: "NPP", 17: "Rs", 18: "LS", 19: "Flux", 20: "Gr", 50: "u_off",
        51: "v_off", 52: "k1", 53: "k2", 54: "m_off", 55: "dir", 80: "p_m", 81: "xout"}
VERSIONS = {13: "hw_ver", 14: "sw_ver", 15: "SN", 36: "sub_ver"}


@pytest.fixture
def peer():
    p = Peer(timeout=2.0)
    yield p
    p.close()


def test_the_table_marks_them_and_only_them():
    flags = {r.number: (r.name, r.read_only) for r in tx.REGISTERS}
    assert {n: name for n, (name, ro) in flags.items() if ro} == KEPT | VERSIONS
    assert all(not ro for n, (_, ro) in flags.items() if n not in KEPT | VERSIONS)


def test_torvane_ext_refuses_every_one_and_sends_nothing(start_dmsim, peer):
    start_dmsim("1:0x11:dm4310")
    bus = torvane.SocketCanTransport(IFACE)
    m = torvane.Damiao(1, 0x11, timeout_ms=SLOW_MS)
    before = {n: tx.read_register(bus, m, n) for n in KEPT}
    peer.drain(0.2)
    for number, name in KEPT.items():
        value = 7 if number == 16 else 1.5  # NPP is an integer
        for reg in (number, name):
            for verify in (True, False):
                with pytest.raises(tx.RegisterError, match=f"^register {number} is read-only$"):
                    tx.write_register(bus, m, reg, value, verify=verify)
    assert peer.drain(0.5) == []
    assert {n: tx.read_register(bus, m, n) for n in KEPT} == before


def test_dmsim_drops_a_write_that_reaches_it(start_dmsim, peer):
    start_dmsim("1:0x11:dm4310")
    for number in KEPT:
        before = read_register(peer, 1, number)
        assert before is not None, number
        peer.send(0x7FF, register_frame(1, WRITE, number, int.from_bytes(before[1][4:], "little") ^ 0x5A5A))
        # Only the write itself is on the bus: no echo, no answer.
        assert peer.drain(0.3) == [], number
        assert read_register(peer, 1, number) == before, number


@pytest.mark.parametrize("reg, value", [("p_m", "1.0"), ("80", "1.0"), ("Damp", "0.5"), ("NPP", "7"), ("xout", "0")])
def test_dmtool_set_refuses_with_one_line_and_sends_nothing(start_dmsim, peer, reg, value):
    start_dmsim("1:0x11:dm4310")
    peer.drain(0.2)
    done = subprocess.run([DMTOOL, "--iface", IFACE, "--timeout-ms", str(SLOW_MS), "set", "1", reg, value],
                          capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
    number = int(reg) if reg.isdigit() else next(n for n, name in KEPT.items() if name.lower() == reg.lower())
    assert done.returncode == 2
    assert done.stdout == ""
    assert done.stderr == f"dmtool set: error: {KEPT[number]} ({number}) is read-only\n"
    assert peer.drain(0.3) == []
