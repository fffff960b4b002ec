#!/usr/bin/env python3
"""How fast saltmark.open_archive reads a large archive: messages, one field's series, the
track and one buoy's to_xarray() (with its NetCDF file), best of a few runs.

Composes MESSAGES DirectIP messages of the dashboard fixture's buoys (PB200 and battery in
each, wave and turbulence records in a few), imports them with saltmark-convert --db, then
times the calls.

  PYTHONPATH=build/python python3 bench/python_archive_speed.py [--messages N] [--keep DIR]
(after bash scripts/build.sh). Not a test: the figures go to docs/performance.md.
"""

import argparse
import pathlib
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "converter" / "server"))
import dashboard_fixture as fixture  # noqa: E402

import saltmark  # noqa: E402


def best_of(repeats, call):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--messages", type=int, default=100_000)
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--keep", help="folder to keep (and reuse) the archive in")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    build = pathlib.Path(args.build)
    work = pathlib.Path(args.keep) if args.keep else pathlib.Path(tempfile.mkdtemp(dir=build))
    work.mkdir(parents=True, exist_ok=True)
    archive, _ = fixture.imported_archive(build, work, args.messages)
    with saltmark.open_archive(archive) as a:
        imei = a.buoys()[0]
        print(f"{len(a.messages)} messages, {len(a.buoys())} buoys")
        for label, call in (
                ("messages", lambda: a.messages),
                ("series PB200 WSMean, all buoys", lambda: a.series("PB200", "WSMean")),
                ("series PB200 WSMean, one buoy", lambda: a.series("PB200", "WSMean", imei)),
                ("track, one buoy", lambda: a.track(imei)),
                ("to_xarray, one buoy", lambda: a.to_xarray(imei)),
                ("to_xarray + to_netcdf", lambda: a.to_xarray(imei).to_netcdf(work / "b.nc"))):
            print(f"{label:32s} best {best_of(args.repeats, call) * 1000:7.0f} ms")


if __name__ == "__main__":
    main()
