#!/usr/bin/python3
"""Failover of a two-node cluster behind HAProxy, on loopback (cluster.py):

  failover_test.py --build DIR kill|freeze|database

kill      kill -9 of the active node, three times (the nodes take turns): a
          standby holds the lock within 2 s and every unit is answered again
          through HAProxy within 6 s.
freeze    SIGSTOP of the active node for 30 s, twice: the lock and every unit
          within 10 s; after SIGCONT the old node logs that it stops, logs
          nothing it did for a unit, and exits with code 3 within 2 s.
database  PostgreSQL restarted with -m fast, then -m immediate: no node
          changes role, no unit loses its connection, and the alarm reports
          sent while the database was away have their rows within 30 s of its
          return.

Every case ends with the checks that nothing was lost: each alarm report a
unit saw acknowledged has its AlarmHistory row, no request serial number
reached a unit twice, no alert mail line went out twice (except at most one
per kill -9: the mail in flight), and (kill, freeze) an alarm's recovery
mail arrives after the failover (the recovery is counted across it).

A limit missed fails the case with the measured figure.
"""

import argparse
import os
import re
import signal
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cluster as cl  # noqa: E402

LOCK_AFTER_KILL = 2.0
UNITS_AFTER_KILL = 6.0
AFTER_FREEZE = 10.0
EXIT_AFTER_RESUME = 2.0
ROWS_AFTER_DATABASE = 30.0
FREEZE_SECONDS = 30.0
STAMP = re.compile(r"(\d\d:\d\d:\d\d)->")  # the time of an operator log line


class Failures:
    def __init__(self):
        self.messages = []

    def check(self, ok, message):
        if not ok:
            self.messages.append(message)
            print("FAIL: " + message, flush=True)
        return ok


def fmt(seconds):
    return "never" if seconds is None else f"{seconds:.2f} s"


def report(run, n):
    print(f"run {n} ({run.kind}): {run.old.name} -> {run.new.name if run.new else '-'}: "
          f"lock {fmt(run.lock)}, first unit {fmt(run.first_unit)}, last unit "
          f"{fmt(run.last_unit)}, unanswered heartbeats {run.unanswered}", flush=True)


def mail_alarm(cluster, state):
    """MAIL1 reports alarm 0301 in the state; waits for its acknowledgement."""
    fleet = cluster.mail_fleet
    before = len(fleet.acked())
    cluster.mail_fleet.command(f"alarm MAIL1 0301 {state}")
    cl.wait_until(lambda: len(fleet.acked()) > before, 30,
                  f"the acknowledgement of MAIL1's {state} report")


def mail_line_time(cluster, status, since=0.0, timeout=60):
    """The arrival time of the first mail to mailer with a line of Mail 1 in
    the status, arrived after since."""
    def found():
        for at, recipients, lines in cluster.mailbox.messages():
            if at >= since and "mailer@example.com" in recipients and any(
                    line.startswith("Mail 1 ") and f" {status} " in line + " " for line in lines):
                return at
        return None
    return cl.wait_until(found, timeout, f"a mail with MAIL1's {status} line")


def arm_recovery(cluster):
    """MAIL1 goes into alert (mailed) and back to normal: the recovery mail
    is due some seconds later, after the fault that follows at once."""
    mail_alarm(cluster, "alert")
    mail_line_time(cluster, "Alert")
    mail_alarm(cluster, "normal")


def nothing_lost(cluster, failures, kills, after=None):
    """The checks over the whole case; after: the first failover's time
    (None: the case has no failover, and no recovery armed across one)."""
    if after is not None:
        try:
            recovered = mail_line_time(cluster, "Normal", timeout=90)
            failures.check(recovered >= after,
                           f"MAIL1's recovery mail arrived {after - recovered:.1f} s before the "
                           f"failover it should follow")
        except AssertionError as e:
            failures.check(False, f"no recovery mail after the failover: {e}")
    # The last reports in flight are acknowledged and stored.
    time.sleep(3)
    missing = cl.acked_without_row(cluster)
    acked = len(cluster.fleet.acked()) + len(cluster.mail_fleet.acked())
    failures.check(not missing, f"{sum(missing.values())} of {acked} acknowledged alarm reports "
                                f"have no AlarmHistory row: {dict(list(missing.items())[:5])}")
    serials = cl.repeated_serials(cluster)
    failures.check(not serials, f"{len(serials)} request serial numbers reached the units more "
                                f"than once (of {len(cluster.fleet.serials())}): "
                                f"{dict(list(serials.items())[:5])}")
    failures.check(len(cluster.fleet.serials()) > 0,
                   "no request reached a unit: the clients' queries did not get through")
    lines = cl.mail_lines(cluster)
    twice = {key: n for key, n in lines.items() if n > 1}
    extra = sum(n - 1 for n in twice.values())
    failures.check(extra <= kills, f"{extra} alert mail lines went out again (at most {kills}, "
                                   f"one per kill -9): {list(twice)[:5]}")
    print(f"nothing lost: {acked} alarm reports acknowledged, "
          f"{len(cluster.fleet.serials())} requests to units, {sum(lines.values())} mail lines "
          f"({extra} again)", flush=True)


def case_kill(cluster, failures):
    arm_recovery(cluster)
    runs = []
    for n in range(1, 4):
        run = cl.failover(cluster, "kill")
        report(run, n)
        runs.append(run)
        failures.check(run.lock is not None and run.lock <= LOCK_AFTER_KILL,
                       f"run {n}: a standby held the lock {fmt(run.lock)} after kill -9 of "
                       f"{run.old.name} (at most {LOCK_AFTER_KILL} s)")
        failures.check(not run.missing, f"run {n}: units never answered again: {run.missing[:10]}")
        failures.check(run.last_unit is not None and run.last_unit <= UNITS_AFTER_KILL,
                       f"run {n}: the last unit was answered again {fmt(run.last_unit)} after "
                       f"kill -9 (at most {UNITS_AFTER_KILL} s)")
    nothing_lost(cluster, failures, kills=len(runs), after=runs[0].fault + runs[0].lock
                 if runs[0].lock else runs[0].fault)


def case_freeze(cluster, failures):
    arm_recovery(cluster)
    runs = []
    for n in range(1, 3):
        run = cl.failover(cluster, "stop", freeze_seconds=FREEZE_SECONDS)
        report(run, n)
        runs.append(run)
        failures.check(run.lock is not None and run.lock <= AFTER_FREEZE,
                       f"run {n}: a standby held the lock {fmt(run.lock)} after SIGSTOP of "
                       f"{run.old.name} (at most {AFTER_FREEZE} s)")
        failures.check(not run.missing, f"run {n}: units never answered again: {run.missing[:10]}")
        failures.check(run.last_unit is not None and run.last_unit <= AFTER_FREEZE,
                       f"run {n}: the last unit was answered again {fmt(run.last_unit)} after "
                       f"SIGSTOP (at most {AFTER_FREEZE} s)")
        # After SIGCONT: the stop line, nothing done for a unit, the exit.
        ended = run.old.exit_after(run.resumed)
        failures.check(ended is not None and ended[0] - run.resumed <= EXIT_AFTER_RESUME,
                       f"run {n}: {run.old.name} exited "
                       f"{fmt(ended[0] - run.resumed) if ended else 'never'} after SIGCONT "
                       f"(at most {EXIT_AFTER_RESUME} s)")
        failures.check(ended is not None and ended[1] == 3,
                       f"run {n}: {run.old.name} exited with code {ended[1] if ended else None} "
                       f"after SIGCONT (3 expected)")
        until = ended[0] if ended else time.time()
        after = [(which, text) for t, which, text in run.old.output_since(run.resumed) if t <= until]
        stop_lines = [text for _, text in after if "Cluster node" in text]
        failures.check(any("stopping" in text for text in stop_lines),
                       f"run {n}: {run.old.name} did not log that it stops after SIGCONT; "
                       f"its output then:\n" + "\n".join(text for _, text in after[:20]))
        # The log's writer may put out after SIGCONT lines stamped before
        # the freeze; a line stamped at SIGCONT or later is new work.
        resumed_clock = time.strftime("%H:%M:%S", time.localtime(run.resumed))
        unit_lines = [text for _, text in after
                      if (stamp := STAMP.search(text)) and stamp.group(1) >= resumed_clock
                      and any(code in text for code in cluster.fleet.codes + ["MAIL1"])]
        failures.check(not unit_lines,
                       f"run {n}: {run.old.name} still dealt with units after SIGCONT:\n"
                       + "\n".join(unit_lines[:10]))
    nothing_lost(cluster, failures, kills=0,
                 after=runs[0].fault + runs[0].lock if runs[0].lock else runs[0].fault)


def case_database(cluster, failures):
    for n, mode in enumerate(("fast", "immediate"), 1):
        active = cluster.wait_active()
        fleet = cluster.mail_fleet
        acks_before = len(fleet.acked())
        # The reports go out while the database is away: the restart runs
        # in a thread, the reports follow as soon as it has begun.
        result = {}
        restart = threading.Thread(target=lambda: result.update(t=cluster.pg.restart(mode)))
        restart.start()
        time.sleep(0.2)
        for state in ("alert", "normal", "alert", "normal"):
            fleet.command(f"alarm MAIL1 0301 {state}")
            time.sleep(0.1)
        restart.join()
        stopping, back = result["t"]
        print(f"run {n} (PostgreSQL restart -m {mode}): away {back - stopping:.2f} s", flush=True)
        # Every report acknowledged, every acknowledged report stored.
        deadline = back + ROWS_AFTER_DATABASE
        stored_at = None
        while time.time() < deadline + 5:
            acked = len(fleet.acked()) - acks_before
            if acked >= 4 and not cl.acked_without_row(cluster):
                stored_at = time.time()
                break
            time.sleep(0.2)
        failures.check(stored_at is not None and stored_at <= deadline,
                       f"run {n}: the reports sent while PostgreSQL restarted (-m {mode}) were "
                       f"stored {fmt(stored_at - back if stored_at else None)} after its return "
                       f"(at most {ROWS_AFTER_DATABASE} s)")
        print(f"run {n}: stored {fmt(stored_at - back if stored_at else None)} after the "
              f"database's return", flush=True)
        # Roles and connections through the restart and a while after it.
        time.sleep(max(0.0, back + 12 - time.time()))
        now = time.time()
        for node in cluster.nodes:
            if node is not active:
                failures.check(not node.health.seen(200, stopping, now),
                               f"run {n}: {node.name} took the lock during the restart "
                               f"(-m {mode})")
        failures.check(active.health.current() == 200 and active.alive(),
                       f"run {n}: {active.name} is no longer active after the restart "
                       f"(-m {mode})")
        downs = cluster.fleet.downs_between(stopping, now) + fleet.downs_between(stopping, now)
        failures.check(not downs, f"run {n}: {len(downs)} unit connections dropped during the "
                                  f"restart (-m {mode}): {[d[1] for d in downs[:10]]}")
    nothing_lost(cluster, failures, kills=0)


CASES = {"kill": case_kill, "freeze": case_freeze, "database": case_database}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build")
    parser.add_argument("case", choices=sorted(CASES))
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # the cluster is closed on the way out
    failures = Failures()
    try:
        with cl.Cluster(args.build, nodes=2, units=20, heartbeat=1.0, alarm_rate=4.0) as cluster:
            cluster.start_traffic(clients=2)
            try:
                CASES[args.case](cluster, failures)
            except AssertionError as e:
                failures.check(False, str(e))
            if failures.messages:
                for node in cluster.nodes:
                    print(f"--- last output of {node.name}:\n{node.log_text()}", flush=True)
                print("--- HAProxy:\n" + "\n".join(cluster.balancer.output[-30:]), flush=True)
    except cl.SetupError as e:
        print(f"cannot set the cluster up: {e}", flush=True)
        return 1
    if failures.messages:
        print(f"{len(failures.messages)} check(s) failed", flush=True)
        return 1
    print("all checks passed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
