#!/usr/bin/env python3
"""Screenshots of every page of the web console with a simulated fleet.

    python3 tools/web-shots/web_shots.py [--build build] [--out DIR] [--units 200]

Starts build/mms-server on a fresh home, gives the units owners and names,
connects all but a few of them with build/equipment-sim, puts a few in alarm,
logs in with headless Chromium and saves one PNG per page at 1280x800, and
the fleet, log and accounts pages at phone width (390x844), in DIR (default
BUILD/web-shots). Pages that the console does not have are left out.
"""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "web", "browser"))
import harness  # noqa: E402

PAGES = ["fleet", "unit/SIM3", "alarms", "log", "accounts", "settings"]
PHONE_PAGES = ["fleet", "log", "accounts"]
STATIONS = ["North ridge", "Harbour", "Quarry", "Water tower", "Airfield", "Depot", "Hill 402"]


def seed(server, units, offline):
    """Owners and names for every unit; the last `offline` units stay off line."""
    owners = max(1, units // 10)
    server.sql("insert into UserRegister (UserName, UserPassword, Email, UserPhone, UseState) "
               "values (?, 'pw', ?, '555 0100', 0)",
               [(f"operator{i}", f"operator{i}@example.com") for i in range(1, owners + 1)],
               many=True)
    server.sql("insert into UserEquipment (UserName, EquipmentCode, EquipmentName, EquipmentType) "
               "values (?, ?, ?, '01')",
               [(f"operator{i % owners + 1}", f"SIM{i}", f"{STATIONS[i % len(STATIONS)]} {i}")
                for i in range(1, units + 1)], many=True)
    return units - offline


def shoot(browser, out, name, settle=1.5):
    time.sleep(settle)  # let the page's batched repaint and fonts settle
    path = os.path.join(out, name.replace("/", "-") + ".png")
    browser.screenshot(path)
    print(path, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "..", "build"))
    parser.add_argument("--out", help="folder of the PNG files (default BUILD/web-shots)")
    parser.add_argument("--units", type=int, default=200)
    parser.add_argument("--offline", type=int, default=8, help="units that never connect")
    parser.add_argument("--alarms", type=int, default=5, help="units put in alarm")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    out = os.path.abspath(args.out or os.path.join(build, "web-shots"))
    os.makedirs(out, exist_ok=True)

    server = harness.Server(build)
    sim = browser = None
    try:
        online = seed(server, args.units, args.offline)
        server.start()
        sim = harness.Sim(server, count=online, heartbeat=5, extra=["--quiet"])
        browser = harness.Browser(1280, 800)
        browser.open(server)
        browser.login()
        browser.logged_in()
        browser.go("fleet")
        harness.wait_until(
            lambda: browser.js("return document.getElementById('fleet-count').textContent")
            .find(f"{online} on line") >= 0, 120, f"{online} units on line")
        for i in range(args.alarms):
            sim.command(f"alarm {3 + i * 7} 0301 alert")
        time.sleep(3)  # the fleet page fetches owners and alarms after reports
        for page in PAGES:
            if not browser.has("#page-" + page.split("/")[0]):
                print(f"no {page} page in the console: left out", flush=True)
                continue
            browser.go(page)
            shoot(browser, out, page)
        browser.viewport(390, 844, mobile=True)
        for page in PHONE_PAGES:
            browser.go(page)
            shoot(browser, out, "phone-" + page)
        browser.go("fleet")
        browser.js("document.getElementById('logout').click()")
        harness.wait_until(lambda: browser.js("return !document.getElementById('login').hidden"),
                           30, "the login form")
        browser.viewport(1280, 800)
        shoot(browser, out, "login")
    finally:
        if browser:
            browser.quit()
        if sim:
            sim.stop()
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
