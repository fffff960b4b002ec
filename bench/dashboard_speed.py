#!/usr/bin/env python3
"""How fast the dashboard answers on a large archive, and how much memory the server takes.

Composes MESSAGES DirectIP messages of two buoys (default 100,000, PB200 and battery in each,
wave, turbulence and camera records in a few), imports them with saltmark-convert --db,
starts saltmark-server --http on the archive and times the overview (/api/buoys) and a series
of every PB200 wind speed (one point per message), best and median of several requests and
the server's processor time per request, with the server's peak resident memory (VmHWM)
after each.

  python3 bench/dashboard_speed.py [--messages N] [--build build] [--keep DIR]
(after bash scripts/build.sh). Not a test: the figures go to docs/performance.md.
"""

import argparse
import os
import pathlib
import re
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "converter" / "server"))
import dashboard_fixture as fixture  # noqa: E402


def cpu_seconds(pid):
    """The process's user and system time so far (a shared machine stretches wall time)."""
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def timed_get(url, repeats, pid):
    times, size = [], 0
    cpu = cpu_seconds(pid)
    for _ in range(repeats):
        start = time.perf_counter()
        with urllib.request.urlopen(url) as response:
            size = len(response.read())
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times), (cpu_seconds(pid) - cpu) / repeats, size


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--messages", type=int, default=100_000)
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--keep", help="folder to keep (and reuse) the archive in")
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    build = pathlib.Path(args.build)
    work = pathlib.Path(args.keep) if args.keep else pathlib.Path(tempfile.mkdtemp(dir=build))
    work.mkdir(parents=True, exist_ok=True)
    archive, seconds = fixture.imported_archive(build, work, args.messages)
    if seconds is not None:
        print(f"archive: {args.messages} messages imported in {seconds:.0f} s, "
              f"{archive.stat().st_size / 1e6:.0f} MB")
    server = subprocess.Popen([build / "converter/server/saltmark-server", "--archive", archive,
                               "--http", "127.0.0.1:0"], stderr=subprocess.PIPE, text=True)
    try:
        port = None
        for line in server.stderr:
            match = re.search(r"http listening on 127\.0\.0\.1:(\d+)", line)
            if match:
                port = match.group(1)
                break
        base = f"http://127.0.0.1:{port}"
        for label, path in (("overview  /api/buoys", "/api/buoys"),
                            ("series    PB200 WSMean", "/api/series?type=PB200&field=WSMean"),
                            ("series    as CSV", "/api/series?type=PB200&field=WSMean&format=csv"),
                            ("messages  newest 50", "/api/messages?limit=50"),
                            ("track     all positions", "/api/track")):
            best, median, cpu, size = timed_get(base + path, args.repeats, server.pid)
            status = pathlib.Path(f"/proc/{server.pid}/status").read_text()
            peak = int(re.search(r"VmHWM:\s+(\d+) kB", status).group(1))
            print(f"{label:24s} best {best * 1000:5.0f} ms  median {median * 1000:5.0f} ms  "
                  f"server CPU {cpu * 1000:4.0f} ms  {size / 1e6:4.1f} MB  peak memory {peak / 1024:3.0f} MB")
        print(f"load average {pathlib.Path('/proc/loadavg').read_text().split()[0]} on {os.cpu_count()} cores")
    finally:
        server.terminate()
        server.wait(20)


if __name__ == "__main__":
    main()
