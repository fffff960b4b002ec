"""saltmark-server's HTTP side against clients that are slow, idle, oversized or many: a real
server process on 127.0.0.1 on ports it picks, spoken to over plain sockets.

Run by CTest; by hand:  python3 test_http_server.py --server build/converter/server/saltmark-server
"""

import argparse
import os
import re
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ARGS = None


class Server:
    """saltmark-server with DirectIP (which creates the archive) and the dashboard."""

    def __init__(self, folder, *options, limit_files=None):
        def lower_file_limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (limit_files, limit_files))

        self.process = subprocess.Popen(
            [ARGS.server, "--archive", os.path.join(folder, "archive.sqlite"), "--directip",
             "127.0.0.1:0", "--http", "127.0.0.1:0", *options],
            stderr=subprocess.PIPE, text=True,
            preexec_fn=lower_file_limit if limit_files else None)
        self.log = []
        self.ready = threading.Event()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        if not self.ready.wait(20):
            self.process.kill()
            raise AssertionError("no listening line:\n" + "".join(self.log))
        self.port = int(re.search(r"http listening on 127\.0\.0\.1:(\d+)", "".join(self.log))[1])

    def _read(self):
        for line in self.process.stderr:
            self.log.append(line)
            if "http listening on" in line:
                self.ready.set()

    def stop(self, wait=20):
        self.process.send_signal(signal.SIGTERM)
        return self.process.wait(wait)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.reader.join(5)
        self.process.stderr.close()


def connect(port):
    return socket.create_connection(("127.0.0.1", port), timeout=10)


def get(port, path="/api/buoys", headers=(), extra=b""):
    """Status and head (lower-cased names) of one GET on a connection of its own."""
    with connect(port) as s:
        lines = [f"GET {path} HTTP/1.1", f"Host: 127.0.0.1:{port}", "Connection: close",
                 *(f"{name}: {value}" for name, value in headers)]
        s.sendall(("\r\n".join(lines) + "\r\n").encode() + extra + b"\r\n")
        answer = b""
        while chunk := s.recv(65536):
            answer += chunk
    head = answer.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")
    fields = {}
    for line in head[1:]:
        name, _, value = line.partition(":")
        fields.setdefault(name.strip().lower(), []).append(value.strip())
    return int(head[0].split()[1]), fields


def closed_by_server(s, wait):
    """True when the server closes `s` within `wait` seconds."""
    s.settimeout(wait)
    try:
        return s.recv(4096) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


class Trickle(threading.Thread):
    """A slow-loris client: a request head a byte at a time, never finished."""

    def __init__(self, port, period=0.3):
        super().__init__(daemon=True)
        self.socket = connect(port)
        self.period = period
        self.cut_off = threading.Event()
        self.start()

    def run(self):
        for byte in b"GET /api/buoys HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"a" * 100000:
            try:
                self.socket.send(bytes([byte]))
            except OSError:
                self.cut_off.set()
                return
            time.sleep(self.period)


class HttpServerTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.servers = []

    def tearDown(self):
        for server in self.servers:
            server.kill()
        self.folder.cleanup()

    def start(self, *options, **kwargs):
        self.servers.append(Server(self.folder.name, *options, **kwargs))
        return self.servers[-1]

    def test_oversized_header_sections_get_431_and_the_server_goes_on(self):
        server = self.start()
        status, _ = get(server.port, extra=b"X-Big: " + b"b" * 9000 + b"\r\n")
        self.assertEqual(status, 431)
        many = b"".join(b"X-Line-%d: x\r\n" % i for i in range(150))  # under 8 KB
        self.assertLess(len(many), 8192)
        status, _ = get(server.port, extra=many)
        self.assertEqual(status, 431)
        self.assertEqual(get(server.port)[0], 200)
        self.assertEqual(server.stop(), 0)

    def test_slow_clients_are_cut_off_at_the_head_deadline_while_good_ones_are_served(self):
        server = self.start()
        slow = [Trickle(server.port) for _ in range(16)]
        for _ in range(5):
            self.assertEqual(get(server.port)[0], 200)
        # Still sending, a byte every 0.3 s: only a deadline on the whole head ends them.
        for client in slow:
            self.assertTrue(closed_by_server(client.socket, 30) or client.cut_off.is_set())
            client.socket.close()
        self.assertEqual(server.stop(), 0)

    def test_a_flood_of_idle_connections_gives_way_to_a_newcomer(self):
        # 300 descriptors: the server keeps about 150 connections, then closes its oldest
        # idle ones for newcomers rather than turning them away.
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(4096, hard), hard))
        server = self.start(limit_files=300)
        idle = [connect(server.port) for _ in range(600)]
        keep_alive = connect(server.port)
        keep_alive.sendall(f"GET /api/config HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\n\r\n".encode())
        self.assertIn(b" 200 ", keep_alive.recv(65536))
        for _ in range(5):
            self.assertEqual(get(server.port)[0], 200)
        self.assertTrue(closed_by_server(idle[0], 5), "the oldest idle connection is kept")
        for s in idle + [keep_alive]:
            s.close()
        self.assertEqual(server.stop(), 0)

    def test_sigterm_closes_slow_clients_and_exits_at_once(self):
        server = self.start("--timeout", "2")
        slow = Trickle(server.port, period=0.2)
        idle = connect(server.port)
        time.sleep(0.5)
        self.assertEqual(server.stop(wait=20), 0)
        self.assertTrue(closed_by_server(slow.socket, 5) or slow.cut_off.is_set())
        self.assertTrue(closed_by_server(idle, 5))
        slow.socket.close()
        idle.close()

    def test_token_file_and_the_secure_cookie(self):
        token_file = os.path.join(self.folder.name, "token")
        with open(token_file, "w") as f:
            f.write("s3cret-from-file\n")
        server = self.start("--token-file", token_file)
        with open(f"/proc/{server.process.pid}/cmdline", "rb") as f:
            self.assertNotIn(b"s3cret", f.read())
        self.assertEqual(get(server.port, headers=[("Authorization", "Bearer s3cret-from-file")])[0], 200)
        self.assertEqual(get(server.port, headers=[("Authorization", "Bearer s3cret-from")])[0], 401)
        # Secure only when the browser came over TLS, as a proxy on this machine says.
        for headers, secure in (((), False), ((("X-Forwarded-Proto", "https"),), True)):
            status, fields = get(server.port, "/?token=s3cret-from-file", headers)
            self.assertEqual(status, 302)
            self.assertEqual("; Secure" in fields["set-cookie"][0], secure, headers)
        behind = self.start("--token", "t0ken", "--behind-tls")
        self.assertIn("; Secure", get(behind.port, "/?token=t0ken")[1]["set-cookie"][0])

        with open(token_file, "w") as f:
            f.write("\n")
        refused = subprocess.run([ARGS.server, "--archive", os.path.join(self.folder.name, "a"),
                                  "--http", "0", "--token-file", token_file],
                                 capture_output=True, text=True, timeout=20)
        self.assertEqual(refused.returncode, 2)
        self.assertIn("empty", refused.stderr)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
