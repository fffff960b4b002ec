import json
import subprocess

import pytest

import saltmark
from conftest import SOURCE_DIR, tool

EXAMPLES = sorted((SOURCE_DIR / "examples").glob("*.sbd"))


@pytest.mark.parametrize("message", EXAMPLES, ids=lambda p: p.name)
def test_report_and_records_are_the_converters(message):
    convert = tool("SALTMARK_CONVERT")
    report = subprocess.run([convert, str(message)], check=True,
                            capture_output=True).stdout.decode("utf-8")
    document = json.loads(subprocess.run([convert, "--json", str(message)], check=True,
                                         capture_output=True).stdout)
    decoded = saltmark.decode(message.read_bytes())
    assert decoded.report == report
    assert "\r\n" in decoded.report
    assert decoded.records == document["records"] and decoded.records
    assert decoded.outcome == document["outcome"]


def test_image_is_the_camera_records_bytes_or_none(tmp_path):
    station = saltmark.decode((SOURCE_DIR / "examples" / "station.sbd").read_bytes())
    assert station.image.startswith(b"\xff\xd8")  # a JPEG

    jpeg = b"\xff\xd8not quite a picture\xff\xd9"
    (tmp_path / "photo.jpg").write_bytes(jpeg)
    (tmp_path / "empty.jpg").write_bytes(b"")
    for image in ("photo.jpg", "empty.jpg"):
        subprocess.run([tool("SBD_COMPOSE"), "--camera", str(tmp_path / image),
                        "-o", str(tmp_path / "m.sbd")], check=True)
        assert saltmark.decode((tmp_path / "m.sbd").read_bytes()).image == \
            (tmp_path / image).read_bytes()

    assert saltmark.decode(b"").image is None
    assert saltmark.decode(b"\x37").image is None  # packet type only


def test_bad_bytes_are_lines_of_the_report_and_oversized_input_is_refused():
    cut = saltmark.decode((SOURCE_DIR / "examples" / "station.sbd").read_bytes()[:87])
    assert "Stopping decode due to error" in cut.report
    assert cut.outcome["complete"] is False and cut.records[-1]["type"] == "PB200"
    with pytest.raises(ValueError, match="not an SBD message"):
        saltmark.decode(bytes(1024 * 1024 + 1))


def test_decode_takes_any_bytes_like_object_and_files(tmp_path):
    import numpy as np

    path = SOURCE_DIR / "examples" / "station.sbd"
    data = path.read_bytes()
    expected = saltmark.decode(data)
    for given in (bytearray(data), memoryview(data), np.frombuffer(data, dtype=np.uint8),
                  memoryview(b"xx" + data)[2:]):
        assert saltmark.decode(given).report == expected.report
    assert saltmark.decode_file(str(path)).records == expected.records
    with pytest.raises(OSError):
        saltmark.decode_file(str(tmp_path / "missing.sbd"))
    with pytest.raises(TypeError):
        saltmark.decode(np.zeros(4, dtype=np.float64))
    assert saltmark.__version__


def with_position(station, day, seconds, lat, lon):
    """The station message with its PB200 record's date, time and position changed."""
    import struct

    message = bytearray(station)
    pb200 = 1  # the first record, after the packet type
    struct.pack_into("<ff", message, pb200 + 20, lat, lon)
    struct.pack_into("<iiii", message, pb200 + 28, 2024, 6, day, seconds)
    return bytes(message)


def test_open_archive_gives_tables_series_and_a_cf_trajectory(tmp_path):
    import numpy as np
    import xarray as xr

    station = (SOURCE_DIR / "examples" / "station.sbd").read_bytes()
    outputs = subprocess.run([tool("EDDYRATE_RUN"), "--json", str(SOURCE_DIR / "examples" /
                                                                  "burst-30min-10hz.csv")],
                             check=True, capture_output=True).stdout
    (tmp_path / "outputs.json").write_bytes(outputs)
    subprocess.run([tool("SBD_COMPOSE"), "--y81000", str(tmp_path / "outputs.json"), "-o",
                    str(tmp_path / "y.sbd")], check=True)
    y81000 = (tmp_path / "y.sbd").read_bytes()[1:]
    inbox = tmp_path / "inbox"
    inbox.mkdir()
    for i, (day, lat) in enumerate([(12, 54.5), (11, 54.0), (13, 55.0)]):
        twice = y81000 * (2 if day == 12 else 1)  # a message with two spectra
        (inbox / f"m{i}.sbd").write_bytes(with_position(station, day, 3600, lat, 7.5) + twice)
    subprocess.run([tool("SALTMARK_CONVERT"), "--db", str(tmp_path / "a.sqlite"),
                    *sorted(map(str, inbox.iterdir()))], check=True, capture_output=True)

    with saltmark.open_archive(tmp_path / "a.sqlite") as archive:
        assert len(archive.messages) == 3 and archive.messages["time"].notna().all()
        pb200 = archive.table("PB200")
        assert list(pb200["Lat"]) == [54.0, 54.5, 55.0]  # in time order
        epsilon = archive.series("Y81000", "Epsilon")
        assert str(epsilon.index[0]) == "2024-06-11 01:00:00" and epsilon.dtype == np.float64
        assert epsilon.iloc[0] == pytest.approx(json.loads(outputs)["Epsilon"], rel=1e-6)
        tke = archive.array("Y81000", "Tke")
        assert len(tke) == 4 * 116 and list(tke.columns[:4]) == ["message_id", "record",
                                                                "element", "value"]
        track = archive.to_xarray()
    assert track.attrs["featureType"] == "trajectory"
    assert list(track["latitude"].values) == [54.0, 54.5, 55.0]
    assert track["Y81000_Tke"].dims == ("time", "Y81000_record", "Y81000_band")
    assert list(track["Y81000_Tke"].isnull().all("Y81000_band").values.ravel()) == \
        [False, True, False, False, False, True]
    assert track["Y81000_Epsilon"].attrs["units"] == "m2 s-3"
    track.to_netcdf(tmp_path / "track.nc")
    with xr.open_dataset(tmp_path / "track.nc") as stored:
        assert stored.sel(time="2024-06-12T01:00")["latitude"].item() == 54.5

    # With flags, the series carries them beside each value.
    (tmp_path / "qc.yaml").write_text("streams:\n  PB200.WSMean:\n    qartod:\n"
                                      "      gross_range_test: {fail_span: [0, 1000]}\n"
                                      "      spike_test: {suspect_threshold: 1000}\n")
    subprocess.run([tool("SALTMARK_CONVERT"), "--db", str(tmp_path / "qc.sqlite"), "--qc",
                    str(tmp_path / "qc.yaml"), *sorted(map(str, inbox.iterdir()))], check=True,
                   capture_output=True)
    with saltmark.open_archive(tmp_path / "qc.sqlite") as archive:
        wind = archive.series("PB200", "WSMean")
        assert list(wind.columns) == ["WSMean", "qc_aggregate", "qc_gross_range_test",
                                      "qc_spike_test"]
        assert list(wind["qc_spike_test"]) == [2, 1, 2]  # first and last not evaluated
        assert list(wind["qc_aggregate"]) == [1, 1, 1]
        assert isinstance(archive.series("Y81000", "Epsilon"), type(epsilon))
        flagged = archive.to_xarray()
    assert flagged["PB200_WSMean"].attrs["ancillary_variables"] == "PB200_WSMean_qc_agg"
    assert list(flagged["PB200_WSMean_qc_agg"].values) == [1, 1, 1]
    assert flagged["PB200_WSMean_qc_agg"].attrs["standard_name"] == "aggregate_quality_flag"
    assert "PB200_WDMean_qc_agg" not in flagged

    (tmp_path / "other.sqlite").write_bytes(b"")
    with pytest.raises(ValueError, match="not an archive of version 2 to [0-9]"):
        saltmark.open_archive(tmp_path / "other.sqlite")


def test_to_xarray_keeps_every_message_on_a_strictly_increasing_float_time(tmp_path):
    """A Y81000 behind other records, a message without a PB200 (the gateway's time and
    position), two deliveries sharing a time; then the series and the track of two buoys,
    with flags, and the deployment's metadata."""
    import numpy as np
    import xarray as xr

    station = (SOURCE_DIR / "examples" / "station.sbd").read_bytes()
    outputs = subprocess.run([tool("EDDYRATE_RUN"), "--json", str(SOURCE_DIR / "examples" /
                                                                  "burst-30min-10hz.csv")],
                             check=True, capture_output=True).stdout
    (tmp_path / "outputs.json").write_bytes(outputs)
    subprocess.run([tool("SBD_COMPOSE"), "--y81000", str(tmp_path / "outputs.json"), "-o",
                    str(tmp_path / "y.sbd")], check=True)
    y81000 = (tmp_path / "y.sbd").read_bytes()
    imei = "300434060000010"
    inbox = tmp_path / "inbox"
    inbox.mkdir()
    deliveries = [  # the message, its session time and the gateway's position
        (with_position(station, 12, 3600, 46.0, -6.0) + y81000[1:], "2024-06-12T01:00:30Z",
         "46.1,-6.1,5"),
        (y81000, "2024-06-12T02:00:00Z", "46.25,-6.25,3"),
        (with_position(station, 12, 10800, 46.5, -6.5), "2024-06-12T03:00:00Z", "46.5,-6.5,3"),
        (with_position(station, 12, 10800, 46.5, -6.5), "2024-06-12T03:00:00Z", "46.5,-6.5,3"),
    ]
    for momsn, (message, time, where) in enumerate(deliveries):
        (tmp_path / "m.sbd").write_bytes(message)
        subprocess.run([tool("SBD_COMPOSE"), "--message", str(tmp_path / "m.sbd"), "--directip",
                        f"{imei},{momsn + 1},{time},{where}", "-o",
                        str(inbox / f"d{momsn}.sbd")], check=True)
    (inbox / "z.sbd").write_bytes(with_position(station, 14, 0, 47.0, -7.0))  # no IMEI
    (tmp_path / "qc.yaml").write_text(
        "streams:\n  PB200.WSMean:\n    qartod:\n      gross_range_test: {fail_span: [0, 1]}\n"
        "  position:\n    qartod:\n      location_bounds_test: {shape: [-6.3, 45, 0, 47]}\n")
    subprocess.run([tool("SALTMARK_CONVERT"), "--db", str(tmp_path / "a.sqlite"), "--qc",
                    str(tmp_path / "qc.yaml"), *sorted(map(str, inbox.iterdir()))], check=True,
                   capture_output=True)

    with saltmark.open_archive(tmp_path / "a.sqlite") as archive:
        wind = archive.series("PB200", "WSMean")
        assert list(wind["imei"]) == [imei] * 3 + ["files"]
        assert list(wind["qc_aggregate"]) == [4, 4, 4, 4]
        track = archive.track(imei)
        assert list(track["source"]) == ["PB200", "Iridium", "Iridium", "PB200", "Iridium",
                                         "PB200", "Iridium"]
        own = track[track["source"] == "PB200"]
        assert list(own["qc_location_bounds_test"]) == [1, 4, 4]  # west of -6.3
        assert track[track["source"] == "Iridium"]["qc_aggregate"].isna().all()
        dataset = archive.to_xarray(imei)
        deployment = tmp_path / "deployment.yaml"  # the example's, the window moved
        deployment.write_text((SOURCE_DIR / "examples" / "deployment.yaml").read_text()
                              .replace("2026-05-01T12:00:00Z", "2024-06-12T01:30:00Z"))
        published = archive.to_xarray(imei, deployment=deployment)

    assert list(dataset["message_id"].values) == [1, 2, 3, 4]
    assert list(dataset["position_source"].values) == [0, 3, 0, 0]
    assert dataset["latitude"].values[1] == 46.25
    assert not np.isnan(dataset["Y81000_Tke"].values[:2]).any()  # behind a PB200, and alone
    assert np.isnan(dataset["Y81000_Tke"].values[2:]).all()
    assert list(dataset["PB200_WSMean_qc_agg"].values) == [4, 9, 4, 4]
    dataset.to_netcdf(tmp_path / "buoy.nc")
    with xr.open_dataset(tmp_path / "buoy.nc", decode_times=False, mask_and_scale=False) \
            as stored:
        time = stored["time"]
        assert time.dtype == np.float64 and time.attrs["units"].startswith("seconds since 1970")
        assert (np.diff(time.values) > 0).all()
        assert time.values[3] - time.values[2] == pytest.approx(0.001, abs=1e-6)
        assert "delivery order" in time.attrs["comment"]
        assert stored["message_id"].dtype == np.int32

    attrs = published.attrs
    assert attrs["Conventions"] == "CF-1.8, ACDD-1.3, IOOS-1.2"
    assert attrs["wmo_platform_code"] == "6201501" and attrs["gts_ingest"] == "true"
    assert attrs["creator_email"] == "buoys@example.org"
    assert attrs["geospatial_lat_min"] == 46.25 and attrs["time_coverage_start"] == \
        "2024-06-12T02:00:00Z"  # the first message is before the deployment
    assert published["trajectory"].dims == ("trajectory",) and \
        published["trajectory"].attrs["cf_role"] == "trajectory_id"
    assert published["Y81000_Epsilon"].attrs["instrument"] == "instrument_Y81000"
    assert published["platform"].attrs["ioos_code"] == "BN01"
    published.to_netcdf(tmp_path / "published.nc")
    with xr.open_dataset(tmp_path / "published.nc", decode_times=False) as stored:
        for name, variable in stored.variables.items():
            if name in ("trajectory", "platform") or name.startswith("instrument_"):
                continue
            assert "units" in variable.attrs or "flag_values" in variable.attrs, name
            assert "long_name" in variable.attrs, name
            if name != "time":
                assert "_FillValue" in variable.encoding, name
