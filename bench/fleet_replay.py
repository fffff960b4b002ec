"""A fleet replayed through saltmark-server with faults injected, and the alerts it raised
checked against them.

BUOYS buoys report every 30 minutes for DAYS days (a PB200 with its position and a battery
record in each message); the first half go through DirectIP, the others through the push
route, time slot by time slot, as fast as the server takes them: the messages' own times run
ahead of the wall clock, so the server judges silence by them (--alert-message-clock). FAULTS
buoys get one fault each, in turn: silent (stops reporting), record_absent (its battery
record stops), battery_falling (sags 0.8 V a day for a day and a half), geofence (leaves its
own small area), distance (drifts 140 km east) and qc_fail (one wind speed beyond its gross
range). Half-way the server is killed (kill -9) while a slot is being sent and started again;
the slot is sent again. At the end: exactly one alert per fault, of its rule, on its buoy,
none on the clean buoys; every outbox event reached the local webhook receiver (signed) and
the local SMTP server. Prints the figures and exits 1 when a check fails.

  python3 fleet_replay.py --server S --send SBD_SEND [--buoys 100 --days 30 --faults 20]
"""

import argparse
import hashlib
import hmac
import http.server
import json
import math
import os
import re
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import threading
import time

STEPS_PER_DAY = 48
START = 1764547200  # 2025-12-01T00:00:00Z
FAULTS = ["silent", "record_absent:Miscellaneous values", "battery_falling", "geofence",
          "distance", "qc_fail:PB200.WSMean"]
SECRET = "replay-secret"
RULES = {"silent_hours": 6, "record_absent_hours": {"Miscellaneous values": 3},
         "battery_below": 11.0, "battery_falling_per_day": 0.3,
         "geofence": {"type": "Polygon",
                      "coordinates": [[[-25, 55], [5, 55], [5, 70], [-25, 70], [-25, 55]]]},
         "max_distance_km": 100, "qc_fail": ["PB200.WSMean"]}
QC = "streams:\n  PB200.WSMean:\n    qartod:\n      gross_range_test: {fail_span: [0, 40]}\n"


def imei(buoy):
    return "%d" % (300234010000000 + buoy)


def home(buoy):
    return 60.0 + (buoy % 10) * 0.2, -20.0 + (buoy // 10) * 0.4


class Fleet:
    """Who gets which fault and from which step; the messages as bytes."""

    def __init__(self, buoys, steps, faults):
        self.steps = steps
        self.fault = {}  # buoy -> (rule, first step)
        for k in range(faults):
            buoy = (k * buoys) // faults
            # Faults start between a fifth and a half of the way, so each has time to show.
            first = steps // 5 + (k * 7919) % max(1, steps * 3 // 10)
            self.fault[buoy] = (FAULTS[k % len(FAULTS)], first)

    def payload(self, buoy, step):
        rule, first = self.fault.get(buoy, (None, self.steps))
        since = step - first  # >= 0 once the fault is on
        t = START + step * 1800
        lat, lon = home(buoy)
        lat -= 1e-4 * step
        lon += 2e-4 * step
        wind = 7.0 + 4.0 * math.sin(step * 0.035 + buoy)
        volts = 12.4
        battery = True
        if since >= 0:
            if rule == "silent":
                return None
            if rule.startswith("record_absent"):
                battery = False
            elif rule == "battery_falling":
                volts -= 0.8 / STEPS_PER_DAY * min(since, 72)
            elif rule == "geofence":
                lat -= 0.5
            elif rule == "distance":
                lon += 0.05 * min(since, 50)
            elif rule.startswith("qc_fail") and since == 0:
                wind = 80.0
        second = t % 86400
        y, m, d = time.gmtime(t)[:3]
        out = bytearray([55])
        out += struct.pack("<BBH", 2, 2, 76)
        out += struct.pack("<6f", 180.0, 8.0, wind, 1.2, lat, lon)
        out += struct.pack("<4I", y, m, d, second)
        out += struct.pack("<6f", 8.0, 0.2, 1010.0, 0.3, 90.0, 5.0)
        out += struct.pack("<II", 0, 0)
        if battery:
            out += struct.pack("<BBHf", 6, 0, 8, volts)
        return bytes(out)

    def deployment(self, hook_port):
        lines = ["buoys:"]
        for buoy in range(len(self.buoys_list)):
            lat, lon = home(buoy)
            entry = "  \"%s\": {name: B%03d, position: {latitude: %.4f, longitude: %.4f}" % (imei(buoy), buoy, lat, lon)
            if self.fault.get(buoy, ("",))[0] == "geofence":
                ring = [[lon - 0.3, lat - 0.3], [lon + 0.5, lat - 0.3], [lon + 0.5, lat + 0.3],
                        [lon - 0.3, lat + 0.3], [lon - 0.3, lat - 0.3]]
                entry += ", alerts: {geofence: %s}" % json.dumps(
                    {"type": "Polygon", "coordinates": [ring]})
            lines.append(entry + "}")
        lines.append("alerts:")
        lines.append("  channels: [{webhook: \"http://127.0.0.1:%d/hook\"}, {mail: ops@example.org}]"
                     % hook_port)
        lines.append("  rules: " + json.dumps(RULES))
        return "\n".join(lines) + "\n"


def directip(imei_text, momsn, when, payload):
    """The DirectIP message as a gateway sends it: header and payload, big-endian."""
    body = struct.pack(">BHI15sBHHI", 1, 28, momsn, imei_text.encode(), 0, momsn, 0, when)
    body += struct.pack(">BH", 2, len(payload)) + payload
    return struct.pack(">BH", 1, len(body)) + body


class Hooks(http.server.BaseHTTPRequestHandler):
    events = []
    bad = []
    lock = threading.Lock()

    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        expected = "sha256=" + hmac.new(SECRET.encode(), body, hashlib.sha256).hexdigest()
        with Hooks.lock:
            if self.headers.get("X-Saltmark-Signature") != expected:
                Hooks.bad.append(body)
            document = json.loads(body)
            Hooks.events.append((document["alert"], document["event"]))
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


class Mailbox:
    subjects = []

    async def handle_DATA(self, server, session, envelope):
        match = re.search(r"^Subject: (.*)$", envelope.content.decode(), re.M)
        Mailbox.subjects.append(match.group(1).strip() if match else "")
        return "250 OK"


class Server:
    def __init__(self, args, archive, deployment, credentials, qc):
        self.process = subprocess.Popen(
            [args.server, "--archive", archive, "--directip", "127.0.0.1:0", "--confirm",
             "--push", "127.0.0.1:0", "--deployment", deployment, "--alert-tick", "0.2",
             "--alert-message-clock", "--alert-credentials", credentials, "--qc", qc],
            stderr=subprocess.PIPE, text=True)
        found = {}
        while len(found) < 2:
            line = self.process.stderr.readline()
            if not line:
                raise SystemExit("the server ended")
            match = re.search(r"(directip|push) listening on (\S+)", line)
            if match:
                found[match.group(1)] = match.group(2)
        self.directip, self.push = found["directip"], found["push"]
        # The log is read on, or the server would block on a full pipe.
        self.reader = threading.Thread(target=self.process.stderr.read, daemon=True)
        self.reader.start()

    def send(self, send, direct, pushed):
        """Both routes at once; True when every message was confirmed."""
        runs = []
        if direct:
            runs.append(subprocess.Popen([send, self.directip] + direct,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        if pushed:
            runs.append(subprocess.Popen([send, "--push", "http://%s/" % self.push] + pushed,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        return all(run.wait() == 0 for run in runs)

    def kill(self, sig=signal.SIGKILL):
        self.process.send_signal(sig)
        self.process.wait(timeout=60)


def write_slot(fleet, buoys, step, folder):
    """The slot's messages into folder/directip and folder/push; how many."""
    count = 0
    for route in ("directip", "push"):
        os.makedirs(os.path.join(folder, route), exist_ok=True)
        for name in os.listdir(os.path.join(folder, route)):
            os.remove(os.path.join(folder, route, name))
    for buoy in range(buoys):
        payload = fleet.payload(buoy, step)
        if payload is None:
            continue
        route = "directip" if buoy < buoys // 2 else "push"
        path = os.path.join(folder, route, "%s_%d.sbd" % (imei(buoy), step + 1))
        with open(path, "wb") as out:
            out.write(directip(imei(buoy), step + 1, START + step * 1800, payload))
        count += 1
    return count


def wait_for(condition, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if condition():
            return True
        time.sleep(0.2)
    return condition()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--server", required=True)
    parser.add_argument("--send", required=True)
    parser.add_argument("--buoys", type=int, default=100)
    parser.add_argument("--days", type=float, default=30)
    parser.add_argument("--faults", type=int, default=20)
    parser.add_argument("--work", help="a folder for the archive (default: a temporary one)")
    args = parser.parse_args()
    from aiosmtpd.controller import Controller

    steps = int(args.days * STEPS_PER_DAY)
    fleet = Fleet(args.buoys, steps, min(args.faults, args.buoys))
    fleet.buoys_list = range(args.buoys)
    temporary = None if args.work else tempfile.TemporaryDirectory(prefix="fleet-replay-")
    work = args.work or temporary.name
    os.makedirs(work, exist_ok=True)
    archive = os.path.join(work, "archive.sqlite")
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(archive + suffix):
            os.remove(archive + suffix)

    hooks = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hooks)
    threading.Thread(target=hooks.serve_forever, daemon=True).start()
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        smtp_port = s.getsockname()[1]
    smtp = Controller(Mailbox(), hostname="127.0.0.1", port=smtp_port)
    smtp.start()
    deployment = os.path.join(work, "deployment.yaml")
    with open(deployment, "w") as out:
        out.write(fleet.deployment(hooks.server_address[1]))
    qc = os.path.join(work, "qc.yaml")
    with open(qc, "w") as out:
        out.write(QC)
    credentials = os.path.join(work, "credentials")
    if os.path.exists(credentials):
        os.remove(credentials)
    with open(os.open(credentials, os.O_WRONLY | os.O_CREAT, 0o600), "w") as out:
        out.write("webhook_secret = %s\nsmtp_url = smtp://127.0.0.1:%d\nsmtp_starttls = no\n"
                  "mail_from = buoys@example.org\n" % (SECRET, smtp_port))

    server = Server(args, archive, deployment, credentials, qc)
    slot = os.path.join(work, "slot")
    sent = 0
    sending = 0.0
    started = time.time()
    for step in range(steps):
        count = write_slot(fleet, args.buoys, step, slot)
        direct, pushed = ([os.path.join(slot, route, name)
                           for name in sorted(os.listdir(os.path.join(slot, route)))]
                          for route in ("directip", "push"))
        begun = time.time()
        if step == steps // 2:
            # Killed while the slot is under way; the slot again after the restart.
            killer = threading.Timer(0.05, server.kill)
            killer.start()
            server.send(args.send, direct, pushed)
            killer.join()
            server = Server(args, archive, deployment, credentials, qc)
        if not server.send(args.send, direct, pushed):
            print("slot %d: not every message was confirmed" % step, file=sys.stderr)
            return 1
        sending += time.time() - begun
        sent += count
    replayed = time.time() - started

    # Everything sent: the clock's last tick has seen the last slot, the outbox empties.
    def rows(sql):
        with sqlite3.connect(archive, timeout=30) as db:
            return db.execute(sql).fetchall()

    delivered = wait_for(lambda: rows("SELECT count(*) FROM alert_outbox"
                                      " WHERE delivered_at IS NULL")[0][0] == 0, 120)
    server.kill(signal.SIGTERM)
    smtp.stop()
    hooks.shutdown()

    failures = []
    alerts = rows("SELECT id, buoy, rule, resolved_at IS NOT NULL FROM alerts ORDER BY id")
    raised = {}
    for _, buoy, rule, _ in alerts:
        raised.setdefault((buoy, rule), 0)
        raised[(buoy, rule)] += 1
    expected = {(imei(buoy), rule) for buoy, (rule, _) in fleet.fault.items()}
    for key in sorted(expected):
        if raised.get(key, 0) != 1:
            failures.append("%s %s: raised %d times" % (key[0], key[1], raised.get(key, 0)))
    for key in sorted(set(raised) - expected):
        failures.append("%s %s: raised %d times, not injected" % (key[0], key[1], raised[key]))
    outbox = rows("SELECT o.alert, o.event, o.channel FROM alert_outbox o")
    if not delivered:
        failures.append("the outbox did not empty")
    hooked = {(a, e) for a, e, c in outbox if c.startswith("webhook:")}
    if set(Hooks.events) != hooked:
        failures.append("webhooks: %d events received, %d in the outbox"
                        % (len(set(Hooks.events)), len(hooked)))
    if Hooks.bad:
        failures.append("%d webhooks not signed right" % len(Hooks.bad))
    subjects = {"[buoy alert] B%03d (%s): %s %s" % (int(b) - 300234010000000, b, r, e)
                for b, r, e in rows("SELECT a.buoy, a.rule, o.event FROM alert_outbox o JOIN"
                                    " alerts a ON a.id = o.alert WHERE o.channel LIKE 'mail:%'")}
    if set(Mailbox.subjects) != subjects:
        failures.append("mail: %d received, %d events in the outbox"
                        % (len(Mailbox.subjects), len(subjects)))

    messages = rows("SELECT count(*) FROM messages")[0][0]
    rules_per_buoy = len(RULES)
    print("fleet replay: %d buoys x %g days, %d messages sent (%d archived), %d faults, "
          "one kill -9" % (args.buoys, args.days, sent, messages, len(fleet.fault)))
    print("alerts: %d raised for %d faults; outbox %d events (%d webhooks received, %d mails)"
          % (len(alerts), len(expected), len(outbox), len(Hooks.events), len(Mailbox.subjects)))
    print("deliveries per second with alerts on: %.0f (%d messages in %.1f s of sending)"
          % (sent / sending, sent, sending))
    print("alert rules judged per second on delivery: %.0f (%d rules x %d messages)"
          % (sent * rules_per_buoy / sending, rules_per_buoy, sent))
    print("whole replay %.1f s" % replayed)
    for failure in failures:
        print("FAIL: " + failure)
    if temporary:
        temporary.cleanup()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
