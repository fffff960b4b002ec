"""The deployment file and the alerts through saltmark-server, a real process on 127.0.0.1:
buoy names on the dashboard's API that a SIGHUP after an edit changes (and a broken edit does
not); an alert opened by a message, one opened by the clock for a silent buoy and resolved by
the next message; a kill -9 and restart that neither repeats nor forgets them; the outbox sent
to a local HTTP receiver (signed) and a local SMTP server (STARTTLS, login), the server killed
mid-delivery."""

import argparse
import hashlib
import hmac
import http.server
import json
import os
import re
import shutil
import signal
import sqlite3
import struct
import subprocess
import sys
import socket
import ssl
import tempfile
import threading
import time
import unittest
import urllib.request
import warnings

ARGS = None
CHROMEDRIVER = shutil.which("chromedriver")
IMEI = "300234010753370"

DEPLOYMENT = """\
buoys:
  "%s": {name: %s}
alerts:
  channels: [{webhook: "http://127.0.0.1:%d/hook"}, {mail: ops@example.org}]
  rules: {silent_hours: %s, battery_below: 12}
"""
SECRET = "s3cret"


class Receiver(http.server.BaseHTTPRequestHandler):
    """Webhooks: the first is held until the test lets it go (the server is killed meanwhile)."""
    bodies = []
    release = threading.Event()

    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        first = not Receiver.bodies
        Receiver.bodies.append((body, self.headers.get("X-Saltmark-Signature")))
        if first:
            Receiver.release.wait(30)
            return
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def compose(folder, momsn, volts):
    record = os.path.join(folder, "r%d.rec" % momsn)
    with open(record, "wb") as out:
        out.write(b"\x06\x01\x08\x00" + struct.pack("<f", volts))
    path = os.path.join(folder, "%s_%d.sbd" % (IMEI, momsn))
    subprocess.run([ARGS.compose, "--record", record, "-o", path, "--directip",
                    "%s,%d,%d,-33.5,151.25,3" % (IMEI, momsn, int(time.time()))], check=True)
    return path


def wait_for(condition, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("not reached within %g s" % seconds)


class Server:
    def __init__(self, archive, deployment, extra=()):
        self.process = subprocess.Popen(
            [ARGS.server, "--archive", archive, "--directip", "127.0.0.1:0", "--confirm",
             "--http", "127.0.0.1:0", "--deployment", deployment, "--alert-tick", "0.2",
             "--timeout", "2", "--web", ARGS.web] + list(extra),
            stderr=subprocess.PIPE, text=True)
        self.log = []
        found = {}
        while len(found) < 2:
            line = self.process.stderr.readline()
            if not line:
                raise AssertionError("server ended: " + "".join(self.log))
            self.log.append(line)
            match = re.search(r"(directip|http) listening on (\S+)", line)
            if match:
                found[match.group(1)] = match.group(2)
        self.directip, self.http = found["directip"], found["http"]

    def send(self, path):
        sent = subprocess.run([ARGS.send, self.directip, path], capture_output=True, text=True)
        return ": confirmed" in sent.stdout

    def get(self, path):
        with urllib.request.urlopen("http://%s%s" % (self.http, path), timeout=10) as answer:
            return json.load(answer)

    def read_line(self, pattern):
        line = self.process.stderr.readline()
        while line and not re.search(pattern, line):
            line = self.process.stderr.readline()
        return line

    def stop(self, sig=signal.SIGTERM):
        self.process.send_signal(sig)
        status = self.process.wait(timeout=30)
        self.process.stderr.close()
        return status


class AlertsTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="saltmark-alerts-test-")
        self.folder = self.dir.name
        self.archive = os.path.join(self.folder, "a.sqlite")
        self.deployment = os.path.join(self.folder, "deployment.yaml")
        self.servers = []

    def tearDown(self):
        for server in self.servers:
            if server.process.poll() is None:
                server.stop(signal.SIGKILL)
        self.dir.cleanup()

    def write(self, name, silent_hours="1000", hook_port=9):
        with open(self.deployment, "w") as out:
            out.write(DEPLOYMENT % (IMEI, name, hook_port, silent_hours))

    def start(self, extra=()):
        server = Server(self.archive, self.deployment, extra)
        self.servers.append(server)
        return server

    def rows(self, sql):
        with sqlite3.connect(self.archive) as db:
            return db.execute(sql).fetchall()

    def test_names_follow_the_file_on_sighup(self):
        self.write("North")
        server = self.start()
        self.assertTrue(server.send(compose(self.folder, 1, 12.5)))
        self.assertEqual(server.get("/api/buoys")[0]["name"], "North")
        self.write("South")
        server.process.send_signal(signal.SIGHUP)
        self.assertIn("reloaded", server.read_line("deployment"))
        self.assertEqual(server.get("/api/buoys")[0]["name"], "South")
        self.assertEqual(server.get("/api/messages")["messages"][0]["name"], "South")
        # A broken edit is said, and the names before stay.
        with open(self.deployment, "a") as out:
            out.write("colour: red\n")
        server.process.send_signal(signal.SIGHUP)
        line = server.read_line("deployment")
        self.assertIn("not reloaded", line)
        self.assertIn("deployment.yaml:6: deployment: unknown key colour", line)
        self.assertEqual(server.get("/api/buoys")[0]["name"], "South")
        self.assertEqual(server.stop(), 0)

    def test_alerts_open_once_resolve_once_across_a_crash(self):
        self.write("North", silent_hours="0.001")  # 3.6 seconds
        server = self.start()
        self.assertTrue(server.send(compose(self.folder, 1, 11.0)))
        first = self.rows("SELECT id FROM messages")[0][0]
        # The low battery opened with the message, in its transaction.
        self.assertEqual(self.rows("SELECT rule, opened_message FROM alerts"),
                         [("battery_low", first)])
        # The clock finds the buoy silent.
        wait_for(lambda: self.rows("SELECT 1 FROM alerts WHERE rule = 'silent'"))
        alerts = server.get("/api/alerts?rule=silent&state=open")["alerts"]
        self.assertEqual([(a["rule"], a["name"], a["opened_message"]) for a in alerts],
                         [("silent", "North", None)])
        self.assertEqual(sorted(o["channel"] for o in alerts[0]["outbox"]),
                         ["mail:ops@example.org", "webhook:http://127.0.0.1:9/hook"])

        server.stop(signal.SIGKILL)
        before = self.rows("SELECT * FROM alerts ORDER BY id")
        outbox = self.rows("SELECT count(*) FROM alert_outbox")
        server = self.start()
        time.sleep(1.5)  # several ticks of the clock
        self.assertEqual(self.rows("SELECT * FROM alerts ORDER BY id"), before)
        self.assertEqual(self.rows("SELECT count(*) FROM alert_outbox"), outbox)

        self.assertTrue(server.send(compose(self.folder, 2, 12.5)))
        self.assertEqual(server.stop(), 0)
        second = self.rows("SELECT max(id) FROM messages")[0][0]
        self.assertEqual(self.rows("SELECT rule, resolved_message FROM alerts ORDER BY id"),
                         [("battery_low", second), ("silent", second)])
        events = self.rows("SELECT a.rule, o.event, o.document FROM alert_outbox o"
                           " JOIN alerts a ON a.id = o.alert ORDER BY o.id")
        self.assertEqual([(rule, event) for rule, event, _ in events[::2]],
                         [("battery_low", "opened"), ("silent", "opened"),
                          ("silent", "resolved"), ("battery_low", "resolved")])
        document = json.loads(events[-1][2])
        self.assertEqual((document["event"], document["buoy"], document["message"]),
                         ("resolved", IMEI, second))

    def test_outbox_sent_at_least_once_across_a_kill(self):
        from aiosmtpd.controller import Controller
        from aiosmtpd.smtp import AuthResult
        warnings.filterwarnings("ignore", "Session.login_data")

        class Mailbox:
            messages = []

            async def handle_DATA(self, server, session, envelope):
                Mailbox.messages.append((envelope.rcpt_tos, envelope.content.decode()))
                return "250 OK"

        # The relay as a real one is: STARTTLS required, then a login.
        key, cert = (os.path.join(self.folder, name) for name in ("relay.key", "relay.pem"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", cert], check=True, capture_output=True)
        tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls.load_cert_chain(cert, key)

        def login(server, session, envelope, mechanism, auth_data):
            return AuthResult(success=(auth_data.login, auth_data.password) == (b"buoys", b"pw"))

        smtp = Controller(Mailbox(), hostname="127.0.0.1", port=free_port(), tls_context=tls,
                          require_starttls=True, authenticator=login, auth_required=True)
        smtp.start()
        self.addCleanup(smtp.stop)
        hooks = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Receiver)
        threading.Thread(target=hooks.serve_forever, daemon=True).start()
        self.addCleanup(hooks.server_close)
        self.addCleanup(hooks.shutdown)
        self.addCleanup(Receiver.release.set)
        credentials = os.path.join(self.folder, "credentials")
        with open(os.open(credentials, os.O_WRONLY | os.O_CREAT, 0o600), "w") as out:
            out.write("webhook_secret = %s\nsmtp_url = smtp://127.0.0.1:%d\nsmtp_user = buoys\n"
                      "smtp_password = pw\nsmtp_ca_file = %s\nmail_from = buoys@example.org\n"
                      % (SECRET, smtp.port, cert))
        self.write("North", hook_port=hooks.server_address[1])
        server = self.start(["--alert-credentials", credentials])
        self.assertTrue(server.send(compose(self.folder, 1, 11.0)))
        wait_for(lambda: Receiver.bodies)  # the webhook is under way: kill the server
        server.stop(signal.SIGKILL)
        Receiver.release.set()
        self.start(["--alert-credentials", credentials])
        wait_for(lambda: self.rows("SELECT count(*) FROM alert_outbox"
                                   " WHERE delivered_at IS NOT NULL")[0][0] == 2)
        self.assertEqual(len(Receiver.bodies), 2)  # sent again after the kill: at least once
        for body, signature in Receiver.bodies:
            self.assertEqual(signature, "sha256=" + hmac.new(SECRET.encode(), body,
                                                             hashlib.sha256).hexdigest())
            self.assertEqual(json.loads(body)["rule"], "battery_low")
        [(recipients, content)] = Mailbox.messages
        self.assertEqual(recipients, ["ops@example.org"])
        self.assertIn("Subject: [buoy alert] North (%s): battery_low opened" % IMEI, content)

        # A second file refused: the credentials must be the server's alone.
        os.chmod(credentials, 0o644)
        refused = subprocess.run([ARGS.server, "--archive", self.archive, "--directip", "0",
                                  "--deployment", self.deployment,
                                  "--alert-credentials", credentials],
                                 capture_output=True, text=True, timeout=30)
        self.assertEqual(refused.returncode, 2)
        self.assertIn("readable by others", refused.stderr)

    @unittest.skipUnless(CHROMEDRIVER, "no chromedriver")
    def test_page_shows_names_and_alerts(self):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import WebDriverWait

        self.write("North")
        server = self.start()
        self.assertTrue(server.send(compose(self.folder, 1, 11.0)))
        options = webdriver.ChromeOptions()
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run"):
            options.add_argument(flag)
        profile = tempfile.TemporaryDirectory(prefix="saltmark-alerts-browser-")
        self.addCleanup(profile.cleanup)
        options.add_argument("--user-data-dir=" + profile.name)
        browser = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        self.addCleanup(browser.quit)
        wait = WebDriverWait(browser, 20)
        browser.get("http://%s/#/" % server.http)
        heading = wait.until(lambda b: b.find_element(By.CSS_SELECTOR, ".buoy h2"))
        self.assertEqual(heading.text.split(), ["North", IMEI])
        browser.get("http://%s/#/alerts?state=open" % server.http)
        rows = wait.until(lambda b: b.find_elements(By.CSS_SELECTOR, "table.alerts tbody tr[data-id]"))
        cells = [c.text for c in rows[0].find_elements(By.TAG_NAME, "td")]
        self.assertEqual(cells[:3], ["open", "battery_low", "North"])
        self.assertIn("0 of 2", cells[6])  # nothing delivered: the channels are not reachable


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("--server", "--compose", "--send", "--web"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
