#!/usr/bin/env python3
"""Probes a built saltmark-server as a hostile client and an unlucky operator would, and prints
the figures: the time of a good dashboard request while slow-loris and idle connections are
open, the server's memory, a header flood's answers, and how long a stop takes with a slow
client open. Python's standard library only.

Usage:
  python3 scripts/probe-server.py --build build          # 500 slow, 5,000 idle connections
  python3 scripts/probe-server.py --build build --fast   # 50 and 500: CI's quick form
  python3 scripts/probe-server.py path/to/saltmark-server [--slow N] [--idle N]

Then, with their own servers: the same delivery sent twice at once while the disk fills (a
small tmpfs; needs root), and a mail folder holding links, a FIFO, a file written in two steps
and a hard link.

Exits 1 when the server fails at something it must do (a good request not answered 200, a
header flood not refused, a stop not within --timeout, a delivery confirmed and not stored, a
link followed or a file imported in part); the times are figures, not verdicts.
"""

import argparse
import http.client
import os
import pathlib
import re
import resource
import signal
import socket
import sqlite3
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


def answer_of(port, message):
    """The confirmation's status byte (b"\\x01" stored, b"\\x00" not), or None for no answer."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
            s.sendall(message)
            answer = b""
            while chunk := s.recv(64):
                answer += chunk
        return answer[-1:] or None
    except OSError:
        return None


def stored_momsns(archive, imei):
    with sqlite3.connect(archive, timeout=30) as db:
        return {row[0] for row in db.execute("SELECT momsn FROM messages WHERE imei = ?", (imei,))}


def probe_full_disk_double_delivery(program, folder, pairs):
    """Each message sent twice at once (the gateway retrying while the server is slow) as the
    disk fills up: no copy may be confirmed that the archive does not hold."""
    name = f"full-disk double delivery, {pairs} messages sent twice at once"
    if os.geteuid() != 0:
        return {name: "skipped (mounting a small tmpfs needs root)"}, True
    disk = folder / "disk"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(disk)]).returncode:
        return {name: "skipped (cannot mount a tmpfs)"}, True
    imei = "300234010099990"
    answers = {}
    server = None
    try:
        server = Server(program, disk)

        def framed(momsn):
            payload = bytes([55]) + fixture.imu(1.5, 54.0, 6.0)  # about 1.8 KB
            return fixture.directip(imei, momsn, fixture.START + momsn, payload, 54.0, 6.0, 3)

        answer_of(server.directip, framed(0))
        # Full, then a little room: some groups commit, then the disk is full again.
        # Unbuffered: what did not fit is refused by the write, and closing has nothing
        # left to flush (a buffered file raised "no space" again on close).
        with open(disk / "filler", "wb", buffering=0) as filler:
            try:
                while filler.write(bytes(65536)):
                    pass
            except OSError:
                pass
        os.truncate(disk / "filler", max(0, os.path.getsize(disk / "filler") - 256 * 1024))

        def twice(momsn):
            message = framed(momsn)
            copies = [None, None]
            threads = [threading.Thread(target=lambda i=i: copies.__setitem__(
                i, answer_of(server.directip, message))) for i in range(2)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            answers[momsn] = copies

        batch = []
        for momsn in range(1, pairs + 1):
            batch.append(threading.Thread(target=twice, args=(momsn,)))
            batch[-1].start()
            if len(batch) == 8:  # eight messages, sixteen connections, at a time
                for thread in batch:
                    thread.join()
                batch = []
        for thread in batch:
            thread.join()
        server.process.send_signal(signal.SIGTERM)
        server.process.wait(60)
        os.remove(disk / "filler")
        stored = stored_momsns(disk / "archive.sqlite", imei)
    finally:
        if server and server.process.poll() is None:
            server.process.kill()
            server.process.wait()
        subprocess.run(["umount", "-l", str(disk)])
    copies = [(momsn, answer) for momsn, both in answers.items() for answer in both]
    confirmed = [momsn for momsn, answer in copies if answer == b"\x01"]
    lost = sorted({momsn for momsn in confirmed if momsn not in stored})
    return {
        name + ": copies confirmed / refused / unanswered": "%d / %d / %d" % (
            len(confirmed), sum(a == b"\x00" for _, a in copies), sum(a is None for _, a in copies)),
        "messages stored": len(stored & set(answers)),
        "messages confirmed and not stored": len(lost),
    }, not lost


def probe_hostile_mail_folder(program, folder):
    """What a mail folder can hold besides messages: links (to a secret, to a file that cannot
    be read whole), a FIFO, a file written in two steps, a hard link made in the folder. Each
    is refused or imported whole, and the server stays up, also across a restart."""
    home = folder / "mail-server"
    mail = folder / "mail"
    home.mkdir()
    mail.mkdir()
    secret = folder / "secret"
    secret.write_bytes(b"root:$6$hash:19000:0:99999:7:::\n")
    imei = "300234010099991"
    message = (bytes([55]) + fixture.pb200(fixture.START, 54.0, 6.0, 7.0, False) +
               fixture.battery(12.5))
    server = Server(program, home, "--watch", str(mail))
    figures = {}
    try:
        # Links made elsewhere and moved in, as a mail filter moves what it wrote.
        os.symlink(secret, folder / "s.sbd")
        os.rename(folder / "s.sbd", mail / "s.sbd")
        os.mkfifo(folder / "f.sbd")
        os.rename(folder / "f.sbd", mail / "f.sbd")
        with open(mail / f"{imei}_7.sbd", "wb") as half:
            half.write(message[:len(message) // 2])
        time.sleep(0.5)
        with open(mail / f"{imei}_7.sbd", "ab") as rest:
            rest.write(message[len(message) // 2:])
        (folder / "elsewhere.sbd").write_bytes(message)
        os.link(folder / "elsewhere.sbd", mail / f"{imei}_8.sbd")
        time.sleep(6)  # past any settle time
        with sqlite3.connect(f"file:{home / 'archive.sqlite'}?mode=ro", uri=True, timeout=30) as db:
            rows = {name: data for name, data in db.execute("SELECT file_name, bytes FROM messages")}
        two_step = rows.get(f"{imei}_7.sbd")
        figures["mail: a link to a secret archived"] = (
            "s.sbd" in rows or secret.read_bytes() in rows.values())
        figures["mail: a FIFO archived"] = "f.sbd" in rows
        figures["mail: a file written in two steps archived whole"] = two_step == message
        figures["mail: a hard link made in the folder archived"] = f"{imei}_8.sbd" in rows
        os.symlink("/proc/self/pagemap", folder / "p.sbd")
        os.rename(folder / "p.sbd", mail / "p.sbd")
        time.sleep(3)
        figures["mail: server up after a link to /proc/self/pagemap"] = server.process.poll() is None
    finally:
        try:  # a server blocked opening the FIFO gets a writer, and goes on
            os.close(os.open(mail / "f.sbd", os.O_WRONLY | os.O_NONBLOCK))
        except OSError:
            pass
        if server.process.poll() is None:
            server.process.send_signal(signal.SIGTERM)
            try:
                server.process.wait(30)
            except subprocess.TimeoutExpired:
                server.process.kill()
    again = Server(program, home, "--watch", str(mail))
    time.sleep(3)
    figures["mail: server up when restarted on that folder"] = again.process.poll() is None
    if again.process.poll() is None:
        again.process.kill()
    again.process.wait()
    wanted = {"mail: a link to a secret archived": False, "mail: a FIFO archived": False}
    return figures, all(value == wanted.get(key, True) for key, value in figures.items())


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
        results.append(probe_full_disk_double_delivery(program, folder, 50 if args.fast else 300))
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
