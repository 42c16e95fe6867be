"""The web console in a real browser: headless Chromium against the server
built in the build tree, with simulated units, on loopback.

    python3 browser_test.py --build BUILD_DIR [CASE ...]

Each case gets its own server home, database and ports. A case for a page
that is not in the console yet is skipped; exit code 77 means every case run
was skipped. Time bounds are checked from timestamps (the simulator's own
stamp of what it sent against the time the page changed, recorded in the page
by a MutationObserver); on a machine loaded beyond its cores a breached bound
is printed instead of failing.

Adding a case: a method test_NAME on BrowserCase; self.server is not started
yet (seed the database first, then self.start()), self.browser is logged in by
self.start(); watch a JavaScript predicate with self.browser.watch(name,
predicate) and read when it first held with self.browser.seen(name).
"""

import argparse
import datetime
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

BUILD_DIR = None
XSS_NAME = "<img src=x onerror=alert(1)>"


class BrowserCase(unittest.TestCase):
    def setUp(self):
        self.sims = []
        self.clients = []
        self.browser = None
        self.server = harness.Server(BUILD_DIR)
        self.addCleanup(self._cleanup)

    def _cleanup(self):
        for client in self.clients:
            client.close()
        for sim in self.sims:
            sim.stop()
        if self.browser:
            self.browser.quit()
        self.server.stop()

    def start(self, login=True):
        """Starts the server and the browser, and logs in."""
        self.server.start()
        try:
            self.browser = harness.Browser()
        except harness.MissingBrowser as e:
            self.fail(f"no headless browser: {e}")
        self.browser.open(self.server)
        if login:
            self.browser.login()
            self.browser.logged_in()

    def sim(self, **options):
        sim = harness.Sim(self.server, **options)
        self.sims.append(sim)
        return sim

    def client(self, user):
        client = harness.Client(self.server, user)
        self.clients.append(client)
        return client

    def require(self, selector, what):
        """Skips the case while the console has no element for it."""
        if not self.browser.has(selector):
            self.skipTest(f"{what}: no {selector} in the console yet")

    # --- cases -----------------------------------------------------------

    def test_login(self):
        self.start(login=False)
        self.browser.login(password="wrong")
        error = harness.wait_until(
            lambda: self.browser.js("return document.getElementById('login-error').textContent"),
            60, "the refusal of a wrong password")
        self.assertTrue(self.browser.js("return document.getElementById('shell').hidden"), error)
        self.browser.login()
        self.browser.logged_in()
        self.assertEqual(harness.ADMIN_USER,
                         self.browser.js("return document.getElementById('whoami').textContent"))

        # Logging out ends the session on the server and shows the login page
        # without telling the operator that the session was lost.
        self.browser.driver.find_element("id", "logout").click()
        harness.wait_until(
            lambda: self.browser.js("return !document.getElementById('login').hidden"),
            60, "the login page after logging out")
        status = self.browser.driver.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "fetch('/api/session').then((r) => done(r.status), () => done(0));")
        self.assertEqual(401, status)
        self.assertEqual("", self.browser.js(
            "return document.getElementById('login-error').textContent"))

    def test_unit_goes_on_and_off_line_on_the_fleet_page(self):
        # An assigned unit stays in the fleet when it goes; an unassigned one
        # is no longer known once it is gone.
        self.server.assign("user1", "SIM1")
        self.start()
        self.browser.go("fleet")
        self.browser.watch("online", "fleetState('SIM1') === 'On line'")
        sim = self.sim(heartbeat=1)
        harness.check_within("on line after the first heartbeat",
                             sim.sent("SIM1 -> heartbeat"), self.browser.seen("online"))
        self.browser.watch("offline", "fleetState('SIM1') === 'Off line'")
        closed = sim.stop()
        harness.check_within("off line after closing", closed, self.browser.seen("offline"))

    def test_unit_name_is_shown_as_text(self):
        self.server.assign("user1", "SIM1", name=XSS_NAME)
        self.start()
        self.sim()
        self.browser.go("fleet")
        self.browser.watch("row", "fleetState('SIM1') === 'On line'")
        self.browser.seen("row")
        names = self.browser.js("return [...fleetRow('SIM1').children].map((c) => c.textContent)")
        self.assertIn(XSS_NAME, names)
        self.assertEqual(0, self.browser.js("return document.querySelectorAll('img').length"))
        self.assertFalse(self.browser.js("return !!window.__alerted"))
        from selenium.common.exceptions import NoAlertPresentException
        with self.assertRaises(NoAlertPresentException):
            self.browser.driver.switch_to.alert.text

    def test_log_page_shows_heartbeats_live(self):
        self.start()
        self.browser.go("log")
        lines = ("[...document.querySelectorAll('#log-events .line, #log-traffic .line')]"
                 ".filter((l) => l.textContent.includes('HeartBeat (EquipmentCode:SIM1 ')).length")
        self.browser.watch("first", f"{lines} >= 1")
        sim = self.sim(heartbeat=1)
        sim.sent("SIM1 -> heartbeat")
        self.browser.seen("first")
        # More lines keep coming without a reload, one per heartbeat.
        count = self.browser.js(f"return {lines}")
        self.browser.watch("more", f"{lines} >= {count + 2}")
        self.browser.seen("more")

    def test_alarm_appears_on_the_alarms_page(self):
        # Reports count once the unit is registered, which takes an owner.
        self.server.assign("user1", "SIM1")
        self.start()
        self.require("#page-alarms", "the alarms page")
        self.browser.go("alarms")
        self.browser.watch("alarm", "document.querySelector('#page-alarms [data-unit=\"SIM1\"]')")
        sim = self.sim(heartbeat=1)
        sim.sent("SIM1 -> heartbeat")
        sim.command("alarm 1 0301 alert")
        harness.check_within("alarm on the alarms page", sim.sent("SIM1 -> alarm"),
                             self.browser.seen("alarm"))

    def test_chart_shows_the_points_of_answers(self):
        # Answers of the unit as the server stores them (length, parameter
        # code low byte first, value): temperature (0501), within the unit
        # page's default range, the last 24 hours.
        now = datetime.datetime.now().replace(microsecond=0)
        stamp = lambda minutes: (now - datetime.timedelta(minutes=minutes)).strftime(
            "%Y-%m-%d %H:%M:%S")
        rows = [("Unit", "SIM1", "02", "General", f"040105{value:02X}", stamp(30 - i),
                 stamp(30 - i)) for i, value in enumerate((20, 25, 30))]
        self.server.assign("user1", "SIM1")
        self.server.sql("insert into QueryHistory (EquipmentName, EquipmentCode, OperateFlag, "
                        "QueryMode, DataBody, QueryTime, ReturnTime) values (?, ?, ?, ?, ?, ?, ?)",
                        rows, many=True)
        self.start()
        self.require("#page-unit", "the unit page")
        self.browser.go("unit/SIM1")
        self.browser.watch("chart", "[...document.querySelectorAll('canvas[data-param]')]"
                           ".some((c) => (c.dataset.points || '0') !== '0')")
        self.browser.seen("chart")

    def test_assigning_a_unit_notifies_the_users_client(self):
        self.server.sql("insert into UserRegister (UserName, UserPassword, Email, UseState) "
                        "values ('user2', 'pw', 'user2@example.com', 0)")
        self.start()
        self.require("#assign-user", "unit assignment on the accounts page")
        sim = self.sim(heartbeat=1)
        sim.sent("SIM1 -> heartbeat")
        # The login of a user whose units are all off line gets no answer: the
        # browser's steps below take far longer than the server takes to log in.
        client = self.client("user2")
        self.browser.go("accounts")
        d = self.browser.driver
        d.find_element("id", "assign-user").send_keys("user2")
        d.find_element("id", "assign-code").send_keys("SIM1")
        d.find_element("id", "assign-submit").click()
        client.wait(lambda m: m.startswith("12SIM1@") and "&01" in m, 60,
                    "the client's on-line notice of SIM1")
        self.assertEqual([("user2",)], self.server.query(
            "select UserName from UserEquipment where EquipmentCode = 'SIM1'"))


def main():
    global BUILD_DIR
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True, help="the build tree with mms-server")
    parser.add_argument("cases", nargs="*", help="test method names (default: all)")
    args = parser.parse_args()
    BUILD_DIR = os.path.abspath(args.build)
    loader = unittest.TestLoader()
    if args.cases:
        suite = unittest.TestSuite(BrowserCase(name) for name in args.cases)
    else:
        suite = loader.loadTestsFromTestCase(BrowserCase)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    return 77 if result.testsRun and len(result.skipped) == result.testsRun else 0


if __name__ == "__main__":
    sys.exit(main())
