"""The dashboard in a real browser: saltmark-server on a temporary archive of composed messages
(two buoys, 30 days; for the map, a second archive of buoys at sea around the globe; for the
quality flags, a third of one buoy with faults put in, imported with --qc), driven by headless
Chromium through chromedriver, one browser session.

Run by CTest; by hand:
  python3 test_dashboard.py --server S --convert C --send D --web DIR [--screenshots DIR]
"""

import argparse
import http.client
import json
import os
import pathlib
import re
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import dashboard_fixture as fixture  # noqa: E402

HOSTILE_NAME = "<img src=x onerror=alert(1)>.sbd"
PER_BUOY = 60
CHROMIUM_FLAGS = ("--headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
                  "--disable-background-networking --disable-component-update --disable-sync "
                  "--window-size=1280,900").split()

ARGS = None


class ServerProcess:
    """saltmark-server on 127.0.0.1 with ports it picks; the log read on a thread."""

    def __init__(self, *args):
        self.process = subprocess.Popen([ARGS.server, *args], stderr=subprocess.PIPE, text=True)
        self.lines = []
        self.ready = threading.Event()
        threading.Thread(target=self._read, daemon=True).start()
        if not self.ready.wait(20):
            raise RuntimeError("server did not start:\n" + "".join(self.lines))
        self.http = self._port("http")
        self.directip = self._port("directip") if "--directip" in args else None

    def _read(self):
        for line in self.process.stderr:
            self.lines.append(line)
            if "http listening on" in line:
                self.ready.set()

    def _port(self, side):
        for line in self.lines:
            match = re.search(side + r" listening on 127\.0\.0\.1:(\d+)", line)
            if match:
                return int(match.group(1))
        raise RuntimeError(f"no {side} line:\n" + "".join(self.lines))

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        status = self.process.wait(20)
        self.process.stderr.close()
        return status


def raw_get(port, path, headers=None):
    """A request sent as written: no client folds "/static/../" away."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.putrequest("GET", path, skip_host=True)
    for name, value in ({"Host": f"127.0.0.1:{port}"} | (headers or {})).items():
        connection.putheader(name, value)
    connection.endheaders()
    response = connection.getresponse()
    body = response.read()
    connection.close()
    return response.status, body


class DashboardTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        tmp = pathlib.Path(cls.tmp.name)
        cls.composed = fixture.write(tmp / "in", PER_BUOY)
        hostile = tmp / "in" / HOSTILE_NAME
        hostile.write_bytes(bytes([55]) + fixture.battery(12.0))
        cls.archive = tmp / "archive.sqlite"
        subprocess.run([ARGS.convert, "--db", str(cls.archive), *sorted(map(str, (tmp / "in").iterdir()))],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.server = ServerProcess("--archive", str(cls.archive), "--directip", "127.0.0.1:0", "--confirm",
                                   "--http", "127.0.0.1:0", "--web", ARGS.web)
        cls.base = f"http://127.0.0.1:{cls.server.http}/"
        options = webdriver.ChromeOptions()
        for flag in CHROMIUM_FLAGS:
            options.add_argument(flag)
        cls.profile = tempfile.TemporaryDirectory()
        options.add_argument("--user-data-dir=" + cls.profile.name)
        # In a zone far from UTC, a time shown in the browser's own zone cannot pass for UTC.
        service = Service(ARGS.chromedriver, env=dict(os.environ, TZ="America/Los_Angeles"))
        cls.browser = webdriver.Chrome(service=service, options=options)
        cls.browser.set_page_load_timeout(30)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        status = cls.server.stop()
        cls.profile.cleanup()
        cls.tmp.cleanup()
        if status != 0:
            raise AssertionError(f"server exited {status}:\n" + "".join(cls.server.lines))

    def open(self, fragment):
        self.browser.get(self.base + fragment)
        self.browser.refresh()  # a new fragment alone would not reload the page's state

    def wait_for(self, script, timeout=10):
        return WebDriverWait(self.browser, timeout, poll_frequency=0.1).until(
            lambda b: b.execute_script(script))

    def shoot(self, name):
        if ARGS.screenshots:
            time.sleep(0.5)
            self.browser.save_screenshot(str(pathlib.Path(ARGS.screenshots) / f"dashboard-{name}.png"))

    def query(self, sql, *params):
        with sqlite3.connect(f"file:{self.archive}?mode=ro", uri=True) as db:
            return db.execute(sql, params).fetchall()

    def test_1_overview_shows_each_buoys_last_values(self):
        self.open("#/")
        self.wait_for("return document.querySelectorAll('.buoy').length == 3")
        for imei in fixture.IMEIS:
            last = max((c for c in self.composed if c[2]["imei"] == imei), key=lambda c: c[2]["time"])[2]
            card = self.browser.find_element(By.CSS_SELECTOR, f".buoy[data-buoy='{imei}']")
            field = lambda name: card.find_element(By.CSS_SELECTOR, f"[data-field='{name}']").text
            self.assertEqual(field("battery"), f"{last['battery']:g} V")
            self.assertEqual(field("messages"), str(PER_BUOY))
            stamp = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(last["time"]))
            self.assertIn(stamp, field("last-time"))
            lat, lon = map(float, re.match(r"([-\d.]+), ([-\d.]+)", field("position")).groups())
            self.assertAlmostEqual(lat, last["lat"], places=4)
            self.assertAlmostEqual(lon, last["lon"], places=4)
            self.assertIn("late", card.get_attribute("class"))  # the composed month is long past
        self.shoot("overview")

    def test_2_chosen_field_draws_every_archived_row(self):
        self.open("#/series")
        self.wait_for("return document.getElementById('type') !== null")
        Select(self.browser.find_element(By.ID, "type")).select_by_visible_text("PB200")
        self.wait_for("const f = document.getElementById('field'); return f && f.value === 'WDMean'")
        Select(self.browser.find_element(By.ID, "field")).select_by_visible_text("WSMean")
        points = self.wait_for("const c = document.getElementById('chart');"
                               "return location.hash.includes('WSMean') && c && c.dataset.points"
                               " && c.querySelector('canvas') ? c.dataset.points : null")
        rows = self.query("SELECT COUNT(*) FROM PB200 WHERE measured_at IS NOT NULL")[0][0]
        self.assertEqual(int(points), rows)
        self.assertEqual(rows, 2 * PER_BUOY)
        self.assertIn("gaps", self.browser.find_element(By.ID, "series-count").text)
        # The time under the cursor and the axis ticks, in UTC whatever the browser's zone.
        ActionChains(self.browser).move_to_element(
            self.browser.find_element(By.CSS_SELECTOR, "#chart .u-over")).perform()
        shown = self.wait_for("const v = document.querySelector('#chart .u-series .u-value');"
                              "return v && v.textContent.includes('UTC') ? v.textContent : null")
        self.assertIn(shown, {time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(c[2]["time"]))
                              for c in self.composed})
        t = fixture.START + 6 * 86400 + 23 * 3600 + 180  # 23:03 UTC, 15:03 in the browser's zone
        ticks = self.browser.execute_async_script(
            "const [t, done] = arguments;"
            "import('/static/charts.js').then((c) => done(c.utcTickLabels([t, t + 3600], 3600)))", t)
        self.assertEqual(ticks, ["23:03\n2025-12-07", "00:03\n2025-12-08"])
        self.shoot("series")

    def test_3_message_page_shows_the_converters_report(self):
        name, data, _ = self.composed[10]  # turbulence spectrum and camera image
        expected = subprocess.run([ARGS.convert, "-"], input=data, capture_output=True, check=True).stdout
        (message_id,) = self.query("SELECT id FROM messages WHERE file_name = ?", name)[0]
        status, served = raw_get(self.server.http, f"/api/messages/{message_id}/report")
        self.assertEqual((status, served), (200, expected))
        self.open(f"#/message/{message_id}")
        shown = self.wait_for("const r = document.getElementById('report'); return r && r.textContent")
        self.assertEqual(shown.encode("utf-8"), expected)
        self.wait_for("return document.querySelectorAll('.spectra canvas').length > 0")
        legend = self.wait_for("const l = [...document.querySelectorAll('.spectra .u-label')]"
                               ".map((e) => e.textContent); return l.length ? l : null")
        self.assertIn("f^-5/3 fit 2.0–4.9 Hz", legend)
        # The server hands the page its line: the fit's level over the fit band's bands.
        _, body = raw_get(self.server.http, f"/api/messages/{message_id}")
        (line,) = [r["fit_line"] for r in json.loads(body)["records"] if r["type"] == "Y81000"]
        self.assertEqual(len(line["bands"]), len(line["tke"]))
        self.assertGreaterEqual(len(line["bands"]), 2)
        self.wait_for("const i = document.querySelector('img.camera'); return i && i.complete && i.naturalWidth > 0")
        self.shoot("message")

    def test_4_track_and_hostile_name(self):
        self.open("#/track")
        self.wait_for("const m = document.getElementById('track-map'); return m && m.dataset.drawn")
        self.shoot("track")
        self.open("#/messages?imei=files")
        cell = self.wait_for("const c = document.querySelector('#message-rows td.file'); return c && c.textContent")
        self.assertEqual(cell, HOSTILE_NAME)
        (hostile_id,) = self.query("SELECT id FROM messages WHERE file_name = ?", HOSTILE_NAME)[0]
        self.open(f"#/message/{hostile_id}")
        title = self.wait_for("const t = document.getElementById('message-file'); return t && t.textContent")
        self.assertEqual(title, HOSTILE_NAME)
        self.assertEqual(self.browser.execute_script("return document.querySelectorAll('main img').length"), 0)
        self.assertNotIn("null", self.browser.find_element(By.TAG_NAME, "main").text)
        with self.assertRaises(NoAlertPresentException):
            self.browser.switch_to.alert.text

    def test_5_message_over_directip_appears_while_the_page_is_open(self):
        self.open("#/messages")
        self.wait_for("return document.querySelectorAll('#message-rows tr').length > 0")
        times = self.browser.execute_script(
            "return [...document.querySelectorAll('#message-rows td:nth-child(3)')].map((c) => c.textContent)")
        self.assertEqual(times, sorted(times, key=lambda t: (t != "—", t), reverse=True))  # untimed last
        t = fixture.START + 40 * 86400
        payload = bytes([55]) + fixture.battery(11.5)
        framed = fixture.directip(fixture.IMEIS[0], 999, t, payload, 55.0, 8.0, 2)
        path = pathlib.Path(self.tmp.name) / "live.sbd"
        path.write_bytes(framed)
        sent = time.monotonic()
        subprocess.run([ARGS.send, f"127.0.0.1:{self.server.directip}", str(path)], check=True,
                       stdout=subprocess.DEVNULL)
        self.wait_for(f"return [...document.querySelectorAll('#message-rows td.file')]"
                      f".some((c) => c.textContent === '{fixture.IMEIS[0]}_999.sbd')", timeout=10)
        self.assertLess(time.monotonic() - sent, 10)

    def test_6_bad_requests_get_4xx_and_the_server_goes_on(self):
        for path in ("/static/../", "/static/../CMakeLists.txt", "/static/%2e%2e/index.html",
                     "/api/nope", "/api/messages/999999", "/api/series?type=PB200&field=Nope",
                     "/api/messages?from=<script>"):
            status, body = raw_get(self.server.http, path)
            self.assertTrue(400 <= status < 500, f"{path}: {status}")
            self.assertLess(len(body), 200)
        status, _ = raw_get(self.server.http, "/api/buoys")
        self.assertEqual(status, 200)
        # A web site whose name resolves to 127.0.0.1 gets nothing from a server without token.
        status, _ = raw_get(self.server.http, "/api/buoys", {"Host": "attacker.example"})
        self.assertEqual(status, 403)

    def test_7_with_a_token_every_peer_must_send_it(self):
        server = ServerProcess("--archive", str(self.archive), "--http", "127.0.0.1:0",
                               "--token", "s3cret", "--web", ARGS.web)
        try:
            cases = [({}, "/api/buoys", 401),
                     ({"Authorization": "Bearer wrong"}, "/api/buoys", 401),
                     ({"Authorization": "Bearer s3cret"}, "/api/buoys", 200),
                     ({"Cookie": "a=b; saltmark_token=s3cret"}, "/api/buoys", 200),
                     ({"Host": "dashboard.example.org"}, "/?token=s3cret", 302)]
            for headers, path, expected in cases:
                status, _ = raw_get(server.http, path, headers)
                self.assertEqual(status, expected, f"{headers} {path}")
        finally:
            self.assertEqual(server.stop(), 0)

    def test_8_leaving_a_view_during_its_fetch_leaves_nothing_behind(self):
        self.open("#/messages")
        self.wait_for("return document.querySelectorAll('#message-rows tr').length > 0")
        # From here the API answers late (all but the poller) and the views' timers are counted;
        # the overview and the track are left while they wait.
        self.browser.execute_script("""
            const fetchNow = window.fetch;
            window.pending = 0;
            window.fetch = async (url, options) => {
              if (String(url).includes('after=')) return fetchNow(url, options);
              window.pending += 1;
              try {
                await new Promise((resolve) => setTimeout(resolve, 800));
                return await fetchNow(url, options);
              } finally { window.pending -= 1; }
            };
            window.timers = new Set();
            const [set, clear] = [window.setInterval, window.clearInterval];
            window.setInterval = (...a) => { const id = set(...a); window.timers.add(id); return id; };
            window.clearInterval = (id) => { window.timers.delete(id); clear(id); };
            location.hash = '#/';
            setTimeout(() => { location.hash = '#/track'; }, 100);
            setTimeout(() => { location.hash = '#/messages?imei=files'; }, 200);""")
        self.wait_for("return window.pending === 0 && document.querySelectorAll('#message-rows tr').length > 0")
        self.wait_for("return new Promise((resolve) => setTimeout(() => resolve(true), 300))")
        shown = self.browser.execute_script(
            "return [document.querySelectorAll('main .buoy, main canvas').length,"
            " document.querySelectorAll('main h2.title').length,"
            " document.querySelectorAll('#message-rows tr').length, window.timers.size]")
        self.assertEqual(shown, [0, 1, 1, 0])

    def test_9_the_map_shows_sea_under_buoys_at_sea(self):
        folder = pathlib.Path(self.tmp.name) / "sea"
        imeis = fixture.at_sea(folder / "in")
        archive = folder / "archive.sqlite"
        subprocess.run([ARGS.convert, "--db", str(archive), *sorted(map(str, (folder / "in").iterdir()))],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        server = ServerProcess("--archive", str(archive), "--http", "127.0.0.1:0", "--web", ARGS.web)
        # The colour under a place on the map's land-and-sea layer, and the sea's own colour.
        pixel = """
            const [lon, lat, done] = arguments;
            const map = document.getElementById('track-map');
            const [x, y] = map.project(lon, lat).map((v) => Math.round(v * devicePixelRatio));
            const [r, g, b] = map.getContext('2d').getImageData(x, y, 1, 1).data;
            import('/static/map.js').then((t) => done([`#${[r, g, b].map((c) => c.toString(16)
              .padStart(2, '0')).join('')}`, t.kSeaColour]));"""
        try:
            # The whole globe, and zoomed in on the buoy north of Iceland.
            for fragment, places in (("", fixture.AT_SEA), (f"?imei={imeis[0]}", fixture.AT_SEA[:1])):
                self.browser.get(f"http://127.0.0.1:{server.http}/#/track{fragment}")
                self.browser.refresh()
                self.wait_for("const m = document.getElementById('track-map'); return m && m.dataset.drawn")
                for name, lat, lon in places:
                    shown, sea = self.browser.execute_async_script(pixel, lon, lat)
                    self.assertEqual(shown, sea, f"{name} {fragment}")
                if not fragment:
                    self.shoot("track-oceans")
                    shown, sea = self.browser.execute_async_script(pixel, 20.0, 5.0)
                    self.assertNotEqual(shown, sea, "central Africa")
        finally:
            self.assertEqual(server.stop(), 0)

    def test_10_quality_flags_are_drawn_in_their_colours(self):
        folder = pathlib.Path(self.tmp.name) / "faulty"
        paths = fixture.faulty(folder / "in")
        (folder / "qc.yaml").write_text(fixture.QC_CONFIG)
        archive = folder / "archive.sqlite"
        subprocess.run([ARGS.convert, "--db", str(archive), "--qc", str(folder / "qc.yaml"), *map(str, paths)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with sqlite3.connect(f"file:{archive}?mode=ro", uri=True) as db:
            flagged = db.execute("SELECT f.stream = 'iridium_position', m.momsn - 1, f.flag FROM qc_flags f"
                                 " JOIN messages m ON m.id = f.message_id WHERE f.test = 'aggregate'"
                                 " AND f.flag IN (3, 4)").fetchall()
        battery = {i: f for position, i, f in flagged if not position}
        positions = [f for position, _, f in flagged if position]
        suspect = min(i for i, f in battery.items() if f == 3)  # beside the spike
        server = ServerProcess("--archive", str(archive), "--http", "127.0.0.1:0", "--web", ARGS.web)
        base = f"http://127.0.0.1:{server.http}/"
        # The colour at a value drawn on the chart, or `r` pixels right of a place on the track.
        chart_pixel = """
            const c = document.getElementById('chart').chart;
            const [x, y] = [c.valToPos(arguments[0], 'x', true), c.valToPos(arguments[1], 'y', true)];
            return [...c.ctx.getImageData(Math.round(x), Math.round(y), 1, 1).data.slice(0, 3)];"""
        ring_pixel = """
            const [x, y] = document.getElementById('track-map').project(arguments[0], arguments[1]);
            const [px, py] = [x + arguments[2], y].map((p) => Math.round(p * devicePixelRatio));
            return [...document.getElementById('track-overlay').getContext('2d')
              .getImageData(px, py, 1, 1).data.slice(0, 3)];"""

        def near(shown, name, what):
            colour = [int(colours[name][k:k + 2], 16) for k in (1, 3, 5)]
            self.assertTrue(all(abs(a - b) <= 12 for a, b in zip(shown, colour)), f"{what}: {shown} {name}")

        def visit(fragment, ready):
            self.browser.get(base + fragment)
            self.browser.refresh()
            return self.wait_for(ready)

        try:
            colours = {f["name"]: f["colour"] for f in json.loads(raw_get(server.http, "/api/config")[1])["qc_flags"]}
            series = f"#/series?imei={fixture.FAULTY_IMEI}&type=Miscellaneous%20values&field=Battery%20voltage"
            chart = visit(series, "const c = document.getElementById('chart'); return c?.chart && c")
            self.assertEqual([chart.get_attribute("data-suspect"), chart.get_attribute("data-fail")],
                             [str(list(battery.values()).count(f)) for f in (3, 4)])
            for i, name, volts in ((fixture.OUT_OF_RANGE, "FAIL", 80.0), (fixture.SPIKE, "FAIL", 15.0),
                                   (suspect, "SUSPECT", 12.5 + 0.03 * (suspect % 4))):
                near(self.browser.execute_script(chart_pixel, fixture.START + 1800 * i, volts), name, f"point {i}")
            legend = self.browser.find_element(By.ID, "qc-legend").text
            self.assertTrue(all(name in legend for name in ("GOOD", "UNKNOWN", "SUSPECT", "FAIL", "MISSING")), legend)
            self.shoot("series-flags")
            # The switch takes the FAIL values off the chart (the new chart has none drawn apart).
            self.browser.find_element(By.ID, "hide-fail").click()
            self.wait_for("const c = document.getElementById('chart'); return c?.chart && !c.dataset.fail")
            drawn = self.browser.execute_script("return document.getElementById('chart').chart.data.slice(1).flat()")
            self.assertFalse({80.0, 15.0} & set(drawn))

            # The spike's message lists its battery's flags, aggregate and tests.
            spike_id = self.browser.execute_script(
                "return fetch('/api/messages?limit=100').then((r) => r.json()).then((p) =>"
                f" p.messages.find((m) => m.momsn === {fixture.SPIKE + 1}).id)")
            row = visit(f"#/message/{spike_id}", "return document.querySelector('#qc-flags tr[data-record=\"0\"]')")
            cells = [c.text for c in row.find_elements(By.TAG_NAME, "td")]
            self.assertEqual(cells[2:4], ["15 V", "FAIL (4)"])
            self.assertIn("gross_range_test SUSPECT (3), spike_test FAIL (4)", cells[4])
            aggregate = row.find_element(By.CSS_SELECTOR, "td.flag").value_of_css_property("color")
            near([int(c) for c in re.findall(r"\d+", aggregate)[:3]], "FAIL", "the aggregate")
            self.shoot("message-flags")

            # The track rings the flagged positions in their flag's colour.
            overlay = visit(f"#/track?imei={fixture.FAULTY_IMEI}", "const m = document.getElementById('track-map');"
                            " return m && m.dataset.drawn && document.getElementById('track-overlay')")
            self.assertEqual([overlay.get_attribute("data-suspect"), overlay.get_attribute("data-fail")],
                             [str(positions.count(f)) for f in (3, 4)])
            near(self.browser.execute_script(ring_pixel, 153.0, -33.5 + 0.002 * fixture.OUTSIDE, 6), "FAIL", "outside")
            near(self.browser.execute_script(ring_pixel, 151.25, -33.0, 6), "SUSPECT", "the jump")
        finally:
            self.assertEqual(server.stop(), 0)

def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("--server", "--convert", "--send", "--web"):
        parser.add_argument(option, required=True)
    parser.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    parser.add_argument("--screenshots")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
