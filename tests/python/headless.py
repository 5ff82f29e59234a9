"""A headless Chromium driven over its DevTools protocol, with nothing but
the standard library: a minimal websocket client, one page, and
Runtime.evaluate to read the page's state."""

import base64
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import urllib.request

CHROMIUM = shutil.which("chromium")


def browser_env(home):
    """This environment for the browser, less a sanitizing run's preload and
    options: the browser is not ours to check, and it hangs under them."""
    drop = {"LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}
    return {**{k: v for k, v in os.environ.items() if k not in drop}, "HOME": str(home)}


class Browser:
    def __init__(self, width=1100, height=800):
        if CHROMIUM is None:
            raise RuntimeError("no chromium on PATH: run tools/install-system-deps")
        self.profile = tempfile.mkdtemp(prefix="headless-")
        env = browser_env(self.profile)
        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
             f"--user-data-dir={self.profile}", "--remote-debugging-port=0", f"--window-size={width},{height}",
             "about:blank"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        port = None
        deadline = time.monotonic() + 60
        while port is None and time.monotonic() < deadline:
            line = self.proc.stderr.readline().decode(errors="replace")
            if not line and self.proc.poll() is not None:
                break
            m = re.search(r"DevTools listening on ws://[\d.]+:(\d+)/", line)
            port = int(m[1]) if m else None
        if port is None:
            self.close()
            raise RuntimeError("chromium did not start its DevTools endpoint")
        pages = json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=10))
        page = next(p for p in pages if p.get("type") == "page")
        self.ws = WebSocket(page["webSocketDebuggerUrl"])
        self.next_id = 0

    def call(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            msg = json.loads(self.ws.recv())
            if msg.get("id") == self.next_id:
                if "error" in msg:
                    raise RuntimeError(f"{method}: {msg['error']}")
                return msg["result"]

    def open(self, url):
        self.call("Page.enable")
        self.call("Page.navigate", url=url)

    def eval(self, expression):
        r = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in r:
            raise RuntimeError(f"{expression}: {r['exceptionDetails']}")
        return r["result"].get("value")

    def close(self):
        if getattr(self, "ws", None):
            self.ws.close()
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stderr.close()
        shutil.rmtree(self.profile, ignore_errors=True)


class WebSocket:
    """Client side of RFC 6455, text frames only, enough for DevTools."""

    def __init__(self, url):
        m = re.fullmatch(r"ws://([^:/]+):(\d+)(/.*)", url)
        self.sock = socket.create_connection((m[1], int(m[2])), timeout=30)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET {m[3]} HTTP/1.1\r\nHost: {m[1]}:{m[2]}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n")
                          .encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(1)
            if not chunk:
                raise ConnectionError("websocket handshake cut short")
            head += chunk
        if b" 101 " not in head.split(b"\r\n", 1)[0]:
            raise ConnectionError(head.decode(errors="replace"))

    def send(self, text):
        payload = text.encode()
        mask = os.urandom(4)
        n = len(payload)
        header = bytes([0x81]) + (bytes([0x80 | n]) if n < 126 else
                                  bytes([0x80 | 126]) + struct.pack(">H", n) if n < 65536 else
                                  bytes([0x80 | 127]) + struct.pack(">Q", n))
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def _exact(self, n):
        out = b""
        while len(out) < n:
            chunk = self.sock.recv(n - len(out))
            if not chunk:
                raise ConnectionError("websocket closed")
            out += chunk
        return out

    def recv(self):
        message = b""
        while True:
            b0, b1 = self._exact(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack(">H", self._exact(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._exact(8))[0]
            data = self._exact(n)
            opcode = b0 & 0x0F
            if opcode in (0x1, 0x0):
                message += data
                if b0 & 0x80:
                    return message.decode()
            elif opcode == 0x8:
                raise ConnectionError("websocket closed by the browser")

    def close(self):
        self.sock.close()
