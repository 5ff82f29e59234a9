"""One dmsim on two interfaces (vcan0 and vcan1), and the reply latency
jitter, seen from raw sockets on each bus."""

import re
import statistics
import time
from pathlib import Path

import pytest

from canpeer import IFACE, Peer
from motorframes import ENABLE, REFRESH, REGISTER_ID, system_frame

pytestmark = pytest.mark.bus

OTHER = "vcan1"
LOG_LINE = re.compile(r"^\(\d+\.\d{6}\) (\S+) ([0-9A-F]{3})#([0-9A-F]*)$")


@pytest.fixture
def peers():
    if not Path("/sys/class/net", OTHER).exists():
        pytest.fail(f"no CAN interface {OTHER}: run under tools/vcan-vm --iface {IFACE} --iface {OTHER}")
    ps = {IFACE: Peer(IFACE, timeout=2.0), OTHER: Peer(OTHER, timeout=2.0)}
    yield ps
    for p in ps.values():
        p.close()


def answers(peers, iface, can_id, data):
    """Send on one interface; every frame either bus carries in the next moments, by interface."""
    for p in peers.values():
        p.drain(0.05)
    peers[iface].send(can_id, data)
    time.sleep(0.3)
    return {name: p.drain(0.2) for name, p in peers.items()}


def test_each_motor_answers_only_on_its_own_interface(start_dmsim, peers):
    # Command id 1 on both buses, with different feedback ids; 2 only on vcan1.
    sim = start_dmsim("1:0x11:dm4310", f"{OTHER}:1:0x21:dm4340", f"{OTHER}:2:0x12:dm4310")
    ready = [line for line in sim.stderr_lines if line.startswith("dmsim: ready on ")]
    assert ready == [f"dmsim: ready on {IFACE} with 1 motor, {OTHER} with 2 motors\n"]

    cases = [
        (IFACE, 1, {IFACE: [0x11], OTHER: []}),
        (OTHER, 1, {IFACE: [], OTHER: [0x21]}),
        (IFACE, 2, {IFACE: [], OTHER: []}),       # motor 2 is not on vcan0
        (OTHER, 2, {IFACE: [], OTHER: [0x12]}),
    ]
    for iface, motor, want in cases:
        seen = answers(peers, iface, motor, ENABLE)
        assert {name: [f[0] for f in frames] for name, frames in seen.items()} == want, (iface, motor)
        for frames in seen.values():
            # Enabled: status 1 in the high nibble of the first byte.
            assert all(data[0] >> 4 == 1 for _, data, _ in frames)

    # The register channel too is per bus: a refresh of motor 1 on vcan1 is
    # answered by vcan1's motor 1 alone.
    seen = answers(peers, OTHER, REGISTER_ID, system_frame(1, REFRESH))
    assert [f[0] for f in seen[OTHER]] == [0x21] and seen[IFACE] == []

    # The log names each frame's interface.
    assert sim.stop() == 0
    logged = [LOG_LINE.match(line) for line in sim.log_lines()]
    assert all(logged), sim.log_lines()
    by_iface = {}
    for m in logged:
        by_iface.setdefault(m.group(1), set()).add(int(m.group(2), 16))
    assert by_iface == {IFACE: {0x001, 0x002, 0x011}, OTHER: {0x001, 0x002, 0x7FF, 0x012, 0x021}}


def exchange(peer, n):
    """n refreshes of motor 1, each after the reply to the one before."""
    for _ in range(n):
        peer.drain(0.005)
        peer.send(REGISTER_ID, system_frame(1, REFRESH))
        while True:
            frame = peer.recv()
            assert frame is not None, "no reply"
            if frame[0] == 0x11:
                break


def logged_delays(sim):
    """Seconds from each request to its reply, by dmsim's own log: the
    guest's scheduling of the test process does not show in them."""
    delays, asked = [], None
    for line in sim.log_lines():
        stamp, rest = line.split(") ", 1)
        t = float(stamp[1:])
        if rest.startswith(f"{IFACE} 7FF#"):
            asked = t
        elif rest.startswith(f"{IFACE} 011#") and asked is not None:
            delays.append(t - asked)
            asked = None
    return delays


def spread(samples):
    deciles = statistics.quantiles(samples, n=10)
    return deciles[-1] - deciles[0]


def test_jitter_spreads_latencies_over_its_range(start_dmsim, peers):
    # Wide, so that the guest's own noise (tens of ms at worst) cannot pass for it.
    latency, jitter, n = 0.010, 0.200, 50
    args = ["--latency-us", str(round(latency * 1e6)), "--seed", "3"]
    plain_sim = start_dmsim("1:0x11:dm4310", args=args)
    exchange(peers[IFACE], n)
    assert plain_sim.stop() == 0
    jitter_sim = start_dmsim("1:0x11:dm4310", args=[*args, "--latency-jitter-us", str(round(jitter * 1e6))])
    exchange(peers[IFACE], n)
    assert jitter_sim.stop() == 0
    plain, jittered = logged_delays(plain_sim), logged_delays(jitter_sim)
    assert len(plain) == len(jittered) == n

    assert min(plain) >= latency and min(jittered) >= latency
    # Uniform over 0..200 ms: all within it (plus generous slack), the middle
    # 80% about 160 ms wide, and about half in each half of the range.
    assert max(jittered) <= latency + jitter + 0.1, jittered
    assert spread(jittered) > 0.1, jittered
    assert spread(jittered) > 3 * spread(plain), (plain, jittered)
    low = sum(d < latency + jitter / 2 for d in jittered)
    assert 0.2 * n < low < 0.8 * n, jittered
