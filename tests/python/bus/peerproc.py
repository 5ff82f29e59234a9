"""Peers that must run in a process of their own: a torvane call holds the
interpreter lock for its whole wait, so nothing in the calling process can
answer it or disturb it meanwhile.

    python peerproc.py echo IFACE LOG [--drop C,C,...]
    python peerproc.py double IFACE
    python peerproc.py flood IFACE [--reply-every N]

Each prints "ready" once its socket is bound (the flood after its first
frames are out) and stops on SIGTERM.

echo: answers every classic data frame on command ids 0x001..0x00F with one
feedback frame on 0x011 that says which request it answers: byte 0 the
command id (the motor_id nibble), bytes 1-2 the command's first two bytes
(an MIT command's position code), bytes 6-7 a running count of requests
(t_mos low byte, t_rotor high byte). Requests whose count is listed in
--drop get no answer. LOG receives one line per request, "count id code
answered|dropped", when the peer stops.

double: answers every frame on 0x001 twice on 0x011, t_mos the number of
the request (from 1), t_rotor 0 for the first answer and 1 for the second;
prints "answered N" after both answers to request N are out.

flood: sends frames on everything but a reply, as fast as it can: standard
ids other than 0x011, extended 0x011, CAN FD frames, remote frames, replies
for another register. With
--reply-every N every Nth frame is a feedback frame on 0x011 with t_mos 77.
SIGUSR1 makes it print "mark N", N the frames sent so far; it prints the
number of frames sent when it stops.
"""

import ctypes
import queue
import signal
import subprocess
import sys
import threading

from canpeer import CAN_EFF_FLAG, CAN_RTR_FLAG, CANFD_BRS, Peer

FEEDBACK_ID = 0x11
FLOOD_REPLY = bytes.fromhex("0180008008004D00")  # t_mos 77, t_rotor 0


class Stop(Exception):
    pass


def _stop(*_):
    raise Stop


def echo(iface, log_path, drop=()):
    peer = Peer(iface, timeout=None)
    drop = set(drop)
    lines = []
    count = 0
    print("ready", flush=True)
    try:
        while True:
            can_id, data, fd = peer.recv()
            if fd or can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG) or not 1 <= can_id <= 0xF or len(data) != 8:
                continue
            count += 1
            if count in drop:
                lines.append(f"{count} {can_id} {data[0] << 8 | data[1]} dropped")
                continue
            reply = bytes([can_id, data[0], data[1], 0x80, 0x08, 0x00, count & 0xFF, count >> 8 & 0xFF])
            peer.send(FEEDBACK_ID, reply)
            lines.append(f"{count} {can_id} {data[0] << 8 | data[1]} answered")
    except Stop:
        pass
    finally:
        with open(log_path, "w") as f:
            f.write("".join(line + "\n" for line in lines))


def double(iface):
    peer = Peer(iface, timeout=None)
    n = 0
    print("ready", flush=True)
    try:
        while True:
            can_id, _data, fd = peer.recv()
            if fd or can_id != 0x001:
                continue
            n += 1
            for dup in (0, 1):
                peer.send(FEEDBACK_ID, bytes([0x01, 0x80, 0x00, 0x80, 0x08, 0x00, n & 0xFF, dup]))
            print(f"answered {n}", flush=True)
    except Stop:
        pass


def flood(iface, reply_every=0):
    # A blocking socket: when the interface cannot take more, the flood
    # waits for it instead of failing.
    peer = Peer(iface, timeout=None)
    noise = [
        lambda i: peer.send(0x100 + i % 0x100, bytes([i & 0xFF] * 8)),
        lambda i: peer.send(FEEDBACK_ID, bytes(8), extended=True),
        lambda i: peer.send_fd(0x012, bytes(range(64)), CANFD_BRS),
        lambda i: peer.send(0x010, bytes(8), remote=True),
        lambda i: peer.send(0x7FF, bytes([1, 0, 0x33, 9, 0, 0, 0, 0])),
    ]
    sent = [0]
    signal.signal(signal.SIGUSR1, lambda *_: print(f"mark {sent[0]}", flush=True))
    try:
        while True:
            n = sent[0] + 1
            if reply_every and n % reply_every == 0:
                peer.send(FEEDBACK_ID, FLOOD_REPLY)
            else:
                noise[n % len(noise)](n)
            sent[0] = n
            if n == 100:
                print("ready", flush=True)
    except Stop:
        pass
    print(sent[0], flush=True)


class PeerProcess:
    """One of the peers above in a child process, its stdout read as lines."""

    # Starting Python in the qemu guest takes seconds.
    START_WAIT_S = 60.0

    def __init__(self, *args):
        self.proc = subprocess.Popen([sys.executable, __file__, *map(str, args)], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, text=True)
        self._lines = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        first = self.line(self.START_WAIT_S)
        if first != "ready":
            self.stop()
            raise RuntimeError(f"peer {args} did not come up: {first!r}")

    def _read(self):
        for line in self.proc.stdout:
            self._lines.put(line.rstrip("\n"))
        self._lines.put(None)

    def line(self, timeout=30.0):
        """The next line of output; None once the peer has ended."""
        try:
            return self._lines.get(timeout=timeout)
        except queue.Empty:
            raise TimeoutError(f"no output from the peer within {timeout} s") from None

    def mark(self):
        """The flood's count of frames sent, read now."""
        self.proc.send_signal(signal.SIGUSR1)
        while not (line := self.line()).startswith("mark "):
            pass
        return int(line.split()[1])

    def stop(self, timeout=30.0):
        """SIGTERM, wait, and return the output not read yet."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self._reader.join(timeout)
        rest = []
        while (line := self._lines.get_nowait() if not self._lines.empty() else None) is not None:
            rest.append(line)
        return rest

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def main(argv):
    signal.signal(signal.SIGTERM, _stop)
    # Go when the test process goes, even if it is killed: an echo peer
    # would otherwise block in recv for good.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    mode, iface, *rest = argv
    if mode == "echo":
        drop = [int(c) for c in rest[2].split(",") if c] if len(rest) > 2 and rest[1] == "--drop" else []
        echo(iface, rest[0], drop)
    elif mode == "double":
        double(iface)
    elif mode == "flood":
        flood(iface, int(rest[1]) if rest[:1] == ["--reply-every"] else 0)
    else:
        raise SystemExit(f"unknown mode {mode}")


if __name__ == "__main__":
    main(sys.argv[1:])
