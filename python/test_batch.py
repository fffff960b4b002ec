import datetime
import errno
import os
import subprocess
import sys

import numpy as np
import pytest
import xarray as xr

from eddyrate import batch
from conftest import tool


def batch_command(*args):
    script = os.path.join(os.environ["ORCAN_BUILD_DIR"], "python", "eddyrate-batch")
    return subprocess.run([sys.executable, script, *map(str, args)], capture_output=True,
                          text=True, timeout=240)


@pytest.fixture(scope="module")
def bursts(tmp_path_factory):
    """A small archive: three generated bursts with an ISO start time in the name (one a
    rejected short burst), one without a time, and entries that are not readable bursts."""
    folder = tmp_path_factory.mktemp("bursts")
    for name, options in [("buoy7_2026-12-01T12-00-00.csv", ["--seed", "1", "--minutes", "9"]),
                          ("buoy7_20261201T123000Z.csv", ["--seed", "2", "--minutes", "9",
                                                          "--zeros", "5", "--spikes", "2"]),
                          ("buoy7_2026-12-01T13-00-00.csv", ["--seed", "3", "--samples", "300"]),
                          ("untimed.csv", ["--seed", "4", "--minutes", "9"])]:
        subprocess.run([tool("BURST_GEN"), *options, "-o", str(folder / name)], check=True)
    (folder / "cut.csv").write_text("u,v,w,T\n1.0,2.0,3.0,15.0\n1.0,2.0\n")
    (folder / "header-only.csv").write_text("u,v,w,T\n")
    (folder / "empty.csv").write_text("")
    (folder / "notes.txt").write_text("not a burst\n")
    (folder / "folder.csv").mkdir()
    (folder / "dangling.csv").symlink_to(folder / "nowhere")
    (folder / "loop.csv").symlink_to(folder / "loop.csv")
    return folder


def test_two_worker_cluster_gives_the_serial_loops_bits_and_a_time_indexed_netcdf(bursts,
                                                                                  tmp_path):
    run = batch_command(bursts, "-o", tmp_path / "dask.csv", "--netcdf", tmp_path / "dask.nc",
                        "--workers", "2")
    assert run.returncode == 1, run.stderr
    for problem in ("cut.csv:3: expected 4 values", "dangling.csv: No such file",
                    "empty.csv: no samples", "header-only.csv: no samples",
                    "folder.csv: is a directory", "loop.csv: Too many levels",
                    "notes.txt: not a burst file", "not in " + str(tmp_path / "dask.nc")
                    + ": untimed.csv"):
        assert problem in run.stderr
    assert "\r" not in run.stderr  # no progress frames into a log

    serial = [row for row in batch.run_serial(batch.burst_files(bursts)) if "error" not in row]
    batch.write_csv(serial, tmp_path / "serial.csv")
    assert (tmp_path / "dask.csv").read_text() == (tmp_path / "serial.csv").read_text()
    assert [row["rejected"] for row in serial] == [False, True, False, False]

    with xr.open_dataset(tmp_path / "dask.nc", mask_and_scale=False) as stored:
        expected = batch.to_dataset(serial, 4.0)
        for name in ("Epsilon", "MeanU", "tke", "kept_samples"):
            np.testing.assert_array_equal(stored[name].values.view(np.uint8),
                                          expected[name].values.view(np.uint8), err_msg=name)
        assert stored["Quality"].values[2] == batch.FILL  # the rejected burst: marked missing
        assert stored.attrs["Conventions"] == "CF-1.8, ACDD-1.3"
        assert "featureType" not in stored.attrs  # no position given: no feature claimed
        assert "--workers 2" in stored.attrs["history"]
    with xr.open_dataset(tmp_path / "dask.nc") as ds:
        assert ds["time"].encoding["units"].startswith("seconds since 1970-01-01")
        assert ds["tke"].dims == ("time", "freq") and ds["freq"].dims == ("freq",)
        assert ds["freq"].values[0] == pytest.approx(0.025390625)
        one = ds.sel(time="2026-12-01T12:30:00")
        assert one["file"].item() == "buoy7_20261201T123000Z.csv" and one["Epsilon"] > 0
        short = ds.sel(time="2026-12-01T13:00")
        assert np.isnan(short["Epsilon"].item())
        assert short["reason"].item() == ("300 samples without a zero; the library needs at "
                                          "least 512")  # as eddyrate-run says it
        assert len(ds.sel(time=slice("2026-12-01T12:00", "2026-12-01T12:45")).time) == 2
        for name, variable in ds.data_vars.items():
            assert "long_name" in variable.attrs, name
            assert "units" in variable.attrs or name in ("file", "station", "reason"), name


@pytest.mark.parametrize("name, expected", [
    ("buoy7_2026-12-07T15-30-00.csv", datetime.datetime(2026, 12, 7, 15, 30)),
    ("2026-12-07T15:30:45Z.csv", datetime.datetime(2026, 12, 7, 15, 30, 45)),
    ("b_20261207T153045.csv", datetime.datetime(2026, 12, 7, 15, 30, 45)),
    ("2026-12-07.csv", None),
    ("2026-13-07T15-30-00.csv", None),
])
def test_start_time_comes_from_an_iso_file_name(name, expected):
    assert batch.start_time(name) == expected


@pytest.mark.parametrize("text, problem", [
    ("\ufeff# comment\nu,v,w,T\n\n+1.5,2,3,nan\n1e1, -2 ,3,inf\n", None),
    ("u,v,w,T\n1,2,3,4,5\n", ":2: expected 4 values"),
    ("1,2,3,4\n1,,3,4\n", ":2: an empty field in column v"),
    ("1,2,3,4\n1,2,3,1_0\n", ":2: '1_0' in column T"),
    ("1,2,3,4\n1,2,3,1e400\n", ":2: '1e400' in column T is out of range"),
])
def test_burst_files_are_read_as_eddyrate_run_reads_them(tmp_path, text, problem):
    (tmp_path / "b.csv").write_text(text, encoding="utf-8")
    if problem is None:
        u, v, w, temp = batch.read_burst(tmp_path / "b.csv")
        np.testing.assert_array_equal(u, [1.5, 10.0])
        assert np.isnan(temp[0]) and temp[1] == np.inf
    else:
        with pytest.raises(ValueError, match=problem):
            batch.read_burst(tmp_path / "b.csv")
        run = subprocess.run([tool("EDDYRATE_RUN"), str(tmp_path / "b.csv")],
                             capture_output=True, text=True)
        assert run.returncode == 1 and problem in run.stderr


@pytest.mark.parametrize("args, status, said", [
    (["--fs", "0"], 2, "--fs must be finite and above zero"),
    (["--fs", "nan"], 2, "--fs must be finite and above zero"),
    (["--height", "-1"], 2, "--height must be finite and above zero"),
    (["--fs", "20"], 1, "the file states 10 Hz (its burst-gen line), not the 20 Hz"),
    (["-o", "/missing/x.csv"], 1, "/missing/x.csv: no such folder"),
])
def test_refuses_what_cannot_give_results_before_working(tmp_path, args, status, said):
    folder = tmp_path / "in"
    folder.mkdir()
    subprocess.run([tool("BURST_GEN"), "--samples", "600", "-o", str(folder / "b.csv")],
                   check=True)
    run = batch_command(folder, "-o", tmp_path / "r.csv", *args)
    assert run.returncode == status and said in run.stderr, run.stderr
    assert (tmp_path / "r.csv").exists() == (status == 1 and "-o" not in args)


def test_a_failed_write_leaves_no_file_that_looks_like_a_result(tmp_path):
    target = tmp_path / "results.nc"
    with pytest.raises(OSError):
        with batch.replaced_when_complete(target) as temporary:
            with open(temporary, "w") as partial:
                partial.write("half a file")
            raise OSError(errno.ENOSPC, "No space left on device")
    assert list(tmp_path.iterdir()) == []


def test_a_lost_cluster_stops_the_run_and_keeps_what_it_has(bursts, tmp_path):
    from dask.distributed import LocalCluster

    with LocalCluster(n_workers=0, processes=False, protocol="tcp", host="127.0.0.1",
                      dashboard_address=None) as cluster:
        run = batch_command(bursts, "-o", tmp_path / "r.csv", "--scheduler",
                            cluster.scheduler_address, "--lost-after", "1")
    assert run.returncode == 1
    assert "the cluster is lost: no worker left for 1 s" in run.stderr
    assert "not computed: buoy7_2026-12-01T12-00-00.csv" in run.stderr
    assert (tmp_path / "r.csv").read_text().startswith("file,start_time")


def test_a_positioned_series_is_a_cf_time_series_with_the_deployments_metadata(tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    for name, fs in [("b_2026-12-01T12-00-00.csv", "10"), ("b_2026-12-01T12-30-00.csv", "10"),
                     ("b_2026-12-01T13-00-00.csv", "20")]:
        subprocess.run([tool("BURST_GEN"), "--fs", fs, "--minutes", "6", "-o",
                        str(folder / name)], check=True)
    deployment = os.path.join(os.environ["ORCAN_SOURCE_DIR"], "examples", "deployment.yaml")
    run = batch_command(folder, "-o", tmp_path / "r.csv", "--netcdf", tmp_path / "r.nc",
                        "--deployment", deployment, "--buoy", "300434060000010")
    assert run.returncode == 0, run.stderr
    assert "3 bursts written" in run.stderr and str(tmp_path / "r_20Hz.nc") in run.stderr
    with xr.open_dataset(tmp_path / "r.nc", decode_times=False) as raw:
        assert raw["time"].dtype == np.float64 and raw["time"].dims == ("time",)
        assert raw["time"].attrs["units"].startswith("seconds since 1970-01-01")
    with xr.open_dataset(tmp_path / "r.nc") as ds:
        assert ds.attrs["featureType"] == "timeSeries"
        assert ds["station"].attrs["cf_role"] == "timeseries_id"
        assert ds["station"].dims == ("timeseries",) and ds["station"].values.tolist() == ["BN01"]
        assert (ds["latitude"].item(), ds["longitude"].item()) == (46.25, -6.5)
        assert ds["latitude"].attrs["units"] == "degrees_north"
        assert ds["longitude"].attrs["standard_name"] == "longitude"
        assert set(ds["Epsilon"].encoding["coordinates"].split()) >= {"latitude", "longitude"}
        assert ds["MeanTemp"].attrs["units"] == "degree_C"
        assert len(ds["time"]) == 2 and ds["sampling_rate"].values.tolist() == [10.0, 10.0]
        fit = ds["tke"].sel(freq=slice(2, 4.9))
        assert 2 < fit["freq"].min() and fit["freq"].max() < 4.9 and fit.sizes["freq"] > 1
        assert all(len(v.attrs["long_name"]) <= 30 for v in ds.variables.values())
        for key, value in [("Conventions", "CF-1.8, ACDD-1.3"), ("creator_type", "group"),
                           ("license", "CC-BY-4.0"), ("wmo_platform_code", "6201501"),
                           ("time_coverage_start", "2026-12-01T12:00:00Z"),
                           ("time_coverage_end", "2026-12-01T12:30:00Z"),
                           ("contributor_role", "collaborator")]:
            assert ds.attrs[key] == value, key
        assert ds.attrs["id"].startswith("org.example.BN01_") and "date_created" in ds.attrs
    with xr.open_dataset(tmp_path / "r_20Hz.nc") as other:
        assert other["sampling_rate"].values.tolist() == [20.0]

    one = batch_command(folder, "-o", tmp_path / "one.csv", "--netcdf", tmp_path / "one.nc",
                        "--temperature-unit", "K")
    assert "3 bursts written" in one.stderr
    with xr.open_dataset(tmp_path / "one.nc") as ds:
        assert "featureType" not in ds.attrs and "latitude" not in ds.variables
        assert ds["MeanTemp"].attrs["units"] == "K"


@pytest.mark.parametrize("units, expected", [('"K"', "K"), ('"C"', "degree_C"),
                                             ('"deg C"', "degree_C"), ('""', "degree_F")])
def test_a_toa5_header_states_the_temperature_unit(tmp_path, units, expected):
    path = tmp_path / "b.dat"
    path.write_text('"TOA5","st","CR1000"\n"TIMESTAMP","RECORD","Ux","Uy","Uz","Ts"\n'
                    f'"TS","RN","m/s","m/s","m/s",{units}\n')
    assert batch.temperature_unit(path, default="degree_F") == expected


def test_counts_read_as_english():
    assert [batch.counted(n, "burst", "bursts") for n in (0, 1, 2)] == [
        "0 bursts", "1 burst", "2 bursts"]
