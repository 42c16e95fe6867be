#!/usr/bin/python3
"""bench/failover: failover of the active node with a large fleet behind
HAProxy, on loopback (the failover tests' cluster, tests/failover/cluster.py).

  failover_bench.py [--build build] [--units 2000] [--runs 20] [--nodes 2]
                    [--heartbeat 5] [--freeze 30] [--reconnect 1]

Deals --runs faults to whichever node is active, alternating kill -9 and
SIGSTOP (SIGCONT after --freeze seconds; the old node then exits and is
started again as a standby), and prints per run the time from the fault to
the new lock (another node's /health/active answers 200), to the first and
the last unit answered again through HAProxy, and the heartbeats the units
saw go unanswered (a unit sends one on every connection, and while no node
is up HAProxy accepts and closes each attempt, every --reconnect seconds),
the connections the units saw closed until the last one was answered, and
the last three units with their own; then min / median / p90 / max per kind of fault, each
against the limit the cluster must keep (kill -9: lock 2 s, units 6 s;
SIGSTOP: both 10 s).
"""

import argparse
import os
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "tests", "failover"))
import cluster as cl  # noqa: E402

LIMITS = {"kill": (2.0, 6.0), "stop": (10.0, 10.0)}


def fmt(v):
    return "   never" if v is None else f"{v:8.2f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build")
    parser.add_argument("--units", type=int, default=2000)
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--nodes", type=int, default=2)
    parser.add_argument("--heartbeat", type=float, default=5.0)
    parser.add_argument("--freeze", type=float, default=30.0)
    parser.add_argument("--reconnect", type=float, default=1.0)
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # the cluster is closed on the way out

    started = time.monotonic()
    with cl.Cluster(args.build, nodes=args.nodes, units=args.units, heartbeat=args.heartbeat,
                    alarm_rate=args.units / 100.0, reconnect=args.reconnect,
                    log=False) as cluster:
        cluster.start_traffic(clients=2, connect_rate=1000)
        print(f"failover: {args.units} units (heartbeat every {args.heartbeat} s, reconnect "
              f"after {args.reconnect} s), "
              f"{args.nodes} nodes, {args.runs} faults; set up in "
              f"{time.monotonic() - started:.0f} s", flush=True)
        print(f"{'run':>3} {'fault':>5} {'node':>12} {'lock s':>8} {'first s':>8} "
              f"{'last s':>8} {'unanswered':>10} {'drops':>6}  last units (s, drops)", flush=True)
        runs = []
        for n in range(1, args.runs + 1):
            kind = "kill" if n % 2 else "stop"
            try:
                run = cl.failover(cluster, kind, freeze_seconds=args.freeze, settle_timeout=90)
            except AssertionError as e:
                print(f"run {n} ({kind}) did not settle: {e}", flush=True)
                break
            runs.append(run)
            moved = f"{run.old.name}>{run.new.name if run.new else '-'}"
            print(f"{n:3d} {kind:>5} {moved:>12} {fmt(run.lock)} {fmt(run.first_unit)} "
                  f"{fmt(run.last_unit)} {run.unanswered:10d} {run.drops:6d}  "
                  + ", ".join(f"{code} {at:.1f} s/{drops}" for code, at, drops in run.late)
                  + (f"  ({len(run.missing)} units never answered again)" if run.missing else ""),
                  flush=True)
        if not runs:
            return 1
        missing = cl.acked_without_row(cluster)
        serials = cl.repeated_serials(cluster)

    print("\nsummary (s)            min   median      p90      max   limit")
    failed = False
    for kind, name in (("kill", "kill -9"), ("stop", "SIGSTOP")):
        chosen = [r for r in runs if r.kind == kind]
        if not chosen:
            continue
        for label, values, limit in (
                ("new lock", [r.lock for r in chosen], LIMITS[kind][0]),
                ("first unit", [r.first_unit for r in chosen], None),
                ("last unit", [r.last_unit for r in chosen], LIMITS[kind][1])):
            s = cl.summary(values)
            never = sum(v is None for v in values)
            worst = None if never else (s[3] if s else None)
            verdict = ""
            if limit is not None:
                ok = worst is not None and worst <= limit
                failed |= not ok
                verdict = f"{limit:6.1f} {'PASS' if ok else 'FAIL'}"
            line = " ".join(fmt(v) for v in s) if s else "       -" * 4
            print(f"{name:8} {label:11} {line} {verdict}"
                  + (f"  ({never} never)" if never else ""))
        lost = cl.summary([r.unanswered for r in chosen])
        print(f"{name:8} {'unanswered':11} " + " ".join(f"{v:8.0f}" for v in lost)
              + "  heartbeats per run")
    print(f"acknowledged alarm reports without their row: {sum(missing.values())}; "
          f"request serial numbers repeated: {len(serials)}")
    failed |= bool(missing) or bool(serials) or len(runs) < args.runs
    print(f"run time {time.monotonic() - started:.0f} s", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
