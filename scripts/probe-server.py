#!/usr/bin/env python3
"""Probes a built saltmark-server as a hostile client and an unlucky operator would, and prints
the figures: the time of a good dashboard request while slow-loris and idle connections are
open, the server's memory, a header flood's answers, and how long a stop takes with a slow
client open. Python's standard library only.

Usage:
  python3 scripts/probe-server.py --build build          # 500 slow, 5,000 idle connections
  python3 scripts/probe-server.py --build build --fast   # 50 and 500: CI's quick form
  python3 scripts/probe-server.py path/to/saltmark-server [--slow N] [--idle N]

Exits 1 when the server fails at something it must do (a good request not answered 200, a
header flood not refused, a stop not within --timeout); the times are figures, not verdicts.
"""

import argparse
import http.client
import os
import pathlib
import re
import resource
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "converter" / "server"))
import dashboard_fixture as fixture  # noqa: E402

STOP_TIMEOUT_S = 5  # the server's --timeout: a stop must finish within it


class Server:
    """saltmark-server on 127.0.0.1 with ports it picks: DirectIP (with --confirm) and HTTP."""

    def __init__(self, program, folder, *options):
        self.process = subprocess.Popen(
            [program, "--archive", str(folder / "archive.sqlite"), "--directip", "127.0.0.1:0",
             "--confirm", "--http", "127.0.0.1:0", "--timeout", str(STOP_TIMEOUT_S), *options],
            stderr=subprocess.PIPE, text=True)
        self.log = []
        ready = threading.Event()

        def read():
            for line in self.process.stderr:
                self.log.append(line)
                if "http listening on" in line:
                    ready.set()

        threading.Thread(target=read, daemon=True).start()
        if not ready.wait(20):
            self.process.kill()
            sys.exit("the server did not start:\n" + "".join(self.log))
        text = "".join(self.log)
        self.http = int(re.search(r"http listening on 127\.0\.0\.1:(\d+)", text)[1])
        self.directip = int(re.search(r"directip listening on 127\.0\.0\.1:(\d+)", text)[1])

    def memory_mb(self, field="VmRSS"):
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) / 1024
        return float("nan")


def deliver(port, message):
    """One DirectIP delivery as the gateway sends it; True when confirmed (status 1)."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(message)
        answer = b""
        while chunk := s.recv(64):
            answer += chunk
    return answer[-1:] == b"\x01"


def good_request(port, path="/api/buoys"):
    """Seconds to a whole answer on a new connection, and its status (None: no answer)."""
    start = time.monotonic()
    try:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        connection.request("GET", path)
        response = connection.getresponse()
        response.read()
        connection.close()
        return time.monotonic() - start, response.status
    except OSError:
        return time.monotonic() - start, None


def open_connections(port, count):
    sockets = []
    for _ in range(count):
        try:
            sockets.append(socket.create_connection(("127.0.0.1", port), timeout=10))
        except OSError:
            break
    return sockets


def closed_count(sockets):
    """How many of `sockets` the server has closed (read end or reset)."""
    closed = 0
    for s in sockets:
        s.setblocking(False)
        try:
            if s.recv(4096) == b"":
                closed += 1
        except BlockingIOError:
            pass
        except OSError:
            closed += 1
    return closed


class Trickle(threading.Thread):
    """Slow-loris clients: each sends a request head a byte a second and never finishes it."""

    HEAD = b"GET /api/buoys HTTP/1.1\r\nHost: 127.0.0.1\r\n" + b"X-Slow: " + b"a" * 100000

    def __init__(self, sockets):
        super().__init__(daemon=True)
        self.sockets = sockets
        self.sent = 0
        self.stopped = threading.Event()
        self.start()

    def run(self):
        while not self.stopped.wait(1.0):
            byte = self.HEAD[self.sent:self.sent + 1]
            for s in self.sockets:
                try:
                    s.send(byte)
                except OSError:
                    pass
            self.sent += 1


def probe_slow_and_idle(server, slow_count, idle_count, hold_s):
    figures = {}
    before = [good_request(server.http)[0] for _ in range(5)]
    figures["good request, quiet (median s)"] = statistics.median(before)
    figures["memory, quiet (VmRSS MB)"] = server.memory_mb()

    slow = open_connections(server.http, slow_count)
    trickle = Trickle(slow)
    idle = open_connections(server.http, idle_count)
    figures["connections opened (slow + idle)"] = f"{len(slow)} + {len(idle)}"
    under = [good_request(server.http) for _ in range(5)]
    figures["good request under load (median s)"] = statistics.median(t for t, _ in under)
    figures["good request under load (worst s)"] = max(t for t, _ in under)
    figures["good request statuses"] = sorted({status for _, status in under}, key=str)
    figures["memory under load (VmRSS MB)"] = server.memory_mb()
    figures["slow / idle closed by the server at once"] = (
        f"{closed_count(slow)} / {closed_count(idle)}")

    # Past the head deadline: the slow clients are cut off although they keep sending.
    time.sleep(hold_s)
    figures[f"slow / idle closed by the server after {hold_s} s"] = (
        f"{closed_count(slow)} / {closed_count(idle)}")
    figures["good request after (s)"] = good_request(server.http)[0]
    trickle.stopped.set()
    trickle.join()
    for s in slow + idle:
        s.close()
    figures["memory, peak so far (VmHWM MB)"] = server.memory_mb("VmHWM")
    ok = all(status == 200 for _, status in under)
    return figures, ok


def probe_header_flood(server, connections, lines):
    """`connections` requests at once, each with `lines` header lines."""
    flood = b"".join(b"X-%d: y\r\n" % i for i in range(lines))
    statuses = []

    def one():
        with socket.create_connection(("127.0.0.1", server.http), timeout=30) as s:
            sender = threading.Thread(target=lambda: send_quietly(s, flood), daemon=True)
            s.sendall(b"GET /api/buoys HTTP/1.1\r\nHost: 127.0.0.1\r\n")
            sender.start()
            try:
                answer = s.recv(4096)
                statuses.append(answer.split(b" ")[1].decode() if answer else "closed")
            except OSError as error:
                statuses.append(type(error).__name__)
            sender.join()

    threads = [threading.Thread(target=one) for _ in range(connections)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    time.sleep(1.5)  # what each connection still sends is drained, then dropped
    figures = {
        f"header flood: {connections} x {lines} lines ({len(flood) / 1e6:.1f} MB) answered":
            sorted(statuses),
        "memory after the flood (VmRSS MB)": server.memory_mb(),
        "memory, peak (VmHWM MB)": server.memory_mb("VmHWM"),
        "good request after the flood (s)": good_request(server.http)[0],
    }
    return figures, all(status == "431" for status in statuses)


def send_quietly(s, data):
    try:
        s.sendall(data)
    except OSError:
        pass


def probe_stop_with_slow_client(server):
    slow = open_connections(server.http, 1)
    trickle = Trickle(slow)
    keep_alive = http.client.HTTPConnection("127.0.0.1", server.http, timeout=30)
    keep_alive.request("GET", "/api/config")
    keep_alive.getresponse().read()
    time.sleep(1.5)
    start = time.monotonic()
    server.process.send_signal(signal.SIGTERM)
    try:
        status = server.process.wait(STOP_TIMEOUT_S + 60)
    except subprocess.TimeoutExpired:
        server.process.kill()
        status = "killed after 60 s"
    took = time.monotonic() - start
    trickle.stopped.set()
    figures = {"stop with a slow client open (s)": took, "exit status": status}
    return figures, status == 0 and took < STOP_TIMEOUT_S


def probe_full_disk_double_delivery(program, folder):
    """The same delivery on two connections at once while the disk is full: no delivery may
    be confirmed that the archive does not hold. (Still to come: needs a small mount.)"""
    return {"full-disk double delivery": "not probed yet"}, True


def probe_hostile_mail_folder(program, folder):
    """Links, devices, FIFOs and files written in two steps in the watched folder: each
    refused or imported whole, the server up throughout. (Still to come.)"""
    return {"hostile mail folder": "not probed yet"}, True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("server", nargs="?", help="the saltmark-server program")
    parser.add_argument("--build", help="a build folder holding converter/server/saltmark-server")
    parser.add_argument("--fast", action="store_true", help="50 slow and 500 idle connections")
    parser.add_argument("--slow", type=int, help="slow-loris connections (default 500)")
    parser.add_argument("--idle", type=int, help="idle connections (default 5000)")
    args = parser.parse_args()
    program = args.server or (args.build and os.path.join(args.build, "converter", "server",
                                                         "saltmark-server"))
    if not program or not os.access(program, os.X_OK):
        parser.error("give the saltmark-server program or --build DIR")
    slow = args.slow if args.slow is not None else (50 if args.fast else 500)
    idle = args.idle if args.idle is not None else (500 if args.fast else 5000)
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    results = []
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        server = Server(program, folder)
        try:
            composed = fixture.messages(25)
            stored = sum(deliver(server.directip, data) for _, data, _ in composed)
            results.append(({"archive": f"{stored} of {len(composed)} deliveries confirmed"},
                            stored == len(composed)))
            results.append(probe_slow_and_idle(server, slow, idle, hold_s=3 if args.fast else 12))
            results.append(probe_header_flood(server, 8, 5000 if args.fast else 500000))
            results.append(probe_stop_with_slow_client(server))
        finally:
            if server.process.poll() is None:
                server.process.kill()
        results.append(probe_full_disk_double_delivery(program, folder))
        results.append(probe_hostile_mail_folder(program, folder))

    failed = False
    for figures, ok in results:
        for name, value in figures.items():
            shown = f"{value:.3f}" if isinstance(value, float) else value
            print(f"{name}: {shown}")
        failed |= not ok
    if failed:
        print("FAILED: see the figures above", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
