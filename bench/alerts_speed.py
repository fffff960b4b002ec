#!/usr/bin/env python3
"""What the alert rules cost the server: BUOYS buoys × MESSAGES messages each (30-minute
reporting, a PB200 record and a battery voltage in each, DirectIP framing) sent with sbd-send
to saltmark-server, once without a deployment file and once with every rule on; the
deliveries per second of each and the judgements per second the difference implies. The
buoys are clean: any alert raised is a false one and is reported.

  python3 bench/alerts_speed.py [--buoys N] [--messages N] [--build build]
(after bash scripts/build.sh). Not a test.
"""

import argparse
import pathlib
import re
import sqlite3
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "converter" / "server"))
import dashboard_fixture as fixture  # noqa: E402

RULES = """\
alerts:
  channels: [{webhook: "http://127.0.0.1:9/unreached"}]
  rules:
    silent_hours: 6
    record_absent_hours: {PB200: 3, Miscellaneous values: 3}
    battery_below: 11.5
    battery_falling_per_day: 0.25
    geofence: {type: Polygon, coordinates: [[[0, 40], [20, 40], [20, 70], [0, 70], [0, 40]]]}
    max_distance_km: 500
buoys:
"""


def compose(folder, buoys, per_buoy):
    start = int(time.time()) - per_buoy * 1800
    deployment = RULES
    for b in range(buoys):
        imei = "3004340620%05d" % b
        deployment += '  "%s": {position: {latitude: 54.0, longitude: 6.0}}\n' % imei
        for k in range(per_buoy):
            t = start + 1800 * k + 7 * b
            lat, lon = 54.0 + 0.001 * k, 6.0 + 0.002 * k
            payload = bytes([55]) + fixture.pb200(t, lat, lon, 7.0, False) + fixture.battery(12.8)
            (folder / f"{imei}_{k + 1}.sbd").write_bytes(
                fixture.directip(imei, k + 1, t, payload, lat, lon, 3))
    (folder / "deployment.yaml").write_text(deployment)


def run(build, folder, archive, with_rules):
    command = [str(build / "converter/server/saltmark-server"), "--archive", str(archive),
               "--directip", "127.0.0.1:0", "--confirm"]
    if with_rules:
        command += ["--deployment", str(folder / "deployment.yaml")]
    # The log to a file: a line per delivery would fill a pipe nobody reads.
    log = folder / "server.log"
    with open(log, "w") as out:
        server = subprocess.Popen(command, stderr=out)
    while not re.search(r"directip listening on (\S+)", log.read_text()):
        time.sleep(0.05)
    address = re.search(r"directip listening on (\S+)", log.read_text()).group(1)
    files = sorted(folder.glob("*.sbd"), key=lambda p: int(p.stem.split("_")[1]))
    began = time.perf_counter()
    sent = subprocess.run([str(build / "tools/sbd-send"), address, *map(str, files)],
                          capture_output=True, text=True)
    seconds = time.perf_counter() - began
    server.terminate()
    server.wait(30)
    confirmed = sent.stdout.count(": confirmed")
    with sqlite3.connect(archive) as db:
        alerts = db.execute("SELECT count(*) FROM alerts").fetchone()[0]
    return confirmed, seconds, alerts


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--buoys", type=int, default=20)
    parser.add_argument("--messages", type=int, default=500)
    parser.add_argument("--build", default=str(ROOT / "build"))
    args = parser.parse_args()
    build = pathlib.Path(args.build)
    with tempfile.TemporaryDirectory(prefix="saltmark-alerts-bench-") as scratch:
        folder = pathlib.Path(scratch)
        compose(folder, args.buoys, args.messages)
        results = {}
        for with_rules in (False, True):
            archive = folder / ("rules.sqlite" if with_rules else "none.sqlite")
            results[with_rules] = run(build, folder, archive, with_rules)
            confirmed, seconds, alerts = results[with_rules]
            print(f"{'with rules' if with_rules else 'no rules  '}: {confirmed} deliveries in"
                  f" {seconds:.2f} s, {confirmed / seconds:.0f} per second; {alerts} alerts")
        extra = results[True][1] - results[False][1]
        if extra > 0:
            print(f"judging: {extra / results[True][0] * 1000:.2f} ms per delivery,"
                  f" {results[True][0] / extra:.0f} judgements per second")


if __name__ == "__main__":
    main()
