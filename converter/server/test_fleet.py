"""The fleet map and a buoy's health panel in headless Chromium, against saltmark-server on
127.0.0.1: three buoys, one ok, one late (its messages two days old), one with an open alert
(a low battery, its camera overdue); each drawn in its state's colour where it lies, and the
health panel's last records, battery trend, distance from the deployment position and open
alerts."""

import argparse
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

ARGS = None
CHROMEDRIVER = shutil.which("chromedriver")
OK, LATE, ALERT = "300234010000011", "300234010000012", "300234010000013"
COLOURS = {"ok": (0x2a, 0x9d, 0x5b), "late": (0xe0, 0xa0, 0x30), "alert": (0xd6, 0x28, 0x28)}
DEPLOYED = (-33.5, 151.0)  # the alert buoy's

DEPLOYMENT = """\
buoys:
  "%s": {name: Quiet}
  "%s": {name: Silent}
  "%s": {name: Sagging, position: {latitude: %g, longitude: %g},
         alerts: {record_absent_hours: {Camera: 1}}}
alerts:
  rules: {battery_below: 12}
""" % (OK, LATE, ALERT, *DEPLOYED)


@unittest.skipUnless(CHROMEDRIVER, "no chromedriver")
class FleetPageTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="saltmark-fleet-test-")
        self.addCleanup(self.dir.cleanup)
        folder = self.dir.name
        deployment = os.path.join(folder, "deployment.yaml")
        with open(deployment, "w") as out:
            out.write(DEPLOYMENT)
        self.server = subprocess.Popen(
            [ARGS.server, "--archive", os.path.join(folder, "a.sqlite"), "--directip",
             "127.0.0.1:0", "--confirm", "--http", "127.0.0.1:0", "--deployment", deployment,
             "--web", ARGS.web], stderr=subprocess.PIPE, text=True)
        self.addCleanup(self.stop)
        found = {}
        while len(found) < 2:
            line = self.server.stderr.readline()
            self.assertTrue(line, "the server ended")
            match = re.search(r"(directip|http) listening on (\S+)", line)
            if match:
                found[match.group(1)] = match.group(2)
        self.directip, self.http = found["directip"], found["http"]
        now = int(time.time())
        # Each buoy's fixes, oldest first: (seconds ago, lat, lon, battery volts).
        self.fixes = {
            OK: [(3600, -33.2, 151.8, 12.6), (0, -33.25, 151.85, 12.6)],
            LATE: [(2 * 86400 + 3600, -34.2, 151.3, 12.5), (2 * 86400, -34.25, 151.35, 12.5)],
            # Falling by 0.25 V an hour: 6 V a day.
            ALERT: [(7200, -33.5, 151.15, 11.5), (3600, -33.5, 151.2, 11.25),
                    (0, -33.5, 151.25, 11.0)],
        }
        for imei, fixes in self.fixes.items():
            for momsn, (ago, lat, lon, volts) in enumerate(fixes, 1):
                # The alert buoy's camera sends once, two hours before its newest message.
                camera = imei == ALERT and momsn == 1
                self.send(folder, imei, momsn, now - ago, lat, lon, volts, camera)

    def send(self, folder, imei, momsn, at, lat, lon, volts, camera=False):
        record = os.path.join(folder, "r.rec")
        with open(record, "wb") as out:
            out.write(b"\x06\x01\x08\x00" + struct.pack("<f", volts))
        image = os.path.join(folder, "c.jpg")
        with open(image, "wb") as out:
            out.write(b"\xff\xd8\xff")
        path = os.path.join(folder, "%s_%d.sbd" % (imei, momsn))
        subprocess.run([ARGS.compose, "--record", record, *(["--camera", image] if camera else []),
                        "-o", path, "--directip", "%s,%d,%d,%g,%g,3" % (imei, momsn, at, lat, lon)],
                       check=True)
        sent = subprocess.run([ARGS.send, self.directip, path], capture_output=True, text=True)
        self.assertIn(": confirmed", sent.stdout)

    def stop(self):
        if self.server.poll() is None:
            self.server.send_signal(signal.SIGTERM)
            self.server.wait(timeout=30)
        self.server.stderr.close()

    def browser(self):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        options = webdriver.ChromeOptions()
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                     "--window-size=1200,1600", "--force-device-scale-factor=1"):
            options.add_argument(flag)
        profile = tempfile.TemporaryDirectory(prefix="saltmark-fleet-browser-")
        self.addCleanup(profile.cleanup)
        options.add_argument("--user-data-dir=" + profile.name)
        browser = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        self.addCleanup(browser.quit)
        return browser

    def test_fleet_map_colours_each_buoy_by_state_and_opens_its_health(self):
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import WebDriverWait
        browser = self.browser()
        wait = WebDriverWait(browser, 20)
        browser.get("http://%s/#/fleet" % self.http)
        wait.until(lambda b: b.find_element(By.CSS_SELECTOR, "#fleet-overlay[data-drawn]"))
        states = {row.get_attribute("data-buoy"): row.get_attribute("data-state")
                  for row in browser.find_elements(By.CSS_SELECTOR, "table.fleet tbody tr")}
        self.assertEqual(states, {OK: "ok", LATE: "late", ALERT: "alert"})
        legend = [e.text for e in browser.find_elements(By.CSS_SELECTOR, ".legend[data-state]")]
        self.assertEqual(legend, ["ok (1)", "late (1)", "open alert (1)"])
        for imei, state in states.items():
            _, lat, lon, _ = self.fixes[imei][-1]
            pixel = browser.execute_script(
                "const c = document.getElementById('fleet-overlay');"
                "const [x, y] = c.project(arguments[1], arguments[0]);"
                "const r = c.width / c.clientWidth;"
                "return [x, y, ...c.getContext('2d').getImageData(Math.round(x * r),"
                " Math.round(y * r), 1, 1).data];", lat, lon)
            self.assertEqual(tuple(pixel[2:5]), COLOURS[state], (imei, pixel))
        # A click on the buoy opens its health panel.
        x, y = browser.execute_script(
            "return document.getElementById('fleet-overlay').project(arguments[1], arguments[0]);",
            *self.fixes[ALERT][-1][1:3])
        browser.execute_script(
            "const c = document.getElementById('fleet-overlay');"
            "c.dispatchEvent(new MouseEvent('click', {clientX: c.getBoundingClientRect().left +"
            " arguments[0], clientY: c.getBoundingClientRect().top + arguments[1]}));", x, y)
        wait.until(lambda b: b.current_url.endswith("#/health/" + ALERT))

        state = wait.until(lambda b: b.find_element(By.ID, "health-state"))
        self.assertEqual((state.text, state.get_attribute("data-state")), ("open alert", "alert"))
        self.assertIn("Sagging", browser.find_element(By.CSS_SELECTOR, "h2.title").text)
        self.assertEqual(sorted(e.get_attribute("data-rule") for e in
                                browser.find_elements(By.CSS_SELECTOR, ".health-alerts li")),
                         ["battery_low", "record_absent:Camera"])
        records = {e.get_attribute("data-record"): e.get_attribute("class") for e in
                   browser.find_elements(By.CSS_SELECTOR, ".health-records tbody tr")}
        self.assertEqual(records, {"Miscellaneous values": "", "Camera": "overdue"})
        self.assertRegex(browser.find_element(By.ID, "health-trend").text,
                         r"Trend over the last day of readings \(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC"
                         r" to .* UTC\): -6 V/day$")
        self.assertEqual(browser.find_element(By.ID, "health-battery").get_attribute("data-points"),
                         "3")
        # 0.25° of longitude at 33.5°S on a sphere of 6371.0088 km.
        self.assertIn("now 23.18 km away", browser.find_element(By.ID, "health-distance-now").text)
        self.assertEqual(browser.find_element(By.ID, "health-distance").get_attribute("data-points"),
                         "3")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("--server", "--compose", "--send", "--web"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
