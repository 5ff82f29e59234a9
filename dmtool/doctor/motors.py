"""The motors on one interface: who answers, how, and what their registers
and feedback say. Only reads and refresh requests, which no motor moves for."""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field
from typing import Any

from dmtool.candump import Frame
from dmtool.doctor.checks import FAIL, OK, WARN, Check, dmtool_command, rate_text
from dmtool.doctor.frames import REG_MST_ID, REG_SN, Watch, feedback_kinds, register_replies
from dmtool.doctor.link import Link
from dmtool.scan import nothing_found
from dmtool.session import Session
from dmtool.text import is_fault, limits_text, mode_text, one_line, status_text

# Register 35's codes that this project has confirmed: 4, 1 Mbit/s, the factory setting. Other codes
# are compared with the other motors', and with a bus at 1 Mbit/s, but never named as a rate.
CAN_BR = {4: 1_000_000}
CODE_OF = {bps: code for code, bps in CAN_BR.items()}
WATCHDOG = 1000  # TIMEOUT suggested: 1000 x 50 us = 50 ms


@dataclass
class Found:
    info: Any                       # tx.MotorInfo
    motor: Any                      # torvane.Damiao on its own ids
    registers: dict[str, int | float | None] = field(default_factory=dict)

    @property
    def motor_id(self) -> int:
        return int(self.info.motor_id)


def identity(info: Any) -> str:
    return (f"feedback {info.master_id:#x}, {mode_text(info.mode)}, {limits_text(info.limits)}, "
            f"hw {info.hw_ver}, sw {info.sw_ver}, serial {info.serial:#010x}")


def free_id(taken: set[int]) -> int:
    return next(i for i in range(1, 0x7FF) if i not in taken)


def one_per_id(f: Found, frames: list[Frame], iface: str, taken: set[int]) -> Check:
    """Two motors on one command id each answer every request: two replies, or two serials."""
    mst = register_replies(frames, f.motor_id, REG_MST_ID)
    sn = register_replies(frames, f.motor_id, REG_SN)
    serials = sorted({r.value for r in sn})
    sources = sorted({r.can_id for r in mst + sn})
    if len(mst) > 1 or len(sn) > 1 or len(serials) > 1:
        parts = [f"{max(len(mst), len(sn))} replies to one request"]
        if len(sources) > 1:
            parts.append("on " + " and ".join(f"{s:#x}" for s in sources))
        if len(serials) > 1:
            parts.append("serials " + " and ".join(f"{s:#010x}" for s in serials))
        fix = (f"power all but one of them off, then {dmtool_command(iface, f'set-id {f.motor_id} --motor-id ')}"
               f"{free_id(taken)} and power-cycle; repeat for the next")
        return Check("one motor per id", FAIL, f"two motors answer on command id {f.motor_id}: "
                     + ", ".join(parts), fix, iface=iface, motor=f.motor_id)
    return Check("one motor per id", OK, f"one reply to each request, serial {f.info.serial:#010x}",
                 iface=iface, motor=f.motor_id)


def shared_feedback(found: list[Found], iface: str) -> list[Check]:
    by_master: dict[int, list[int]] = {}
    for f in found:
        by_master.setdefault(int(f.info.master_id), []).append(f.motor_id)
    out = []
    for master, ids in by_master.items():
        if len(ids) > 1:
            out.append(Check("feedback ids", FAIL, f"motors {' and '.join(map(str, ids))} both answer on feedback id "
                             f"{master:#x}: a group cannot tell their replies apart",
                             dmtool_command(iface, f"set-id {ids[-1]} --motor-id {ids[-1]} --master-id "
                                                   f"{free_master(by_master)}"), iface=iface, motor=ids[-1]))
    return out


def free_master(by_master: dict[int, list[int]]) -> str:
    return f"{next(i for i in range(0x11, 0x7FF) if i not in by_master):#x}"


def read_registers(session: Session, f: Found) -> None:
    tx = session.tx
    for name in ("TIMEOUT", "can_br"):
        try:
            f.registers[name] = tx.read_register(session.bus, f.motor, name)
        except tx.MotorTimeout:
            f.registers[name] = None


def refresh(session: Session, f: Found, fd: bool) -> Any:
    """The motor's state from a refresh in a group of its own (replies left over are dropped first)."""
    group = session.tx.MotorGroup(session.bus, [f.motor], timeout_ms=session.timeout_ms, fd=fd, on_exit="keep")
    return group.refresh()[0]


def classic_check(session: Session, f: Found, iface: str) -> list[Check]:
    tx = session.tx
    state = refresh(session, f, fd=False)
    if state is None:
        return [Check("classic request", FAIL, "found by the scan, but no answer to a refresh",
                      "raise --timeout-ms, or check the motor's power and wiring", iface=iface, motor=f.motor_id)]
    out = [Check("classic request", OK, f"answers a refresh: {status_text(tx, state.error)}",
                 iface=iface, motor=f.motor_id)]
    if is_fault(tx, state.error):
        out.append(Check("fault", FAIL, f"{status_text(tx, state.error)} ({state.error:#x}) latched: the motor "
                         f"refuses to enable until cleared", f"remove the cause, then "
                         f"{dmtool_command(iface, f'clear {f.motor_id}')}", iface=iface, motor=f.motor_id))
    else:
        out.append(Check("fault", OK, "none latched", iface=iface, motor=f.motor_id))
    return out


def fd_check(session: Session, f: Found, iface: str, link: Link | None, watch: Watch | None) -> Check:
    if link is None:
        return Check("FD request", WARN, "not asked: the interface's MTU is unknown", iface=iface, motor=f.motor_id)
    if not link.fd_capable:
        return Check("FD request", OK, f"not asked: mtu {link.mtu} carries classic frames only",
                     iface=iface, motor=f.motor_id)
    if watch is None:
        return Check("FD request", WARN, "not asked: no listener to see the reply's kind", iface=iface,
                     motor=f.motor_id)
    watch.collect()  # what came before is no answer to this
    try:
        state = refresh(session, f, fd=True)
    except session.tx.BusError as e:
        return Check("FD request", FAIL, f"could not be sent ({one_line(e)})", "use classic frames (no --fd)",
                     iface=iface, motor=f.motor_id)
    kinds = feedback_kinds(watch.collect(), f.motor_id, int(f.info.master_id))
    if "fd" in kinds:
        return Check("FD request", OK, "answered with an FD frame", iface=iface, motor=f.motor_id)
    if kinds:
        return Check("FD request", FAIL, "answered with a classic frame: the adapter's and the motor's FD settings "
                     "differ", "use classic frames (leave out --fd; MotorGroup fd=False)",
                     iface=iface, motor=f.motor_id)
    missed = "no answer" if state is None else "an answer the listener did not see"
    return Check("FD request", FAIL, f"{missed}: the motor does not take CAN FD frames as this adapter sends them",
                 "use classic frames (leave out --fd; MotorGroup fd=False)", iface=iface, motor=f.motor_id)


def watchdog_check(f: Found, iface: str) -> Check:
    value = f.registers.get("TIMEOUT")
    if value is None:
        return Check("watchdog", WARN, "TIMEOUT (9) did not answer", iface=iface, motor=f.motor_id)
    if value == 0:
        return Check("watchdog", WARN, "TIMEOUT 0: off; if the controller dies the motor goes on with its last "
                     "command and never stops by itself", dmtool_command(iface, f"set {f.motor_id} TIMEOUT {WATCHDOG}")
                     + f" (50 ms; add --save to keep it), or watchdog_ms= on the MotorGroup",
                     iface=iface, motor=f.motor_id)
    return Check("watchdog", OK, f"TIMEOUT {value}: stops after {int(value) * 0.05:g} ms without a command",
                 iface=iface, motor=f.motor_id)


def code_text(code: int) -> str:
    return f"can_br {code} ({rate_text(CAN_BR[code])})" if code in CAN_BR else f"can_br {code}"


def bitrate_checks(found: list[Found], iface: str, link: Link | None, bitrate: int | None) -> list[Check]:
    """Each motor's can_br against the bus's rate, or, with none to compare, against the other motors'."""
    codes = {f.motor_id: None if (c := f.registers.get("can_br")) is None else int(c) for f in found}
    reference = link.bitrate if link is not None and link.controller and link.bitrate else bitrate
    against = f"the bus's {rate_text(reference)}" if reference else None
    common = None
    if reference is None:
        known = Counter(c for c in codes.values() if c is not None)
        if known:
            top = max(known.values())
            # A tie has no majority to go by: the factory setting, if one side holds it.
            tied = [c for c, n in known.items() if n == top]
            common = CODE_OF[1_000_000] if CODE_OF[1_000_000] in tied else tied[0]
    out = []
    for motor_id, code in codes.items():
        if code is None:
            out.append(Check("bit rate", WARN, "can_br (35) did not answer", iface=iface, motor=motor_id))
            continue
        if code not in CAN_BR and (reference is None and code == common or
                                   reference is not None and reference not in CODE_OF):
            out.append(Check("bit rate", WARN, f"{code_text(code)}: a code dmtool does not know; "
                             "check it against the motor's manual", iface=iface, motor=motor_id))
        elif reference is not None:
            if CAN_BR.get(code) == reference:
                out.append(Check("bit rate", OK, f"{code_text(code)}, {against}", iface=iface, motor=motor_id))
            else:
                out.append(Check("bit rate", FAIL, f"{code_text(code)}, not {against}", set_br(iface, motor_id,
                                                                                                reference),
                                 iface=iface, motor=motor_id))
        elif code == common:
            alone = len(codes) == 1
            out.append(Check("bit rate", OK, f"{code_text(code)}" + (" (no bus rate to compare with: give --bitrate)"
                                                                     if alone else ", as the other motors'"),
                             iface=iface, motor=motor_id))
        else:
            assert common is not None
            holders = [i for i, c in codes.items() if c == common]
            on = f"motor {holders[0]}" if len(holders) == 1 else \
                f"motors {', '.join(map(str, holders[:-1]))} and {holders[-1]}"
            out.append(Check("bit rate", FAIL, f"{code_text(code)}, unlike {code_text(common)} on {on}",
                             dmtool_command(iface, f"set {motor_id} can_br {common} --save")
                             + ", then power-cycle the motor",
                             iface=iface, motor=motor_id))
    return out


def set_br(iface: str, motor_id: int, bps: int) -> str | None:
    if bps not in CODE_OF:
        return (f"dmtool knows only can_br 4 (1 Mbit/s): set the code of {rate_text(bps)} from the motor's "
                "manual, or bring the interface up at the motors' rate")
    return (dmtool_command(iface, f"set {motor_id} can_br {CODE_OF[bps]} --save")
            + ", then power-cycle the motor")


def examine(session: Session, ids: list[int], link: Link | None, bitrate: int | None,
            watch: Watch | None) -> tuple[list[Check], int]:
    """Every check of the motors on SESSION's interface, and how many answered."""
    tx, tv, iface = session.tx, session.tv, session.iface
    if watch is not None:
        watch.collect()
    infos = tx.scan(session.bus, ids=ids, timeout_ms=session.timeout_ms)
    found = [Found(i, tv.Damiao(i.motor_id, i.master_id & 0x7FF, i.limits, timeout_ms=session.timeout_ms))
             for i in infos]
    if not found:
        return [Check("motors", FAIL, nothing_found(ids, iface), "check the checks above, then "
                      + dmtool_command(iface, "scan --ids 1-0x7fe") + " (every id)", iface=iface)], 0
    for f in found:
        read_registers(session, f)
    frames = watch.collect() if watch is not None else []
    out = [Check("motors", OK, f"{len(found)} answered: " + ", ".join(str(f.motor_id) for f in found),
                 iface=iface)]
    if watch is None:
        out.append(Check("one motor per id", WARN, "not checked: no listener to count replies", iface=iface))
    out += shared_feedback(found, iface)
    taken = {f.motor_id for f in found}
    rates = bitrate_checks(found, iface, link, bitrate)
    for f, rate in zip(found, rates, strict=True):
        out.append(Check("identity", OK, identity(f.info), iface=iface, motor=f.motor_id))
        if watch is not None:
            out.append(one_per_id(f, frames, iface, taken))
        out += classic_check(session, f, iface)
        out.append(fd_check(session, f, iface, link, watch))
        out.append(watchdog_check(f, iface))
        out.append(rate)
    return out, len(found)
