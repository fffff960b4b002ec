"""Results shaped for pandas and xarray, with the units and names data centres expect.

In these shapes the library's 9999 marker ("no estimate") becomes NaN, so that a column of
estimates stays a column of floats; the Result's own attributes keep the library's bits.
"""

import datetime

import numpy as np

from ._eddyrate import BANDS, MISSING, OUTPUT_NAMES, SCALAR_OUTPUTS

SCALARS = OUTPUT_NAMES[:SCALAR_OUTPUTS]

# Units and long names of the outputs; a standard name only where the CF table has one for
# what the variable holds.
ATTRIBUTES = {
    "Ustar": {"units": "m s-1", "long_name": "friction velocity from the dissipation rate "
              "(neutral surface layer)"},
    "Epsilon": {"units": "m2 s-3", "long_name": "dissipation rate of turbulent kinetic energy "
                "in air, inertial-subrange fit of the vertical-velocity spectrum"},
    "MeanU": {"units": "m s-1", "long_name": "burst mean of the anemometer's u component"},
    "MeanV": {"units": "m s-1", "long_name": "burst mean of the anemometer's v component"},
    "MeanW": {"units": "m s-1", "long_name": "burst mean of the anemometer's w component",
              "standard_name": "upward_air_velocity"},
    "MeanTemp": {"units": "1", "long_name": "burst mean of the sonic temperature",
                 "comment": "in the unit of the burst files (degC or K as logged)"},
    "Anisotropy": {"units": "1", "long_name": "(S_uu + S_vv) / (2 S_ww) over the fit band"},
    "Quality": {"units": "1", "long_name": "1 - spread / mean of the compensated "
                "vertical-velocity spectrum over the fit band"},
    "freq": {"units": "Hz", "long_name": "band frequency"},
    "tke": {"units": "m2 s-2 Hz-1", "long_name": "band spectrum S_uu + S_vv + S_ww (twice the "
            "spectral density of turbulent kinetic energy)"},
    "kept_samples": {"units": "1", "long_name": "samples kept by the screening (without an "
                     "exact zero)"},
    "height": {"units": "m", "long_name": "sensor height above the surface (z - d)",
               "standard_name": "height", "positive": "up"},
    "fs": {"units": "Hz", "long_name": "sampling rate"},
}


def marked_as_nan(values):
    """A float array with the library's 9999 marker replaced by NaN."""
    values = np.array(values, dtype=np.float64)
    values[values == MISSING] = np.nan
    return values


def start_datetime(result):
    """The burst's start as a datetime (UTC, naive) when its file gave one, else None."""
    if getattr(result, "start_time", None) is None:
        return None
    return datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=result.start_time)


def to_series(result):
    """The burst's eight outputs as a pandas Series of floats (9999 -> NaN), named by the
    burst's start time where known; kept_samples, rejected, height and fs in its attrs."""
    import pandas as pd

    series = pd.Series(marked_as_nan([getattr(result, k) for k in SCALARS]), index=SCALARS,
                       name=start_datetime(result))
    series.attrs = {"kept_samples": result.kept_samples, "rejected": result.rejected,
                    "height": result.height, "fs": result.fs}
    return series


def to_xarray(result):
    """The burst as an xarray Dataset: the scalars as variables with units and long names,
    tke on the freq coordinate (9999 -> NaN), height and fs as attributes-carrying scalars."""
    import xarray as xr

    data = {key: ((), marked_as_nan(getattr(result, key))[()], ATTRIBUTES[key])
            for key in SCALARS}
    data["tke"] = (("freq",), marked_as_nan(result.tke), ATTRIBUTES["tke"])
    for key in ("kept_samples", "height", "fs"):
        data[key] = ((), getattr(result, key), ATTRIBUTES[key])
    data["rejected"] = ((), np.int8(result.rejected), {
        "long_name": "burst rejected by the gate", "flag_values": np.int8([0, 1]),
        "flag_meanings": "accepted rejected"})
    coords = {"freq": ("freq", marked_as_nan(result.freq), ATTRIBUTES["freq"])}
    dataset = xr.Dataset(data, coords=coords)
    dataset.attrs["rotate"] = result.rotate
    assert len(dataset["freq"]) == BANDS
    return dataset
