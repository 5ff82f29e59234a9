"""dmtool doctor against stand-ins: the kernel's interface record (JSON
documents written here from iproute2's field names), the motors
(dmtool_fakes) and a listener that sees what those motors would put on the
wire. The same checks against dmsim are in bus/test_dmtool_doctor.py."""

import copy
import json

import pytest
from dmtool_fakes import Bus, FakeMotor, make_api

from dmtool.candump import Frame
from dmtool.cli import main
from dmtool.doctor import frames, link
from dmtool.doctor.checks import FAIL, OK, WARN

# A CAN FD controller as `ip -details -statistics -json link show can0` reports one, in working order.
CONTROLLER = {
    "ifindex": 5, "ifname": "can0", "flags": ["NOARP", "UP", "LOWER_UP", "ECHO"], "mtu": 72, "qdisc": "pfifo_fast",
    "operstate": "UP", "txqlen": 10, "link_type": "can", "promiscuity": 0,
    "linkinfo": {
        "info_kind": "can",
        "info_data": {
            "ctrlmode": ["FD"], "state": "ERROR-ACTIVE", "berr_counter": {"tx": 0, "rx": 0}, "restart_ms": 100,
            "bittiming": {"bitrate": 1000000, "sample_point": "0.800", "tq": 25, "prop_seg": 15, "phase_seg1": 16,
                          "phase_seg2": 8, "sjw": 1, "brp": 1},
            "data_bittiming": {"bitrate": 5000000, "sample_point": "0.750", "tq": 25, "prop_seg": 2,
                               "phase_seg1": 3, "phase_seg2": 2, "sjw": 1, "brp": 1},
            "clock": 80000000},
        "info_xstats": {"restarts": 0, "bus_error": 0, "arbitration_lost": 0, "error_warning": 0,
                        "error_passive": 0, "bus_off": 0}},
    "stats64": {"rx": {"bytes": 0, "packets": 0, "errors": 0, "dropped": 0},
                "tx": {"bytes": 0, "packets": 0, "errors": 0, "dropped": 0}},
}

VCAN = {"ifindex": 3, "ifname": "vcan0", "flags": ["NOARP", "UP", "LOWER_UP"], "mtu": 72, "qdisc": "noqueue",
        "operstate": "UNKNOWN", "txqlen": 0, "link_type": "can", "linkinfo": {"info_kind": "vcan"}}


def with_(doc, **changes):
    """A copy of DOC with fields changed: `data__state` is linkinfo.info_data.state."""
    doc = copy.deepcopy(doc)
    for key, value in changes.items():
        if key.startswith("data__"):
            doc["linkinfo"]["info_data"][key[6:]] = value
        else:
            doc[key] = value
    return doc


def by_name(checks):
    return {c.name: c for c in checks}


# ---------------------------------------------------------------- the kernel's record

@pytest.mark.parametrize("doc, bitrate, name, status, words", [
    (CONTROLLER, None, "interface", OK, ["a CAN controller", "mtu 72", "CAN FD"]),
    (CONTROLLER, None, "bit rate", OK, ["1 Mbit/s", "FD on, data 5 Mbit/s"]),
    (with_(CONTROLLER, data__ctrlmode=[]), None, "bit rate", OK, ["FD off"]),
    (CONTROLLER, 1000000, "bit rate", OK, ["1 Mbit/s"]),
    (CONTROLLER, 500000, "bit rate", FAIL, ["not the 500 kbit/s asked"]),
    (CONTROLLER, None, "restart-ms", OK, ["100 ms"]),
    (with_(CONTROLLER, data__restart_ms=0), None, "restart-ms", WARN, ["stays off"]),
    (CONTROLLER, None, "bus state", OK, ["ERROR-ACTIVE", "tx 0, rx 0"]),
    (with_(CONTROLLER, data__state="ERROR-WARNING", data__berr_counter={"tx": 100, "rx": 0}), None, "bus state",
     WARN, ["ERROR-WARNING", "tx 100"]),
    (with_(CONTROLLER, data__state="ERROR-PASSIVE", data__berr_counter={"tx": 128, "rx": 3}), None, "bus state",
     FAIL, ["ERROR-PASSIVE", "tx 128, rx 3"]),
    (with_(CONTROLLER, data__state="BUS-OFF", data__berr_counter={"tx": 255, "rx": 0}), None, "bus state", FAIL,
     ["BUS-OFF"]),
    (with_(CONTROLLER, flags=["NOARP", "ECHO"], operstate="DOWN"), None, "link up", FAIL, ["down"]),
    (VCAN, None, "interface", OK, ["virtual", "mtu 72"]),
    (with_(VCAN, mtu=16), None, "interface", OK, ["mtu 16", "classic frames only"]),
    (VCAN, None, "link up", OK, ["up"]),
    (with_(VCAN, flags=["NOARP"]), None, "link up", FAIL, ["down"]),
    (with_(VCAN, link_type="ether", linkinfo={}), None, "interface", FAIL, ["link type ether, not CAN"]),
    (with_(VCAN, linkinfo={}), None, "interface", WARN, ["no link kind", "cannot be read"]),
])
def test_the_kernels_record_makes_each_check(doc, bitrate, name, status, words):
    check = by_name(link.checks(link.parse([doc]), bitrate))[name]
    assert check.status == status, check
    for w in words:
        assert w in check.detail, check
    assert (check.fix is None) == (status == OK), check


@pytest.mark.parametrize("doc, bitrate, name, fix", [
    (with_(CONTROLLER, data__restart_ms=0), None, "restart-ms",
     "sudo ip link set can0 down && sudo ip link set can0 up type can restart-ms 100"),
    (with_(CONTROLLER, flags=["NOARP"]), None, "link up",
     "sudo ip link set can0 down && sudo ip link set can0 up type can bitrate 1000000 restart-ms 100"),
    (with_(CONTROLLER, flags=["NOARP"], data__restart_ms=0), 500000, "link up",
     "sudo ip link set can0 down && sudo ip link set can0 up type can bitrate 500000 restart-ms 100"),
    (CONTROLLER, 250000, "bit rate",
     "sudo ip link set can0 down && sudo ip link set can0 up type can bitrate 250000 restart-ms 100"),
    (with_(VCAN, flags=[]), None, "link up", "sudo ip link set vcan0 up"),
    (with_(CONTROLLER, data__state="BUS-OFF"), None, "bus state",
     "check the wiring, 120 ohm at each end and every node's bit rate, then sudo ip link set can0 down && "
     "sudo ip link set can0 up"),
])
def test_each_fix_is_the_command_that_fixes_it(doc, bitrate, name, fix):
    assert by_name(link.checks(link.parse([doc]), bitrate))[name].fix == fix


def test_a_virtual_bus_gets_no_controller_checks_and_a_down_link_stops_there():
    assert [c.name for c in link.checks(link.parse([VCAN]), None)] == ["interface", "link up"]
    assert [c.name for c in link.checks(link.parse([with_(CONTROLLER, flags=[])]), None)] == ["interface", "link up"]
    assert [c.name for c in link.checks(link.parse([CONTROLLER]), None)] == \
        ["interface", "link up", "bit rate", "restart-ms", "bus state"]


@pytest.mark.parametrize("txqlen, motors, status, fix", [
    (10, 8, OK, None),
    (10, 10, OK, None),
    (10, 12, WARN, "sudo ip link set can0 txqueuelen 24"),
    (3, 4, WARN, "sudo ip link set can0 txqueuelen 10"),
    (0, 16, None, None),       # no queue at all: vcan
    (10, 0, None, None),
])
def test_the_transmit_queue_holds_one_command_per_motor(txqlen, motors, status, fix):
    check = link.queue_check(link.parse(with_(CONTROLLER, txqlen=txqlen)), motors)
    assert (check and check.status) == status
    if check:
        assert check.fix == fix and f"txqueuelen {txqlen}" in check.detail


@pytest.mark.parametrize("ip, name, status, fix_words", [
    (lambda iface: (None, f'Device "{iface}" does not exist.'), "can7", FAIL, ["connect the adapter"]),
    (lambda iface: (None, f'Device "{iface}" does not exist.'), "vcan7", FAIL,
     ["sudo ip link add vcan7 type vcan && sudo ip link set vcan7 up"]),
    (lambda iface: (None, "RTNETLINK answers: Operation not permitted"), "can0", FAIL, []),
    (lambda iface: (_ for _ in ()).throw(FileNotFoundError("ip")), "can0", WARN, ["iproute2"]),
])
def test_an_interface_that_cannot_be_read(monkeypatch, ip, name, status, fix_words):
    monkeypatch.setattr(link, "ip_json", ip)
    found, checks = link.inspect(name, None)
    assert found is None and len(checks) == 1 and checks[0].status == status
    for w in fix_words:
        assert w in checks[0].fix


# -------------------------------------------------------------- what the wire showed

def reply(can_id, motor_id, register, value, fd=False):
    return Frame(0.0, can_id, bytes([motor_id & 0xFF, motor_id >> 8, 0x33, register]) + value.to_bytes(4, "little"),
                 fd=fd)


def feedback(can_id, motor_id, status=0, fd=False):
    return Frame(0.0, can_id, bytes([status << 4 | motor_id & 0x0F, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 30, 31]), fd=fd)


def test_register_replies_are_counted_per_motor_and_register_whatever_their_identifier():
    seen = [reply(0x11, 1, 7, 0x11), reply(0x21, 1, 7, 0x21), reply(0x12, 2, 7, 0x12), reply(0x11, 1, 15, 5),
            Frame(0.0, 0x7FF, bytes([1, 0, 0x33, 7, 0, 0, 0, 0])),      # the request itself
            Frame(0.0, 0x20000004, bytes(8), error=True), feedback(0x11, 1)]
    assert [(r.can_id, r.value) for r in frames.register_replies(seen, 1, 7)] == [(0x11, 0x11), (0x21, 0x21)]
    assert [r.value for r in frames.register_replies(seen, 1, 15)] == [5]
    assert frames.register_replies(seen, 3, 7) == []


def test_feedback_kinds_name_each_state_frame_of_one_motor():
    seen = [feedback(0x11, 1, fd=True), feedback(0x11, 1), feedback(0x12, 2, fd=True), reply(0x11, 1, 9, 0),
            feedback(0x11, 3)]
    assert frames.feedback_kinds(seen, 1, 0x11) == ["fd", "classic"]
    assert frames.feedback_kinds(seen, 2, 0x12) == ["fd"]
    assert frames.feedback_kinds(seen, 4, 0x14) == []


def test_a_watch_reads_until_the_bus_is_quiet():
    queue = [feedback(0x11, 1), None, feedback(0x11, 1)]

    class Source:
        def read(self, timeout):
            return queue.pop(0) if queue else None

    watch = frames.Watch(Source(), 0.01)
    assert len(watch.collect()) == 1 and len(watch.collect()) == 1 and watch.collect() == []


# ---------------------------------------------------------------- the whole command

class FakeWatch:
    """What a listener would have seen of the fake bus's traffic since the last collect."""

    def __init__(self, bus):
        self.bus, self.seen = bus, 0

    def collect(self):
        out = []
        for entry in self.bus.log[self.seen:]:
            if entry[0] == "scan":
                for m in (m for m in self.bus.motors if m.motor_id in entry[1] and m.answering):
                    out += [reply(m.master_id, m.motor_id, 7, m.master_id),
                            reply(m.master_id, m.motor_id, 15, m.registers[15])]
            elif entry[:2] == ("group", "refresh"):
                for m in (m for m in self.bus.motors if m.motor_id in entry[2] and m.answering):
                    kind = m.fd_replies if self.bus.group_fd else "classic"
                    if kind != "none":
                        out.append(feedback(m.master_id, m.motor_id, m.status, fd=kind == "fd"))
        self.seen = len(self.bus.log)
        return out


class Closable:
    def close(self):
        pass


def good_motor(motor_id, **kw):
    kw.setdefault("registers", {9: 1000})
    return FakeMotor(motor_id, 0x10 + motor_id, **kw)


@pytest.fixture
def doctor(monkeypatch, capsys):
    """doctor(bus, *argv, doc=VCAN) -> (status, stdout, checks by (name, motor)) from --json."""
    def run(bus, *argv, doc=VCAN, listen=True):
        monkeypatch.setattr(link, "ip_json", lambda iface: ([with_(doc, ifname=iface)], None))
        monkeypatch.setattr(frames, "open_watch", lambda iface, quiet_s: (FakeWatch(bus), Closable()) if listen
                            else (None, OSError(97, "Address family not supported by protocol")))
        status = main(["--iface", bus.iface, "doctor", *map(str, argv)], api=make_api(bus))
        out, err = capsys.readouterr()
        assert "Traceback" not in err
        return status, out, err
    return run


def checks_of(out):
    return {(c["name"], c["motor"]): c for c in json.loads(out)["checks"]}


def nothing_moves(bus):
    # Reads, scans and refreshes only: no enable, no command, no write, no save.
    return all(e[0] in ("scan", "read") or e[:2] == ("group", "refresh") for e in bus.log)


def test_a_good_setup_passes_with_every_check_ok(doctor):
    bus = Bus(good_motor(1), good_motor(2), iface="vcan0")
    status, out, err = doctor(bus, "--ids", "1-4")
    assert (status, err) == (0, "")
    lines = out.splitlines()
    assert lines[-1] == f"dmtool doctor: {len(lines) - 1} ok, 0 warn, 0 FAIL"
    assert all(line.startswith("ok  ") for line in lines[:-1])
    for name in ("interface", "link up", "motors", "identity", "one motor per id", "classic request", "fault",
                 "FD request", "watchdog", "bit rate", "bus health"):
        assert any(f"  {name}: " in line for line in lines), name
    assert nothing_moves(bus)


def test_json_has_every_check_with_its_fields(doctor):
    bus = Bus(good_motor(1), good_motor(2, registers={9: 0}), iface="vcan0")
    status, out, _ = doctor(bus, "--ids", "1-4", "--json")
    doc = json.loads(out)
    assert status == doc["status"] == 0
    assert doc["counts"] == {"ok": len(doc["checks"]) - 1, "warn": 1, "fail": 0}
    assert all(set(c) == {"name", "interface", "motor", "status", "detail", "fix"} for c in doc["checks"])
    assert all(c["interface"] == "vcan0" and c["status"] in ("ok", "warn", "fail") for c in doc["checks"])
    warned = [c for c in doc["checks"] if c["status"] == "warn"]
    assert [(c["name"], c["motor"]) for c in warned] == [("watchdog", 2)]
    assert checks_of(out)[("identity", 1)]["detail"].startswith("feedback 0x11, POS_VEL, PMAX 12.5")


@pytest.mark.parametrize("motors, argv, name, motor, status, words, fix", [
    ([good_motor(1, registers={9: 0})], [], "watchdog", 1, WARN, ["TIMEOUT 0", "never stops by itself"],
     "dmtool --iface vcan0 set 1 TIMEOUT 1000"),
    ([good_motor(1, fault=0xA)], [], "fault", 1, FAIL, ["OVERCURRENT (0xa) latched"],
     "remove the cause, then dmtool --iface vcan0 clear 1"),
    ([good_motor(1, fault=0xD)], [], "fault", 1, FAIL, ["COMM_LOST (0xd)"], "dmtool --iface vcan0 clear 1"),
    ([good_motor(1, fd_replies="classic")], [], "FD request", 1, FAIL,
     ["answered with a classic frame", "FD settings differ"], "use classic frames"),
    ([good_motor(1, fd_replies="none")], [], "FD request", 1, FAIL, ["no answer"], "use classic frames"),
    ([good_motor(1), good_motor(2, registers={9: 1000, 35: 2}), good_motor(3)], [], "bit rate", 2, FAIL,
     ["can_br 2, unlike can_br 4 (1 Mbit/s) on motors 1 and 3"],
     "dmtool --iface vcan0 set 2 can_br 4 --save, then power-cycle the motor"),
    ([good_motor(1, registers={9: 1000, 35: 2}), good_motor(2)], [], "bit rate", 1, FAIL,
     ["can_br 2, unlike can_br 4 (1 Mbit/s) on motor 2"], "set 1 can_br 4 --save"),
    ([good_motor(1, registers={9: 1000, 35: 2}), good_motor(2, registers={9: 1000, 35: 3}),
      good_motor(3, registers={9: 1000, 35: 3})], [], "bit rate", 1, FAIL,
     ["can_br 2, unlike can_br 3 on motors 2 and 3"], "set 1 can_br 3 --save"),
    ([good_motor(1)], ["--bitrate", "500000"], "bit rate", 1, FAIL, ["can_br 4 (1 Mbit/s), not the bus's 500 kbit/s"],
     "dmtool knows only can_br 4 (1 Mbit/s): set the code of 500 kbit/s from the motor's manual"),
    ([good_motor(1, registers={9: 1000, 35: 9})], [], "bit rate", 1, WARN, ["a code dmtool does not know"], None),
    ([good_motor(1, registers={9: 1000, 35: 2})], ["--bitrate", "1000000"], "bit rate", 1, FAIL,
     ["can_br 2, not the bus's 1 Mbit/s"], "set 1 can_br 4 --save"),
    ([good_motor(1, registers={9: 1000, 35: 2})], ["--bitrate", "500000"], "bit rate", 1, WARN,
     ["a code dmtool does not know"], None),
    ([good_motor(1), FakeMotor(1, 0x21, registers={9: 1000, 15: 0x77})], [], "one motor per id", 1, FAIL,
     ["two motors answer on command id 1", "on 0x11 and 0x21", "serials 0x00000077 and 0x002a0051"],
     "power all but one of them off, then dmtool --iface vcan0 set-id 1 --motor-id 2"),
    ([good_motor(1), FakeMotor(2, 0x11, registers={9: 1000})], [], "feedback ids", 2, FAIL,
     ["motors 1 and 2 both answer on feedback id 0x11"], "dmtool --iface vcan0 set-id 2 --motor-id 2 --master-id"),
])
def test_each_fault_in_a_setup_is_found_named_and_fixed(doctor, motors, argv, name, motor, status, words, fix):
    bus = Bus(*motors, iface="vcan0")
    code, out, _ = doctor(bus, "--ids", "1-4", "--json", *argv)
    check = checks_of(out)[(name, motor)]
    assert check["status"] == status.lower(), check
    for w in words:
        assert w in check["detail"], check
    assert fix is None or fix in check["fix"], check
    assert code == (1 if status == FAIL else 0)
    assert nothing_moves(bus)


def test_a_lone_motor_on_a_virtual_bus_has_nothing_to_compare_its_rate_with(doctor):
    status, out, _ = doctor(Bus(good_motor(1), iface="vcan0"), "--ids", "1", "--json")
    check = checks_of(out)[("bit rate", 1)]
    assert status == 0 and check["status"] == "ok" and "give --bitrate" in check["detail"]


def test_on_a_controller_the_motors_rate_is_checked_against_the_interfaces(doctor):
    bus = Bus(good_motor(1, registers={9: 1000, 35: 3}), iface="can0")
    status, out, _ = doctor(bus, "--ids", "1", "--json", doc=CONTROLLER)
    check = checks_of(out)[("bit rate", 1)]
    assert status == 1 and check["status"] == "fail" and "not the bus's 1 Mbit/s" in check["detail"]
    assert check["fix"].startswith("dmtool set 1 can_br 4 --save")   # can0: no --iface needed


def test_classic_only_interface_asks_no_fd_question(doctor):
    bus = Bus(good_motor(1, fd_replies="none"), iface="vcan0")
    status, out, _ = doctor(bus, "--ids", "1", "--json", doc=with_(VCAN, mtu=16))
    assert status == 0 and "not asked" in checks_of(out)[("FD request", 1)]["detail"]
    assert not any(e[:2] == ("group", "refresh") and bus.group_fd for e in bus.log)


def test_too_short_a_transmit_queue_for_the_motors_found_warns(doctor):
    bus = Bus(*(good_motor(i) for i in range(1, 5)), iface="can0")
    status, out, _ = doctor(bus, "--ids", "1-8", "--json", doc=with_(CONTROLLER, txqlen=3))
    check = checks_of(out)[("transmit queue", None)]
    assert status == 0 and check["status"] == "warn" and check["fix"] == "sudo ip link set can0 txqueuelen 10"


def test_bus_health_after_the_checks_is_torvane_exts_record(doctor):
    bus = Bus(good_motor(1), iface="vcan0")
    bus.health.state = "error-passive"
    bus.health.error_frames["no-ack"] = 3
    status, out, _ = doctor(bus, "--ids", "1", "--json")
    check = checks_of(out)[("bus health", None)]
    assert status == 1 and check["status"] == "fail"
    assert "error-passive; error frames no-ack x3" in check["detail"]


def test_without_a_listener_the_wire_checks_warn_and_the_rest_runs(doctor):
    status, out, _ = doctor(Bus(good_motor(1), iface="vcan0"), "--ids", "1", "--json", listen=False)
    checks = checks_of(out)
    assert status == 0
    assert checks[("listener", None)]["status"] == "warn"
    assert checks[("FD request", 1)]["status"] == "warn" and checks[("watchdog", 1)]["status"] == "ok"


def test_nothing_answering_fails_and_says_what_to_check(doctor):
    status, out, _ = doctor(Bus(iface="vcan0"), "--ids", "1-4", "--json")
    check = checks_of(out)[("motors", None)]
    assert status == 1 and check["status"] == "fail" and "no motor answered on vcan0" in check["detail"]


def test_a_missing_interface_fails_without_touching_a_bus(doctor, monkeypatch, capsys):
    bus = Bus(good_motor(1), iface="vcan0")
    monkeypatch.setattr(link, "ip_json", lambda iface: (None, f'Device "{iface}" does not exist.'))
    status = main(["--iface", "vcan9", "doctor", "--json"], api=make_api(bus))
    doc = json.loads(capsys.readouterr().out)
    assert status == 1 and [c["name"] for c in doc["checks"]] == ["interface"] and bus.log == []


def test_several_interfaces_each_get_their_checks(monkeypatch, capsys):
    a, b = Bus(good_motor(1), iface="vcan0"), Bus(good_motor(1, fault=0xA), iface="vcan1")
    monkeypatch.setattr(link, "ip_json", lambda iface: ([with_(VCAN, ifname=iface)], None))
    watches = {"vcan0": FakeWatch(a), "vcan1": FakeWatch(b)}
    monkeypatch.setattr(frames, "open_watch", lambda iface, quiet_s: (watches[iface], Closable()))
    status = main(["doctor", "--iface", "vcan0,vcan1", "--ids", "1", "--json"], api=make_api(a, b))
    doc = json.loads(capsys.readouterr().out)
    failed = [(c["interface"], c["name"]) for c in doc["checks"] if c["status"] == "fail"]
    assert status == 1 and failed == [("vcan1", "fault")]
    assert {c["interface"] for c in doc["checks"]} == {"vcan0", "vcan1"}


@pytest.mark.parametrize("argv, message", [
    (["--bitrate", "fast"], "'fast' is not a number"),
    (["--bitrate", "10"], "a bit rate is 1000 to 10000000"),
    (["--ids", "5-1"], "the range runs backwards"),
])
def test_usage_errors_exit_2(doctor, argv, message):
    bus = Bus(good_motor(1), iface="vcan0")
    status, out, err = doctor(bus, *argv)
    assert status == 2 and out == "" and message in err and bus.log == []
