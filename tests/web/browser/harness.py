"""Runs the server from the build tree, simulated units and a headless
Chromium against the web console, for the browser tests and the screenshot
tool.

Every server gets its own home folder (a fresh SQLite database, a super user
and free loopback ports), so that cases run side by side without meeting.
"""

import os
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

# The helpers the Python harnesses share.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from localtools import free_ports, wait_until  # noqa: E402,F401

ADMIN_USER = "admin"
ADMIN_PASSWORD = "secret-pw"


class MissingBrowser(Exception):
    """Chromium, its driver or selenium is not installed."""


def machine_loaded():
    """True when the machine runs more than it has cores for: a timing bound
    breached then is reported, not failed."""
    return os.getloadavg()[0] > (os.cpu_count() or 1)


def check_within(label, started, seen, bound=2.0):
    """Asserts that seen - started <= bound seconds (both epoch seconds). On a
    machine loaded beyond its cores a breach is printed instead of failing."""
    delay = seen - started
    print(f"{label}: {delay * 1000:.0f} ms (bound {bound * 1000:.0f} ms)", flush=True)
    if delay <= bound:
        return delay
    message = f"{label} took {delay:.3f} s, more than {bound} s"
    if machine_loaded():
        print(f"BOUND BREACHED UNDER LOAD (load {os.getloadavg()[0]:.1f}): {message}", flush=True)
        return delay
    raise AssertionError(message)


class Server:
    """build/mms-server --headless on its own home, database and ports."""

    def __init__(self, build_dir, env=None):
        self.build_dir = build_dir
        self.home = tempfile.mkdtemp(prefix="mms-browser-")
        self.device_port, self.remote_port, self.client_port, self.web_port = free_ports(4)
        self.url = f"http://127.0.0.1:{self.web_port}"
        self.process = None
        self.output = []
        self.env = dict(os.environ, **(env or {}))
        subprocess.run([self.binary("mms-server"), "--init-db", "--home", self.home],
                       check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(self.home, "Set.ini"), "w", encoding="utf-8") as ini:
            ini.write(f"[Set]\nDeviceConnectPort={self.device_port}\n"
                      f"DataBasePort={self.remote_port}\nClientConnectPort={self.client_port}\n"
                      f"WebPort={self.web_port}\n")
        # The first super user, as the README says to add one.
        self.sql("insert into UserRegister (UserName, UserPassword, Email, UserPhone, UseState) "
                 "values (?, ?, '@', '000', 6)", (ADMIN_USER, ADMIN_PASSWORD))

    def binary(self, name):
        return os.path.join(self.build_dir, name)

    def sql(self, statement, values=(), many=False):
        """Runs one statement on the home's database (before the server starts,
        or for rows the server reads as they come)."""
        with sqlite3.connect(os.path.join(self.home, "MonitorData.db"), timeout=30) as db:
            if many:
                db.executemany(statement, values)
            else:
                db.execute(statement, values)

    def query(self, statement, values=()):
        with sqlite3.connect(os.path.join(self.home, "MonitorData.db"), timeout=30) as db:
            return db.execute(statement, values).fetchall()

    def assign(self, user, code, name="Unit", kind="01", create_user=True):
        """Gives the unit code to the user in UserEquipment (and registers the
        user as an ordinary account first when asked)."""
        if create_user:
            self.sql("insert or ignore into UserRegister (UserName, UserPassword, Email, UseState) "
                     "values (?, 'pw', ?, 0)", (user, user + "@example.com"))
        self.sql("insert into UserEquipment (UserName, EquipmentCode, EquipmentName, EquipmentType) "
                 "values (?, ?, ?, ?)", (user, code, name, kind))

    def start(self, timeout=60):
        self.process = subprocess.Popen(
            [self.binary("mms-server"), "--headless", "--home", self.home],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            env=self.env, text=True, errors="replace")
        threading.Thread(target=self._read, daemon=True).start()

        def listening():
            if self.process.poll() is not None:
                raise AssertionError("mms-server ended at start:\n" + "\n".join(self.output))
            with socket.socket() as s:
                s.settimeout(1)
                return s.connect_ex(("127.0.0.1", self.web_port)) == 0
        wait_until(listening, timeout, f"the web port {self.web_port}")
        return self

    def _read(self):
        for line in self.process.stdout:
            self.output.append(line.rstrip("\n"))

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.home, ignore_errors=True)


class Sim:
    """build/equipment-sim against a server's equipment port. Every line it
    prints is kept with the epoch time it was read, so that a test can tell
    when a unit sent its first heartbeat; commands go to its standard input."""

    def __init__(self, server, count=1, heartbeat=1.0, extra=()):
        self.lines = []  # (epoch seconds, text)
        self.lock = threading.Lock()
        args = [server.binary("equipment-sim"), "--port", str(server.device_port),
                "--count", str(count), "--heartbeat", str(heartbeat), "--stats", "0",
                "--reconnect", "0", *extra]
        self.process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, errors="replace",
                                        bufsize=1)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            with self.lock:
                self.lines.append((time.time(), line.rstrip("\n")))

    def first(self, needle, timeout=30):
        """The epoch time of the first line holding needle (waits for it)."""
        def found():
            with self.lock:
                return next((t for t, text in self.lines if needle in text), None)
        return wait_until(found, timeout, f"the simulator to print '{needle}'")

    def sent(self, needle, timeout=30):
        """The epoch time the simulator stamped on the first line holding
        needle (its own "HH:MM:SS.mmm" in local time), or the time the line was
        read when it carries no stamp."""
        def found():
            with self.lock:
                return next(((t, text) for t, text in self.lines if needle in text), None)
        read_at, text = wait_until(found, timeout, f"the simulator to print '{needle}'")
        try:
            clock = time.strptime(text.split(" ", 1)[0].split(".")[0], "%H:%M:%S")
            millis = int(text.split(" ", 1)[0].split(".")[1])
        except (ValueError, IndexError):
            return read_at
        day = time.localtime(read_at)
        stamped = time.mktime((day.tm_year, day.tm_mon, day.tm_mday, clock.tm_hour, clock.tm_min,
                               clock.tm_sec, 0, 0, -1)) + millis / 1000.0
        # A line read just after midnight may carry the day before's time.
        return stamped - 86400 if stamped - read_at > 43200 else stamped

    def command(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def stop(self):
        """Closes every connection; returns the epoch time the simulator was
        told to quit."""
        if self.process.poll() is not None:
            return time.time()
        stopped = time.time()
        try:
            self.command("quit")
            self.process.wait(30)
        except (BrokenPipeError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()
        return stopped


# Records, in the page, the first time a condition holds: a MutationObserver
# evaluates each watched predicate after every change of the document, so the
# time is that of the paint, not of the test's next poll.
WATCH_SCRIPT = r"""
const name = arguments[0], source = arguments[1];
window.__seen = window.__seen || {};
window.__watches = window.__watches || {};
window.__watches[name] = new Function('return (' + source + ');');
if (!window.__observer) {
  const check = () => {
    for (const [key, test] of Object.entries(window.__watches)) {
      let ok = false;
      try { ok = !!test(); } catch (e) { ok = false; }
      if (ok) { window.__seen[key] = Date.now(); delete window.__watches[key]; }
    }
  };
  window.__observer = new MutationObserver(check);
  window.__observer.observe(document.documentElement,
    { childList: true, subtree: true, characterData: true, attributes: true });
  window.__check = check;
}
window.__check();
"""

# Small page helpers the predicates use.
HELPERS_SCRIPT = r"""
window.fleetRow = (code) => [...document.querySelectorAll('#fleet-viewport .row')]
  .find((row) => row.querySelector('.code') && row.querySelector('.code').textContent === code);
window.fleetState = (code) => { const r = window.fleetRow(code); return r ? r.querySelector('.state').textContent : null; };
"""


class Browser:
    """Headless Chromium through chromedriver, at a given window size."""

    def __init__(self, width=1280, height=800):
        try:
            from selenium import webdriver
            from selenium.webdriver.chrome.service import Service
        except ImportError as e:
            raise MissingBrowser("python3-selenium is not installed (scripts/setup.sh installs it)") from e
        chromium = shutil.which("chromium") or shutil.which("chromium-browser")
        driver = shutil.which("chromedriver") or (
            "/usr/bin/chromedriver" if os.path.exists("/usr/bin/chromedriver") else None)
        if not chromium or not driver:
            raise MissingBrowser("chromium and chromium-driver are needed "
                                 "(scripts/setup.sh installs them): "
                                 f"chromium={chromium} chromedriver={driver}")
        options = webdriver.ChromeOptions()
        options.binary_location = chromium
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--no-first-run", "--disable-extensions", "--hide-scrollbars",
                    f"--window-size={width},{height}"):
            options.add_argument(arg)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.driver = webdriver.Chrome(service=Service(driver), options=options)
        self.viewport(width, height)
        # Counts every alert() before any page script runs, so that markup
        # that gets interpreted shows even when no dialog would stay open.
        self.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": (
            "window.__alerted = false; const shown = window.alert;"
            "window.alert = (...a) => { window.__alerted = true; return shown.apply(window, a); };")})
        self.driver.set_page_load_timeout(60)
        self.driver.set_script_timeout(60)

    def viewport(self, width, height, mobile=False):
        """Sets the page's own size (the window's includes the browser's frame),
        so that pages and screenshots have exactly these CSS pixels."""
        self.driver.set_window_size(width, height + 200)
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})

    def quit(self):
        self.driver.quit()

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def open(self, server):
        self.driver.get(server.url + "/")
        wait_until(lambda: self.js("return !document.getElementById('login').hidden "
                                   "|| !document.getElementById('shell').hidden"),
                   60, "the login form or the console")

    def login(self, user=ADMIN_USER, password=ADMIN_PASSWORD):
        d = self.driver
        d.find_element("id", "login-user").clear()
        d.find_element("id", "login-user").send_keys(user)
        d.find_element("id", "login-password").clear()
        d.find_element("id", "login-password").send_keys(password)
        d.find_element("css selector", "#login-form button[type=submit]").click()

    def logged_in(self, timeout=60):
        wait_until(lambda: self.js("return !document.getElementById('shell').hidden"),
                   timeout, "the console after logging in")
        wait_until(lambda: self.js("return document.getElementById('live').textContent === 'live'"),
                   timeout, "the event socket to connect")
        self.js(HELPERS_SCRIPT)

    def go(self, page, timeout=30):
        """Shows a page by its hash (fleet, log, accounts, settings, ...)."""
        self.js("location.hash = arguments[0];", page)
        wait_until(lambda: self.js("const p = document.getElementById('page-' + arguments[0]);"
                                   "return p && !p.hidden;", page.split("/")[0]),
                   timeout, f"the {page} page")
        self.js(HELPERS_SCRIPT)

    def has(self, selector):
        return self.js("return !!document.querySelector(arguments[0]);", selector)

    def watch(self, name, predicate):
        """Starts recording the first epoch time (ms) the JavaScript predicate
        holds; seen() returns it in seconds."""
        self.js(HELPERS_SCRIPT)
        self.js(WATCH_SCRIPT, name, predicate)

    def seen(self, name, timeout=60):
        ms = wait_until(lambda: self.js("return (window.__seen || {})[arguments[0]];", name),
                        timeout, f"'{name}' in the page")
        return ms / 1000.0

    def console_errors(self):
        return [e for e in self.driver.get_log("browser") if e.get("level") == "SEVERE"]

    def screenshot(self, path):
        self.driver.save_screenshot(path)


class Client:
    """A user's client on the client port: logs in with "*00" and keeps every
    "*...*" message it receives, with the epoch time it arrived."""

    def __init__(self, server, user):
        self.messages = []  # (epoch seconds, text between the stars)
        self.lock = threading.Lock()
        self.sock = socket.create_connection(("127.0.0.1", server.client_port), timeout=30)
        self.sock.settimeout(None)
        threading.Thread(target=self._read, daemon=True).start()
        self.sock.sendall(f"*0000{user}*".encode("latin-1"))

    def _read(self):
        buffer = b""
        while True:
            try:
                data = self.sock.recv(65536)
            except OSError:
                return
            if not data:
                return
            buffer += data
            while True:
                start = buffer.find(b"*")
                end = buffer.find(b"*", start + 1) if start >= 0 else -1
                if end < 0:
                    break
                with self.lock:
                    self.messages.append((time.time(), buffer[start + 1:end].decode("latin-1")))
                buffer = buffer[end + 1:]

    def wait(self, predicate, timeout, what):
        """The first message that predicate(text) accepts, as (time, text)."""
        def found():
            with self.lock:
                return next(((t, m) for t, m in self.messages if predicate(m)), None)
        return wait_until(found, timeout, what)

    def close(self):
        self.sock.close()
