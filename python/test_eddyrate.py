import ctypes
import os

import numpy as np
import pytest

import eddyrate
from conftest import load_burst

SCALARS = ("Ustar", "Epsilon", "MeanU", "MeanV", "MeanW", "MeanTemp", "Anisotropy", "Quality")


def c_call(u, v, w, temp, height, fs):
    """eddyRate called through ctypes, as a C program would; returns the outputs and the
    (compacted) input buffers."""
    library = ctypes.CDLL(os.environ["EDDYRATE_LIBRARY"])
    n = len(u)
    series = [(ctypes.c_double * n)(*values) for values in (u, v, w, temp)]
    scalars = [ctypes.c_double() for _ in SCALARS]
    freq = (ctypes.c_double * eddyrate.BANDS)()
    tke = (ctypes.c_double * eddyrate.BANDS)()
    library.eddyRate(*series, ctypes.c_double(height), ctypes.c_double(fs),
                     *[ctypes.byref(s) for s in scalars], freq, tke, ctypes.c_int32(n))
    outputs = dict(zip(SCALARS, (s.value for s in scalars)))
    outputs["freq"], outputs["tke"] = np.array(freq), np.array(tke)
    return outputs, [np.array(s) for s in series]


def bits(value):
    return np.asarray(value, dtype=np.float64).view(np.uint64)


def with_dropouts(burst):
    u, v, w, temp = (column.copy() for column in burst)
    u[10], v[500], w[9000], temp[17000] = 0.0, -0.0, 0.0, 0.0
    w[20] = np.nan  # not a dropout: the screening keeps not-a-number samples
    return u, v, w, temp


@pytest.mark.skipif("EDDYRATE_LIBRARY" not in os.environ, reason="run through CTest")
@pytest.mark.parametrize("name, make, height, fs", [
    ("bundled burst", lambda b: b, 4.0, 10.0),
    ("dropouts and a NaN", with_dropouts, 4.0, 10.0),
    ("other height and rate", lambda b: b, 7.5, 12.0),
    ("too short: rejected", lambda b: tuple(c[:400] for c in b), 4.0, 10.0),
])
def test_outputs_and_kept_samples_match_the_c_call_bit_for_bit(bundled_burst, name, make,
                                                               height, fs):
    u, v, w, temp = make(bundled_burst)
    inputs = [c.copy() for c in (u, v, w, temp)]
    result = eddyrate.compute(u, v, w, temp, height=height, fs=fs)
    expected, compacted = c_call(u, v, w, temp, height, fs)

    for key in SCALARS:
        assert bits(getattr(result, key)) == bits(expected[key]), key
    np.testing.assert_array_equal(bits(result.freq), bits(expected["freq"]))
    np.testing.assert_array_equal(bits(result.tke), bits(expected["tke"]))
    # The caller's arrays are untouched; the C call compacted its own buffers so that the
    # first kept_samples entries are the samples without an exact zero.
    for given, original in zip((u, v, w, temp), inputs):
        np.testing.assert_array_equal(bits(given), bits(original))
    kept = ~((u == 0.0) | (v == 0.0) | (w == 0.0) | (temp == 0.0))
    assert result.kept_samples == int(kept.sum())
    for buffer, original in zip(compacted, inputs):
        np.testing.assert_array_equal(bits(buffer[:result.kept_samples]), bits(original[kept]))


def test_rejected_flag_follows_the_gate(bundled_burst):
    u, v, w, temp = bundled_burst
    ok = eddyrate.compute(u, v, w, temp)
    assert not ok.rejected and 0.004 < ok.Epsilon < 0.006

    short = eddyrate.compute(u[:511], v[:511], w[:511], temp[:511])
    assert short.rejected and short.Quality == 0.0 and short.Epsilon == eddyrate.MISSING

    many_zeros = temp.copy()
    many_zeros[::5] = 0.0  # a fifth removed: not fewer than a tenth of the kept ones
    assert eddyrate.compute(u, v, w, many_zeros).rejected

    assert eddyrate.compute(u, v, w, temp, fs=1.0).rejected

    # Passed the gate but shorter than one 256-second segment: no fit, yet not rejected.
    no_segment = eddyrate.compute(u[:2000], v[:2000], w[:2000], temp[:2000])
    assert not no_segment.rejected and no_segment.Epsilon == eddyrate.MISSING


def test_takes_sequences_and_strided_arrays_like_contiguous_ones(bundled_burst):
    u, v, w, temp = (c[:3000] for c in bundled_burst)
    reference = eddyrate.compute(u, v, w, temp).as_dict()
    strided = np.repeat(temp, 2)[::2]  # the same values, not contiguous
    given = eddyrate.compute(list(u), tuple(v), w, strided).as_dict()
    assert set(given) == set(SCALARS) | {"freq", "tke", "kept_samples", "rejected"}
    for key in SCALARS:
        assert bits(given[key]) == bits(reference[key]), key
    np.testing.assert_array_equal(bits(given["tke"]), bits(reference["tke"]))
    assert (given["kept_samples"], given["rejected"]) == (reference["kept_samples"], False)


@pytest.mark.parametrize("u, v, message", [
    (np.ones(10), np.ones(9), "same length"),
    (np.ones((2, 5)), np.ones((2, 5)), "one-dimensional"),
])
def test_refuses_series_that_do_not_fit_together(u, v, message):
    with pytest.raises(ValueError, match=message):
        eddyrate.compute(u, v, u, u)


def turned(burst, degrees):
    """The burst as an anemometer turned by degrees about the vertical would have seen it."""
    u, v, w, temp = burst
    angle = np.radians(degrees)
    return (u * np.cos(angle) - v * np.sin(angle), u * np.sin(angle) + v * np.cos(angle), w,
            temp)


def test_rotation_makes_the_estimate_independent_of_the_anemometers_heading(bundled_burst):
    keep = ~np.any(np.array(bundled_burst) == 0.0, axis=0)
    burst = tuple(np.ascontiguousarray(c[keep]) for c in bundled_burst)
    headings = range(0, 360, 15)
    for rotate in ("mean-wind", "double"):
        reference = eddyrate.compute(*burst, rotate=rotate).Epsilon
        for heading in headings:
            result = eddyrate.compute(*turned(burst, heading), rotate=rotate)
            assert result.Epsilon == pytest.approx(reference, rel=1e-9), (rotate, heading)
            assert abs(result.MeanV) < 1e-9
    with pytest.warns(RuntimeWarning, match="degrees from the u axis"):
        plain = [eddyrate.compute(*turned(burst, h)).Epsilon for h in headings]
    assert not all(e == pytest.approx(plain[0], rel=1e-9) for e in plain)


def test_rotation_leaves_dropout_rows_exactly_as_they_are():
    u, v, w, temp = (np.full(4, 5.0), np.array([1.0, 0.0, 1.0, 1.0]), np.ones(4), np.ones(4))
    result = eddyrate.compute(u, v, w, temp, rotate="mean-wind")
    assert result.kept_samples == 3
    with pytest.raises(ValueError, match="rotate must be"):
        eddyrate.compute(u, v, w, temp, rotate="north")


def test_results_pickle_and_take_pandas_and_xarray_shapes(bundled_burst):
    import pickle

    for result in (eddyrate.compute(*bundled_burst),
                   eddyrate.compute(*(c[:100] for c in bundled_burst))):
        again = pickle.loads(pickle.dumps(result))
        for key in SCALARS + ("freq", "tke"):
            np.testing.assert_array_equal(bits(getattr(again, key)), bits(getattr(result, key)))
        assert (again.kept_samples, again.rejected) == (result.kept_samples, result.rejected)

        series = result.to_series()
        assert series.dtype == np.float64 and list(series.index) == list(SCALARS)
        dataset = result.to_xarray()
        assert dataset["Epsilon"].attrs["units"] == "m2 s-3"
        assert dataset["tke"].dims == ("freq",) and dataset["freq"].attrs["units"] == "Hz"
        # The marker is NaN in these shapes; the Result keeps the library's bits.
        if result.rejected:
            assert np.isnan(series["Epsilon"]) and np.isnan(dataset["tke"]).all()
            assert result.Epsilon == eddyrate.MISSING
        else:
            assert series["Epsilon"] == result.Epsilon
            np.testing.assert_array_equal(dataset["freq"].values, result.freq)


def test_files_are_read_and_computed_in_one_call_with_the_rate_they_state(tmp_path):
    toa5 = ['"TOA5","mast","CR3000","1","os","prog","1","ts"',
            '"TIMESTAMP","RECORD","Ux","Uy","Uz","Ts"', '"TS","RN","m/s","m/s","m/s","C"',
            '"","","Smp","Smp","Smp","Smp"']
    start = np.datetime64("2026-06-01T00:00:00")
    for i in range(600):
        stamp = str(start + np.timedelta64(50 * i, "ms")).replace("T", " ")
        toa5.append(f'"{stamp}",{i},{5 + np.sin(i):.4f},{2 + np.cos(i):.4f},'
                    f'{0.3 + 0.1 * np.sin(3 * i):.4f},{"NAN" if i == 7 else "20.0"}')
    (tmp_path / "mast.dat").write_text("\r\n".join(toa5) + "\r\n")
    burst = eddyrate.read_burst(tmp_path / "mast.dat")
    assert (burst.format, burst.fs, burst.missing_values) == ("toa5", 20.0, 1)
    result = eddyrate.compute_file(str(tmp_path / "mast.dat"))
    assert (result.fs, result.kept_samples, result.missing_values) == (20.0, 599, 1)
    assert result.start_time == (start - np.datetime64("1970-01-01T00:00:00")) / np.timedelta64(1, "s")
    with pytest.raises(eddyrate.BurstError, match="states 20 Hz .* not the 10 Hz"):
        eddyrate.compute_file(str(tmp_path / "mast.dat"), fs=10.0)
