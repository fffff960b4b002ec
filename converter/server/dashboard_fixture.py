"""Composed messages for the dashboard's browser test and its speed benchmark: two buoys
drifting for 30 days, each message in DirectIP framing (so it carries IMEI, MOMSN, session
time and the gateway's position) with a PB200 record, a battery voltage and, in turn, a wave
(IMU) or a turbulence (Y81000) record, some with a camera image. Some readings are the logger's 9999 marker or
NaN, which the charts show as gaps.
"""

import math
import pathlib
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
from make_examples import floats, header, ints, tiny_jpeg  # noqa: E402

IMEIS = ("300434060000010", "300434060000020")
START = 1764547200  # 2025-12-01T00:00:00Z
DAYS = 30
MISSING = 9999.0


def pb200(t, lat, lon, wind, gap):
    day = t // 86400
    year, month, mday = civil(day)
    body = floats(250.0 + 30 * math.sin(t / 40000.0), 9.1,
                  MISSING if gap else wind, 1.2, lat, lon)
    body += ints(year, month, mday, t % 86400)
    body += floats(12.0, 0.2, 1010.0 + 8 * math.sin(t / 200000.0), 0.3, 180.0, 20.0)
    body += bytes(8)
    return header(2, 2, len(body)) + body


def imu(hs, lat, lon):
    freqs = [0.03 + 0.01 * i for i in range(42)]
    fp = 1 / 8.0
    shape = [f ** -5 * math.exp(-1.25 * (fp / f) ** 4) for f in freqs]
    scale = hs ** 2 / 16 / (sum(shape) * 0.01)
    body = floats(hs, 8.0, 265.0) + floats(*[s * scale for s in shape]) + floats(*freqs)
    body += floats(*([0.0] * 42 * 4)) + floats(lat, lon)
    body += (ints(*([0] * 32)) + floats(*([0.0] * 32))) * 3
    return header(3, 3, len(body)) + body


def y81000(epsilon, nan):
    freqs = [0.05 * (i + 1) for i in range(116)]
    tke = [0.5 * epsilon ** (2 / 3) * f ** (-5 / 3) for f in freqs]
    body = floats(0.01, float("nan") if nan else epsilon, 0.1, 0.0, 0.0, 12.0, 1.0, 1.0)
    body += floats(*freqs) + floats(*tke)
    return header(11, 4, len(body)) + body


def battery(volts):
    return header(6, 0, 4) + floats(volts)


def camera(image):
    return header(7, 1, len(image)) + image


def civil(day):
    """Year, month, day of the day counted from 1970-01-01 (proleptic Gregorian)."""
    z = day + 719468
    era = z // 146097
    doe = z - era * 146097
    yoe = (doe - doe // 1460 + doe // 36524 - doe // 146096) // 365
    doy = doe - (365 * yoe + yoe // 4 - yoe // 100)
    mp = (5 * doy + 2) // 153
    d = doy - (153 * mp + 2) // 5 + 1
    m = mp + 3 if mp < 10 else mp - 9
    return yoe + era * 400 + (m <= 2), m, d


def directip(imei, momsn, t, payload, lat, lon, cep):
    def element(iei, content):
        return struct.pack(">BH", iei, len(content)) + content

    def degrees_minutes(value):
        magnitude = abs(value)
        whole = int(magnitude)
        return whole, round((magnitude - whole) * 60000)

    lat_d, lat_m = degrees_minutes(lat)
    lon_d, lon_m = degrees_minutes(lon)
    flags = (2 if lat < 0 else 0) | (1 if lon < 0 else 0)
    body = element(1, struct.pack(">I15sBHHI", 1000 + momsn, imei.encode(), 0, momsn, 0, t))
    body += element(2, payload)
    body += element(3, struct.pack(">BBHBHI", flags, lat_d, lat_m, lon_d, lon_m, cep))
    return struct.pack(">BH", 1, len(body)) + body


def messages(per_buoy, sparse=1):
    """(file name, bytes, facts) for `per_buoy` messages of each buoy over 30 days. `sparse`
    thins the wave, turbulence and camera records out (a benchmark's archive of 100,000
    messages need not hold 100,000 spectra to time a scalar field)."""
    image = tiny_jpeg([200, 220, 60, 40])
    step = DAYS * 86400 // per_buoy
    out = []
    for b, imei in enumerate(IMEIS):
        for k in range(per_buoy):
            t = START + k * step + 600 * b
            lat = 54.0 + 0.5 * b + 0.4 * k / per_buoy + 0.04 * math.sin(k / per_buoy * 40.0)
            lon = 5.8 + 0.3 * b + 1.4 * k / per_buoy + 0.06 * math.cos(k / per_buoy * 25.0)
            volts = round(13.2 - 0.6 * k / per_buoy - 0.3 * b, 2)
            wind = 6.0 + 4 * math.sin(k / 7.0 + b) + 1.5 * b
            records = [pb200(t, lat, lon, wind, k % 17 == 5), battery(volts)]
            # A DirectIP payload holds at most 1960 bytes: an IMU record (1800) goes alone.
            if k % (3 * sparse) == 0:
                records.append(imu(1.0 + 0.8 * (1 + math.sin(k / 11.0)), lat, lon))
            if k % (3 * sparse) == 1:
                records.append(y81000(1e-5 * (1 + k % 5), k % 13 == 7))
            if k % (9 * sparse) == 1:
                records.append(camera(image))
            payload = bytes([55]) + b"".join(records)
            name = f"{imei}_{k + 1}.sbd"
            out.append((name, directip(imei, k + 1, t, payload, lat + 0.01, lon - 0.01, 3),
                        {"imei": imei, "time": t, "battery": volts, "lat": lat, "lon": lon}))
    return out


# Open sea in every ocean, each the place of its own buoy: where a map that fills land
# even-odd or draws polygons that cross 180° flat paints land (north of Iceland, at 65°N and
# 70°N, at 17°S beside the antimeridian). Off the 0.2° to 30° graticule lines, far from coasts.
AT_SEA = (("north of Iceland", 68.3, -17.3), ("Norwegian Sea", 64.8, 1.3), ("70N", 70.3, 3.7),
          ("Chukchi Sea", 70.3, -167.3), ("17S east of 180", -17.3, -176.3),
          ("17S west of 180", -17.3, 173.3), ("North Atlantic", 43.3, -36.7),
          ("South Atlantic", -31.3, -14.7), ("Indian Ocean", -21.3, 78.7),
          ("Southern Ocean", -58.7, 101.3), ("North Pacific", 33.7, -151.3),
          ("Arctic Ocean", 84.3, 21.7))


def at_sea(folder):
    """One message of one buoy at each place of AT_SEA; their IMEIs in that order."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    imeis = []
    for n, (_, lat, lon) in enumerate(AT_SEA):
        imei = f"30043406100{n + 1:04d}"
        t = START + 3600 * n
        payload = bytes([55]) + pb200(t, lat, lon, 5.0, False) + battery(12.5)
        (folder / f"{imei}_1.sbd").write_bytes(directip(imei, 1, t, payload, lat, lon, 3))
        imeis.append(imei)
    return imeis


# One buoy's battery and gateway positions with faults put in, for the quality flags on the
# page: a spike, a value out of range, a missing one, a position 55 km off its track and one
# outside the box; QC_CONFIG flags them.
FAULTY_IMEI = "300434062000001"
FAULTY_COUNT = 40
SPIKE, NAN, OUT_OF_RANGE, JUMP, OUTSIDE = 10, 15, 20, 12, 30
QC_CONFIG = """\
streams:
  Miscellaneous_values.Battery_voltage:
    qartod:
      gross_range_test: {fail_span: [0, 30], suspect_span: [11, 14.5]}
      spike_test: {suspect_threshold: 1, fail_threshold: 2}
  iridium_position:
    qartod:
      location_test: {range_max: 20000, range_method: wgs84}
      location_bounds_test: {shape: [150, -35, 152, -32]}
"""


def faulty(folder):
    """The faulty buoy's messages as files in `folder`, their paths in time order."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for i in range(FAULTY_COUNT):
        volts = {SPIKE: 15.0, NAN: float("nan"), OUT_OF_RANGE: 80.0}.get(i, 12.5 + 0.03 * (i % 4))
        lat = -33.0 if i == JUMP else -33.5 + 0.002 * i
        lon = 153.0 if i == OUTSIDE else 151.25
        payload = bytes([55]) + battery(volts)
        path = folder / f"{FAULTY_IMEI}_{i + 1}.sbd"
        path.write_bytes(directip(FAULTY_IMEI, i + 1, START + 1800 * i, payload, lat, lon, 3))
        paths.append(path)
    return paths


def write(folder, per_buoy, sparse=1):
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    composed = messages(per_buoy, sparse)
    for name, data, _ in composed:
        (folder / name).write_bytes(data)
    return composed




def imported_archive(build, work, messages, sparse=20):
    """An archive of about `messages` of the buoys above, imported with saltmark-convert --db
    in chunks, in `work` (reused when already there): the benchmarks' large archive. Returns
    its path and the import's seconds (None when it was there)."""
    import subprocess
    import time
    archive = pathlib.Path(work) / "archive.sqlite"
    if archive.exists():
        return archive, None
    inbox = pathlib.Path(work) / "in"
    names = [str(inbox / name) for name, _, _ in write(inbox, messages // len(IMEIS), sparse)]
    start = time.perf_counter()
    for i in range(0, len(names), 5000):
        subprocess.run([pathlib.Path(build) / "converter/cli/saltmark-convert", "--db", archive,
                        *names[i:i + 5000]], check=True, stdout=subprocess.DEVNULL)
    seconds = time.perf_counter() - start
    for name in names:
        pathlib.Path(name).unlink()
    return archive, seconds
