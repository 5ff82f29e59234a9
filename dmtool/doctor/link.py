"""What the kernel says of an interface: `ip -details -statistics -json
link show NAME`, read without root, turned into checks."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
from dataclasses import dataclass, field
from typing import Any

from dmtool.doctor.checks import FAIL, OK, WARN, Check, rate_text

CANFD_MTU = 72
DEFAULT_BITRATE = 1_000_000
RESTART_MS = 100
# Bus states as the kernel names them, and what each means for the motors.
STATES = {"ERROR-ACTIVE": OK, "ERROR-WARNING": WARN, "ERROR-PASSIVE": FAIL, "BUS-OFF": FAIL, "STOPPED": FAIL,
          "SLEEPING": WARN}


@dataclass(frozen=True)
class Link:
    """The parts of the kernel's record the checks use; None where the record has none."""

    name: str
    up: bool
    mtu: int | None = None
    link_type: str | None = None
    kind: str | None = None            # linkinfo.info_kind: "can" a controller, "vcan" virtual
    bitrate: int | None = None
    data_bitrate: int | None = None
    ctrlmode: tuple[str, ...] = ()
    restart_ms: int | None = None
    state: str | None = None
    berr: dict[str, int] = field(default_factory=dict)
    txqlen: int | None = None
    xstats: dict[str, int] = field(default_factory=dict)

    @property
    def fd_capable(self) -> bool:
        return self.mtu == CANFD_MTU

    @property
    def controller(self) -> bool:
        return self.kind == "can"

    @property
    def virtual(self) -> bool:
        return self.kind == "vcan"


def find_ip() -> str | None:
    # A user's PATH often lacks the sbin folders, where ip lives.
    path = os.environ.get("PATH", "") + os.pathsep + "/usr/sbin" + os.pathsep + "/sbin"
    return shutil.which("ip", path=path)


def ip_json(iface: str) -> tuple[Any, str | None]:
    """(the parsed document, None), or (None, why not). Raises FileNotFoundError when there is no ip."""
    ip = find_ip()
    if ip is None:
        raise FileNotFoundError("ip")
    done = subprocess.run([ip, "-details", "-statistics", "-json", "link", "show", iface], capture_output=True,
                          text=True, timeout=10, check=False)
    if done.returncode != 0:
        return None, " ".join(done.stderr.split()) or f"ip exited with {done.returncode}"
    try:
        return json.loads(done.stdout), None
    except json.JSONDecodeError as e:
        return None, f"ip printed no JSON ({e})"


def parse(doc: Any) -> Link:
    """One interface's record: the object, or the one-element list ip prints."""
    d = doc[0] if isinstance(doc, list) else doc
    info = d.get("linkinfo") or {}
    data = info.get("info_data") or {}
    mode = data.get("ctrlmode") or ()
    # iproute2 prints the mode as a list of names; a lone string is read as one.
    ctrlmode = (mode,) if isinstance(mode, str) else tuple(str(m) for m in mode)
    return Link(
        name=d.get("ifname", ""), up="UP" in (d.get("flags") or ()), mtu=d.get("mtu"), link_type=d.get("link_type"),
        kind=info.get("info_kind"), bitrate=(data.get("bittiming") or {}).get("bitrate"),
        data_bitrate=(data.get("data_bittiming") or {}).get("bitrate"), ctrlmode=ctrlmode,
        restart_ms=data.get("restart_ms"), state=data.get("state"), berr=dict(data.get("berr_counter") or {}),
        txqlen=d.get("txqlen"), xstats=dict(info.get("info_xstats") or {}))


def up_command(link: Link, bitrate: int | None) -> str:
    if link.controller:
        rate = bitrate or link.bitrate or DEFAULT_BITRATE
        return (f"sudo ip link set {link.name} down && sudo ip link set {link.name} up type can bitrate {rate} "
                f"restart-ms {link.restart_ms or RESTART_MS}")
    return f"sudo ip link set {link.name} up"


def missing(iface: str, why: str) -> Check:
    if "does not exist" not in why:
        return Check("interface", FAIL, f"ip could not show it: {why}", f"ip -details link show {iface}",
                     iface=iface)
    fix = (f"sudo ip link add {iface} type vcan && sudo ip link set {iface} up" if iface.startswith("vcan")
           else "connect the adapter and load its driver; 'ip -br link' lists the interfaces there are")
    return Check("interface", FAIL, "no such interface", fix, iface=iface)


def kind_text(link: Link) -> str:
    if link.controller:
        return "a CAN controller"
    if link.virtual:
        return "virtual (vcan): no wire, no bit rate"
    return f"kind {link.kind}" if link.kind else "no link kind reported"


def checks(link: Link, bitrate: int | None) -> list[Check]:
    """Everything the record shows by itself; the transmit queue waits for the motor count."""
    name = link.name
    out: list[Check] = []
    mtu = f"mtu {link.mtu}" + (" (CAN FD frames fit)" if link.fd_capable else " (classic frames only)")
    if link.link_type not in (None, "can"):
        return [Check("interface", FAIL, f"link type {link.link_type}, not CAN",
                      "name a CAN interface with --iface ('ip -br link show type can' lists them)", iface=name)]
    if link.controller or link.virtual:
        out.append(Check("interface", OK, f"{kind_text(link)}, {mtu}", iface=name))
    else:
        out.append(Check("interface", WARN, f"{kind_text(link)}, {mtu}: its bit rate and bus state cannot be read",
                         "set and check its bit rate with the adapter's own tool", iface=name))
    if not link.up:
        out.append(Check("link up", FAIL, "the interface is down", up_command(link, bitrate), iface=name))
        return out
    out.append(Check("link up", OK, "up", iface=name))
    if link.controller:
        out += controller_checks(link, bitrate)
    elif link.virtual and bitrate:
        out.append(Check("bit rate", OK, f"--bitrate {bitrate}: a virtual bus has none, the motors' are "
                                         f"compared with it", iface=name))
    return out


def controller_checks(link: Link, bitrate: int | None) -> list[Check]:
    name = link.name
    out: list[Check] = []
    fd = "FD" in link.ctrlmode
    modes = f"FD on, data {rate_text(link.data_bitrate)}" if fd and link.data_bitrate else \
        ("FD on" if fd else "FD off")
    if link.bitrate is None:
        out.append(Check("bit rate", FAIL, "no bit rate set", up_command(link, bitrate), iface=name))
    elif bitrate and link.bitrate != bitrate:
        out.append(Check("bit rate", FAIL, f"{rate_text(link.bitrate)}, not the {rate_text(bitrate)} asked; {modes}",
                         up_command(link, bitrate), iface=name))
    else:
        out.append(Check("bit rate", OK, f"{rate_text(link.bitrate)}; {modes}", iface=name))
    if not link.restart_ms:
        out.append(Check("restart-ms", WARN, "0: after a bus-off the controller stays off until restarted by hand",
                         f"sudo ip link set {name} down && sudo ip link set {name} up type can "
                         f"restart-ms {RESTART_MS}", iface=name))
    else:
        out.append(Check("restart-ms", OK, f"{link.restart_ms} ms: a bus-off restarts by itself", iface=name))
    out.append(state_check(link))
    return out


def state_check(link: Link) -> Check:
    name = link.name
    counters = ", ".join(f"{k} {v}" for k, v in link.berr.items()) or "none reported"
    restarts = f", {link.xstats['restarts']} restarts" if link.xstats.get("restarts") else ""
    state = (link.state or "").upper()
    status = STATES.get(state, WARN)
    detail = f"{state or 'not reported'}; error counters {counters}{restarts}"
    fix = None
    if state in ("BUS-OFF", "STOPPED"):
        fix = (f"check the wiring, 120 ohm at each end and every node's bit rate, then "
               f"sudo ip link set {name} down && sudo ip link set {name} up")
    elif status != OK:
        fix = "check the wiring, 120 ohm at each end, and that every node runs at this bit rate"
    return Check("bus state", status, detail, fix, iface=name)


def queue_check(link: Link, motors: int) -> Check | None:
    """One command per motor per tick must fit the transmit queue; 0 is no queue at all (vcan)."""
    if not link.txqlen or motors == 0:
        return None
    if link.txqlen < motors:
        return Check("transmit queue", WARN, f"txqueuelen {link.txqlen} holds fewer frames than one tick of the "
                     f"{motors} motors found: each tick waits for room", f"sudo ip link set {link.name} txqueuelen "
                     f"{max(2 * motors, 10)}", iface=link.name)
    return Check("transmit queue", OK, f"txqueuelen {link.txqlen}, for {motors} motors a tick", iface=link.name)


def inspect(iface: str, bitrate: int | None) -> tuple[Link | None, list[Check]]:
    """The interface's record (None when it could not be read) and its checks."""
    try:
        doc, why = ip_json(iface)
    except FileNotFoundError:
        return None, [Check("interface", WARN, "no 'ip' command (iproute2): the interface's settings were not read",
                            "install iproute2 (sudo apt install iproute2)", iface=iface)]
    except (OSError, subprocess.SubprocessError) as e:
        return None, [Check("interface", WARN, f"ip could not be run: {e}", iface=iface)]
    if doc is None:
        return None, [missing(iface, why or "")]
    link = parse(doc)
    return link, checks(link, bitrate)
