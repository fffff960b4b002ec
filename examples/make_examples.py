#!/usr/bin/env python3
"""Writes the bundled example messages. Not part of the product: run it by hand after changing
what the examples should show (python3 examples/make_examples.py), then commit the .sbd files.

The camera image is a 16 x 16 grey JPEG encoded right here, four flat 8 x 8 blocks (sky above,
sea below), so the examples carry a real image without borrowing one from anywhere.
"""

import math
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent
PACKET_TYPE = 55


def header(code, port, size):
    return struct.pack("<BBH", code, port, size)


def floats(*values):
    return struct.pack("<%df" % len(values), *values)


def ints(*values):
    return struct.pack("<%di" % len(values), *values)


# ---- a tiny baseline JPEG -------------------------------------------------------------------

class BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.n = 0

    def put(self, code, length):
        for i in reversed(range(length)):
            self.acc = (self.acc << 1) | ((code >> i) & 1)
            self.n += 1
            if self.n == 8:
                self.out.append(self.acc)
                if self.acc == 0xFF:
                    self.out.append(0x00)  # byte stuffing
                self.acc = self.n = 0

    def flush(self):
        while self.n:
            self.put(1, 1)  # pad with one-bits
        return bytes(self.out)


def tiny_jpeg(levels, width=16, height=16):
    """Grey image of flat 8 x 8 blocks, `levels` in raster order of the blocks."""
    quant = 16
    # The DC luminance code lengths of the usual table; its codes follow from them.
    dc_bits = [0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0]
    dc_codes, code, k = {}, 0, 0
    for length, count in enumerate(dc_bits, start=1):
        for _ in range(count):
            dc_codes[k] = (code, length)
            code += 1
            k += 1
        code <<= 1
    eob = (0, 1)  # the AC table holds one symbol, end-of-block, coded as a single 0 bit

    bits = BitWriter()
    previous = 0
    for level in levels:
        dc = round(8 * (level - 128) / quant)  # flat block: DCT(0,0) = 8 x mean, AC all zero
        diff = dc - previous
        previous = dc
        category = abs(diff).bit_length()
        bits.put(*dc_codes[category])
        if category:
            bits.put(diff if diff > 0 else diff + (1 << category) - 1, category)
        bits.put(*eob)
    scan = bits.flush()

    def segment(marker, payload):
        return struct.pack(">HH", marker, len(payload) + 2) + payload

    return (
        b"\xFF\xD8"
        + segment(0xFFE0, b"JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00")
        + segment(0xFFDB, b"\x00" + bytes([quant] * 64))
        + segment(0xFFC0, struct.pack(">BHHB", 8, height, width, 1) + b"\x01\x11\x00")
        + segment(0xFFC4, b"\x00" + bytes(dc_bits) + bytes(range(12)))
        + segment(0xFFC4, b"\x10" + bytes([1] + [0] * 15) + b"\x00")
        + segment(0xFFDA, b"\x01\x01\x00\x00\x3F\x00")
        + scan
        + b"\xFF\xD9"
    )


# ---- records --------------------------------------------------------------------------------

def pb200(port):
    body = floats(245.3, 12.4, 8.7, 1.9, 54.1723, 7.8935)
    body += ints(2024, 6, 11, 43200)
    body += floats(14.6, 0.3, 1013.2, 0.4, 182.5, 35.1)
    body += bytes(8)
    return header(2, port, len(body)) + body


def v536(address):
    body = floats(240.1, 10.2, 8.2, 1.7, 14.4, 0.2, 81.5, 2.3, 1012.9, 0.3, 0.0, 0.0)
    return header(8, ord(address), len(body)) + body


def short(code, port, *values):
    return header(code, port, 4 * len(values)) + floats(*values)


def camera(port, image):
    return header(7, port, len(image)) + image


def imu(port):
    freqs = [0.03 + 0.01 * i for i in range(42)]
    fp, hs = 1 / 8.4, 1.83
    # A Pierson-Moskowitz-like spectrum scaled to Hs, and a swell from the west.
    shape = [f ** -5 * math.exp(-1.25 * (fp / f) ** 4) for f in freqs]
    scale = hs ** 2 / 16 / (sum(shape) * 0.01)
    energy = [s * scale for s in shape]
    a1 = [0.82 * math.cos(math.radians(265)) for _ in freqs]
    b1 = [0.82 * math.sin(math.radians(265)) for _ in freqs]
    a2 = [0.45 * math.cos(math.radians(530)) for _ in freqs]
    b2 = [0.45 * math.sin(math.radians(530)) for _ in freqs]
    body = floats(hs, 8.4, 265.0) + floats(*energy) + floats(*freqs)
    body += floats(*a1) + floats(*b1) + floats(*a2) + floats(*b2)
    body += floats(54.1723, 7.8935)
    centres = [-1.55 + 0.1 * i for i in range(32)]
    counts = [round(9000 * math.exp(-((c / 0.35) ** 2))) for c in centres]
    body += ints(*counts) + floats(*centres)
    body += ints(*[c // 2 for c in counts]) + floats(*[x / 2 for x in centres])
    body += ints(*[c // 3 for c in counts]) + floats(*[x * 2 for x in centres])
    return header(3, port, len(body)) + body


def aquadopp(port):
    means = [0.25 * math.sin(i / 6) for i in range(40)]
    return header(1, port, 160) + floats(*means)


def signature(port):
    burst = [0.41, 0.38, 0.33, 0.27]
    east = [0.21, 0.18, 0.12]
    north = [-0.09, -0.07, -0.04]
    body = struct.pack("<H", len(burst)) + floats(*burst)
    body += struct.pack("<H", len(east)) + floats(*east) + floats(*north)
    return header(9, port, len(body)) + body


def message(*records):
    return bytes([PACKET_TYPE]) + b"".join(records)


def main():
    sky_and_sea = tiny_jpeg([200, 220, 60, 40])
    (HERE / "station.sbd").write_bytes(
        message(
            pb200(2),
            v536("0"),
            short(4, 4, 42.31, 13.9, 34.2),
            short(5, 5, 0.52, 1.87, 0.093),
            short(12, 6, 287.4),
            short(13, 7, 3.21),
            short(6, 0, 12.6),
            camera(1, sky_and_sea),
        )
    )
    (HERE / "waves-currents.sbd").write_bytes(message(imu(3), aquadopp(8), signature(9)))


if __name__ == "__main__":
    main()
