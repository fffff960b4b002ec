"""eddyrate-batch: every burst file of a folder through EddyRate, on a Dask cluster.

    eddyrate-batch BURSTS_DIR -o results.csv [--netcdf results.nc]
                   [--scheduler ADDRESS | --workers N] [--fs HZ] [--height M]

Each *.csv file of the folder is one burst in the form eddyrate-run reads (u, v, w, T a row).
The bursts are computed on a local cluster of N worker processes, or on the running Dask
scheduler at ADDRESS; the workers read the files themselves, so on a remote cluster the folder
must be visible to them under the same path. Each burst gives one row: file, start time (from
an ISO date and time in the file name, taken as UTC), kept samples, the eight outputs and the
rejected flag. A file that cannot be read is reported and skipped.

Exit status: 0 when every burst was read and the results written, 1 when a burst could not be
read or a result file not written, 2 for wrong usage.
"""

import argparse
import csv
import datetime
import os
import re
import sys

import numpy as np

from . import _eddyrate

PROGRAM = "eddyrate-batch"
SCALARS = _eddyrate.OUTPUT_NAMES[:_eddyrate.SCALAR_OUTPUTS]
CSV_COLUMNS = ("file", "start_time", "kept_samples") + SCALARS + ("rejected",)

# A number as the tools read one: a decimal with an optional exponent, or nan / inf. (Python's
# float() alone would also take "1_000" and surrounding white space.)
_NUMBER = re.compile(r"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|nan|inf|infinity)",
                     re.IGNORECASE)

# A date and time in ISO 8601 form, extended (2026-12-07T15-30-00, with '-' or ':' in the time)
# or basic (20261207T153000).
_ISO_TIME = re.compile(r"(\d{4})-(\d{2})-(\d{2})T(\d{2})[-:](\d{2})(?:[-:](\d{2}))?"
                       r"|(\d{4})(\d{2})(\d{2})T(\d{2})(\d{2})(\d{2})?")


class BurstError(Exception):
    """A burst file that cannot be used; the message names the file and, where known, the line."""


def _number(field):
    field = field.strip(" \t\r")
    return float(field) if _NUMBER.fullmatch(field) else None


def read_burst(path):
    """Reads a burst CSV: u, v, w, T arrays. Empty lines and '#' lines are passed over; the
    first other line may be a header (its first field is not a number); every data line holds
    exactly four numbers."""
    columns = ([], [], [], [])
    first_content_line = True
    try:
        with open(path, encoding="utf-8", newline="") as burst:
            for number, line in enumerate(burst, start=1):
                text = line.strip(" \t\r\n")
                if not text or text.startswith("#"):
                    continue
                fields = text.split(",")
                header = first_content_line and _number(fields[0]) is None
                first_content_line = False
                if header:
                    continue
                if len(fields) != 4:
                    raise BurstError(f"{path}:{number}: expected 4 values (u, v, w, T), "
                                     f"found {len(fields)}")
                for column, name, field in zip(columns, "uvwT", fields):
                    value = _number(field)
                    if value is None:
                        shown = "an empty field" if not field.strip() else repr(field.strip())
                        raise BurstError(f"{path}:{number}: {shown} in column {name} "
                                         "is not a number")
                    column.append(value)
    except (OSError, UnicodeDecodeError) as error:
        raise BurstError(f"{path}: {getattr(error, 'strerror', None) or error}") from None
    return tuple(np.array(column, dtype=np.float64) for column in columns)


def start_time(name):
    """The burst's start time from an ISO date and time in its file name, or None."""
    match = _ISO_TIME.search(os.path.basename(name))
    if not match:
        return None
    parts = [int(p) if p else 0 for p in (match.groups()[:6] if match.group(1)
                                           else match.groups()[6:])]
    try:
        return datetime.datetime(*parts)
    except ValueError:
        return None


def process_burst(path, height, fs):
    """One burst: a row of results, or {"file": ..., "error": ...} when it cannot be read."""
    name = os.path.basename(path)
    try:
        u, v, w, temp = read_burst(path)
        result = _eddyrate.compute(u, v, w, temp, height=height, fs=fs)
    except (BurstError, ValueError) as error:
        return {"file": name, "error": str(error)}
    row = {"file": name, "start_time": start_time(name), "kept_samples": result.kept_samples}
    row.update({key: getattr(result, key) for key in SCALARS})
    row["rejected"] = result.rejected
    row["freq"] = result.freq
    row["tke"] = result.tke
    return row


def burst_files(folder):
    return sorted(os.path.join(folder, entry) for entry in os.listdir(folder)
                  if entry.lower().endswith(".csv") and os.path.isfile(os.path.join(folder, entry)))


def run_serial(paths, height=4.0, fs=10.0):
    return [process_burst(path, height, fs) for path in paths]


def run_on_dask(paths, client, height=4.0, fs=10.0, show_progress=True):
    """Maps process_burst over the paths on the client's cluster; results in the paths' order."""
    from dask.distributed import progress

    futures = client.map(process_burst, paths, height=height, fs=fs)
    if show_progress:
        progress(futures)
    return client.gather(futures)


def _iso(moment):
    return "" if moment is None else moment.isoformat() + "Z"


def _exact(value):
    # repr gives the shortest decimal that reads back as the same double.
    return repr(float(value))


def write_csv(rows, path):
    with open(path, "w", encoding="utf-8", newline="") as out:
        table = csv.writer(out, lineterminator="\n")
        table.writerow(CSV_COLUMNS)
        for row in rows:
            table.writerow([row["file"], _iso(row["start_time"]), row["kept_samples"]]
                           + [_exact(row[key]) for key in SCALARS]
                           + ["true" if row["rejected"] else "false"])


# CF attributes: units and long names as ocean data centres expect; a standard name only where
# the CF table has one for what the variable holds.
_ATTRIBUTES = {
    "Ustar": {"units": "m s-1", "long_name": "friction velocity from the dissipation rate "
              "(neutral surface layer)", "missing_value": _eddyrate.MISSING},
    "Epsilon": {"units": "m2 s-3", "long_name": "dissipation rate of turbulent kinetic energy "
                "in air, inertial-subrange fit of the vertical-velocity spectrum",
                "missing_value": _eddyrate.MISSING},
    "MeanU": {"units": "m s-1", "long_name": "burst mean of the anemometer's u component"},
    "MeanV": {"units": "m s-1", "long_name": "burst mean of the anemometer's v component"},
    "MeanW": {"units": "m s-1", "long_name": "burst mean of the anemometer's w component"},
    "MeanTemp": {"long_name": "burst mean of the sonic temperature",
                 "comment": "in the unit of the burst files"},
    "Anisotropy": {"units": "1", "long_name": "(S_uu + S_vv) / (2 S_ww) over the fit band",
                   "missing_value": _eddyrate.MISSING},
    "Quality": {"units": "1", "long_name": "1 - spread / mean of the compensated "
                "vertical-velocity spectrum over the fit band"},
    "freq": {"units": "Hz", "long_name": "band frequency", "missing_value": _eddyrate.MISSING},
    "tke": {"units": "m2 s-2 Hz-1", "long_name": "band spectrum S_uu + S_vv + S_ww (twice the "
            "spectral density of turbulent kinetic energy)", "missing_value": _eddyrate.MISSING},
}


def to_dataset(rows, height, fs):
    """The rows as an xarray Dataset with dimensions burst and band."""
    import xarray as xr

    times = np.array([np.datetime64("NaT") if row["start_time"] is None
                      else np.datetime64(row["start_time"], "ns") for row in rows],
                     dtype="datetime64[ns]")
    data = {key: (("burst",), np.array([row[key] for row in rows], dtype=np.float64),
                  _ATTRIBUTES[key]) for key in SCALARS}
    for key in ("freq", "tke"):
        values = np.array([row[key] for row in rows], dtype=np.float64).reshape(len(rows),
                                                                               _eddyrate.BANDS)
        data[key] = (("burst", "band"), values, _ATTRIBUTES[key])
    data["kept_samples"] = (("burst",), np.array([row["kept_samples"] for row in rows],
                                                 dtype=np.int64),
                            {"units": "1", "long_name": "samples kept by the screening"})
    data["rejected"] = (("burst",), np.array([row["rejected"] for row in rows], dtype=np.int8),
                        {"long_name": "burst rejected by the gate", "flag_values": np.int8([0, 1]),
                         "flag_meanings": "accepted rejected"})
    data["file"] = (("burst",), np.array([row["file"] for row in rows], dtype=object),
                    {"long_name": "burst file"})
    data["time"] = (("burst",), times, {"standard_name": "time",
                                        "long_name": "start of the burst"})
    data["height"] = ((), height, {"standard_name": "height", "units": "m", "positive": "up",
                                   "long_name": "sensor height above the surface"})
    data["sampling_rate"] = ((), fs, {"units": "Hz", "long_name": "sampling rate"})
    dataset = xr.Dataset(data, coords={"band": ("band", np.arange(1, _eddyrate.BANDS + 1),
                                                {"long_name": "band number"})})
    dataset = dataset.set_coords(["time", "file"])
    dataset.attrs = {"Conventions": "CF-1.8",
                     "title": "EddyRate turbulence statistics of sonic-anemometer bursts",
                     "source": "eddyrate-batch"}
    return dataset


def write_netcdf(rows, path, height, fs):
    dataset = to_dataset(rows, height, fs)
    encoding = {"time": {"units": "seconds since 1970-01-01 00:00:00", "dtype": "float64"}}
    dataset.to_netcdf(path, encoding=encoding)


def _parser():
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Runs every burst CSV of a folder through EddyRate on Dask.")
    parser.add_argument("folder", metavar="BURSTS_DIR", help="folder of burst files (*.csv)")
    parser.add_argument("-o", "--output", required=True, metavar="RESULTS.csv",
                        help="one row per burst")
    parser.add_argument("--netcdf", metavar="RESULTS.nc", help="also write a CF NetCDF file")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="a running Dask scheduler (e.g. tcp://host:8786)")
    where.add_argument("--workers", type=int, metavar="N",
                       help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("--fs", type=float, default=10.0, help="sampling rate in Hz (default 10)")
    parser.add_argument("--height", type=float, default=4.0,
                        help="sensor height in metres (default 4)")
    return parser


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    if args.workers is not None and args.workers < 1:
        parser.error("--workers must be at least 1")
    if not os.path.isdir(args.folder):
        print(f"{PROGRAM}: {args.folder}: not a folder", file=sys.stderr)
        return 1
    paths = burst_files(args.folder)
    if not paths:
        print(f"{PROGRAM}: {args.folder}: no burst files (*.csv)", file=sys.stderr)
        return 1

    from dask.distributed import Client, LocalCluster

    try:
        if args.scheduler:
            with Client(args.scheduler, timeout=30) as client:
                results = run_on_dask(paths, client, args.height, args.fs)
        else:
            workers = args.workers or os.cpu_count() or 1
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                              dashboard_address=None) as cluster, Client(cluster) as client:
                results = run_on_dask(paths, client, args.height, args.fs)
    except (OSError, TimeoutError) as error:
        print(f"{PROGRAM}: no Dask cluster to run on: {error}", file=sys.stderr)
        return 1
    print(file=sys.stderr)

    failed = [result for result in results if "error" in result]
    for result in failed:
        print(f"{PROGRAM}: skipped: {result['error']}", file=sys.stderr)
    rows = [result for result in results if "error" not in result]
    try:
        write_csv(rows, args.output)
        if args.netcdf:
            write_netcdf(rows, args.netcdf, args.height, args.fs)
    except OSError as error:
        print(f"{PROGRAM}: cannot write the results: {error}", file=sys.stderr)
        return 1
    print(f"{PROGRAM}: {len(rows)} bursts written to {args.output}"
          + (f" and {args.netcdf}" if args.netcdf else "")
          + (f"; {len(failed)} skipped" if failed else ""), file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
