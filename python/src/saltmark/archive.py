"""An archive of messages, as saltmark-convert --db and saltmark-server write it, for pandas.

    archive = saltmark.open_archive("archive.sqlite")
    archive.messages                         # one row per delivery, with its time
    archive.table("PB200")                   # one row per record, with its message's time
    archive.series("Y81000", "Epsilon")      # one field over time (with its QC flags)
    archive.array("Y81000", "Tke")           # an array field as a long table
    archive.to_xarray().to_netcdf("buoy.nc") # a CF trajectory for a data centre

The archive is opened read-only; a writer may go on importing meanwhile.
"""

import sqlite3

import numpy as np

SCHEMA_VERSION = 5
# Version 3 differs from 2 in a key only, 4 from 3 in the quality-control flags' tables,
# 5 from 4 in arrays kept one row per array.
READABLE_VERSIONS = range(2, SCHEMA_VERSION + 1)

# What the buoy's records mean, where the instruments' documentation says: units as CF writes
# them, and a standard name where CF has one.
FIELD_ATTRIBUTES = {
    ("PB200", "Lat"): {"units": "degrees_north", "standard_name": "latitude"},
    ("PB200", "Lon"): {"units": "degrees_east", "standard_name": "longitude"},
    ("PB200", "WDMean"): {"units": "degree", "standard_name": "wind_from_direction"},
    ("PB200", "WSMean"): {"units": "m s-1", "standard_name": "wind_speed"},
    ("PB200", "ATMean"): {"units": "degC", "standard_name": "air_temperature"},
    ("PB200", "BPMean"): {"units": "hPa", "standard_name": "air_pressure"},
    ("PB200", "COGMean"): {"units": "degree", "standard_name": "platform_course"},
    ("Y81000", "Ustar"): {"units": "m s-1", "long_name": "friction velocity"},
    ("Y81000", "Epsilon"): {"units": "m2 s-3",
                            "long_name": "dissipation rate of turbulent kinetic energy"},
    ("Y81000", "MeanU"): {"units": "m s-1"},
    ("Y81000", "MeanV"): {"units": "m s-1"},
    ("Y81000", "MeanW"): {"units": "m s-1", "standard_name": "upward_air_velocity"},
    ("Y81000", "Anisotropy"): {"units": "1"},
    ("Y81000", "Quality"): {"units": "1"},
    ("Y81000", "Freq"): {"units": "Hz", "long_name": "band frequency"},
    ("Y81000", "Tke"): {"units": "m2 s-2 Hz-1", "long_name": "band spectrum S_uu + S_vv + S_ww"},
    ("Miscellaneous values", "Battery voltage"): {"units": "V"},
}
# The record layer's marker for no estimate, narrowed to float32 like every Y81000 output.
MISSING = 9999.0
_KEYS = ("message_id", "record", "port", "byte_offset", "size")


def _table_name(record_type):
    return record_type.replace(" ", "_")


def _quoted(name):
    return '"' + name.replace('"', '""') + '"'


def _utc(column):
    import pandas as pd

    return pd.to_datetime(column, utc=True, errors="coerce").dt.tz_localize(None)


class Archive:
    """A read-only view of one archive file. Close it (or use it in a with block) when done."""

    def __init__(self, path):
        self.path = str(path)
        try:
            self._db = sqlite3.connect(f"file:{self.path}?mode=ro", uri=True)
            self._db.execute("PRAGMA busy_timeout = 1000")
            version = self._db.execute("PRAGMA user_version").fetchone()[0]
            tables = {row[0] for row in self._db.execute(
                "SELECT name FROM sqlite_master WHERE type = 'table'")}
        except sqlite3.Error as error:
            raise OSError(f"{self.path}: not a readable archive: {error}") from None
        if "messages" not in tables or version not in READABLE_VERSIONS:
            self._db.close()
            raise ValueError(f"{self.path}: not an archive of version 2 to {SCHEMA_VERSION}"
                             f" (user_version {version}); saltmark-convert --db upgrades an"
                             " earlier one")
        self._tables = tables

    def close(self):
        self._db.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _query(self, sql, params=()):
        import pandas as pd

        return pd.read_sql_query(sql, self._db, params=params)

    @property
    def messages(self):
        """One row per delivery, indexed by id, without the message bytes; time, session_time,
        received_at and imported_at as UTC datetimes (NaT where the archive has none)."""
        frame = self._query(
            "SELECT id, file_name, size, packet_type, outcome, stop_reason, stop_offset,"
            " imported_at, imei, momsn, mtmsn, cdr_reference, session_status, session_time,"
            " iridium_latitude, iridium_longitude, iridium_cep_km, source, received_at, time,"
            " time_source FROM messages ORDER BY id")
        for column in ("time", "session_time", "received_at", "imported_at"):
            frame[column] = _utc(frame[column])
        return frame.set_index("id")

    def record_types(self):
        """The record types (table names) that hold at least one record; array tables (one
        row per array, or per element before archive version 5) are not among them."""
        def is_array_table(name):
            columns = {row[1] for row in self._db.execute(f"PRAGMA table_info({_quoted(name)})")}
            return bool(columns & {"element", "float32_le", "int32_le"})

        return sorted(name for name in self._tables if name != "messages"
                      and not name.startswith("qc_")  # the flags' tables
                      and not is_array_table(name)
                      and self._db.execute(f"SELECT 1 FROM {_quoted(name)} LIMIT 1").fetchone())

    def _check(self, table):
        if table not in self._tables:
            raise KeyError(f"no record table {table!r} in {self.path}")

    def table(self, record_type):
        """Every record of one type ("PB200", "Y81000", "Miscellaneous values"), one row each,
        with its message's time and IMEI; PB200 has its own measured_at as well."""
        table = _table_name(record_type)
        self._check(table)
        frame = self._query(
            f"SELECT r.*, m.time AS time, m.imei AS imei FROM {_quoted(table)} r"
            " JOIN messages m ON m.id = r.message_id ORDER BY m.time, r.message_id, r.record")
        frame["time"] = _utc(frame["time"])
        if "measured_at" in frame:
            frame["measured_at"] = _utc(frame["measured_at"])
        return frame

    def series(self, record_type, field):
        """One scalar field over time (the record's measured_at where it has one, else its
        message's time), as a float Series; rows without a time are left out, NULL is NaN.

        When the archive holds quality-control flags of the field (saltmark-convert --qc,
        saltmark-server --qc, saltmark-qc), a DataFrame instead: the field's column, then
        qc_aggregate and one qc_<test> column per test (qc_spike_test, ...), QARTOD flags 1
        good, 2 not evaluated, 3 suspect, 4 fail, 9 missing; <NA> for a value not flagged."""
        frame = self.table(record_type)
        column = _table_name(field)
        if column not in frame:
            raise KeyError(f"{record_type} has no scalar field {field!r}")
        when = frame["measured_at"].fillna(frame["time"]) if "measured_at" in frame \
            else frame["time"]
        series = frame[column].astype(np.float64)
        series.index = when
        series.index.name = "time"
        series.name = field
        flags = self._flags(f"{_table_name(record_type)}.{column}")
        if flags is None:
            return series[series.index.notna()].sort_index()
        keys = frame[["message_id", "record"]].set_index(["message_id", "record"]).index
        result = series.to_frame()
        for name in flags.columns:
            result[name] = flags[name].reindex(keys).to_numpy()
        return result[result.index.notna()].sort_index(kind="stable")

    def _flags(self, stream):
        """The flags of one stream ("PB200.WSMean", spaces spelt as underscores) by message
        and record, one qc_<test> column each, qc_aggregate first; None without any."""
        import pandas as pd

        if "qc_flags" not in self._tables:
            return None
        long = self._query("SELECT message_id, record, test, flag FROM qc_flags"
                           " WHERE replace(stream, ' ', '_') = ?", (stream,))
        if long.empty:
            return None
        wide = long.pivot(index=["message_id", "record"], columns="test", values="flag")
        tests = ["aggregate"] + sorted(t for t in wide.columns if t != "aggregate")
        return pd.DataFrame({f"qc_{test}": wide[test].astype("Int64") for test in tests
                             if test in wide.columns})

    def array(self, record_type, field):
        """An array field as a long table: message_id, record, element, value and the
        message's time."""
        import pandas as pd

        table = f"{_table_name(record_type)}_{_table_name(field)}"
        self._check(table)
        columns = {row[1] for row in self._db.execute(f"PRAGMA table_info({_quoted(table)})")}
        if "element" in columns:  # archives before version 5: one row per element
            frame = self._query(
                f"SELECT a.message_id, a.record, a.element, a.value, m.time AS time"
                f" FROM {_quoted(table)} a JOIN messages m ON m.id = a.message_id"
                " ORDER BY m.time, a.message_id, a.record, a.element")
            frame["time"] = _utc(frame["time"])
            return frame
        # One row per array: its elements as 4-byte little-endian float32 or int32.
        blob = "int32_le" if "int32_le" in columns else "float32_le"
        rows = self._db.execute(
            f"SELECT a.message_id, a.record, a.{blob}, m.time"
            f" FROM {_quoted(table)} a JOIN messages m ON m.id = a.message_id"
            " ORDER BY m.time, a.message_id, a.record").fetchall()
        arrays = [np.frombuffer(row[2], dtype="<i4" if blob == "int32_le" else "<f4")
                  for row in rows]
        counts = [len(a) for a in arrays]
        frame = pd.DataFrame({
            "message_id": np.repeat([row[0] for row in rows], counts).astype(np.int64),
            "record": np.repeat([row[1] for row in rows], counts).astype(np.int64),
            "element": np.concatenate([np.arange(n) for n in counts] or [np.zeros(0, int)]),
            # a float32 as the double of its shortest decimal, as the value columns hold it
            "value": np.concatenate(arrays or [np.zeros(0, np.float32)]).astype(str)
                     .astype(np.float64) if blob == "float32_le"
                     else np.concatenate(arrays or [np.zeros(0, np.int32)]).astype(np.float64),
            "time": np.repeat(np.array([row[3] for row in rows], dtype=object), counts),
        })
        frame["time"] = _utc(frame["time"])
        return frame

    def to_xarray(self, imei=None):
        """The buoy's track as a CF-1.8 trajectory Dataset on a time dimension: one entry per
        message with a time and a PB200 position (its first PB200 record), latitude and
        longitude from that record, and the first record of every other type in the message
        as variables named <Type>_<Field> (Y81000 Freq and Tke on a band dimension).
        With deliveries from more than one buoy, imei chooses one."""
        import xarray as xr

        messages = self.messages
        buoys = sorted(messages["imei"].dropna().unique())
        if imei is None and len(buoys) > 1:
            raise ValueError(f"{self.path} holds {len(buoys)} buoys: choose one with imei= "
                             f"({', '.join(buoys)})")
        if imei is not None:
            messages = messages[messages["imei"] == imei]
        if "PB200" not in self._tables:
            raise ValueError(f"{self.path}: no PB200 records, so no positions")
        positions = self.table("PB200")
        positions = positions[positions["message_id"].isin(messages.index)]
        positions = positions.sort_values(["message_id", "record"]).drop_duplicates("message_id")
        positions["when"] = positions["measured_at"].fillna(positions["time"])
        positions = positions[positions["when"].notna()].sort_values("when")
        ids = positions["message_id"].to_numpy()
        time = positions["when"].to_numpy(dtype="datetime64[ns]")

        data = {}
        records = {"PB200": positions["record"].reset_index(drop=True)}
        for record_type in self.record_types():
            if record_type == "PB200":
                continue  # the positions: coordinates, and their scalars below
            frame = self.table(record_type).sort_values(["message_id", "record"]) \
                .drop_duplicates("message_id").set_index("message_id").reindex(ids)
            name = record_type.replace("_", " ")
            records[record_type] = frame["record"]
            for column in frame.columns:
                if column in _KEYS + ("time", "imei", "measured_at"):
                    continue
                attrs = {"long_name": f"{name} {column}", **FIELD_ATTRIBUTES.get((name, column),
                                                                               {})}
                data[f"{record_type}_{column}"] = ("time", frame[column].to_numpy(np.float64),
                                                   attrs)
        for column in ("WDMean", "WDSTD", "WSMean", "WSSTD", "ATMean", "ATSTD", "BPMean",
                       "BPSTD", "COGMean", "COGSTD"):
            if column in positions:
                attrs = {"long_name": f"PB200 {column}",
                         **FIELD_ATTRIBUTES.get(("PB200", column), {})}
                data[f"PB200_{column}"] = ("time", positions[column].to_numpy(np.float64), attrs)
        if "Y81000_Tke" in self._tables:
            for field in ("Freq", "Tke"):
                long = self.array("Y81000", field)
                long = long[long["record"] == 0].pivot(index="message_id", columns="element",
                                                       values="value").reindex(ids)
                data[f"Y81000_{field}"] = (("time", "band"), long.to_numpy(np.float64),
                                           FIELD_ATTRIBUTES[("Y81000", field)])
        for name, (dims, values, attrs) in list(data.items()):
            if name.startswith("Y81000_"):
                values = values.copy()
                values[values == MISSING] = np.nan  # the library's marker: no estimate
                data[name] = (dims, values, attrs)
        # The aggregate QC flag of each flagged variable, as the IOOS Metadata Profile asks:
        # 2 for a value no configuration flagged, 9 where there is no value.
        for name, (dims, values, attrs) in list(data.items()):
            record_type, _, column = name.partition("_")
            while record_type not in records and "_" in column:
                head, _, column = column.partition("_")
                record_type += "_" + head
            flags = self._flags(name.replace(f"{record_type}_", f"{record_type}.", 1)) \
                if dims == "time" and record_type in records else None
            if flags is None:
                continue
            keys = list(zip(ids, records[record_type].to_numpy()))
            aggregate = flags["qc_aggregate"].reindex(keys).to_numpy(dtype=np.float64,
                                                                     na_value=np.nan)
            aggregate = np.where(np.isnan(aggregate), 2, aggregate)
            aggregate = np.where(np.isnan(values), 9, aggregate).astype(np.int8)
            data[f"{name}_qc_agg"] = ("time", aggregate, {
                "long_name": f"{attrs.get('long_name', name)} aggregate quality flag",
                "standard_name": "aggregate_quality_flag",
                "flag_values": np.array([1, 2, 3, 4, 9], dtype=np.int8),
                "flag_meanings": "PASS NOT_EVALUATED SUSPECT FAIL MISSING"})
            data[name] = (dims, values, {**attrs, "ancillary_variables": f"{name}_qc_agg"})

        trajectory = imei if imei is not None else (buoys[0] if buoys else "buoy")
        coords = {
            "time": ("time", time, {"standard_name": "time", "long_name": "time of the "
                                    "measurement (PB200 record, else the message)", "axis": "T"}),
            "latitude": ("time", positions["Lat"].to_numpy(np.float64),
                         {"standard_name": "latitude", "units": "degrees_north", "axis": "Y"}),
            "longitude": ("time", positions["Lon"].to_numpy(np.float64),
                          {"standard_name": "longitude", "units": "degrees_east", "axis": "X"}),
        }
        data["trajectory"] = ((), str(trajectory), {"cf_role": "trajectory_id",
                                                    "long_name": "buoy IMEI"})
        data["message_id"] = ("time", ids.astype(np.int64), {"long_name": "message in the "
                                                            "archive"})
        dataset = xr.Dataset(data, coords=coords)
        dataset.attrs = {"Conventions": "CF-1.8", "featureType": "trajectory",
                         "title": "Saltmark buoy records", "source": f"archive {self.path}"}
        return dataset


def open_archive(path):
    """Opens an archive (SQLite, version 2 to 5) read-only; see Archive."""
    return Archive(path)
