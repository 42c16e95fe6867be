#!/usr/bin/env python3
"""Load benchmark of the web console.

    python3 bench/web-load/web_load.py [--build build] [--units 10000] [--rate 1000]
                                        [--browsers 20] [--seconds 30]

N simulated units (build/equipment-sim, one process) heartbeat against the
real headless server, together R times a second. Three figures, each with its
target and PASS or FAIL:

1. heartbeat CPU: the server's CPU time (utime + stime from /proc) per second
   over a steady window, first with no browser, then with B - 1 WebSocket
   clients and one headless Chromium subscribed to the events (fleet and log);
   target: a rise of at most 10 %.
2. event delivery: for every event a WebSocket client receives, its arrival
   time less the time the server stamped on it; p50 and p99; target p99 <= 1 s.
   Each client runs in its own process and reads every frame.
3. first paint of the fleet page at N units in headless Chromium: from the
   start of the page's navigation (already logged in) to the first animation
   frame after the table shows its rows; target <= 1 s.

Everything runs on this machine: on a small machine the simulator, the
clients and the browser compete with the server for the cores, so the
latencies are upper bounds.
"""

import argparse
import base64
import datetime
import http.client
import json
import multiprocessing
import os
import resource
import socket
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "web", "browser"))
import harness  # noqa: E402

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat", encoding="ascii") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # utime, stime


def server_cpu(pid, seconds):
    """The server's CPU seconds per wall second over a window."""
    c0, t0 = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return (cpu_seconds(pid) - c0) / (time.monotonic() - t0)


def login(port):
    """A session cookie for the super user (the API's login)."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    body = json.dumps({"user": harness.ADMIN_USER, "password": harness.ADMIN_PASSWORD})
    conn.request("POST", "/api/login", body, {"Content-Type": "application/json"})
    response = conn.getresponse()
    response.read()
    if response.status != 200:
        raise RuntimeError(f"login refused: {response.status}")
    cookie = response.getheader("Set-Cookie").split(";", 1)[0]
    conn.close()
    return cookie


def event_client(port, seconds, ready, results):
    """One browser's event socket: a WebSocket client with its own session
    (the server allows a session few sockets) that reads every frame for
    `seconds` and returns the delivery delays (s) of the events in it."""
    cookie = login(port)
    sock = socket.create_connection(("127.0.0.1", port), timeout=30)
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall((f"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
                  f"Origin: http://127.0.0.1:{port}\r\nCookie: {cookie}\r\n"
                  "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                  f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode())
    buffer = b""
    while b"\r\n\r\n" not in buffer:
        buffer += sock.recv(65536)
    head, buffer = buffer.split(b"\r\n\r\n", 1)
    if b" 101 " not in head.split(b"\r\n", 1)[0]:
        results.put(("error", head.split(b"\r\n", 1)[0].decode("latin-1")))
        return
    ready.set()
    delays = []
    message = None  # the text message being reassembled from its fragments
    end = time.monotonic() + seconds
    sock.settimeout(1)
    while time.monotonic() < end:
        try:
            data = sock.recv(1 << 20)
        except socket.timeout:
            continue
        if not data:
            break
        now = time.time()
        buffer += data
        while len(buffer) >= 2:
            fin, opcode, length = buffer[0] & 0x80, buffer[0] & 0x0F, buffer[1] & 0x7F
            at = 2
            if length == 126:
                if len(buffer) < 4:
                    break
                length, at = struct.unpack(">H", buffer[2:4])[0], 4
            elif length == 127:
                if len(buffer) < 10:
                    break
                length, at = struct.unpack(">Q", buffer[2:10])[0], 10
            if len(buffer) < at + length:
                break
            payload, buffer = buffer[at:at + length], buffer[at + length:]
            # A long message (the whole fleet) comes in fragments: a text
            # frame, then continuation frames up to the one marked final.
            if opcode == 1:
                message = payload
            elif opcode == 0 and message is not None:
                message += payload
            else:
                continue
            if not fin:
                continue
            text, message = message, None
            # One event, or an array of events sent together.
            decoded = json.loads(text)
            for event in decoded if isinstance(decoded, list) else [decoded]:
                stamp = event.get("time") if isinstance(event, dict) else None
                if stamp:
                    delays.append(now - datetime.datetime.fromisoformat(stamp).timestamp())
    sock.close()
    results.put(("delays", delays))


def quantile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else float("nan")


FIRST_PAINT_SCRIPT = r"""
window.__paint = null;
new MutationObserver((_, observer) => {
  const rows = document.querySelectorAll('#fleet-viewport .row').length;
  const count = (document.getElementById('fleet-count') || {}).textContent || '';
  if (rows > 0 && count.startsWith(window.__expect + ' shown')) {
    observer.disconnect();
    requestAnimationFrame(() => { window.__paint = performance.now(); });
  }
}).observe(document, { childList: true, subtree: true, characterData: true });
"""


def first_paint(browser, server, units):
    """Seconds from navigation start to the first frame showing the fleet's rows."""
    browser.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {
        "source": f"window.__expect = {units};" + FIRST_PAINT_SCRIPT})
    browser.go("fleet")
    browser.driver.refresh()  # a new document, logged in, on the fleet page
    return harness.wait_until(lambda: browser.js("return window.__paint"), 120,
                              "the fleet page's rows") / 1000.0


def verdict(ok):
    return "PASS" if ok else "FAIL"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "..", "build"))
    parser.add_argument("--units", type=int, default=10000)
    parser.add_argument("--rate", type=float, default=1000, help="heartbeats per second, fleet")
    parser.add_argument("--browsers", type=int, default=20)
    parser.add_argument("--seconds", type=float, default=30, help="each measured window")
    args = parser.parse_args()
    print(f"web load: {args.units} units, {args.rate:g} heartbeats/s, {args.browsers} browsers, "
          f"{args.seconds:g} s windows, {os.cpu_count()} cores", flush=True)

    # Ten thousand connections need as many descriptors, in the server and in
    # the simulator, which inherit this limit.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    server = harness.Server(os.path.abspath(args.build))
    sim = browser = None
    workers = []
    try:
        server.sql("insert into UserEquipment (UserName, EquipmentCode, EquipmentName, "
                   "EquipmentType) values ('admin', ?, ?, '01')",
                   [(f"SIM{i}", f"Unit {i}") for i in range(1, args.units + 1)], many=True)
        server.start()
        sim = harness.Sim(server, count=args.units, heartbeat=args.units / args.rate,
                          extra=["--quiet", "--tick", "10", "--connect-rate", "2000",
                                 "--stats", "5"])
        harness.wait_until(lambda: any(f"connected {args.units}" in t for _, t in sim.lines[-3:]),
                           300, f"{args.units} units connected")
        time.sleep(args.units / args.rate)  # one whole heartbeat round
        pid = server.process.pid
        idle = server_cpu(pid, args.seconds)
        print(f"server CPU, no browser: {idle * 100:.1f} % of a core", flush=True)

        # Spawned, not forked: a fork copies the locks that the reader threads hold.
        ctx = multiprocessing.get_context("spawn")
        results = ctx.Queue()
        for _ in range(args.browsers - 1):
            ready = ctx.Event()
            worker = ctx.Process(target=event_client,
                                 args=(server.web_port, args.seconds + 20, ready, results))
            worker.start()
            workers.append(worker)
            if not ready.wait(60):
                raise RuntimeError("an event socket was not opened within 60 s")
        print(f"{len(workers)} event sockets open", flush=True)
        browser = harness.Browser(1280, 800)
        browser.open(server)
        browser.login()
        browser.logged_in()
        browser.go("log")  # the one real browser shows the live log
        time.sleep(5)
        loaded = server_cpu(pid, args.seconds)
        rise = (loaded - idle) / idle if idle > 0 else float("inf")
        print(f"server CPU, {args.browsers} browsers: {loaded * 100:.1f} % of a core", flush=True)
        delays = []
        for _ in workers:
            kind, value = results.get(timeout=120)
            if kind == "error":
                raise RuntimeError("event socket refused: " + value)
            delays += value
        for worker in workers:
            worker.join(30)
        paint = first_paint(browser, server, args.units)

        print(f"heartbeat CPU rise with {args.browsers} browsers: {rise * 100:+.1f} % "
              f"(target <= +10 %) {verdict(rise <= 0.10)}")
        print(f"event delivery: {len(delays)} events, p50 {quantile(delays, 0.5) * 1000:.0f} ms, "
              f"p99 {quantile(delays, 0.99) * 1000:.0f} ms (target p99 <= 1000 ms) "
              f"{verdict(bool(delays) and quantile(delays, 0.99) <= 1.0)}")
        print(f"fleet page first paint at {args.units} units: {paint * 1000:.0f} ms "
              f"(target <= 1000 ms) {verdict(paint <= 1.0)}", flush=True)
    finally:
        for worker in workers:
            if worker.is_alive():
                worker.terminate()
        if browser:
            browser.quit()
        if sim:
            sim.stop()
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
