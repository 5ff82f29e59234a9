"""Live plots in a browser: one page and one stream of server-sent events.

The standard library's threading HTTP server, on 127.0.0.1 unless told
otherwise. It answers GET only: "/" the page (everything inline), "/events"
the stream, 25 updates a second with each motor's new samples, its status
by name and how long it has been silent, and a line on the bus's health.
Nothing the page sends can reach the bus.
"""

from __future__ import annotations

import json
import socket
import threading
import time
from collections import deque
from collections.abc import Iterator
from contextlib import contextmanager
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

PUSH_PERIOD_S = 0.04
WINDOW_S = 10.0
MAX_SAMPLES = 5000
# Longer than this without an answer, or three of its usual gaps between
# answers if longer, a motor shows as silent.
SILENT_AFTER_S = 0.3
SILENT_GAPS = 3


class Live:
    """What the page shows, shared between the bus loop and the server's threads."""

    def __init__(self, title: str, window_s: float = WINDOW_S, *, asks: bool = False) -> None:
        # A monitor asks every motor each tick and knows which did not answer;
        # a listener only sees answers stop coming.
        self.asks = asks
        self.title = title
        self.window_s = window_s
        self._lock = threading.Lock()
        self._seq = 0
        self._motors: dict[int, dict[str, Any]] = {}
        self._bus = ""
        self.url = ""

    def _motor(self, motor_id: int) -> dict[str, Any]:
        m = self._motors.get(motor_id)
        if m is None:
            m = self._motors[motor_id] = {"samples": deque(maxlen=MAX_SAMPLES), "status": "-", "fault": False,
                                          "last": None, "gap": 0.0, "missing": False}
        return m

    def watch(self, motor_id: int) -> None:
        with self._lock:
            self._motor(motor_id)

    def sample(self, motor_id: int, t: float, pos: float, vel: float, torque: float, t_mos: int, t_rotor: int,
               status: str, fault: bool) -> None:
        with self._lock:
            self._seq += 1
            m = self._motor(motor_id)
            m["samples"].append((self._seq, t, pos, vel, torque, t_mos, t_rotor))
            now = time.time()
            if m["last"] is not None:
                m["gap"] += 0.2 * (now - m["last"] - m["gap"])
            m["status"], m["fault"], m["last"], m["missing"] = status, fault, now, False

    def bus(self, text: str) -> None:
        """The bus's state and error counters, in words."""
        with self._lock:
            self._bus = text

    def missing(self, motor_id: int) -> None:
        """A motor asked that did not answer (monitor): silent now, whatever its age."""
        with self._lock:
            self._motor(motor_id)["missing"] = True

    def update(self, since: int) -> tuple[int, dict[str, Any]]:
        """The samples after sequence number SINCE, and every motor's state now."""
        now = time.time()
        with self._lock:
            motors = {}
            for motor_id, m in sorted(self._motors.items()):
                new = [s[1:] for s in m["samples"] if s[0] > since]
                age = None if m["last"] is None else now - m["last"]
                if self.asks:
                    silent = m["missing"] or age is None
                else:
                    silent = age is None or age > max(SILENT_AFTER_S, SILENT_GAPS * m["gap"])
                motors[str(motor_id)] = {"samples": new, "status": m["status"], "fault": m["fault"],
                                         "silent": silent, "age": age}
            return self._seq, {"t": now, "window": self.window_s, "motors": motors, "bus": self._bus}


class Handler(BaseHTTPRequestHandler):
    live: Live
    server_version = "dmtool"
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: Any) -> None:  # the terminal is the bus view's
        pass

    def do_GET(self) -> None:
        path = self.path.split("?", 1)[0]
        if path == "/":
            body = page(self.live.title).encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.wfile.write(body)
        elif path == "/events":
            self.events()
        else:
            self.send_error(404)

    def refuse(self) -> None:
        self.send_response(405)
        self.send_header("Allow", "GET")
        self.send_header("Content-Length", "0")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True

    do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = refuse

    def events(self) -> None:
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-store")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        since = 0
        # Paced by deadline, not by a sleep after each push, so the time a
        # push takes does not slow the stream below its promised rate.
        due = time.monotonic()
        try:
            while not self.server.stopping:  # type: ignore[attr-defined]
                since, update = self.live.update(since)
                self.wfile.write(b"data: " + json.dumps(update, separators=(",", ":")).encode() + b"\n\n")
                self.wfile.flush()
                due = max(due + PUSH_PERIOD_S, time.monotonic() - PUSH_PERIOD_S)
                time.sleep(max(0.0, due - time.monotonic()))
        except (BrokenPipeError, ConnectionResetError):
            pass


class Server(ThreadingHTTPServer):
    daemon_threads = True
    stopping = False


@contextmanager
def serve(address: tuple[str, int], title: str, *, asks: bool = False) -> Iterator[Live]:
    live = Live(title, asks=asks)
    handler = type("LiveHandler", (Handler,), {"live": live})
    server_class = type("Server6", (Server,), {"address_family": socket.AF_INET6}) if ":" in address[0] else Server
    server = server_class(address, handler)
    host, port = server.server_address[:2]
    live.url = f"http://[{host}]:{port}/" if ":" in host else f"http://{host}:{port}/"
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
    thread.start()
    try:
        yield live
    finally:
        server.stopping = True
        server.shutdown()
        server.server_close()


def page(title: str) -> str:
    return PAGE.replace("{{TITLE}}", json.dumps(title)[1:-1].replace("<", "&lt;"))


PAGE = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{{TITLE}}</title>
<style>
body{font:14px system-ui,sans-serif;margin:12px;background:#fafafa;color:#222}
h1{font-size:16px;margin:0 0 8px}
.motor{background:#fff;border:1px solid #ccc;border-radius:6px;margin:0 0 12px;padding:8px}
.head{display:flex;gap:16px;align-items:baseline;margin-bottom:4px}
.name{font-weight:bold}
.status{padding:1px 6px;border-radius:4px;background:#e3f2e3}
.status.fault{background:#c62828;color:#fff}
.status.silent{background:#888;color:#fff}
.values{font-family:monospace;color:#444}
canvas{width:100%;height:110px;display:block}
.legend span{margin-right:12px;font-size:12px}
#conn{color:#888;font-size:12px}
</style></head><body>
<h1>{{TITLE}} <span id="conn">connecting</span></h1>
<div id="bus" class="values"></div>
<div id="motors"></div>
<script>
"use strict";
const TRACES=[["position","rad","#1565c0",0],["velocity","rad/s","#2e7d32",1],["torque","Nm","#ef6c00",2],
["MOS","C","#6a1b9a",3],["rotor","C","#c2185b",4]];
const motors={};
let latest=0, updates=0;
function el(tag,cls,text){const e=document.createElement(tag);if(cls)e.className=cls;if(text)e.textContent=text;return e;}
function motor(id){
  if(motors[id])return motors[id];
  const box=el("div","motor");box.id="motor-"+id;
  const head=el("div","head");
  head.append(el("span","name","motor "+id));
  const st=el("span","status","-");st.id="status-"+id;head.append(st);
  const vals=el("span","values","");vals.id="values-"+id;head.append(vals);
  box.append(head);
  const lg=el("div","legend");
  for(const [n,u,c] of TRACES){const s=el("span","",n+" ("+u+")");s.style.color=c;lg.append(s);}
  box.append(lg);
  const c1=el("canvas");const c2=el("canvas");box.append(c1,c2);
  document.getElementById("motors").append(box);
  return motors[id]={id,box,st,vals,c1,c2,samples:[]};
}
function draw(m,canvas,which,window_s){
  const w=canvas.clientWidth,h=canvas.clientHeight,r=window.devicePixelRatio||1;
  if(canvas.width!==w*r||canvas.height!==h*r){canvas.width=w*r;canvas.height=h*r;}
  const g=canvas.getContext("2d");g.setTransform(r,0,0,r,0,0);g.clearRect(0,0,w,h);
  g.strokeStyle="#ddd";g.beginPath();g.moveTo(0,h/2);g.lineTo(w,h/2);g.stroke();
  const s=m.samples;if(!s.length)return;
  const t1=latest,t0=t1-window_s;
  for(const k of which){
    const tr=TRACES[k];let lo=Infinity,hi=-Infinity;
    for(const p of s){const v=p[k+1];if(v<lo)lo=v;if(v>hi)hi=v;}
    if(hi-lo<1e-6){hi+=0.5;lo-=0.5;}
    g.strokeStyle=tr[2];g.lineWidth=1.5;g.beginPath();
    s.forEach((p,i)=>{const x=(p[0]-t0)/window_s*w,y=h-4-(p[k+1]-lo)/(hi-lo)*(h-8);i?g.lineTo(x,y):g.moveTo(x,y);});
    g.stroke();
  }
}
function apply(u){
  updates++;
  latest=Math.max(latest,u.t);
  for(const [id,d] of Object.entries(u.motors)){
    const m=motor(id);
    for(const p of d.samples){m.samples.push(p);latest=Math.max(latest,p[0]);}
    const cut=latest-u.window;while(m.samples.length&&m.samples[0][0]<cut)m.samples.shift();
    const silent=d.silent,last=m.samples[m.samples.length-1];
    m.st.textContent=silent?(d.age===null?"NO ANSWER":"NO ANSWER "+d.age.toFixed(1)+"s"):d.status;
    m.st.className="status"+(silent?" silent":"")+(d.fault?" fault":"");
    m.box.dataset.status=silent?"NO ANSWER":d.status;
    m.box.dataset.samples=m.samples.length;
    if(last){
      m.box.dataset.position=last[1];
      m.vals.textContent="pos "+last[1].toFixed(3)+" rad  vel "+last[2].toFixed(3)+" rad/s  torque "+
        last[3].toFixed(3)+" Nm  MOS "+last[4]+" C  rotor "+last[5]+" C";
    }
    draw(m,m.c1,[0,1,2],u.window);draw(m,m.c2,[3,4],u.window);
  }
  document.getElementById("bus").textContent=u.bus;
  document.body.dataset.updates=updates;
}
const source=new EventSource("/events");
source.onopen=()=>{document.getElementById("conn").textContent="live";};
source.onerror=()=>{document.getElementById("conn").textContent="disconnected";};
source.onmessage=(ev)=>apply(JSON.parse(ev.data));
</script></body></html>
"""
