"""eddyrate-batch: every burst file of a folder through EddyRate.

    eddyrate-batch BURSTS_DIR -o results.csv [--netcdf results.nc]
                   [--scheduler ADDRESS | --workers N] [--fs HZ] [--height M]
                   [--rotate none|mean-wind|double] [--columns Ux,Uy,Uz,Ts] [--quiet]
                   [--latitude DEG --longitude DEG] [--deployment D.yaml [--buoy IMEI]]
                   [--temperature-unit UNIT]

Each file of the folder is one burst, read as eddyrate-run reads it: the project's CSV (u, v,
w, T a row) or a TOA5 logger file (.dat). A folder worth a few seconds of work runs in this
process, one burst after another; a larger one, or any run given --workers N (N > 1) or
--scheduler, runs on Dask: a local cluster of N worker processes, or the running scheduler at
ADDRESS (the workers read the files themselves, so the folder must be visible to them under
the same path). Each burst gives one row: file, start time (a TOA5 file's first timestamp, else
an ISO date and time in the file name, taken as UTC), kept samples, the eight outputs, the
rejected flag, the missing values the file marked, and why a burst has no estimate.

The NetCDF is a CF timeSeries of one station when a position is given (--latitude and
--longitude, or the buoy's deployment position from --deployment and --buoy); without one it
claims no feature type. The deployment file's metadata becomes its ACDD global attributes.
Bursts sampled at another rate than most go into a file of their own beside it.

Every folder entry that is not a readable burst is listed as an error. The results are
written under a temporary name and renamed only when complete. When the Dask cluster is lost
(no worker left for --lost-after seconds, or the scheduler gone), the run stops, writes the
results it has and lists the bursts it could not compute.

Exit status: 0 when every entry was a burst and every result was written; 1 when an entry
was not a readable burst, a burst had no place in the NetCDF, the cluster was lost, or a
result file could not be written; 2 for wrong usage.
"""

import argparse
import contextlib
import csv
import datetime
import math
import os
import re
import shlex
import sys
import tempfile
import time

import numpy as np

from . import _eddyrate
from .results import ATTRIBUTES, SCALARS, marked_as_nan

PROGRAM = "eddyrate-batch"
CSV_COLUMNS = (("file", "start_time", "kept_samples") + SCALARS
               + ("rejected", "missing_values", "reason"))
BURST_SUFFIXES = (".csv", ".dat")
ROTATIONS = ("none", "mean-wind", "double")

# Below this much burst text one process does the work faster than a cluster starts: at about
# 150 MB/s of text through reader and library, 256 MiB is under two seconds of work, while a
# local cluster takes about as long to start and gains at most the number of cores.
SERIAL_BELOW_BYTES = 256 * 2**20

# The mean wind beyond this angle from u makes the estimate depend on the heading.
CROSS_WIND_DEGREES = 45.0

# A date and time in ISO 8601 form, extended (2026-12-07T15-30-00, with '-' or ':' in the time)
# or basic (20261207T153000).
_ISO_TIME = re.compile(r"(\d{4})-(\d{2})-(\d{2})T(\d{2})[-:](\d{2})(?:[-:](\d{2}))?"
                       r"|(\d{4})(\d{2})(\d{2})T(\d{2})(\d{2})(\d{2})?")


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


def read_burst(path, columns=None):
    """u, v, w, T of a burst file as four arrays (see eddyrate.read_burst)."""
    return tuple(_eddyrate.read_burst(path, columns=columns))


# The units a TOA5 header may give the sonic temperature, as udunits spells them.
_TOA5_TEMPERATURE_UNITS = {"c": "degree_C", "degc": "degree_C", "deg c": "degree_C",
                           "deg_c": "degree_C", "degree_c": "degree_C", "celsius": "degree_C",
                           "k": "K", "kelvin": "K"}


def temperature_unit(path, columns=None, default="degree_C"):
    """The unit of the burst's temperature: what a TOA5 header's units line states for the
    temperature column, else `default` (the buoy's logger writes degrees Celsius)."""
    if not str(path).lower().endswith(".dat"):
        return default
    try:
        with open(path, encoding="utf-8", errors="replace", newline="") as text:
            header = [next(csv.reader([text.readline()])) for _ in range(3)]
    except (OSError, StopIteration, csv.Error):
        return default
    name = (columns or ["Ux", "Uy", "Uz", "Ts"])[3]
    if header[0][:1] != ["TOA5"] or name not in header[1]:
        return default
    units = header[2]
    index = header[1].index(name)
    stated = units[index].strip().lower().replace("\u00b0", "") if index < len(units) else ""
    return _TOA5_TEMPERATURE_UNITS.get(stated, default)


def _segment_length(fs):
    # 256 s of samples rounded half away from zero, then made even downwards, as the library.
    length = math.floor(fs * 256.0 + 0.5)
    return length - 1 if length % 2 else length


def _number(value):
    return f"{value:.7g}"


def no_estimate_reason(row):
    """Why the burst has no dissipation estimate, in eddyrate-run's words; "" when it has one.

    eddyrate-run tells this from the samples themselves; a row holds only the kept count, so
    two of its reasons read less precisely here: a burst the gate refused for its zeros (the
    row does not say how many samples there were) and a burst with a sample that is not
    finite (told here as its segments not being valid)."""
    epsilon = row["Epsilon"]
    if math.isfinite(epsilon) and epsilon != _eddyrate.MISSING:
        return ""
    fs, kept = row["fs"], row["kept_samples"]
    if not fs > 1.0:
        return f"the sampling rate {_number(fs)} Hz is not above 1 Hz"
    if kept < 512:
        return f"{kept} samples without a zero; the library needs at least 512"
    if row["rejected"]:
        return ("a tenth or more of the samples hold a zero; the library takes fewer than a "
                f"tenth of the {kept} without one")
    length = _segment_length(fs)
    if kept < length:
        return (f"{kept} samples are fewer than one segment needs at {_number(fs)} Hz: "
                f"{length} (256 s)")
    low, high = _eddyrate.FIT_BAND
    if sum(1 for f in row["freq"] if low < f < high) < 2:
        return (f"fewer than two bands in the fit range {low:.1f}-{high:.1f} Hz at "
                f"{_number(fs)} Hz (the rate must be above 4 Hz)")
    return ("fewer than two valid segments (a segment is valid when its mean u exceeds the "
            "standard deviation of u)")


def process_burst(path, height=4.0, fs=None, rotate="none", columns=None,
                  temperature_unit_default="degree_C"):
    """One burst: a row of results, or {"file": ..., "error": ...} when it cannot be used."""
    name = os.path.basename(path)
    try:
        result = _eddyrate.compute_file(path, height=height, fs=fs, rotate=rotate,
                                        columns=columns)
    except ValueError as error:
        return {"file": name, "error": str(error)}
    stated = result.start_time
    row = {"file": name, "kept_samples": result.kept_samples,
           "start_time": (start_time(name) if stated is None else
                          datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=stated))}
    row.update({key: getattr(result, key) for key in SCALARS})
    row.update(rejected=result.rejected, freq=result.freq, tke=result.tke, fs=result.fs,
               missing_values=result.missing_values, wind_angle=result.wind_angle,
               temperature_unit=temperature_unit(path, columns, temperature_unit_default))
    row["reason"] = no_estimate_reason(row)
    return row


def folder_entries(folder):
    """Every entry of the folder, sorted: (bursts to read, errors for the others). Hidden
    entries (a leading dot) are passed over, as a listing does."""
    bursts, errors = [], []
    for entry in sorted(os.listdir(folder)):
        if entry.startswith("."):
            continue
        path = os.path.join(folder, entry)
        if not entry.lower().endswith(BURST_SUFFIXES):
            errors.append({"file": entry, "error": f"{path}: not a burst file (the names of "
                           "burst files end in .csv or .dat)"})
        elif os.path.isdir(path):
            errors.append({"file": entry, "error": f"{path}: is a directory"})
        else:
            bursts.append(path)  # the reader names what is wrong with any other entry
    return bursts, errors


def burst_files(folder):
    return folder_entries(folder)[0]


def run_serial(paths, height=4.0, fs=None, rotate="none", columns=None, progress=None,
               temperature_unit_default="degree_C"):
    rows = []
    for done, path in enumerate(paths, start=1):
        rows.append(process_burst(path, height, fs, rotate, columns, temperature_unit_default))
        if progress:
            progress(done, len(paths))
    return rows


class ClusterLost(Exception):
    """The cluster stopped working; rows holds what was computed, in the paths' order."""

    def __init__(self, reason, rows):
        super().__init__(reason)
        self.rows = rows


def _workers(client):
    return len(client.scheduler_info().get("workers", {}))


def run_on_dask(paths, client, height=4.0, fs=None, rotate="none", columns=None,
                progress=None, lost_after=60.0, poll=0.5, temperature_unit_default="degree_C"):
    """Maps process_burst over the paths on the client's cluster; rows in the paths' order.
    Raises ClusterLost, with the rows it has (None for the others), when no worker is left for
    lost_after seconds or the scheduler cannot be reached."""
    from dask.distributed import wait

    futures = client.map(process_burst, paths, height=height, fs=fs, rotate=rotate,
                         columns=columns, temperature_unit_default=temperature_unit_default,
                         pure=False)
    index = {future.key: i for i, future in enumerate(futures)}
    rows = [None] * len(paths)
    pending = set(futures)
    without_workers_since = None
    while pending:
        try:
            done, pending = wait(pending, timeout=poll, return_when="FIRST_COMPLETED")
        except TimeoutError:
            done = set()
        except OSError as error:
            raise ClusterLost(f"the scheduler is gone ({error})", rows) from None
        for future in done:
            i = index[future.key]
            try:
                rows[i] = future.result()
            except Exception as error:  # a burst that killed its workers, a lost connection
                rows[i] = {"file": os.path.basename(paths[i]),
                           "error": f"{paths[i]}: not computed: {type(error).__name__}: {error}"}
        if progress and done:
            progress(sum(row is not None for row in rows), len(paths))
        if not pending:
            break
        try:
            if client.status != "running":
                raise OSError(f"client {client.status}")
            workers = _workers(client)
        except (OSError, TimeoutError) as error:
            raise ClusterLost(f"the scheduler is gone ({error})", rows) from None
        now = time.monotonic()
        if workers:
            without_workers_since = None
        elif without_workers_since is None:
            without_workers_since = now
        elif now - without_workers_since >= lost_after:
            raise ClusterLost(f"no worker left for {lost_after:g} s", rows)
    return rows


def _iso(moment):
    return "" if moment is None else moment.isoformat() + "Z"


def _exact(value):
    # repr gives the shortest decimal that reads back as the same double.
    return repr(float(value))


@contextlib.contextmanager
def replaced_when_complete(path):
    """Yields a temporary path beside path; renames it onto path only when the block ends
    without an exception, and removes it otherwise: a failed write leaves no file that looks
    like a result."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".",
                                         suffix=".part")
    os.close(handle)
    try:
        yield temporary
        with open(temporary, "rb") as written:
            os.fsync(written.fileno())
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def write_csv(rows, path):
    with replaced_when_complete(path) as temporary:
        with open(temporary, "w", encoding="utf-8", newline="") as out:
            table = csv.writer(out, lineterminator="\n")
            table.writerow(CSV_COLUMNS)
            for row in rows:
                table.writerow([row["file"], _iso(row["start_time"]), row["kept_samples"]]
                               + [_exact(row[key]) for key in SCALARS]
                               + ["true" if row["rejected"] else "false",
                                  row.get("missing_values", 0), row.get("reason", "")])


# The fill value of the NetCDF is the library's own marker: CF readers show it as missing and
# the raw bytes keep what the library wrote.
FILL = _eddyrate.MISSING
# Outputs without meaning once the gate refused the burst.
_FIT_OUTPUTS = ("Ustar", "Epsilon", "Anisotropy", "Quality")


# Long names short enough for a plot's axis label; what a name cannot say is in the comment.
NETCDF_ATTRIBUTES = {
    "Ustar": {"long_name": "friction velocity", "comment": "from the dissipation rate, for "
              "a neutral surface layer"},
    "Epsilon": {"long_name": "TKE dissipation rate", "comment": "dissipation rate of "
                "turbulent kinetic energy in air, from an inertial-subrange fit of the "
                "vertical-velocity spectrum"},
    "MeanU": {"long_name": "mean u", "comment": "burst mean of the anemometer's u component"},
    "MeanV": {"long_name": "mean v", "comment": "burst mean of the anemometer's v component"},
    "MeanW": {"long_name": "mean w", "comment": "burst mean of the anemometer's w component"},
    "MeanTemp": {"long_name": "mean sonic temperature",
                 "comment": "burst mean of the sonic temperature"},
    "Anisotropy": {"long_name": "anisotropy", "comment": "(S_uu + S_vv) / (2 S_ww) over the "
                   "fit band"},
    "Quality": {"long_name": "fit quality", "comment": "1 - spread / mean of the compensated "
                "vertical-velocity spectrum over the fit band"},
    "tke": {"long_name": "TKE spectrum", "comment": "band spectrum S_uu + S_vv + S_ww (twice "
            "the spectral density of turbulent kinetic energy)"},
    "freq": {"long_name": "frequency"},
    "kept_samples": {"long_name": "kept samples", "comment": "samples kept by the screening "
                     "(without an exact zero)"},
    "height": {"long_name": "sensor height", "comment": "sensor height above the surface "
               "(z - d)"},
    "fs": {"long_name": "sampling rate"},
}


def _netcdf_attributes(key):
    attrs = dict(ATTRIBUTES[key])
    attrs.update(NETCDF_ATTRIBUTES.get(key, {}))
    return attrs


def _common(values, what):
    distinct = sorted(set(values))
    if len(distinct) > 1:
        raise ValueError(f"the bursts' {what} differ ({', '.join(map(str, distinct))}); one "
                         "file holds one")
    return distinct[0] if distinct else None


def to_dataset(rows, height, command=None, station=None):
    """The rows that have a start time as a CF-1.8 Dataset on the time dimension, in time
    order. Rows without a time have no place in it: the caller lists them. All rows must share
    one sampling rate (tke then lies on the freq dimension) and one temperature unit.

    station: {"id", "latitude", "longitude"} and optionally "metadata" (the deployment file's,
    as saltmark.read_deployment gives it), "buoy" (its entry there): with a position the file
    is a timeSeries of that one station; without, it claims no feature type."""
    import xarray as xr

    station = station or {}
    rows = sorted((row for row in rows if row["start_time"] is not None),
                  key=lambda row: row["start_time"])
    count = len(rows)
    times = np.array([np.datetime64(row["start_time"], "ns") for row in rows],
                     dtype="datetime64[ns]")
    positioned = station.get("latitude") is not None and station.get("longitude") is not None
    # One station: its id on an instance dimension of length 1, as the IOOS profile asks, and
    # its position as scalars that the outputs name as coordinates (CF 1.8 9.2 lets a single
    # feature's variables omit the instance dimension), so every output keeps the time axis
    # alone.
    coordinates = {"coordinates": "time latitude longitude"} if positioned else {}
    data = {}
    for key in SCALARS:
        values = np.array([row[key] for row in rows], dtype=np.float64)
        if key in _FIT_OUTPUTS:
            # A rejected burst's Quality is 0.0 by the library's rule: marked here as missing.
            values[np.array([row["rejected"] for row in rows], dtype=bool)] = FILL
        data[key] = (("time",), values, dict(_netcdf_attributes(key), **coordinates))
    data["MeanTemp"][2]["units"] = (
        _common([row.get("temperature_unit", "degree_C") for row in rows], "temperature units")
        or "degree_C")
    tke = np.array([row["tke"] for row in rows], dtype=np.float64).reshape(count, _eddyrate.BANDS)
    data["tke"] = (("time", "freq"), tke, _netcdf_attributes("tke"))
    data["kept_samples"] = (("time",), np.array([row["kept_samples"] for row in rows],
                                                dtype=np.int32), _netcdf_attributes("kept_samples"))
    data["missing_values"] = (("time",), np.array([row.get("missing_values", 0) for row in rows],
                                                  dtype=np.int32),
                              {"units": "1", "long_name": "missing values",
                               "comment": "values the burst file marked missing, taken as "
                               "dropouts"})
    data["rejected"] = (("time",), np.array([row["rejected"] for row in rows], dtype=np.int8),
                        {"long_name": "rejected by the gate", "units": "1",
                         "comment": "too short, too many "
                         "dropouts, or rate not above 1 Hz",
                         "flag_values": np.int8([0, 1]), "flag_meanings": "accepted rejected"})
    data["reason"] = (("time",), np.array([row.get("reason", "") for row in rows], dtype=object),
                      {"long_name": "why no estimate", "comment": "why the burst has no "
                       "dissipation estimate, in eddyrate-run's words; empty when it has one"})
    data["sampling_rate"] = (("time",), np.array([row["fs"] for row in rows], dtype=np.float64),
                             _netcdf_attributes("fs"))
    data["file"] = (("time",), np.array([row["file"] for row in rows], dtype=object),
                    {"long_name": "burst file"})
    data["height"] = ((), float(height), _netcdf_attributes("height"))

    # The band frequencies follow from the rate alone: one axis for bursts of one rate.
    rate = _common([row["fs"] for row in rows], "sampling rates")
    accepted = [row for row in rows if not row["rejected"]]
    freq = (marked_as_nan(np.array(accepted[0]["freq"], dtype=np.float64)) if accepted
            else np.full(_eddyrate.BANDS, np.nan))
    coords = {
        "time": ("time", times, {"standard_name": "time", "long_name": "burst start",
                                 "axis": "T"}),
        "freq": ("freq", freq, _netcdf_attributes("freq")),
        "band": ("freq", np.arange(1, _eddyrate.BANDS + 1, dtype=np.int32),
                 {"long_name": "band number", "units": "1"}),
    }
    buoy = station.get("buoy") or {}
    if positioned:
        coords["station"] = (("timeseries",), [station.get("id") or "eddyrate-batch"],
                             {"cf_role": "timeseries_id", "long_name": "station"})
        coords["latitude"] = ((), float(station["latitude"]), {
            "standard_name": "latitude", "long_name": "latitude", "units": "degrees_north",
            "axis": "Y"})
        coords["longitude"] = ((), float(station["longitude"]), {
            "standard_name": "longitude", "long_name": "longitude", "units": "degrees_east",
            "axis": "X"})
    # What each variable is to a data centre (ACDD): a measurement, or what says how far to
    # trust one, or what identifies the burst.
    for name, (_, _, attrs) in data.items():
        attrs["coverage_content_type"] = (
            "qualityInformation" if name in ("Quality", "rejected", "reason", "kept_samples",
                                             "missing_values")
            else "auxiliaryInformation" if name in ("sampling_rate", "file", "height")
            else "physicalMeasurement")
    for name in ("time", "freq", "band", "latitude", "longitude"):
        if name in coords:
            coords[name][2]["coverage_content_type"] = "coordinate"
    dataset = xr.Dataset(data, coords=coords)
    dataset = dataset.set_coords(["file"])
    created = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    attrs = {
        "Conventions": "CF-1.8, ACDD-1.3",
        "title": "Turbulence statistics of sonic-anemometer bursts (EddyRate inertial-"
                 "dissipation estimates)",
        "source": f"eddyrate-batch {_eddyrate.__version__} with the EddyRate library "
                  f"{_eddyrate.__version__}",
        "history": f"{created} {command or PROGRAM}",
        "date_created": created,
        "comment": "9999 (the library's marker for no estimate) is the _FillValue; a rejected "
                   "burst's Ustar, Epsilon, Anisotropy and Quality are marked missing",
    }
    if positioned:
        attrs.update(featureType="timeSeries", cdm_data_type="Station",
                     geospatial_lat_min=float(station["latitude"]),
                     geospatial_lat_max=float(station["latitude"]),
                     geospatial_lon_min=float(station["longitude"]),
                     geospatial_lon_max=float(station["longitude"]),
                     geospatial_lat_units="degrees_north", geospatial_lon_units="degrees_east")
    attrs.update((station.get("metadata") or {}).get("attributes", {}))
    for key, value in (("platform_name", buoy.get("name")),
                       ("platform_id", buoy.get("platform_id")),
                       ("wmo_platform_code", buoy.get("wmo_platform_code"))):
        if value:
            attrs[key] = value
    if count:
        first, last = (str(np.datetime_as_string(t, unit="s")) + "Z" for t in times[[0, -1]])
        attrs.update(time_coverage_start=first, time_coverage_end=last)
    naming = attrs.get("naming_authority")
    name = station.get("id") or "eddyrate-batch"
    stamp = str(attrs.get("time_coverage_start", created)).replace("-", "").replace(":", "")
    suffix = f"_{rate:g}Hz" if rate is not None else ""
    attrs["id"] = f"{naming + '.' if naming else ''}{name}_{stamp}{suffix}"
    dataset.attrs = attrs
    return dataset


TIME_UNITS = "seconds since 1970-01-01 00:00:00"


def with_stored_time(dataset):
    """The dataset with time as seconds since 1970 under its CF units, written as they stand
    (xarray's own encoding would shorten the units to a date alone)."""
    seconds = (dataset["time"].values - np.datetime64("1970-01-01T00:00:00", "ns")) / np.timedelta64(1, "s")
    attrs = dict(dataset["time"].attrs, units=TIME_UNITS, calendar="standard")
    return dataset.assign_coords(time=("time", seconds.astype(np.float64), attrs))


def netcdf_encoding(dataset):
    # Coordinates and the fixed height hold no missing value, so they carry no fill value.
    encoding = {name: {"_FillValue": None} for name in
                ("time", "band", "freq", "latitude", "longitude", "height")
                if name in dataset.variables}
    for name, variable in dataset.variables.items():
        if name in encoding:
            continue
        if variable.dtype == np.float64:
            encoding[name] = {"_FillValue": FILL}
        else:
            encoding[name] = {"_FillValue": None}
    return encoding


def rate_groups(rows):
    """The timed rows by sampling rate: the rate most bursts share first (the lowest of a
    tie), then the others in increasing rate."""
    groups = {}
    for row in rows:
        if row["start_time"] is not None:
            groups.setdefault(row["fs"], []).append(row)
    return sorted(groups.items(), key=lambda item: (-len(item[1]), item[0]))


def rate_path(path, rate):
    """Where the bursts of another rate go: results.nc -> results_20Hz.nc."""
    stem, extension = os.path.splitext(path)
    return f"{stem}_{rate:g}Hz{extension or '.nc'}"


def write_netcdf(rows, path, height, command=None, station=None):
    """Writes the timed rows; bursts of a rate other than the main one go into a file of their
    own beside it (see rate_path). Returns the paths written, the main one first."""
    groups = rate_groups(rows) or [(None, [])]
    written = []
    for number, (rate, group) in enumerate(groups):
        target = path if number == 0 else rate_path(path, rate)
        dataset = with_stored_time(to_dataset(group, height, command, station))
        with replaced_when_complete(target) as temporary:
            dataset.to_netcdf(temporary, encoding=netcdf_encoding(dataset))
        written.append(target)
    return written


def _parser():
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Runs every burst file of a folder through EddyRate.")
    parser.add_argument("folder", metavar="BURSTS_DIR", help="folder of burst files (.csv, .dat)")
    parser.add_argument("-o", "--output", required=True, metavar="RESULTS.csv",
                        help="one row per burst")
    parser.add_argument("--netcdf", metavar="RESULTS.nc",
                        help="also write a CF-1.8 NetCDF file indexed by time")
    parser.add_argument("--latitude", type=float, metavar="DEG",
                        help="the station's latitude (degrees north): the NetCDF is then a CF "
                             "timeSeries")
    parser.add_argument("--longitude", type=float, metavar="DEG",
                        help="the station's longitude (degrees east)")
    parser.add_argument("--deployment", metavar="D.yaml",
                        help="a deployment file: its metadata become the NetCDF's global "
                             "attributes")
    parser.add_argument("--buoy", metavar="IMEI",
                        help="the deployment file's buoy these bursts come from: its name, "
                             "WMO code and deployment position")
    parser.add_argument("--temperature-unit", metavar="UNIT", default="degree_C",
                        help="the unit of the temperature in files that do not state one "
                             "(a TOA5 header does), as udunits spells it (default degree_C)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="a running Dask scheduler (e.g. tcp://host:8786)")
    where.add_argument("--workers", type=int, metavar="N",
                       help="worker processes of a local Dask cluster (default: this process "
                            "alone for a small folder, one per core for a large one)")
    parser.add_argument("--fs", type=float, metavar="HZ",
                        help="sampling rate in Hz (default: the rate each file states, else 10)")
    parser.add_argument("--height", type=float, default=4.0, metavar="M",
                        help="sensor height above the surface in metres, z - d above "
                             "vegetation (default 4)")
    parser.add_argument("--rotate", choices=ROTATIONS, default="none",
                        help="turn each burst into its mean wind first (default none)")
    parser.add_argument("--columns", metavar="U,V,W,T",
                        help="the TOA5 columns of u, v, w and T (default Ux,Uy,Uz,Ts)")
    parser.add_argument("--lost-after", type=float, default=60.0, metavar="S",
                        help="give the cluster up after S seconds without a worker (default 60)")
    parser.add_argument("--quiet", action="store_true", help="no progress and no summary line")
    return parser


def _check_output(path):
    """Why the results cannot be written to path, or None; checked before any work."""
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        return f"{path}: is a directory"
    if not os.path.isdir(folder):
        return f"{path}: no such folder: {folder}"
    try:
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as error:
        return f"{path}: cannot write in {folder}: {error.strerror or error}"
    return None


def _progress_line(quiet):
    """A progress callback drawing one line on standard error, or None when standard error is
    not a terminal (a log file gets no carriage-return frames)."""
    if quiet or not sys.stderr.isatty():
        return None
    last = [0.0]

    def show(done, total):
        now = time.monotonic()
        if done == total or now - last[0] >= 0.2:
            last[0] = now
            print(f"\r{PROGRAM}: {done}/{total} bursts", end="", file=sys.stderr, flush=True)
            if done == total:
                print(file=sys.stderr)

    return show


def _compute(paths, args, progress):
    options = dict(height=args.height, fs=args.fs, rotate=args.rotate, columns=args.columns,
                   temperature_unit_default=args.temperature_unit)
    total_bytes = 0
    for path in paths:
        with contextlib.suppress(OSError):
            total_bytes += os.stat(path).st_size
    serial = (args.scheduler is None and (args.workers == 1 or (
        args.workers is None and total_bytes < SERIAL_BELOW_BYTES)))
    if serial:
        return run_serial(paths, progress=progress, **options)

    from dask.distributed import Client, LocalCluster

    try:
        if args.scheduler:
            with Client(args.scheduler, timeout=30) as client:
                return run_on_dask(paths, client, progress=progress, lost_after=args.lost_after,
                                   **options)
        workers = args.workers or os.cpu_count() or 1
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            return run_on_dask(paths, client, progress=progress, lost_after=args.lost_after,
                               **options)
    except (OSError, TimeoutError, ValueError) as error:  # ValueError: a malformed address
        raise ClusterLost(f"no Dask cluster to run on: {error}", [None] * len(paths)) from None


def counted(number, one, many):
    """'1 burst', '2 bursts', '0 bursts'."""
    return f"{number} {one if number == 1 else many}"


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    if args.workers is not None and args.workers < 1:
        parser.error("--workers must be at least 1")
    for option, value in (("--height", args.height), ("--fs", args.fs),
                          ("--lost-after", args.lost_after)):
        if value is not None and not (math.isfinite(value) and value > 0):
            parser.error(f"{option} must be finite and above zero, not {value:g}")
    if args.columns is not None:
        args.columns = [name.strip() for name in args.columns.split(",")]
        if len(args.columns) != 4 or not all(args.columns):
            parser.error("--columns takes four names: u, v, w, T (e.g. Ux,Uy,Uz,Ts)")
    if (args.latitude is None) != (args.longitude is None):
        parser.error("--latitude and --longitude go together")
    if args.latitude is not None and not (-90 <= args.latitude <= 90
                                          and -180 <= args.longitude <= 360):
        parser.error("--latitude must lie in -90 to 90, --longitude in -180 to 360")
    if args.buoy and not args.deployment:
        parser.error("--buoy names a buoy of the --deployment file")
    station = {"latitude": args.latitude, "longitude": args.longitude}
    if args.deployment:
        try:
            from saltmark import read_deployment
            deployment = read_deployment(args.deployment)
        except ImportError:
            print(f"{PROGRAM}: --deployment needs the saltmark package built with yaml-cpp",
                  file=sys.stderr)
            return 1
        except OSError as error:
            print(f"{PROGRAM}: {args.deployment}: {error.strerror or error}", file=sys.stderr)
            return 1
        except ValueError as error:  # names the file, the line and the reason
            print(f"{PROGRAM}: {error}", file=sys.stderr)
            return 1
        station["metadata"] = deployment["metadata"]
        if args.buoy:
            buoy = deployment["buoys"].get(args.buoy)
            if buoy is None:
                print(f"{PROGRAM}: {args.deployment}: no buoy {args.buoy}", file=sys.stderr)
                return 1
            station.update(buoy=buoy, id=buoy["platform_id"] or buoy["name"] or args.buoy)
            if args.latitude is None and buoy["position"]:
                station.update(buoy["position"])
    if not os.path.isdir(args.folder):
        print(f"{PROGRAM}: {args.folder}: not a folder", file=sys.stderr)
        return 1
    for output in filter(None, (args.output, args.netcdf)):
        if problem := _check_output(output):
            print(f"{PROGRAM}: {problem}", file=sys.stderr)
            return 1

    paths, failed = folder_entries(args.folder)
    if not paths and not failed:
        print(f"{PROGRAM}: {args.folder}: no burst files (.csv, .dat)", file=sys.stderr)
        return 1
    lost = None
    try:
        results = _compute(paths, args, _progress_line(args.quiet))
    except ClusterLost as stop:
        lost, results = str(stop), stop.rows
    except KeyboardInterrupt:
        print(f"\n{PROGRAM}: interrupted; nothing written", file=sys.stderr)
        return 130

    missing = [os.path.basename(path) for path, row in zip(paths, results) if row is None]
    results = [row for row in results if row is not None]
    failed = sorted(failed + [row for row in results if "error" in row],
                    key=lambda row: row["file"])
    rows = [row for row in results if "error" not in row]
    for row in failed:
        print(f"{PROGRAM}: error: {row['error']}", file=sys.stderr)
    if lost:
        print(f"{PROGRAM}: the cluster is lost: {lost}; writing the {len(rows)} results there "
              f"are; not computed: {', '.join(missing)}", file=sys.stderr)

    untimed = [row["file"] for row in rows if row["start_time"] is None]
    crossed = sum(1 for row in rows if args.rotate == "none" and row["wind_angle"] is not None
                  and abs(row["wind_angle"]) > CROSS_WIND_DEGREES)
    missing_values = sum(row["missing_values"] for row in rows)
    command = " ".join(shlex.quote(part) for part in [PROGRAM] + list(
        sys.argv[1:] if argv is None else argv))
    written = []
    try:
        write_csv(rows, args.output)
        written.append(args.output)
        if args.netcdf:
            written += write_netcdf(rows, args.netcdf, args.height, command, station)
    except Exception as error:  # a full disk, a lost share; the HDF layer raises its own types
        reason = getattr(error, "strerror", None) or error
        print(f"{PROGRAM}: cannot write the results: {reason}; "
              + (f"only {written[0]} was written" if written else "no result file was written"),
              file=sys.stderr)
        return 1
    if args.netcdf and untimed:
        print(f"{PROGRAM}: error: no start time (ISO date and time in the name, or TOA5 "
              f"timestamps), so not in {args.netcdf}: {', '.join(untimed)}", file=sys.stderr)
    if len(written) > 2:
        print(f"{PROGRAM}: bursts of other sampling rates than most are in files of their own: "
              f"{', '.join(written[2:])}", file=sys.stderr)
    if crossed:
        print(f"{PROGRAM}: {counted(crossed, 'burst has', 'bursts have')} the mean wind more "
              f"than {CROSS_WIND_DEGREES:g} degrees from u; --rotate mean-wind turns "
              f"{'it' if crossed == 1 else 'them'} into it", file=sys.stderr)
    if not args.quiet:
        print(f"{PROGRAM}: {counted(len(rows), 'burst', 'bursts')} written to "
              f"{' and '.join(written)}"
              + (f"; {counted(missing_values, 'missing value', 'missing values')} taken as "
                 f"{'a dropout' if missing_values == 1 else 'dropouts'}" if missing_values
                 else "")
              + (f"; {counted(len(failed), 'error', 'errors')}" if failed else ""),
              file=sys.stderr)
    return 1 if failed or lost or (args.netcdf and untimed) else 0


if __name__ == "__main__":
    sys.exit(main())
