"""The HTTP push route against saltmark-server as a real process on 127.0.0.1: pushes archived
with their envelope and kept once however often (and by whichever route) they arrive, a
malformed push refused with its reason, a signed push checked with the provider's key, and a
clean stop."""

import argparse
import base64
import json
import os
import re
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

ARGS = None
IMEI = "300234010753370"
T0 = 1765100000  # 2025-12-07 09:33:20 UTC
RECORD = b"\x06\x01\x08\x00\x00\x00\x48\x41"  # battery 12.5 V


def push_fields(number, **extra):
    moment = time.gmtime(T0 + 600 * number)
    fields = {"imei": IMEI, "serial": "1234", "momsn": str(number),
              "transmit_time": time.strftime("%y-%m-%d %H:%M:%S", moment),
              "iridium_latitude": "-33.5", "iridium_longitude": "151.25", "iridium_cep": "3",
              "data": RECORD.hex()}
    fields.update(extra)
    return fields


def post(address, body, content_type="application/x-www-form-urlencoded", method="POST"):
    """The status and the body's first line."""
    request = urllib.request.Request("http://%s/" % address, data=body, method=method,
                                     headers={"Content-Type": content_type})
    try:
        with urllib.request.urlopen(request, timeout=30) as answer:
            return answer.status, answer.read().decode().strip()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode().strip()


def form(fields):
    return urllib.parse.urlencode(fields).encode()


class Server:
    def __init__(self, folder, *options):
        self.log = os.path.join(folder, "server.log")
        self.archive = os.path.join(folder, "archive.db")
        with open(self.log, "w") as log:
            self.process = subprocess.Popen(
                [ARGS.server, "--archive", self.archive, "--push", "127.0.0.1:0",
                 "--timeout", "5"] + list(options), stderr=log)
        self.addresses = {}
        deadline = time.monotonic() + 30
        while "push" not in self.addresses and time.monotonic() < deadline:
            time.sleep(0.05)
            with open(self.log) as log:
                self.addresses = dict(re.findall(r"(\w+) listening on (\S+)", log.read()))
        self.address = self.addresses["push"]

    def rows(self, columns="momsn"):
        with sqlite3.connect(self.archive) as db:
            return db.execute("SELECT %s FROM messages ORDER BY momsn, id" % columns).fetchall()

    def stop(self, test):
        self.process.terminate()
        test.assertEqual(self.process.wait(timeout=30), 0)
        with open(self.log) as log:
            test.assertTrue(log.read().rstrip().endswith("stopped"))


class PushTest(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory(prefix="saltmark-push-test-")
        self.addCleanup(folder.cleanup)  # after the server's stop, added later
        self.folder = folder.name

    def start(self, *options):
        server = Server(self.folder, *options)
        self.addCleanup(server.stop, self)
        return server

    def compose(self, momsn):
        record = os.path.join(self.folder, "r.rec")
        with open(record, "wb") as out:
            out.write(RECORD)
        path = os.path.join(self.folder, "%s_%d.sbd" % (IMEI, momsn))
        subprocess.run([ARGS.compose, "--record", record, "-o", path, "--directip",
                        "%s,%d,%d,-33.5,151.25,3" % (IMEI, momsn, T0 + 600 * momsn)], check=True)
        return path

    def test_a_push_is_archived_with_its_envelope_once_whatever_the_route(self):
        server = self.start("--directip", "127.0.0.1:0", "--confirm")
        files = [self.compose(momsn) for momsn in (1, 2)]
        sent = subprocess.run([ARGS.send, "--push", "http://%s/" % server.address] + files,
                              capture_output=True, text=True)
        self.assertEqual(sent.returncode, 0, sent.stdout)
        self.assertEqual(sent.stdout.count(": 200 archived"), 2, sent.stdout)
        self.assertEqual(server.rows("imei, momsn, session_time, iridium_latitude,"
                                     " iridium_longitude, iridium_cep_km, source, size"),
                         [(IMEI, 1, "2025-12-07T09:43:20Z", -33.5, 151.25, 3, "directip", 9),
                          (IMEI, 2, "2025-12-07T09:53:20Z", -33.5, 151.25, 3, "directip", 9)])
        # The provider's retries as JSON and as a form, and the same messages over DirectIP.
        again = subprocess.run([ARGS.send, "--push", "http://%s" % server.address, "--json",
                                self.folder], capture_output=True, text=True)
        self.assertEqual(again.stdout.count(": 200 already archived"), 2, again.stdout)
        payload = server.rows("hex(bytes)")[1][0]
        self.assertEqual(post(server.address, form(push_fields(2, data=payload))),
                         (200, "already archived"))
        directip = subprocess.run([ARGS.send, server.addresses["directip"]] + files,
                                  capture_output=True, text=True)
        self.assertEqual(directip.stdout.count(": confirmed"), 2, directip.stdout)
        # Another transmit time under the same MOMSN (the counter wrapped) is another message.
        later = push_fields(2, transmit_time="26-12-07 09:53:20")
        self.assertEqual(post(server.address, json.dumps(later).encode(), "application/json"),
                         (200, "archived"))
        self.assertEqual(server.rows(), [(1,), (2,), (2,)])

    def test_a_kill_nine_loses_no_push_answered_200(self):
        server = Server(self.folder)
        answered = []

        def pusher(first):
            for number in range(first, 4000, 4):
                try:
                    if post(server.address, form(push_fields(number)))[0] == 200:
                        answered.append(number)
                except OSError:
                    return  # the server is gone

        threads = [threading.Thread(target=pusher, args=(i,)) for i in range(4)]
        for thread in threads:
            thread.start()
        deadline = time.monotonic() + 30
        while len(answered) < 100 and time.monotonic() < deadline:
            time.sleep(0.01)
        server.process.kill()
        for thread in threads:
            thread.join()
        server.process.wait()
        self.assertGreaterEqual(len(answered), 100)
        self.assertLessEqual(set(answered), {row[0] for row in server.rows()})

    def test_a_malformed_push_is_refused_with_its_reason_and_nothing_stored(self):
        server = self.start("--allow", "127.0.0.0/8")
        cases = [
            (form({k: v for k, v in push_fields(1).items() if k != "imei"}), "imei: missing"),
            (form(push_fields(1, imei="30023401075337")), "imei: not 15 digits"),
            (form(push_fields(1, momsn="65536")), "momsn: not a number from 0 to 65535"),
            (form(push_fields(1, transmit_time="25-13-07 09:33:20")), "transmit_time: not"),
            (form(push_fields(1, transmit_time="2025-12-07T09:33:20Z")), "transmit_time: not"),
            (form(push_fields(1, data="0601080")), "data: not hexadecimal digits in pairs"),
            (form(push_fields(1, data="")), "data: not 1 to 1960 bytes"),
            (form(push_fields(1, data="00" * 1961)), "data: not 1 to 1960 bytes"),
            (form(push_fields(1, iridium_latitude="95")), "iridium_latitude: not a latitude"),
            (form({k: v for k, v in push_fields(1).items() if k != "iridium_cep"}),
             "iridium_cep: missing"),
            (b"imei=%zz", "the body is not form-encoded"),
        ]
        for body, reason in cases:
            with self.subTest(reason=reason):
                status, text = post(server.address, body)
                self.assertEqual(status, 400)
                self.assertIn(reason, text)
        self.assertEqual(post(server.address, b"[1]", "application/json"),
                         (400, "the body is not a JSON object"))
        self.assertEqual(post(server.address, None, method="GET")[0], 405)
        self.assertEqual(post(server.address, b"x" * 40000)[0], 413)
        self.assertEqual(server.rows(), [])

    def test_a_push_from_a_peer_not_allowed_is_refused(self):
        server = self.start("--allow", "10.0.0.0/8")
        self.assertEqual(post(server.address, form(push_fields(1))),
                         (403, "not an allowed peer"))
        self.assertEqual(server.rows(), [])

    def test_a_signed_push_is_archived_only_when_its_jwt_verifies(self):
        keys = {}
        for name in ("provider", "other"):
            private = os.path.join(self.folder, name + ".pem")
            subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt",
                            "rsa_keygen_bits:2048", "-out", private], check=True,
                           capture_output=True)
            keys[name] = private
        public = os.path.join(self.folder, "provider.pub")
        subprocess.run(["openssl", "pkey", "-in", keys["provider"], "-pubout", "-out", public],
                       check=True, capture_output=True)
        server = self.start("--push-key", public)

        def b64(data):
            return base64.urlsafe_b64encode(data).rstrip(b"=").decode()

        def jwt(claims, key="provider", alg="RS256"):
            signed = "%s.%s" % (b64(json.dumps({"alg": alg, "typ": "JWT"}).encode()),
                                b64(json.dumps(claims).encode()))
            signature = subprocess.run(["openssl", "dgst", "-sha256", "-sign", keys[key]],
                                       input=signed.encode(), capture_output=True,
                                       check=True).stdout
            return signed + "." + b64(signature)

        good = push_fields(5)
        good["JWT"] = jwt(push_fields(5))
        self.assertEqual(post(server.address, form(good)), (200, "archived"))
        self.assertEqual(post(server.address, json.dumps(good).encode(), "application/json"),
                         (200, "already archived"))
        refused = [
            ({k: v for k, v in good.items() if k != "JWT"}, "no JWT"),
            (dict(good, data="0601080000004842"), "the JWT's data differs from the push's"),
            (dict(push_fields(6), JWT=jwt(push_fields(6), key="other")), "does not verify"),
            (dict(push_fields(6), JWT=jwt(push_fields(6), alg="none")), "not signed with RS256"),
            (dict(push_fields(6), JWT=jwt({"imei": IMEI})), "does not carry momsn"),
            (dict(push_fields(6), JWT="a.b"), "not three parts"),
        ]
        for fields, reason in refused:
            with self.subTest(reason=reason):
                status, text = post(server.address, form(fields))
                self.assertEqual(status, 403)
                self.assertIn(reason, text)
        self.assertEqual(server.rows(), [(5,)])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("server", "compose", "send"):
        parser.add_argument("--" + option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
