"""saltmark-export's files read back as a data centre's tools read them: the CF trajectory
rules a checker applies first (feature type, the trajectory variable, coordinates, time type
and order, units), the ACDD/IOOS global attributes from the deployment file, the QC flags,
the fleet's ragged array, and the ERDDAP dataset naming every variable of the files."""

import json
import os
import struct
import subprocess
import xml.etree.ElementTree as ET
from pathlib import Path

import netCDF4
import numpy as np
import pytest

SOURCE = Path(os.environ["ORCAN_SOURCE_DIR"])
DEPLOYMENT = SOURCE / "examples" / "deployment.yaml"
NORTH, SOUTH = "300434060000010", "300434060000020"  # BN01 and BN02 in the example


def tool(name, *args, **kwargs):
    return subprocess.run([os.environ[name], *map(str, args)], capture_output=True, text=True,
                          **kwargs)


def station(day, seconds, lat, lon):
    """The example station message with its PB200's date, time and position changed."""
    message = bytearray((SOURCE / "examples" / "station.sbd").read_bytes())
    struct.pack_into("<ff", message, 1 + 20, lat, lon)
    struct.pack_into("<iiii", message, 1 + 28, 2026, 6, day, seconds)
    return bytes(message)


@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("export")
    outputs = tool("EDDYRATE_RUN", "--json", SOURCE / "examples" / "burst-30min-10hz.csv",
                   check=True).stdout
    (tmp / "outputs.json").write_text(outputs)
    tool("SBD_COMPOSE", "--y81000", tmp / "outputs.json", "-o", tmp / "y.sbd", check=True)
    y81000 = (tmp / "y.sbd").read_bytes()[1:]
    inbox = tmp / "inbox"
    inbox.mkdir()
    momsn = 0
    for imei, lat in ((NORTH, 46.0), (SOUTH, 44.5)):
        # Out of time order on purpose: the file must sort them.
        for i in (2, 0, 1, 3):
            momsn += 1
            (inbox / f"{imei}_{momsn:06d}.sbd").write_bytes(
                station(2, 1800 * i, lat + 0.1 * i, -6.5 + 0.05 * i) + y81000)
    # Delivered again later (a new MOMSN), at the same time: kept, 1 ms after the first.
    (inbox / f"{NORTH}_{99:06d}.sbd").write_bytes(station(2, 0, 47.0, -7.0) + y81000)
    # The north buoy's last fix lies outside the deployment area.
    (tmp / "qc.yaml").write_text("streams:\n  PB200.WSMean:\n    qartod:\n"
                                 "      gross_range_test: {fail_span: [0, 60]}\n"
                                 "  position:\n    qartod:\n"
                                 "      location_bounds_test: {shape: [-10, 40, 0, 46.25]}\n")
    tool("SALTMARK_CONVERT", "--db", tmp / "a.sqlite", "--qc", tmp / "qc.yaml",
         *sorted(inbox.iterdir()), check=True)
    run = tool("SALTMARK_EXPORT", "--archive", tmp / "a.sqlite", "--deployment", DEPLOYMENT,
               "--netcdf", tmp / "nc", "--fleet", tmp / "fleet.nc", "--erddap", tmp / "erddap")
    assert run.returncode == 0, run.stderr
    return tmp, json.loads(outputs)


def test_one_buoy_is_a_cf_trajectory_with_the_deployments_metadata(exported):
    tmp, outputs = exported
    assert sorted(p.name for p in (tmp / "nc").iterdir()) == ["BN01_20260501.nc",
                                                              "BN02_20260502.nc"]
    with netCDF4.Dataset(tmp / "nc" / "BN01_20260501.nc") as nc:
        assert nc.featureType == "trajectory" and nc.cdm_data_type == "Trajectory"
        assert nc.Conventions == "CF-1.8, ACDD-1.3, IOOS-1.2"
        trajectory = nc["trajectory"]
        assert trajectory.cf_role == "trajectory_id" and trajectory.shape[0] == 1
        assert netCDF4.chartostring(trajectory[:])[0] == NORTH
        assert list(nc["row_size"][:]) == [5] and nc["row_size"].sample_dimension == "time"

        time = nc["time"]
        assert time.dtype == np.float64 and time.units == "seconds since 1970-01-01T00:00:00Z"
        assert time.dimensions == ("time",) and time.standard_name == "time"
        start = 1780358400.0  # 2026-06-02T00:00:00Z
        assert list(time[:]) == [start, start + 0.001, start + 1800, start + 3600, start + 5400]
        assert "(1 moved)" in time.comment
        assert list(nc["latitude"][:]) == pytest.approx([46.0, 47.0, 46.1, 46.2, 46.3])
        for name, units in (("latitude", "degrees_north"), ("longitude", "degrees_east")):
            assert nc[name].standard_name == name and nc[name].units == units
            assert nc[name].dimensions == ("time",)

        # Every data variable says what it is and where it was measured.
        for variable in nc.variables.values():
            if variable.dimensions[:1] == ("time",) and "flag_values" not in variable.ncattrs() \
                    and variable.name not in ("time", "latitude", "longitude", "message_id"):
                assert variable.units and variable.long_name, variable.name
                assert variable.coverage_content_type, variable.name
                assert "time latitude longitude" in variable.coordinates, variable.name
        epsilon = nc["Y81000_Epsilon"]
        assert epsilon.units == "m2 s-3" and epsilon.dtype == np.float32
        assert epsilon[0] == pytest.approx(outputs["Epsilon"], rel=1e-6)
        assert nc["Y81000_Tke"].dimensions == ("time", "band")
        assert "Y81000_Freq" in nc["Y81000_Tke"].coordinates
        assert nc["PB200_WSSTD"].standard_name == "wind_speed"
        assert nc["PB200_WSSTD"].cell_methods == "time: standard_deviation"

        wind = nc["PB200_WSMean"]
        assert wind.ancillary_variables == "PB200_WSMean_qc_agg" and wind.gts_ingest == "true"
        assert list(nc["PB200_WSMean_qc_agg"][:]) == [1] * 5
        assert "PB200_WDMean_qc_agg" not in nc.variables  # nobody flagged it
        assert nc["latitude"].ancillary_variables == "position_qc_agg"
        assert list(nc["position_qc_agg"][:]) == [1, 4, 1, 1, 4]
        assert nc[wind.instrument].make_model == "ultrasonic weather station"
        assert nc[wind.instrument].calibration_date == "2026-03-15T00:00:00Z"
        assert wind.platform == "platform"

        assert nc.title == "Air-sea turbulence drifters, Bay of Biscay 2026: Biscay North"
        assert nc.creator_name == "Buoy Team" and nc.publisher_email == "data@example.org"
        assert nc.creator_city == "Brest" and nc.contributor_email == "field@example.org"
        assert nc.wmo_platform_code == "6201501" and nc.gts_ingest == "true"
        assert nc.platform_id == "BN01" and nc.id == "BN01_20260501"
        assert (nc.geospatial_lat_min, nc.geospatial_lat_max) == pytest.approx((46.0, 47.0))
        assert nc.time_coverage_start == "2026-06-02T00:00:00Z"
        assert nc.time_coverage_end == "2026-06-02T01:30:00Z"


def test_python_makes_the_dataset_the_file_is(exported):
    """to_xarray(imei, deployment=...) names the same measured variables, with the same units
    and standard names, carries the same global attributes and places the observations at the
    same times as the exported file."""
    if not os.environ.get("SALTMARK_PYTHON_DIR"):
        pytest.skip("the Python module is not built")
    tmp, _ = exported
    code = ("import json, sys, saltmark\n"
            "with saltmark.open_archive(sys.argv[1]) as a:\n"
            f"    d = a.to_xarray('{NORTH}', deployment=sys.argv[2])\n"
            "t = d['time'].values.astype('datetime64[us]').astype('int64') / 1e6\n"
            "print(json.dumps({'attrs': sorted(d.attrs), 'time': list(t),\n"
            "    'vars': {n: [v.attrs.get('units'), v.attrs.get('standard_name')]\n"
            "             for n, v in d.variables.items() if v.dims[:1] == ('time',)}}))")
    python = json.loads(subprocess.run(
        ["/usr/bin/python3", "-c", code, tmp / "a.sqlite", DEPLOYMENT], check=True,
        capture_output=True, text=True,
        env={**os.environ, "PYTHONPATH": os.environ["SALTMARK_PYTHON_DIR"]}).stdout)
    with netCDF4.Dataset(tmp / "nc" / "BN01_20260501.nc") as nc:
        measured = {name: [getattr(v, "units", None), getattr(v, "standard_name", None)]
                    for name, v in nc.variables.items() if v.dimensions[:1] == ("time",)
                    and name not in ("time", "latitude", "longitude", "message_id",
                                     "position_source", "position_qc_agg")}
        assert {n: python["vars"].get(n) for n in measured} == measured
        assert python["attrs"] == sorted(nc.ncattrs())
        # The same rule for deliveries sharing a time: both keep every one, 1 ms apart.
        assert python["time"] == pytest.approx(list(nc["time"][:]), abs=1e-6)


def test_the_fleet_is_one_contiguous_ragged_array(exported):
    tmp, _ = exported
    with netCDF4.Dataset(tmp / "fleet.nc") as nc:
        assert nc.featureType == "trajectory"
        assert list(netCDF4.chartostring(nc["trajectory"][:])) == [NORTH, SOUTH]
        assert list(netCDF4.chartostring(nc["trajectory_name"][:])) == ["Biscay North",
                                                                        "Biscay South"]
        assert nc["row_size"].sample_dimension == "obs" and list(nc["row_size"][:]) == [5, 4]
        latitudes = nc["latitude"][:]
        assert list(latitudes[:5]) == pytest.approx([46.0, 47.0, 46.1, 46.2, 46.3])
        assert list(latitudes[5:]) == pytest.approx([44.5, 44.6, 44.7, 44.8])
        assert nc["time"].dimensions == ("obs",)


def test_the_erddap_dataset_names_every_variable_of_the_files(exported):
    tmp, _ = exported
    dataset = ET.parse(tmp / "erddap" / "datasets.xml").getroot()
    assert dataset.get("type") == "EDDTableFromNcCFFiles"
    assert Path(dataset.findtext("fileDir")) == (tmp / "nc").resolve()
    atts = {att.get("name"): att.text for att in dataset.find("addAttributes")}
    assert atts["cdm_data_type"] == "Trajectory"
    assert atts["cdm_trajectory_variables"].split(", ")[0] == "trajectory"
    assert atts["license"] == "CC-BY-4.0"
    named = {v.findtext("sourceName") for v in dataset.iter("dataVariable")}
    for path in (tmp / "nc").iterdir():
        with netCDF4.Dataset(path) as nc:
            # A table holds one value per row: what lies on the observation dimension alone,
            # and the per-buoy names.
            table = {name for name, v in nc.variables.items()
                     if v.dimensions in (("time",), ("trajectory", "name_strlen"))}
        assert table - named == set(), path.name


def test_the_range_and_the_options_are_checked(exported, tmp_path):
    tmp, _ = exported
    run = tool("SALTMARK_EXPORT", "--archive", tmp / "a.sqlite", "--netcdf", tmp_path,
               "--buoy", SOUTH, "--from", "2026-06-02T00:30:00Z", "--to", "2026-06-02T01:00:00Z")
    assert run.returncode == 0, run.stderr
    (path,) = tmp_path.iterdir()
    with netCDF4.Dataset(path) as nc:
        assert list(nc["time"][:]) == [1780360200.0, 1780362000.0]
        assert nc.platform_name == SOUTH  # no deployment file: the IMEI names the buoy
    for args in (["--erddap", tmp_path], ["--netcdf", tmp_path, "--from", "June"]):
        assert tool("SALTMARK_EXPORT", "--archive", tmp / "a.sqlite", *args).returncode == 2
