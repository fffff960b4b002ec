"""Quality-control flags from the socket and the command line to the archive: one buoy's series
with faults put in (a spike, a stuck value, a value out of range, a missing one, a six-hour gap,
a 50 km position jump, a position outside the box) imported by saltmark-convert --qc and pushed
to saltmark-server --qc (a real process on 127.0.0.1), in time order and shuffled; every way
gives the flags of a recomputation with saltmark-qc over the sorted series."""

import argparse
import os
import random
import re
import sqlite3
import struct
import subprocess
import sys
import tempfile
import unittest

ARGS = None
IMEI = "300234010753370"
T0 = 1765100000
COUNT = 40
SPIKE, NAN, OUT_OF_RANGE, JUMP, OUTSIDE, AFTER_GAP = 10, 15, 20, 12, 30, 37
STUCK = range(25, 35)

CONFIG = """\
streams:
  Miscellaneous_values.Battery_voltage:
    qartod:
      gross_range_test: {fail_span: [0, 30], suspect_span: [11, 14.5]}
      spike_test: {suspect_threshold: 1, fail_threshold: 2}
      flat_line_test: {suspect_threshold: 3600, fail_threshold: 7200, tolerance: 0.001}
      time_gap_test: {fail_span: 2}
  iridium_position:
    qartod:
      location_test: {range_max: 20000, range_method: wgs84}
      location_bounds_test: {shape: [150, -35, 152, -32]}
"""


def value(i):
    if i == SPIKE:
        return 15.0
    if i == NAN:
        return float("nan")
    if i == OUT_OF_RANGE:
        return 80.0
    if i in STUCK:
        return 12.345
    return 12.5 + 0.03 * (i % 4)


def moment(i):
    return T0 + 1800 * i + (6 * 3600 if i >= AFTER_GAP else 0)


def position(i):
    lat, lon = -33.5 + 0.002 * i, 151.25
    if i == JUMP:
        lat = -33.0  # about 55 km north of its neighbours
    if i == OUTSIDE:
        lon = 153.0
    return lat, lon


def compose(folder):
    files = []
    for i in range(COUNT):
        record = os.path.join(folder, "r%d.rec" % i)
        with open(record, "wb") as out:
            out.write(b"\x06\x01\x08\x00" + struct.pack("<f", value(i)))
        lat, lon = position(i)
        path = os.path.join(folder, "%s_%d.sbd" % (IMEI, i + 1))
        subprocess.run([ARGS.compose, "--record", record, "-o", path, "--directip",
                        "%s,%d,%d,%.4f,%.4f,3" % (IMEI, i + 1, moment(i), lat, lon)], check=True)
        files.append(path)
    return files


def flags(archive):
    """Every flag by MOMSN (the message ids differ between archives), record, stream, test."""
    with sqlite3.connect(archive) as db:
        return sorted(db.execute(
            "SELECT m.momsn, f.record, f.stream, f.test, f.flag FROM qc_flags f"
            " JOIN messages m ON m.id = f.message_id"))


def by_value(rows):
    return {(momsn - 1, stream, test): flag for momsn, _, stream, test, flag in rows}


class Server:
    def __init__(self, archive, config):
        self.process = subprocess.Popen(
            [ARGS.server, "--archive", archive, "--directip", "127.0.0.1:0", "--confirm",
             "--timeout", "2", "--qc", config], stderr=subprocess.PIPE, text=True)
        line = self.process.stderr.readline()
        while line and "directip listening on" not in line:
            line = self.process.stderr.readline()
        self.address = re.search(r"listening on (\S+)", line).group(1)

    def send(self, files):
        sent = subprocess.run([ARGS.send, self.address] + files, capture_output=True, text=True)
        return sent.stdout.count(": confirmed")

    def stop(self):
        self.process.terminate()
        status = self.process.wait(timeout=30)
        self.process.stderr.close()
        return status


class QualityControlTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory(prefix="saltmark-qc-test-")
        cls.folder = cls.dir.name
        cls.config = os.path.join(cls.folder, "qc.yaml")
        with open(cls.config, "w") as out:
            out.write(CONFIG)
        cls.files = compose(cls.folder)
        cls.shuffled = list(cls.files)
        random.Random(27).shuffle(cls.shuffled)
        # The reference: imported in time order, then recomputed over the sorted series.
        cls.reference_archive = os.path.join(cls.folder, "reference.sqlite")
        subprocess.run([ARGS.convert, "--db", cls.reference_archive] + cls.files, check=True,
                       capture_output=True)
        subprocess.run([ARGS.qc, "--archive", cls.reference_archive, "--config", cls.config],
                       check=True, capture_output=True)
        cls.reference = flags(cls.reference_archive)

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def archive(self, name):
        return os.path.join(self.folder, name + ".sqlite")

    def test_injected_faults_get_their_flags(self):
        got = by_value(self.reference)
        battery = "Miscellaneous values.Battery voltage"
        self.assertEqual(got[(SPIKE, battery, "spike_test")], 4)
        self.assertEqual(got[(SPIKE, battery, "gross_range_test")], 3)
        self.assertEqual(got[(OUT_OF_RANGE, battery, "gross_range_test")], 4)
        self.assertEqual(got[(OUT_OF_RANGE, battery, "aggregate")], 4)
        self.assertEqual(got[(NAN, battery, "gross_range_test")], 9)
        self.assertEqual(got[(NAN, battery, "aggregate")], 9)
        self.assertEqual([got[(i, battery, "flat_line_test")] for i in STUCK],
                         [1, 1, 3, 3, 4, 4, 4, 4, 4, 4])
        self.assertEqual(got[(AFTER_GAP, battery, "time_gap_test")], 4)
        self.assertEqual(got[(AFTER_GAP - 1, battery, "time_gap_test")], 1)
        self.assertEqual(got[(JUMP, "iridium_position", "location_test")], 3)
        self.assertEqual(got[(OUTSIDE, "iridium_position", "location_bounds_test")], 4)
        self.assertEqual(got[(5, battery, "aggregate")], 1)
        self.assertEqual(got[(5, "iridium_position", "aggregate")], 1)
        self.assertEqual(len(self.reference), COUNT * (5 + 3))
        with sqlite3.connect(self.reference_archive) as db:
            self.assertEqual(db.execute("SELECT file_name, hash LIKE 'sha256:%' FROM qc_configs")
                             .fetchall(), [(self.config, 1)])

    def test_convert_flags_as_it_imports_in_order_and_shuffled(self):
        ordered = self.archive("convert-ordered")
        subprocess.run([ARGS.convert, "--db", ordered, "--qc", self.config] + self.files,
                       check=True, capture_output=True)
        self.assertEqual(flags(ordered), self.reference)
        # Shuffled, in two imports: the second's late messages update their neighbours.
        shuffled = self.archive("convert-shuffled")
        half = len(self.shuffled) // 2
        for part in (self.shuffled[:half], self.shuffled[half:]):
            subprocess.run([ARGS.convert, "--db", shuffled, "--qc", self.config] + part,
                           check=True, capture_output=True)
        self.assertEqual(flags(shuffled), self.reference)

    def test_server_flags_before_it_confirms_in_order_and_shuffled(self):
        for name, files in (("server-ordered", self.files), ("server-shuffled", self.shuffled)):
            archive = self.archive(name)
            server = Server(archive, self.config)
            try:
                self.assertEqual(server.send(files), COUNT, name)
                # Confirmed means committed with its flags: nothing to wait for.
                self.assertEqual(flags(archive), self.reference, name)
            finally:
                self.assertEqual(server.stop(), 0)

    def test_server_sees_what_another_importer_added_between_its_deliveries(self):
        # The server keeps a buoy's rows and flags from one delivery to the next: an import by
        # another process in between (here flagging by another configuration) changes both.
        archive = self.archive("server-shared")
        other = os.path.join(self.folder, "other.yaml")
        with open(other, "w") as out:
            out.write(CONFIG.replace("fail_span: [0, 30], suspect_span: [11, 14.5]",
                                     "fail_span: [0, 1]"))
        third = len(self.shuffled) // 3
        server = Server(archive, self.config)
        try:
            self.assertEqual(server.send(self.shuffled[:third]), third)
            subprocess.run([ARGS.convert, "--db", archive, "--qc", other]
                           + self.shuffled[third:2 * third], check=True, capture_output=True)
            self.assertEqual(server.send(self.shuffled[2 * third:]), COUNT - 2 * third)
            self.assertEqual(flags(archive), self.reference)
        finally:
            self.assertEqual(server.stop(), 0)

    def test_a_configuration_error_is_refused_before_anything_is_written(self):
        bad = os.path.join(self.folder, "bad.yaml")
        with open(bad, "w") as out:
            out.write(CONFIG.replace("tolerance: 0.001", "tolerance: 0.001, window: 3"))
        archive = self.archive("refused")
        for command in ([ARGS.qc, "--archive", archive, "--config", bad],
                        [ARGS.convert, "--db", archive, "--qc", bad, self.files[0]],
                        [ARGS.server, "--archive", archive, "--directip", "127.0.0.1:0",
                         "--qc", bad]):
            run = subprocess.run(command, capture_output=True, text=True, timeout=30)
            self.assertEqual(run.returncode, 2, command[0])
            self.assertIn(bad + ":6:", run.stderr)
            self.assertFalse(os.path.exists(archive), command[0])

    def test_recompute_after_a_change_replaces_the_flags_of_a_range(self):
        archive = self.archive("recompute")
        subprocess.run([ARGS.convert, "--db", archive, "--qc", self.config] + self.files,
                       check=True, capture_output=True)
        wider = os.path.join(self.folder, "wider.yaml")
        with open(wider, "w") as out:
            out.write(CONFIG.replace("fail_span: [0, 30]", "fail_span: [0, 100]"))
        subprocess.run([ARGS.qc, "--archive", archive, "--config", wider, "--buoy", IMEI,
                        "--from", str(moment(OUT_OF_RANGE)), "--to", str(moment(OUT_OF_RANGE))],
                       check=True, capture_output=True)
        got = by_value(flags(archive))
        battery = "Miscellaneous values.Battery voltage"
        self.assertEqual(got[(OUT_OF_RANGE, battery, "gross_range_test")], 3)
        self.assertEqual(got[(SPIKE, battery, "spike_test")], 4)
        with sqlite3.connect(archive) as db:
            self.assertEqual(db.execute(
                "SELECT c.file_name, count(*) FROM qc_flags f JOIN qc_configs c"
                " ON c.id = f.config_id GROUP BY c.file_name ORDER BY c.file_name").fetchall(),
                [(self.config, len(self.reference) - 8), (wider, 8)])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for name in ("server", "convert", "qc", "compose", "send"):
        parser.add_argument("--" + name, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
