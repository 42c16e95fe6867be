"""A cluster of mms-server nodes on loopback for the failover tests and the
failover benchmark: a PostgreSQL cluster of its own (initdb into a temporary
folder), two or more nodes from the build tree, HAProxy started from
packaging/haproxy.cfg with loopback ports put in, an SMTP server for the alert
mails, the equipment simulator with N units and a client querying units, both
through HAProxy.

Faults are dealt to the active node (kill -9, SIGSTOP/SIGCONT) or to
PostgreSQL (pg_ctl restart -m fast|immediate), and measured against the
wall clock:
- the new lock: the first GET /health/active answered 200 by another node
  (each node's health is polled every 50 ms throughout);
- the units answered again: for every unit, its first heartbeat answered on
  a new connection after the fault (the simulator's "event ... up" lines);
- the unanswered heartbeats: the simulator's lost and pending counts.

Only the standard library; PostgreSQL is read with psql. A node that exits
is started again as a standby after a short pause, as systemd's
Restart=on-failure does.
"""

import base64
import collections
import dataclasses
import glob
import json
import os
import re
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

# The helpers the Python harnesses share.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from localtools import free_ports, wait_until  # noqa: E402,F401

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SYSTEM_PYTHON = "/usr/bin/python3"  # Debian's, which has aiosmtpd
LOCK_KEY = 5210
MAIL_PASSWORD = "pw"
MAIL_SENDER = "me@example.com"


class SetupError(Exception):
    """Something the cluster needs is missing or would not start."""


def port_open(port, timeout=0.5):
    with socket.socket() as s:
        s.settimeout(timeout)
        return s.connect_ex(("127.0.0.1", port)) == 0


def is_root():
    return os.geteuid() == 0


class Postgres:
    """A PostgreSQL cluster of its own on a free loopback port, run as the
    postgres user when this process is root, with a role mms owning the
    database MonitorData (made from db/postgresql/*.sql and db/data.sql)."""

    def __init__(self, workdir):
        found = sorted(glob.glob("/usr/lib/postgresql/*/bin"),
                       key=lambda p: int(re.sub(r"\D", "", p) or 0))
        if not found:
            raise SetupError("PostgreSQL is not installed (scripts/setup.sh installs it)")
        self.bindir = found[-1]
        self.dir = os.path.join(workdir, "pg")
        self.port = free_ports(1)[0]
        self.user, self.password, self.database = "mms", "mms-pw", "MonitorData"
        os.makedirs(self.dir)
        if is_root():
            shutil.chown(workdir, "postgres")
            shutil.chown(self.dir, "postgres")
        self._run("initdb", "-A", "trust", "-U", "postgres", "-D", self.dir)
        self.start()
        self.psql(f"create role {self.user} login password '{self.password}'", db="postgres")
        self.psql(f'create database "{self.database}" owner {self.user}', db="postgres")
        scripts = [os.path.join(SOURCE_DIR, "db", "postgresql", "schema.sql")]
        scripts += sorted(p for p in glob.glob(os.path.join(SOURCE_DIR, "db", "postgresql", "*.sql"))
                          if not p.endswith("schema.sql"))
        scripts.append(os.path.join(SOURCE_DIR, "db", "data.sql"))
        for script in scripts:
            with open(script, encoding="utf-8") as f:
                self.psql(f.read(), as_owner=True)

    def _run(self, tool, *args, timeout=120):
        command = [os.path.join(self.bindir, tool), *args]
        if is_root():
            command = ["runuser", "-u", "postgres", "--", *command]
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, timeout=timeout)
        if done.returncode != 0:
            raise SetupError(f"{tool} failed: {done.stdout.strip()}")
        return done.stdout

    def _options(self):
        # fsync off: a crash of the server process loses nothing with it;
        # only a crash of the machine would, and this cluster is thrown away.
        return (f"-p {self.port} -c listen_addresses=127.0.0.1 -k {self.dir} "
                "-c fsync=off -c max_connections=200")

    def start(self):
        self._run("pg_ctl", "-D", self.dir, "-l", os.path.join(self.dir, "server.log"), "-w",
                  "-o", self._options(), "start")

    def restart(self, mode):
        """pg_ctl restart -m mode; returns (stopping, back): when the command
        was given and when the server took connections again (epoch s)."""
        stopping = time.time()
        self._run("pg_ctl", "-D", self.dir, "-l", os.path.join(self.dir, "server.log"), "-w",
                  "-m", mode, "-o", self._options(), "restart")
        wait_until(lambda: self.ready(), 60, "PostgreSQL to take connections again")
        return stopping, time.time()

    def ready(self):
        return subprocess.run([os.path.join(self.bindir, "pg_isready"), "-q", "-h", "127.0.0.1",
                               "-p", str(self.port)]).returncode == 0

    def stop(self):
        try:
            self._run("pg_ctl", "-D", self.dir, "-m", "immediate", "-w", "stop", timeout=60)
        except (SetupError, subprocess.TimeoutExpired):
            pass

    def psql(self, sql, params=None, db=None, as_owner=False):
        """Runs SQL with psql and returns the rows as lists of text. Values
        go in as psql variables (:'name'), never pasted into the text."""
        user = self.user if (as_owner or db is None) else "postgres"
        command = ["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-At", "-F", "\t",
                   "-h", "127.0.0.1", "-p", str(self.port), "-U", user,
                   "-d", db or self.database]
        for name, value in (params or {}).items():
            command += ["-v", f"{name}={value}"]
        done = subprocess.run(command, input=sql, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, timeout=60,
                              env=dict(os.environ, PGPASSWORD=self.password))
        if done.returncode != 0:
            raise SetupError(f"psql failed: {done.stderr.strip()}\n{sql[:200]}")
        return [line.split("\t") for line in done.stdout.splitlines() if line]


class Node:
    """One mms-server --headless on its own home, with the [Cluster] section,
    started again after an exit (as systemd would) unless it was stopped."""

    def __init__(self, cluster, name, cluster_keys):
        self.cluster = cluster
        self.name = name
        self.home = os.path.join(cluster.workdir, name)
        os.makedirs(self.home)
        (self.device_port, self.client_port, self.remote_port,
         self.metrics_port) = free_ports(4)
        pg = cluster.pg
        keys = "".join(f"{k}={v}\n" for k, v in cluster_keys.items())
        with open(os.path.join(self.home, "Set.ini"), "w", encoding="utf-8") as ini:
            ini.write(f"[Set]\nDeviceConnectPort={self.device_port}\n"
                      f"ClientConnectPort={self.client_port}\nDataBasePort={self.remote_port}\n"
                      f"MetricsPort={self.metrics_port}\nMetricsListen=127.0.0.1\nWebPort=0\n"
                      # Frames per tick without a cap: alarm reports of a whole
                      # fleet are acknowledged as they come, not a few a tick.
                      "ReceiveFramesPerTick=0\nSendFramesPerTick=0\nReplyEntryPauseMs=0\n"
                      f"[Database]\nDriver=QPSQL\nHost=127.0.0.1\nPort={pg.port}\n"
                      f"Name={pg.database}\nUser={pg.user}\nPassword={pg.password}\n"
                      f"[Cluster]\nNodeName={name}\nLockKey={LOCK_KEY}\nAcceptProxy=1\n{keys}")
        self.process = None
        # (epoch s, "out"|"err", text) of every run, the newest 200,000; the
        # cluster lines (role changes, stops) are also kept apart, all of them.
        self.lines = collections.deque(maxlen=200_000)
        self.cluster_lines = []
        self.exits = []  # (epoch s, exit code)
        self.starts = []  # epoch s
        self.lock = threading.Lock()
        self.keep_running = False
        self.health = HealthWatch(self)

    def start(self):
        self.keep_running = True
        self._spawn()
        self.health.start()

    def _spawn(self):
        env = dict(os.environ, **self.cluster.node_env)
        self.process = subprocess.Popen(
            [os.path.join(self.cluster.build_dir, "mms-server"), "--headless", "--home", self.home],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
            text=True, errors="replace")
        with self.lock:
            self.starts.append(time.time())
        process = self.process
        threading.Thread(target=self._read, args=(process.stdout, "out"), daemon=True).start()
        threading.Thread(target=self._read, args=(process.stderr, "err"), daemon=True).start()
        threading.Thread(target=self._watch, args=(process,), daemon=True).start()

    def _read(self, stream, which):
        for line in stream:
            entry = (time.time(), which, line.rstrip("\n"))
            with self.lock:
                self.lines.append(entry)
                if which == "err" and "Cluster node" in line:
                    self.cluster_lines.append(entry)

    def _watch(self, process):
        code = process.wait()
        with self.lock:
            self.exits.append((time.time(), code))
        if self.keep_running and not self.cluster.closing:
            time.sleep(0.5)  # RestartSec of the unit is longer; this keeps runs short
            if self.keep_running and not self.cluster.closing:
                self._spawn()

    def pid(self):
        return self.process.pid

    def signal(self, sig):
        """Sends the signal to the current process; returns the epoch time."""
        os.kill(self.process.pid, sig)
        return time.time()

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def stop(self):
        self.keep_running = False
        self.health.stop()
        if self.alive():
            try:
                os.kill(self.process.pid, signal.SIGCONT)
                self.process.terminate()
                self.process.wait(20)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()

    def output_since(self, since):
        with self.lock:
            return [(t, which, text) for t, which, text in self.lines if t >= since]

    def exit_after(self, since):
        with self.lock:
            return next(((t, code) for t, code in self.exits if t >= since), None)

    def log_text(self, last=60):
        """The node's cluster lines, then its last output lines."""
        with self.lock:
            tail = list(self.lines)[-last:]
            cluster = [time.strftime("%H:%M:%S", time.localtime(t)) + " " + text
                       for t, _, text in self.cluster_lines]
        return ("  cluster lines:\n" + "\n".join("    " + line for line in cluster)
                + "\n  last output:\n" + "\n".join(f"    [{which}] {text}"
                                                   for _, which, text in tail))


class HealthWatch:
    """Polls GET /health/active on a node's metrics port every 50 ms in a
    thread of its own and keeps every change of answer with its time."""

    def __init__(self, node):
        self.node = node
        self.changes = []  # (epoch s, status or None)
        self.lock = threading.Lock()
        self.running = False

    def start(self):
        if not self.running:
            self.running = True
            threading.Thread(target=self._run, daemon=True).start()

    def stop(self):
        self.running = False

    def _probe(self):
        try:
            with socket.create_connection(("127.0.0.1", self.node.metrics_port), 0.3) as s:
                s.settimeout(0.3)
                s.sendall(b"GET /health/active HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
                head = s.recv(64).decode("latin-1")
            match = re.match(r"HTTP/1\.[01] (\d{3})", head)
            return int(match.group(1)) if match else None
        except OSError:
            return None

    def _run(self):
        while self.running:
            status = self._probe()
            now = time.time()
            with self.lock:
                if not self.changes or self.changes[-1][1] != status:
                    self.changes.append((now, status))
            time.sleep(0.05)

    def current(self):
        with self.lock:
            return self.changes[-1][1] if self.changes else None

    def first(self, status, since):
        """The epoch time this node first answered status at or after since:
        the time of the change to it, or since itself when it answered so
        already then."""
        with self.lock:
            before = [s for t, s in self.changes if t < since]
            if before and before[-1] == status:
                return since
            return next((t for t, s in self.changes if t >= since and s == status), None)

    def seen(self, status, since, until):
        """True when the node answered status at some time within the span."""
        with self.lock:
            before = [s for t, s in self.changes if t < since]
            if before and before[-1] == status:
                return True
            return any(since <= t <= until and s == status for t, s in self.changes)


class Balancer:
    """HAProxy started in the foreground from packaging/haproxy.cfg: the
    global lines that need a system service (log, user, group, daemon) are
    left out, the bind lines get loopback ports and the server lines name
    the nodes, with the check on each node's metrics port."""

    def __init__(self, cluster):
        self.cluster = cluster
        self.equipment_port, self.client_port = free_ports(2)
        self.path = os.path.join(cluster.workdir, "haproxy.cfg")
        self.process = None
        self.output = []

    def config(self):
        with open(os.path.join(SOURCE_DIR, "packaging", "haproxy.cfg"), encoding="utf-8") as f:
            source = f.read().splitlines()
        out, section, backend = [], "", ""
        for line in source:
            words = line.split()
            if line and not line[0].isspace():
                section = words[0] if words else ""
                backend = words[1] if section == "backend" and len(words) > 1 else ""
            if not words or words[0].startswith("#"):
                out.append(line)
                continue
            if section == "global" and words[0] in ("log", "user", "group", "daemon", "chroot",
                                                     "stats", "pidfile"):
                continue
            if section == "global" and words[0] == "maxconn":
                # Two descriptors a connection, within this machine's limit.
                hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
                if hard != resource.RLIM_INFINITY:
                    line = f"    maxconn {min(int(words[1]), (hard - 200) // 2)}"
            if section == "defaults" and (words[0] == "log" or words[:2] == ["option", "tcplog"]):
                continue
            if section == "frontend" and words[0] == "bind":
                port = self.equipment_port if self._frontend_is_equipment(out) else self.client_port
                line = f"    bind 127.0.0.1:{port}"
            if words[0] == "default-server":
                line = re.sub(r"\bport \d+\s*", "", line)
            if words[0] == "server":
                if out and out[-1].split()[:1] == ["server"]:
                    continue
                for node in self.cluster.nodes:
                    port = node.device_port if backend.startswith("equipment") else node.client_port
                    out.append(f"    server {node.name} 127.0.0.1:{port} port {node.metrics_port}")
                continue
            out.append(line)
        return "\n".join(out) + "\n"

    @staticmethod
    def _frontend_is_equipment(lines):
        for line in reversed(lines):
            if line.startswith("frontend"):
                return "equipment" in line
        return True

    def start(self):
        if not shutil.which("haproxy") and not os.path.exists("/usr/sbin/haproxy"):
            raise SetupError("haproxy is not installed (scripts/setup.sh installs it)")
        binary = shutil.which("haproxy") or "/usr/sbin/haproxy"
        with open(self.path, "w", encoding="utf-8") as f:
            f.write(self.config())
        check = subprocess.run([binary, "-c", "-f", self.path], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True)
        if check.returncode != 0:
            raise SetupError("haproxy refuses the configuration:\n" + check.stdout)
        self.process = subprocess.Popen([binary, "-db", "-f", self.path],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, errors="replace")
        threading.Thread(target=self._read, daemon=True).start()
        wait_until(lambda: port_open(self.equipment_port) or self.process.poll() is not None,
                   20, "HAProxy to listen")
        if self.process.poll() is not None:
            raise SetupError("haproxy ended at start:\n" + "\n".join(self.output))

    def _read(self):
        for line in self.process.stdout:
            self.output.append(line.rstrip("\n"))

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Mailbox:
    """tests/support/smtp_server.py on a free port (AUTH offered), the alert
    mails' server of every node."""

    def __init__(self, cluster):
        self.dir = os.path.join(cluster.workdir, "mail")
        os.makedirs(self.dir)
        self.port = free_ports(1)[0]
        self.process = subprocess.Popen(
            [SYSTEM_PYTHON, os.path.join(SOURCE_DIR, "tests", "support", "smtp_server.py"),
             "--port", str(self.port), "--mailbox", self.dir, "--mode", "auth",
             "--user", MAIL_SENDER, "--password", MAIL_PASSWORD],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        first = self.process.stdout.readline()
        if not first.startswith("READY"):
            raise SetupError("the SMTP test server did not start: " + first
                             + self.process.stdout.read())

    def messages(self):
        """Every mail received: (arrival epoch s, recipient list, attachment
        lines), in arrival order."""
        out = []
        for path in sorted(glob.glob(os.path.join(self.dir, "msg-*.json"))):
            with open(path, encoding="utf-8") as f:
                record = json.load(f)
            lines = []
            for attachment in record.get("attachments", []):
                text = base64.b64decode(attachment["data_b64"]).decode("latin-1")
                lines += [l for l in text.split("\r\n")[1:] if l.strip()]
            out.append((os.path.getmtime(path), record["rcpt_tos"], lines))
        return out

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Fleet:
    """build/equipment-sim with --events through HAProxy: every event line
    is kept, and "status" answers are read back on request."""

    STATUS = re.compile(r"heartbeats sent (\d+) answered (\d+) lost (\d+) pending (\d+)")

    def __init__(self, cluster, count, heartbeat, alarm_rate, connect_rate=500, prefix="SIM",
                 reconnect=0.5):
        self.cluster = cluster
        self.count = count
        self.codes = [f"{prefix}{i}" for i in range(1, count + 1)]
        args = [os.path.join(cluster.build_dir, "equipment-sim"), "--port",
                str(cluster.balancer.equipment_port), "--count", str(count),
                "--code-prefix", prefix, "--station-base", "20000" if prefix != "SIM" else "10000",
                "--heartbeat",
                str(heartbeat), "--stats", "0", "--events", "--quiet", "--reconnect", str(reconnect),
                "--reply-timeout", str(max(3.0, heartbeat * 2)), "--alarm-repeat", "3",
                "--connect-rate", str(connect_rate)]
        if count > 200:
            args += ["--tick", "20"]
        self.process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, errors="replace",
                                        bufsize=1)
        self.lock = threading.Lock()
        self.ups = []  # (epoch s, code)
        self.downs = []  # (epoch s, code, heartbeats left unanswered)
        self.acks = []  # (epoch s, code, serial, alarm item)
        self.commands = []  # (epoch s, code, serial)
        self.other = collections.deque(maxlen=200)
        self.statuses = []
        self.status_event = threading.Condition(self.lock)
        self.input_lock = threading.Lock()
        self.running = True
        threading.Thread(target=self._read, daemon=True).start()
        if alarm_rate > 0:
            threading.Thread(target=self._alarms, args=(alarm_rate,), daemon=True).start()

    def _alarms(self, rate):
        """Alarm reports at the rate over the fleet, unit after unit, each
        unit's alarm 0301 going to alert and back in turn."""
        alert = set()
        n = 0
        while self.running:
            code = self.codes[n % self.count]
            state = "normal" if code in alert else "alert"
            alert.symmetric_difference_update({code})
            try:
                self.command(f"alarm {code} 0301 {state}")
            except OSError:
                return
            n += 1
            time.sleep(1.0 / rate)

    def _read(self):
        for line in self.process.stdout:
            words = line.split()
            with self.lock:
                if len(words) >= 4 and words[0] == "event":
                    at = int(words[1]) / 1000.0
                    kind, code = words[2], words[3]
                    if kind == "up":
                        self.ups.append((at, code))
                    elif kind == "down":
                        self.downs.append((at, code, int(words[4])))
                    elif kind == "ack":
                        self.acks.append((at, code, int(words[4]), words[5]))
                    elif kind == "command":
                        self.commands.append((at, code, int(words[4])))
                elif words and words[0] == "units":
                    self.statuses.append(line.strip())
                    self.status_event.notify_all()
                else:
                    self.other.append(line.rstrip("\n"))

    def command(self, line):
        with self.input_lock:
            self.process.stdin.write(line + "\n")
            self.process.stdin.flush()

    def status(self):
        """(sent, answered, lost, pending) heartbeats, as the simulator says."""
        with self.lock:
            seen = len(self.statuses)
        self.command("status")
        with self.lock:
            if not self.status_event.wait_for(lambda: len(self.statuses) > seen, 20):
                raise AssertionError("the simulator did not answer 'status'")
            match = self.STATUS.search(self.statuses[-1])
        return tuple(int(v) for v in match.groups())

    def unanswered(self):
        _, _, lost, pending = self.status()
        return lost + pending

    def first_ups_after(self, since):
        """unit code -> the first time it was answered on a new connection
        at or after since."""
        first = {}
        with self.lock:
            for at, code in self.ups:
                if at >= since and code not in first:
                    first[code] = at
        return first

    def downs_between(self, since, until):
        with self.lock:
            return [d for d in self.downs if since <= d[0] <= until]

    def acked(self):
        with self.lock:
            return list(self.acks)

    def serials(self):
        with self.lock:
            return [serial for _, _, serial in self.commands]

    def stop(self):
        self.running = False
        if self.process.poll() is None:
            try:
                self.command("quit")
                self.process.wait(10)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()


class Client:
    """A user client through HAProxy's client port: logs in as the owner of
    a unit and queries it once a second, connecting again whenever the
    connection drops. Each query makes the active node send the unit a
    request with a fresh serial number."""

    def __init__(self, cluster, user, code):
        self.cluster, self.user, self.code = cluster, user, code
        self.running = True
        self.sent = 0
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while self.running:
            try:
                with socket.create_connection(("127.0.0.1", self.cluster.balancer.client_port),
                                              2) as s:
                    s.settimeout(1.0)
                    s.sendall(f"*0000{self.user}*".encode("latin-1"))
                    while self.running:
                        s.sendall(f"*01{self.code}@0204010500#Unit*".encode("latin-1"))
                        self.sent += 1
                        end = time.monotonic() + 1.0
                        while time.monotonic() < end:
                            try:
                                if not s.recv(65536):
                                    raise OSError("closed")
                            except socket.timeout:
                                pass
            except OSError:
                time.sleep(0.3)

    def stop(self):
        self.running = False


class Cluster:
    """PostgreSQL, the SMTP server, the nodes, HAProxy, the simulated units
    and the clients, in that order; close() ends them all."""

    def __init__(self, build_dir, nodes=2, units=20, heartbeat=1.0, alarm_rate=2.0,
                 clients=2, cluster_keys=None, alarm_step_ms=5, reconnect=0.5, log=True):
        self.build_dir = os.path.abspath(build_dir)
        self.workdir = tempfile.mkdtemp(prefix="mms-cluster-")
        self.closing = False
        self.nodes, self.fleet, self.balancer, self.mailbox, self.pg = [], None, None, None, None
        self.clients, self.mail_fleet = [], None
        self.units, self.heartbeat, self.alarm_rate = units, heartbeat, alarm_rate
        # Seconds a unit waits before it connects again. While no node is up
        # HAProxy accepts a connection and closes it at once, so every
        # attempt costs the unit a heartbeat (sent on connecting) that goes
        # unanswered.
        self.reconnect = reconnect
        # The operator log on standard output (ShowInfoHint): every frame of
        # every unit. Too much to read for a large fleet; the cluster lines go
        # to standard error whatever it says.
        self.log = log
        # The alarm worker's step, shortened so that a recovery (150 passes
        # of ten steps) is mailed within seconds.
        self.node_env = {"MMS_PACE_ALARM_STEP_MS": str(alarm_step_ms)}
        try:
            self.pg = Postgres(self.workdir)
            self.mailbox = Mailbox(self)
            self._prepare_database(units, clients)
            keys = dict(cluster_keys or {})
            for i in range(1, nodes + 1):
                self.nodes.append(Node(self, f"node{i}", keys))
            # The first node starts alone so that it is the active one.
            self.nodes[0].start()
            wait_until(lambda: self.nodes[0].health.current() == 200, 60,
                       "node1 to hold the lock")
            for node in self.nodes[1:]:
                node.start()
            wait_until(lambda: all(n.health.current() == 503 for n in self.nodes[1:]), 60,
                       "the standbys to answer 503")
            self.balancer = Balancer(self)
            self.balancer.start()
        except BaseException:
            self.close()
            raise

    def _prepare_database(self, units, clients):
        sender = f"127.0.0.1:{self.mailbox.port}*Auto^{MAIL_SENDER}&{MAIL_PASSWORD}"
        self.pg.psql("update NormalParam set SetValue = :'v' where SetItem = 'EmailPassword'",
                     {"v": sender})
        self.pg.psql("update NormalParam set SetValue = :'v' where SetItem = 'ShowInfoHint'",
                     {"v": "1" if self.log else "0"})
        # user<i> owns SIM<i> (queried by a client) and gets its alert
        # mails; mailer owns MAIL1, the unit whose alarms the tests choose.
        owners = [(f"user{i}", f"SIM{i}", f"Unit {i}") for i in range(1, clients + 1)]
        owners.append(("mailer", "MAIL1", "Mail 1"))
        for user, code, name in owners:
            self.pg.psql("insert into UserRegister (UserName, UserPassword, Email, UseState) "
                         "values (:'u', 'pw', :'e', 0)", {"u": user, "e": f"{user}@example.com"})
            self.pg.psql("insert into UserEquipment (UserName, EquipmentCode, EquipmentName, "
                         "EquipmentType) values (:'u', :'c', :'n', '01')",
                         {"u": user, "c": code, "n": name})
        # The server acknowledges the alarm reports of owned units only:
        # fleet owns the other units (and gets their alert mails).
        self.pg.psql("insert into UserRegister (UserName, UserPassword, Email, UseState) "
                     "values ('fleet', 'pw', 'fleet@example.com', 0)")
        self.pg.psql("insert into UserEquipment (UserName, EquipmentCode, EquipmentName, "
                     "EquipmentType) select 'fleet', 'SIM' || i, 'Unit ' || i, '01' "
                     "from generate_series(:'first'::int, :'last'::int) as i",
                     {"first": clients + 1, "last": units})

    def start_traffic(self, clients=2, connect_rate=500):
        """The units (SIM1.. with random alarm reports, and MAIL1, which
        reports only on command) and the clients through HAProxy; returns
        once every unit has been answered."""
        start = time.time()
        self.fleet = Fleet(self, self.units, self.heartbeat, self.alarm_rate, connect_rate,
                           reconnect=self.reconnect)
        self.mail_fleet = Fleet(self, 1, self.heartbeat, 0, prefix="MAIL", reconnect=self.reconnect)
        for fleet in (self.fleet, self.mail_fleet):
            wait_until(lambda: len(fleet.first_ups_after(start)) == fleet.count, 120,
                       f"all {fleet.count} units {fleet.codes[0]}.. to be answered through HAProxy")
        for i in range(1, clients + 1):
            self.clients.append(Client(self, f"user{i}", f"SIM{i}"))

    def active(self):
        """The node answering 200 now (None when none or several do)."""
        active = [n for n in self.nodes if n.health.current() == 200]
        return active[0] if len(active) == 1 else None

    def wait_active(self, timeout=60):
        return wait_until(self.active, timeout, "one node to hold the lock")

    def new_lock_after(self, since, old):
        """The first time at or after since that a node other than old
        answered 200, with that node; None when none has yet."""
        best = None
        for node in self.nodes:
            if node is old:
                continue
            at = node.health.first(200, since)
            if at is not None and (best is None or at < best[0]):
                best = (at, node)
        return best

    def close(self):
        self.closing = True
        for client in self.clients:
            client.stop()
        for fleet in (self.fleet, self.mail_fleet):
            if fleet:
                fleet.stop()
        if self.balancer:
            self.balancer.stop()
        for node in self.nodes:
            node.stop()
        if self.mailbox:
            self.mailbox.stop()
        if self.pg:
            self.pg.stop()
        shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# ---------------------------------------------------------------- faults

@dataclasses.dataclass
class Failover:
    """One fault and what followed, times in seconds after the fault (None:
    not seen within the wait)."""
    kind: str
    fault: float  # epoch s
    lock: float  # another node answered 200
    first_unit: float  # the first unit answered again
    last_unit: float  # the last unit answered again (None when some never were)
    unanswered: int  # heartbeats lost or left pending over the run
    missing: list  # units never answered again
    old: object  # the node the fault hit
    new: object  # the node that took over
    resumed: float = None  # epoch s of SIGCONT (freeze)
    drops: int = 0  # connections the units saw closed between the fault and the last answer
    late: list = None  # the last units answered again, with their drops: [(code, s, drops)]


def failover(cluster, kind, freeze_seconds=30.0, settle_timeout=60.0):
    """Deals one fault to the active node (kind "kill": SIGKILL; "stop":
    SIGSTOP, then SIGCONT after freeze_seconds) and measures it. Times are
    seconds after the fault (None: not seen within the timeout); missing
    lists the units never answered again. Waits until the old node is
    running again as a standby (it is started again after its exit)."""
    old = cluster.wait_active()
    fleet = cluster.fleet
    before = fleet.unanswered()
    fault = old.signal(signal.SIGKILL if kind == "kill" else signal.SIGSTOP)
    resumed = None
    deadline = time.monotonic() + max(settle_timeout, freeze_seconds + 20)
    lock = None
    ups = {}
    while time.monotonic() < deadline:
        lock = lock or cluster.new_lock_after(fault, old)
        ups = fleet.first_ups_after(fault)
        if kind == "stop" and resumed is None and time.time() >= fault + freeze_seconds:
            resumed = old.signal(signal.SIGCONT)
        if lock and len(ups) == fleet.count and (kind == "kill" or resumed):
            break
        time.sleep(0.05)
    if kind == "stop" and resumed is None:
        resumed = old.signal(signal.SIGCONT)
    times = sorted(ups.values())
    # The old node is back as a standby before the next fault.
    # The cluster settles before the next fault: one node active, every
    # other one (the old one, started again) a standby.
    def settled():
        return cluster.active() is not None and all(
            n.alive() and n.health.current() in (200, 503) for n in cluster.nodes)
    try:
        wait_until(settled, 120, f"{old.name} to run again and one node to be active")
    except AssertionError as e:
        with old.lock:
            exits = [code for t, code in old.exits if t >= fault]
        raise AssertionError(f"{e} (health {old.health.current()}, exit codes since the fault "
                             f"{exits})\n" + "\n".join(f"{n.name}:\n{n.log_text(10)}"
                                                        for n in cluster.nodes)) from None
    # Heartbeats sent before the fault and still pending then count with
    # this run; so do the ones that time out afterwards.
    time.sleep(max(3.0, cluster.heartbeat * 2))
    unanswered = fleet.unanswered() - before
    settled = times[-1] if times else time.time()
    downs = fleet.downs_between(fault, settled)
    per_unit = collections.Counter(code for _, code, _ in downs)
    late = sorted(ups.items(), key=lambda item: item[1])[-3:]
    result = Failover(
        drops=len(downs), late=[(code, at - fault, per_unit[code]) for code, at in late],
        kind=kind, fault=fault,
        lock=(lock[0] - fault) if lock else None,
        first_unit=(times[0] - fault) if times else None,
        last_unit=(times[-1] - fault) if len(times) == fleet.count else None,
        unanswered=unanswered,
        missing=sorted(set(fleet.codes) - set(ups)),
        old=old, new=lock[1] if lock else None, resumed=resumed)
    return result


# ---------------------------------------------------------------- checks over a whole run

def acked_without_row(cluster):
    """Alarm reports a unit saw acknowledged that have no AlarmHistory row:
    for each unit and alarm item, the acknowledgements beyond the rows."""
    acked = collections.Counter((code, item) for fleet in (cluster.fleet, cluster.mail_fleet)
                                for _, code, _, item in fleet.acked())
    rows = collections.Counter()
    for code, body, count in cluster.pg.psql(
            "select EquipmentCode, DataBody, count(*) from AlarmHistory "
            "group by EquipmentCode, DataBody"):
        rows[(code, body.upper())] = int(count)
    return {key: n - rows[key] for key, n in acked.items() if n > rows[key]}


def repeated_serials(cluster):
    """Request serial numbers the units received more than once: serial ->
    [(clock time, unit code)] of each arrival."""
    seen = collections.defaultdict(list)
    with cluster.fleet.lock:
        for at, code, serial in cluster.fleet.commands:
            seen[serial].append((time.strftime("%H:%M:%S", time.localtime(at))
                                 + f".{int(at * 1000) % 1000:03d}", code))
    return {serial: arrivals for serial, arrivals in seen.items() if len(arrivals) > 1}


def mail_lines(cluster):
    """(recipient, attachment line) -> how many mails carried it."""
    counts = collections.Counter()
    for _, recipients, lines in cluster.mailbox.messages():
        for recipient in recipients:
            for line in lines:
                counts[(recipient, line.rstrip())] += 1
    return counts


def summary(values):
    """min / median / p90 / max of the values (None when empty)."""
    values = sorted(v for v in values if v is not None)
    if not values:
        return None
    p90 = values[min(len(values) - 1, max(0, int(round(0.9 * len(values) + 0.5)) - 1))]
    return values[0], statistics.median(values), p90, values[-1]
