import gc
import os
import subprocess

import pytest

import torvane
from canpeer import IFACE, Peer

pytestmark = pytest.mark.bus


def open_fds():
    """{fd: target} of this process; the listing's own descriptor is gone by
    the time it is read back, so it drops out."""
    fds = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            fds[int(name)] = os.readlink(f"/proc/self/fd/{name}")
        except FileNotFoundError:
            pass
    return fds


@pytest.mark.parametrize("make", [lambda: torvane.SocketCanTransport(IFACE),
                                  lambda: torvane.SocketCanTransport(iface=IFACE)])
def test_opens_by_position_and_keyword_with_default_repr(make):
    bus = make()
    assert type(bus) is torvane.SocketCanTransport
    assert repr(bus).startswith("<torvane.SocketCanTransport object at 0x")


def test_deleting_the_object_closes_its_socket_at_once():
    before = open_fds()
    bus = torvane.SocketCanTransport(IFACE)
    opened = open_fds().items() - before.items()
    assert len(opened) == 1
    ((_, target),) = opened
    assert target.startswith("socket:")
    del bus
    assert open_fds() == before
    torvane.SocketCanTransport(IFACE)  # the interface opens again normally


def test_two_instances_are_independent_sockets():
    before = open_fds()
    a = torvane.SocketCanTransport(IFACE)
    b = torvane.SocketCanTransport(IFACE)
    assert len(open_fds().items() - before.items()) == 2
    peer = Peer()
    try:
        # A reply queued once reaches both sockets; each consumes its own copy.
        peer.send(0x11, [1, 0x80, 0, 0x80, 8, 0, 30, 32])
        motor = torvane.Damiao(1, 0x11, timeout_ms=500)
        assert motor.enable(a).t_mos == 30
        assert motor.enable(b).t_mos == 30
    finally:
        peer.close()


def _ip(*args):
    subprocess.run(["ip", "link", *args], check=True, capture_output=True)


def test_interface_removed_while_open_gives_errors_then_clean_teardown():
    name = "tvgone0"
    try:
        _ip("add", name, "type", "vcan")
        _ip("set", name, "up")
    except (OSError, subprocess.CalledProcessError) as exc:
        pytest.fail(f"cannot create a vcan interface here (needs root and the vcan module): {exc}")
    bus = torvane.SocketCanTransport(name)
    motor = torvane.Damiao(1, 0x11, timeout_ms=50)
    _ip("del", name)
    for _ in range(3):
        with pytest.raises(RuntimeError, match=r"^transport error: "):
            motor.enable(bus)
    del bus
    gc.collect()
    with pytest.raises(OSError, match=r"^No such device \(os error 19\)$"):
        torvane.SocketCanTransport(name)
