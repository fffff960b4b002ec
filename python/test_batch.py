import datetime
import os
import subprocess
import sys

import numpy as np
import pytest
import xarray as xr

from eddyrate import batch
from conftest import tool


@pytest.fixture(scope="module")
def bursts(tmp_path_factory):
    """A small archive: three generated bursts (two with an ISO start time in the name, one a
    rejected short burst), an unreadable file and a file that is not a burst."""
    folder = tmp_path_factory.mktemp("bursts")
    for name, options in [("buoy7_2026-12-01T12-00-00.csv", ["--seed", "1", "--minutes", "9"]),
                          ("buoy7_20261201T123000Z.csv", ["--seed", "2", "--minutes", "9",
                                                          "--zeros", "5", "--spikes", "2"]),
                          ("short.csv", ["--seed", "3", "--samples", "300"])]:
        subprocess.run([tool("BURST_GEN"), *options, "-o", str(folder / name)], check=True)
    (folder / "cut.csv").write_text("u,v,w,T\n1.0,2.0,3.0,15.0\n1.0,2.0\n")
    (folder / "notes.txt").write_text("not a burst\n")
    return folder


def test_two_worker_cluster_gives_the_serial_loops_bits(bursts, tmp_path):
    script = os.path.join(os.environ["ORCAN_BUILD_DIR"], "python", "eddyrate-batch")
    run = subprocess.run([sys.executable, script, str(bursts), "-o", str(tmp_path / "dask.csv"),
                          "--netcdf", str(tmp_path / "dask.nc"), "--workers", "2"],
                         capture_output=True, text=True, timeout=240)
    # The cut file is reported and skipped; the others are written; the status says one failed.
    assert run.returncode == 1, run.stderr
    assert "cut.csv:3: expected 4 values" in run.stderr

    serial = [row for row in batch.run_serial(batch.burst_files(bursts)) if "error" not in row]
    batch.write_csv(serial, tmp_path / "serial.csv")
    assert (tmp_path / "dask.csv").read_text() == (tmp_path / "serial.csv").read_text()
    assert [row["file"] for row in serial] == ["buoy7_2026-12-01T12-00-00.csv",
                                               "buoy7_20261201T123000Z.csv", "short.csv"]
    assert [row["rejected"] for row in serial] == [False, False, True]

    with xr.open_dataset(tmp_path / "dask.nc", mask_and_scale=False) as stored:
        expected = batch.to_dataset(serial, 4.0, 10.0)
        for name in batch.SCALARS + ("freq", "tke", "kept_samples", "rejected"):
            np.testing.assert_array_equal(stored[name].values.view(np.uint8),
                                          expected[name].values.view(np.uint8), err_msg=name)
        assert stored["Epsilon"].attrs["units"] == "m2 s-3"
        assert stored["tke"].dims == ("burst", "band")
        assert stored["time"].attrs["standard_name"] == "time"
        assert np.isnat(stored["time"].values[2])
    with xr.open_dataset(tmp_path / "dask.nc") as decoded:  # CF decoding masks the marker
        assert np.isnan(decoded["Epsilon"].values[2])


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
    ("# comment\nu,v,w,T\n\n+1.5,2,3,nan\n1e1, -2 ,3,inf\n", None),
    ("u,v,w,T\n1,2,3,4,5\n", ":2: expected 4 values"),
    ("1,2,3,4\n1,,3,4\n", ":2: an empty field in column v"),
    ("1,2,3,4\n1,2,3,1_0\n", ":2: '1_0' in column T"),
])
def test_burst_files_are_read_as_eddyrate_run_reads_them(tmp_path, text, problem):
    (tmp_path / "b.csv").write_text(text)
    run = subprocess.run([tool("EDDYRATE_RUN"), str(tmp_path / "b.csv")], capture_output=True,
                         text=True)
    if problem is None:
        u, v, w, temp = batch.read_burst(tmp_path / "b.csv")
        np.testing.assert_array_equal(u, [1.5, 10.0])
        assert np.isnan(temp[0]) and temp[1] == np.inf
        assert run.returncode == 0, run.stderr
        assert run.stdout.startswith(f"Burst: {len(u)} samples")
    else:
        with pytest.raises(batch.BurstError, match=problem):
            batch.read_burst(tmp_path / "b.csv")
        assert run.returncode == 1
        assert problem in run.stderr
