"""What the library shares with its callers comes from its header, through the module: the
output names and their order, the dropout rule. The tools, built on the same header, must
agree with what the module says."""

import json
import re
import subprocess

import numpy as np

import eddyrate
from conftest import tool


def test_eddyrate_run_writes_the_outputs_under_the_modules_names_in_their_order(tmp_path):
    burst = tmp_path / "burst.csv"
    subprocess.run([tool("BURST_GEN"), "--samples", "3000", "-o", str(burst)], check=True)
    run = subprocess.run([tool("EDDYRATE_RUN"), "--json", str(burst)], capture_output=True,
                         text=True, check=True)
    keys = [key for key in json.loads(run.stdout) if not key.endswith("_nonfinite")]
    assert tuple(keys) == eddyrate.OUTPUT_NAMES
    assert eddyrate.OUTPUT_NAMES[eddyrate.SCALAR_OUTPUTS:] == ("Freq", "Tke")


def test_eddyrate_run_and_the_module_screen_the_same_samples(tmp_path):
    rng = np.random.default_rng(7)
    series = rng.normal(5.0, 1.0, size=(4, 2000))
    # Zeros of both signs in every series, and a not-a-number, which is not a dropout.
    for column, rows in enumerate(([3, 50], [70, 900], [1001], [1500, 1999])):
        series[column, rows] = [0.0, -0.0][: len(rows)]
    series[1, 400] = np.nan
    burst = tmp_path / "burst.csv"
    with open(burst, "w") as out:
        out.write("u,v,w,T\n")
        for u, v, w, t in series.T:
            out.write(f"{u!r},{v!r},{w!r},{t!r}\n")
    run = subprocess.run([tool("EDDYRATE_RUN"), str(burst)], capture_output=True, text=True,
                         check=True)
    screened = int(re.search(r"(\d+) holding a zero", run.stdout).group(1))
    kept = eddyrate.compute(*(np.ascontiguousarray(s) for s in series)).kept_samples
    assert screened == 7
    assert kept == 2000 - screened
