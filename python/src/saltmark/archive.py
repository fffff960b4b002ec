"""An archive of messages, as saltmark-convert --db and saltmark-server write it, for pandas.

    archive = saltmark.open_archive("archive.sqlite")
    archive.messages                         # one row per delivery, with its time
    archive.table("PB200")                   # one row per record, with its time
    archive.series("Y81000", "Epsilon")      # one field over time (with its QC flags)
    archive.array("Y81000", "Tke")           # an array field as a long table
    archive.track()                          # every position with its source (and flags)
    archive.to_xarray().to_netcdf("buoy.nc") # a CF trajectory for a data centre

The archive is read through the same reader as the dashboard's, read-only; a writer may go on
importing meanwhile. Times are UTC (pandas datetimes without a zone).
"""

import datetime
import os

import numpy as np

from . import _saltmark

# The logger's marker for no reading; the reader gives NaN for it in scalar fields.
MISSING = 9999.0
FLAG_VALUES = np.array([1, 2, 3, 4, 9], dtype=np.int8)
FLAG_MEANINGS = "PASS NOT_EVALUATED SUSPECT FAIL MISSING"
# Deliveries sharing a time are all kept, in delivery order, each this much after the one
# before (saltmark-export does the same).
TIE_STEP = 0.001  # seconds


# The messages' columns in the archive's order.
_MESSAGE_COLUMNS = (
    "id", "file_name", "size", "packet_type", "outcome", "stop_reason", "stop_offset",
    "imported_at", "imei", "momsn", "mtmsn", "cdr_reference", "session_status", "session_time",
    "iridium_latitude", "iridium_longitude", "iridium_cep_km", "source", "received_at", "time",
    "time_source")


def _attributes(record, field):
    """A variable's attributes for one field of one record type, from the table saltmark-export
    writes its files by (units, long_name, standard_name where CF has one,
    coverage_content_type, comment, cell_methods), and the decoder's fill values; None for a
    field the exports leave out."""
    table = _saltmark.variable_attributes(record, field)
    if table is None:
        return None
    attrs = {k: table[k] for k in ("units", "long_name", "standard_name", "standard_name_url",
                                   "coverage_content_type", "comment", "cell_methods")
             if table.get(k)}
    return attrs, table.get("decoder_fill_values", [])


def _unfilled(values, fills):
    """The decoder's fill values (the logger's 9999 marker) and non-finite values as NaN."""
    values[~np.isfinite(values) | np.isin(values, fills)] = np.nan
    return values


def _name(record_or_field):
    """The archive's spelling: spaces as underscores."""
    return record_or_field.replace(" ", "_")


def _datetimes(seconds):
    """Seconds since 1970 (NaN: none) as naive UTC datetimes (NaT)."""
    import pandas as pd

    return pd.to_datetime(np.asarray(seconds, dtype=np.float64), unit="s")


def _seconds(column):
    """Text or datetimes as seconds since 1970 (NaN where none)."""
    import pandas as pd

    times = pd.to_datetime(column, utc=True, errors="coerce")
    seconds = np.asarray(times.astype("int64"), dtype=np.float64) / 1e9
    return np.where(np.asarray(times.isna()), np.nan, seconds)


def _keys(message_ids, records):
    """One integer per value: its message and its record's index (-1 the gateway's)."""
    return (np.asarray(message_ids, dtype=np.int64) << 32) + \
        (np.asarray(records, dtype=np.int64) + 1)


def _iso(seconds):
    return datetime.datetime.fromtimestamp(float(seconds), datetime.timezone.utc) \
        .strftime("%Y-%m-%dT%H:%M:%SZ")


def _duration(seconds):
    """ISO 8601 duration, "P3DT4H5M6S", as ACDD's time_coverage_duration."""
    s = int(round(max(0.0, float(seconds))))
    return f"P{s // 86400}DT{s % 86400 // 3600}H{s % 3600 // 60}M{s % 60}S"


class Archive:
    """A read-only view of one archive file. Close it (or use it in a with block) when done."""

    def __init__(self, path):
        self.path = str(path)
        self._reader = _saltmark._ArchiveReader(self.path)

    @property
    def version(self):
        return self._reader.version

    def close(self):
        self._reader = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def buoys(self):
        """The buoys by IMEI; "files" (the messages without an IMEI) last."""
        return list(self._reader.buoys())

    @property
    def messages(self):
        """One row per delivery, indexed by id, without the message bytes; time, session_time,
        received_at and imported_at as UTC datetimes (NaT where the archive has none)."""
        return self._messages()

    def _messages(self, buoy=None):
        import pandas as pd

        columns = self._reader.messages(buoy)
        for name, column in columns.items():
            if isinstance(column, tuple):  # integers and where they are missing
                columns[name] = pd.arrays.IntegerArray(column[0], column[1].astype(bool))
        frame = pd.DataFrame(columns)[list(_MESSAGE_COLUMNS)]
        for column in ("time", "session_time", "received_at", "imported_at"):
            frame[column] = pd.to_datetime(frame[column], utc=True, errors="coerce") \
                .dt.tz_localize(None)
        return frame.sort_values("id").set_index("id")

    def record_types(self):
        """The record types (archive names) of which the archive holds at least one record."""
        types = dict.fromkeys(t for t, _, _ in _saltmark._record_fields())
        return [t for t in types if len(self._reader.records(t)["record"])]

    def table(self, record_type):
        """Every record of one type ("PB200", "Y81000", "Miscellaneous values"), one row each
        with its numeric scalar fields (NaN for the logger's 9999), its time (a PB200's own
        when its date is valid, else its message's) and its message's IMEI; in time order,
        those without a time last."""
        import pandas as pd

        rows = self._reader.records(_name(record_type))
        frame = pd.DataFrame({"message_id": rows["message_id"], "record": rows["record"],
                              **rows["values"]})
        frame["time"] = _datetimes(rows["time"])
        imei = self.messages["imei"]
        frame["imei"] = imei.reindex(frame["message_id"]).to_numpy()
        return frame.sort_values(["time", "message_id", "record"], kind="stable",
                                 na_position="last").reset_index(drop=True)

    def series(self, record_type, field, imei=None):
        """One scalar field over time (a PB200's own time when its date is valid, else its
        message's), in time order, equal times in delivery order; NaN where there is no
        reading; values without a time left out. imei chooses one buoy ("files" for the
        messages without an IMEI).

        A float Series, or a DataFrame when there is more to say: an `imei` column when the
        archive holds several buoys (and none is chosen), and, when the archive holds
        quality-control flags of the field (saltmark-convert --qc, saltmark-server --qc,
        saltmark-qc), qc_aggregate and one qc_<test> column per test (qc_spike_test, ...),
        QARTOD flags 1 good, 2 not evaluated, 3 suspect, 4 fail, 9 missing; <NA> for a value
        not flagged."""
        import pandas as pd

        d = self._reader.series(_name(record_type), _name(field),
                                [imei] if imei is not None else [])
        series = pd.Series(d["value"], index=_datetimes(d["time"]), name=field)
        series.index.name = "time"
        columns = {}
        if imei is None and len(self.buoys()) > 1:
            columns["imei"] = np.asarray(d["buoy_names"], dtype=object)[d["buoy"]] \
                if len(d["buoy"]) else np.array([], dtype=object)
        columns.update(self._flag_columns(f"{_name(record_type)}.{_name(field)}",
                                          _keys(d["message_id"], d["record"]), imei))
        if not columns:
            return series
        frame = series.to_frame()
        for name, values in columns.items():
            frame[name] = values
        return frame

    def _flag_columns(self, stream, keys, imei=None, flags=None):
        """The flags of one stream for these values: qc_aggregate first, then one qc_<test>
        per test by name; {} when the stream has none. `flags`: what the reader gave for
        every stream, read once for many."""
        import pandas as pd

        f = flags if flags is not None else self._reader.flags(stream, imei)
        streams = np.array([name.replace(" ", "_") == stream.replace(" ", "_")
                            for name in f["streams"]] or [False])
        ours = streams[f["stream"]] if len(f["stream"]) else np.zeros(0, dtype=bool)
        if not ours.any():
            return {}
        f = {k: f[k][ours] for k in ("message_id", "record", "test", "flag")} | \
            {"tests": f["tests"]}
        flagged = _keys(f["message_id"], f["record"])
        tests = list(f["tests"])
        order = sorted(range(len(tests)), key=lambda i: (tests[i] != "aggregate", tests[i]))
        columns = {}
        for i in order:
            mine = f["test"] == i
            by_key = pd.Series(f["flag"][mine].astype(np.int64), index=flagged[mine])
            columns[f"qc_{tests[i]}"] = pd.array(by_key.reindex(keys).to_numpy(), dtype="Int64")
        return columns

    def array(self, record_type, field, imei=None):
        """An array field as a long table: message_id, record, element, value (NaN where the
        archive holds none) and the message's time; every record of the type wherever it
        stands in its message, in time order (those without a time last)."""
        import pandas as pd

        d = self._reader.array(_name(record_type), _name(field), imei)
        frame = pd.DataFrame({k: d[k] for k in ("message_id", "record", "element", "value")})
        frame["time"] = _datetimes(d["time"])
        return frame

    def track(self, imei=None):
        """Every position on the globe: time, latitude, longitude, source (PB200, IMU, Ellipse:
        the buoy's own fixes; Iridium: the gateway's estimate, with its cep_km), message_id, an
        imei column when the archive holds several buoys and none is chosen; in time order.
        With quality-control flags of the positions, qc_aggregate and one qc_<test> column per
        configured position test (the buoy's fixes are the stream "position", the gateway's
        "iridium_position")."""
        import pandas as pd

        d = self._reader.track(imei)
        frame = pd.DataFrame({
            "time": _datetimes(d["time"]),
            "latitude": d["latitude"],
            "longitude": d["longitude"],
            "source": pd.Categorical.from_codes(d["source"], categories=d["source_names"]),
            "cep_km": d["cep_km"],
            "message_id": d["message_id"],
        })
        if imei is None and len(self.buoys()) > 1:
            frame["imei"] = np.asarray(d["buoy_names"], dtype=object)[d["buoy"]] \
                if len(d["buoy"]) else np.array([], dtype=object)
        keys = _keys(d["message_id"], d["record"])
        iridium = (frame["source"] == "Iridium").to_numpy()
        flags = self._reader.flags("", imei)
        own = self._flag_columns("position", keys, flags=flags)
        gateway = self._flag_columns("iridium_position", keys, flags=flags)
        for name in sorted(set(own) | set(gateway), key=lambda n: (n != "qc_aggregate", n)):
            empty = pd.array([pd.NA] * len(frame), dtype="Int64")
            frame[name] = np.where(iridium, gateway.get(name, empty), own.get(name, empty))
            frame[name] = frame[name].astype("Int64")
        return frame

    def to_xarray(self, imei=None, deployment=None):
        """The buoy's messages as a CF-1.8 trajectory Dataset on a time dimension: every message
        with a time, at its PB200's own time when it has one, else the message's; latitude
        and longitude from its own fix (PB200, else IMU, else Ellipse) or else the gateway's
        estimate (position_source says which). Every record of every type as variables named
        <Type>_<Field>, on a <Type>_record dimension too where a message holds more than one
        such record; array fields (spectra) on a <Type>_band dimension. With
        quality-control flags, <variable>_qc_agg beside each flagged variable.

        Time is strictly increasing: deliveries sharing a time are all kept in delivery order,
        each placed 1 ms after the one before (as saltmark-export places them). In the file it is float64 seconds since
        1970-01-01T00:00:00Z, message ids 32-bit integers.

        With deliveries from more than one buoy, imei chooses one. deployment (a deployment
        file's path, or what saltmark.read_deployment returns) adds the metadata a data centre
        asks for (CF-1.8, ACDD-1.3, IOOS-1.2) and keeps the buoy's deployment window."""
        import pandas as pd
        import xarray as xr

        if isinstance(deployment, (str, os.PathLike)):
            deployment = _saltmark.read_deployment(str(deployment))
        buoys = [b for b in self.buoys() if b != "files"]
        if imei is None and len(buoys) > 1:
            raise ValueError(f"{self.path} holds {len(buoys)} buoys: choose one with imei= "
                             f"({', '.join(buoys)})")
        if imei is None and buoys:
            imei = buoys[0]
        chosen = self._reader.times(imei)
        buoy = (deployment or {}).get("buoys", {}).get(imei) if deployment else None

        # Each message's time: its first dated PB200's own, else the message's.
        ids, times = chosen["id"], chosen["time"]
        pb200 = self._reader.records("PB200")
        dated = ~np.isnan(pb200["time"])
        first = pd.Series(pb200["time"][dated], index=pb200["message_id"][dated])
        first = first[~first.index.duplicated()].reindex(ids).to_numpy()
        times = np.where(np.isnan(first), times, first)
        keep = ~np.isnan(times)
        if buoy is not None:
            window = buoy["deployment"]
            if window.get("start"):
                keep &= times >= _seconds([window["start"]])[0]
            if window.get("end"):
                keep &= times <= _seconds([window["end"]])[0]
        ids, times = ids[keep], times[keep]
        order = np.lexsort((ids, times))
        ids, times = ids[order], times[order]
        times = _untied(times)
        row_of = pd.Index(ids)
        n = len(ids)

        data = {}
        flagged = {}  # variable -> where its values came from, to find their flags
        for record_type in dict.fromkeys(t for t, _, _ in _saltmark._record_fields()):
            rows = self._reader.records(record_type)
            at = row_of.get_indexer(rows["message_id"])
            mine = at >= 0
            if not mine.any():
                continue
            at = at[mine]
            ranks = _ranks(at, rows["record"][mine])
            depth = int(ranks.max()) + 1
            dims = ("time",) if depth == 1 else ("time", f"{record_type}_record")
            for field in rows["fields"]:
                described = _attributes(record_type, field)
                if described is None:
                    continue  # not published: a coordinate of the file, or text
                attrs, fills = described
                values = np.full((n, depth), np.nan)
                values[at, ranks] = rows["values"][field][mine]
                values = _unfilled(values, fills)
                name = f"{record_type}_{field}"
                data[name] = (dims, values[:, 0] if depth == 1 else values, attrs)
                flagged[name] = (record_type, field, rows["message_id"][mine],
                                 rows["record"][mine], at, ranks, depth)
            self._arrays(record_type, imei, row_of, n, data)

        self._quality_flags(data, flagged, self._reader.flags("", imei))
        lat, lon, source = self._positions(imei, row_of, n)
        trajectory = imei if imei is not None else "files"
        coords = {
            "time": ("time", _datetimes(times).to_numpy(dtype="datetime64[ns]"), {
                "standard_name": "time", "long_name": "time of the measurement", "axis": "T",
                "comment": "the PB200 record's own time when its date is valid, else the "
                           "message's; strictly increasing per buoy: deliveries sharing a "
                           "time are all kept in delivery order, each placed "
                           f"{TIE_STEP * 1000:g} ms after the one before"}),
            "latitude": ("time", lat, {"standard_name": "latitude", "units": "degrees_north",
                                       "axis": "Y", "long_name": "latitude"}),
            "longitude": ("time", lon, {"standard_name": "longitude", "units": "degrees_east",
                                        "axis": "X", "long_name": "longitude"}),
        }
        data["position_source"] = ("time", source, {
            "long_name": "source of the position", "flag_values": np.arange(4, dtype=np.int8),
            "flag_meanings": "PB200 IMU Ellipse Iridium",
            "coverage_content_type": "auxiliaryInformation"})
        data["trajectory"] = ("trajectory", np.array([str(trajectory)], dtype=object),
                              {"cf_role": "trajectory_id", "long_name": "buoy IMEI"})
        data["message_id"] = ("time", ids.astype(np.int32), {
            "long_name": "message in the archive", "units": "1",
            "coverage_content_type": "referenceInformation"})
        # What labels other variables is an auxiliary coordinate, as in the exported file: the
        # message ids, and the frequencies of the spectra.
        labels = {"message_id"} | {
            table["coordinate"] for t, f in _saltmark.exported_fields()
            if (table := _saltmark.variable_attributes(t, f)) and table.get("coordinate")}
        dataset = xr.Dataset(data, coords=coords).set_coords(sorted(labels & set(data)))
        dataset.attrs = {"Conventions": "CF-1.8", "featureType": "trajectory",
                         "title": "Saltmark buoy records", "source": f"archive {self.path}"}
        _encode(dataset)
        if deployment is not None:
            _describe(dataset, deployment, imei, buoy)
        return dataset

    def _arrays(self, record_type, imei, row_of, n, data):
        """The record type's array fields, on (time, [record,] band)."""
        fields = [f for t, f, kind in _saltmark._record_fields()
                  if t == record_type and kind == "array" and _attributes(record_type, f)]
        longs = {}
        for field in fields:
            d = self._reader.array(record_type, field, imei)
            at = row_of.get_indexer(d["message_id"])
            if (at >= 0).any():
                longs[field] = {k: d[k][at >= 0] for k in ("record", "element", "value")}
                longs[field]["at"] = at[at >= 0]
        lengths = {f: int(d["element"].max()) + 1 for f, d in longs.items()}
        for field, d in longs.items():
            at = d["at"]
            ranks = _ranks(at, d["record"])
            depth = int(ranks.max()) + 1
            band = f"{record_type}_band" if len(set(lengths.values())) == 1 \
                else f"{record_type}_{field}_band"
            values = np.full((n, depth, lengths[field]), np.nan)
            values[at, ranks, d["element"]] = d["value"]
            attrs, fills = _attributes(record_type, field)
            values = _unfilled(values, fills)
            dims = ("time", band) if depth == 1 else ("time", f"{record_type}_record", band)
            data[f"{record_type}_{field}"] = (dims, values[:, 0] if depth == 1 else values,
                                              attrs)

    def _quality_flags(self, data, flagged, flags):
        """The aggregate QC flag of each flagged variable, as the IOOS Metadata Profile asks:
        2 for a value no configuration flagged, 9 where there is no value."""
        import pandas as pd

        for name, (record_type, field, mids, records, at, ranks, depth) in flagged.items():
            columns = self._flag_columns(f"{record_type}.{field}", _keys(mids, records),
                                         flags=flags)
            if "qc_aggregate" not in columns:
                continue
            dims, values, attrs = data[name]
            aggregate = np.full(values.shape if depth > 1 else (values.shape[0], 1), 2,
                                dtype=np.int8)
            given = pd.array(columns["qc_aggregate"]).to_numpy(dtype=np.float64,
                                                               na_value=np.nan)
            ok = ~np.isnan(given)
            aggregate[at[ok], ranks[ok]] = given[ok].astype(np.int8)
            aggregate = aggregate[:, 0] if depth == 1 else aggregate
            aggregate[np.isnan(values)] = 9
            data[f"{name}_qc_agg"] = (dims, aggregate, {
                "long_name": f"{attrs['long_name']} aggregate quality flag",
                "standard_name": "aggregate_quality_flag", "flag_values": FLAG_VALUES,
                "flag_meanings": FLAG_MEANINGS, "coverage_content_type": "qualityInformation"})
            data[name] = (dims, values, {**attrs, "ancillary_variables": f"{name}_qc_agg"})

    def _positions(self, imei, row_of, n):
        """Each message's position: its first own fix (PB200, IMU, Ellipse), else the
        gateway's estimate; NaN and source -1 where it has none."""
        d = self._reader.track(imei)
        lat, lon = np.full(n, np.nan), np.full(n, np.nan)
        source = np.full(n, -127, dtype=np.int8)  # the fill value: no position
        best = np.full(n, np.iinfo(np.int64).max, dtype=np.int64)
        at = row_of.get_indexer(d["message_id"])
        for i, rec, s, y, x in zip(at, d["record"], d["source"], d["latitude"], d["longitude"]):
            rank = int(s) * 1000 + int(rec) + 1  # the source first, then the record's place
            if i >= 0 and rank < best[i]:
                lat[i], lon[i], source[i], best[i] = y, x, s, rank
        return lat, lon, source


def _untied(sorted_times):
    """Sorted times made strictly increasing as saltmark-export does: a time not after the one
    before becomes that one plus TIE_STEP. Every delivery is kept; the loop's sums are the
    C++ program's, to the bit."""
    out = np.array(sorted_times, dtype=np.float64)
    for i in range(1, len(out)):
        if out[i] <= out[i - 1]:
            out[i] = out[i - 1] + TIE_STEP
    return out


def _ranks(rows, records):
    """Each record's place among its message's records of the same type (0, 1, ...); the
    elements of one array record share their record's place."""
    order = np.lexsort((records, rows))
    r, c = np.asarray(rows)[order], np.asarray(records)[order]
    same_row = r[1:] == r[:-1]
    steps = np.cumsum(np.r_[0, same_row & (c[1:] != c[:-1])])
    starts = np.flatnonzero(np.r_[True, ~same_row]) if len(r) else np.array([], dtype=np.int64)
    group = np.cumsum(np.r_[True, ~same_row]) - 1 if len(r) else np.array([], dtype=np.int64)
    ranks = np.zeros(len(r), dtype=np.int64)
    ranks[order] = steps - steps[starts][group]
    return ranks


def _encode(dataset):
    """How the variables go into a file: time as float64 seconds since 1970 with no fill (a
    coordinate is never missing), a fill value on every other variable."""
    dataset["time"].encoding.update({"units": "seconds since 1970-01-01T00:00:00Z",
                                     "calendar": "standard", "dtype": "float64",
                                     "_FillValue": None})
    for name, variable in dataset.variables.items():
        if name == "time":
            continue
        if variable.dtype.kind == "f":
            variable.encoding["_FillValue"] = np.nan
        elif variable.dtype == np.int8:
            variable.encoding["_FillValue"] = np.int8(-127)
        elif variable.dtype == np.int32:
            variable.encoding["_FillValue"] = np.int32(-2147483647)


def _describe(dataset, deployment, imei, buoy):
    """The global attributes a data centre asks for (ACDD 1.3, IOOS 1.2) from the deployment
    file, those computed from the data, and the platform and instrument variables."""
    meta = deployment.get("metadata", {})
    attrs = {
        **dataset.attrs,
        "Conventions": "CF-1.8, ACDD-1.3, IOOS-1.2",
        "featureType": "trajectory",
        "cdm_data_type": "Trajectory",
        "cdm_trajectory_variables": "trajectory",
        "standard_name_vocabulary": "CF Standard Name Table v72",
        "processing_level": "decoded as sent; values the logger marks as missing are fill "
                            "values; QARTOD flags where the archive holds them",
    }
    attrs.update(meta.get("attributes", {}))
    buoy = buoy or {}
    platform_id = buoy.get("platform_id") or str(imei)
    name = buoy.get("name") or str(imei)
    attrs["title"] = f"{meta.get('title') or 'Drifting buoy records'}: " + \
        (buoy.get("name") or f"buoy {imei}")
    if buoy.get("instruments"):
        attrs["instrument"] = ", ".join(i["make_model"] for i in buoy["instruments"])
    times = dataset["time"].values
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    attrs.update({
        "id": f"{platform_id}_{str(times[0])[:10].replace('-', '')}" if len(times)
        else platform_id,
        "date_created": now,
        "date_modified": now,
        "date_issued": now,
        "history": f"{now} saltmark.open_archive(...).to_xarray(deployment=...)",
        "platform": "buoy",
        "platform_vocabulary": "https://mmisw.org/ont/ioos/platform",
        "platform_id": platform_id,
        "platform_name": name,
    })
    lat, lon = dataset["latitude"].values, dataset["longitude"].values
    if np.isfinite(lat).any():
        attrs.update({"geospatial_lat_min": float(np.nanmin(lat)),
                      "geospatial_lat_max": float(np.nanmax(lat)),
                      "geospatial_lon_min": float(np.nanmin(lon)),
                      "geospatial_lon_max": float(np.nanmax(lon)),
                      "geospatial_lat_units": "degrees_north",
                      "geospatial_lon_units": "degrees_east",
                      "geospatial_bounds_crs": "EPSG:4326",
                      "geospatial_bounds_vertical_crs": "EPSG:5829",
                      "geospatial_vertical_positive": "up", "geospatial_vertical_units": "m",
                      "geospatial_vertical_min": 0.0, "geospatial_vertical_max": 0.0})
        box = [(attrs[f"geospatial_lon_{x}"], attrs[f"geospatial_lat_{y}"])
               for x, y in (("min", "min"), ("max", "min"), ("max", "max"), ("min", "max"),
                            ("min", "min"))]
        attrs["geospatial_bounds"] = "POLYGON ((" + ", ".join(f"{x:f} {y:f}" for x, y in box) + \
            "))"
    if len(times):
        seconds = times.astype("datetime64[ms]").astype(np.int64) / 1000
        attrs["time_coverage_start"] = _iso(seconds[0])
        attrs["time_coverage_end"] = _iso(seconds[-1])
        attrs["time_coverage_duration"] = _duration(seconds[-1] - seconds[0])
        if len(seconds) > 1:
            attrs["time_coverage_resolution"] = _duration(np.sort(np.diff(seconds))[(len(seconds) - 1) // 2])
    if buoy.get("wmo_platform_code"):
        attrs["wmo_platform_code"] = buoy["wmo_platform_code"]
        attrs["gts_ingest"] = "true"
    dataset.attrs = attrs

    dataset["platform"] = ((), np.int8(0), {
        "long_name": name, "ioos_code": platform_id, "type": buoy.get("platform_type") or "buoy",
        "comment": f"IMEI {imei}", **({"wmo_code": buoy["wmo_platform_code"]}
                                      if buoy.get("wmo_platform_code") else {})})
    dataset["trajectory"].attrs["long_name"] = f"{name} (IMEI {imei})"
    instruments = {}
    for instrument in buoy.get("instruments") or []:
        record = _name(instrument["record"])
        variable = f"instrument_{record}"
        where = ({"height_above_water_line_m": instrument["height"]}
                 if instrument.get("height") is not None else
                 {"depth_m": instrument["depth"]} if instrument.get("depth") is not None else {})
        if instrument.get("calibration_date") is not None:
            where["calibration_date"] = instrument["calibration_date"]
        dataset[variable] = ((), np.int8(0), {"long_name": f"{record} instrument",
                                              "make_model": instrument["make_model"], **where})
        instruments[record] = variable
    for variable_name, variable in dataset.data_vars.items():
        if variable_name in ("platform", "trajectory") or variable_name.startswith("instrument_"):
            continue
        variable.attrs["platform"] = "platform"
        record = next((r for r in instruments if variable_name.startswith(r + "_")), None)
        if record:
            variable.attrs["instrument"] = instruments[record]
    _encode(dataset)


def open_archive(path):
    """Opens an archive (SQLite, version 2 to 5) read-only; see Archive."""
    return Archive(path)
