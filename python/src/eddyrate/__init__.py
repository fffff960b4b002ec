"""EddyRate for Python.

compute(u, v, w, temp, height=4.0, fs=10.0, rotate="none") runs one burst of sonic-anemometer
samples through the EddyRate library and returns a Result: the eight outputs under the
library's names (Ustar, Epsilon, MeanU, MeanV, MeanW, MeanTemp, Anisotropy, Quality), the band
spectrum as numpy arrays (freq, tke), the number of samples the screening kept and whether the
burst was rejected. read_burst(path) reads a burst file (CSV or TOA5) as eddyrate-run does;
compute_file(path) reads and computes in one call. Result.to_series() and Result.to_xarray()
give pandas and xarray shapes (9999 -> NaN); plot(result, ax) draws the spectrum;
eddyrate.batch runs a folder of bursts.
"""

from ._eddyrate import (BANDS, FIT_BAND, MISSING, OUTPUT_NAMES, SCALAR_OUTPUTS, Burst,
                        BurstError, Result, __version__, compute, compute_file, read_burst)
from .results import to_series as _to_series, to_xarray as _to_xarray

__all__ = ["BANDS", "FIT_BAND", "MISSING", "OUTPUT_NAMES", "SCALAR_OUTPUTS", "Burst",
           "BurstError", "Result", "__version__", "compute", "compute_file", "plot", "read_burst"]

Result.to_series = _to_series
Result.to_xarray = _to_xarray


def plot(result, ax=None, path=None, title=None):
    """Draws the burst's spectrum onto the matplotlib axes ax (a new figure when None) and
    returns the axes; with path, also writes the figure (.png, .svg or .pdf). plot(result,
    "spectrum.png") is read as a path, as before."""
    import os

    from .figure import draw
    from matplotlib.figure import Figure

    if isinstance(ax, (str, os.PathLike)) and path is None:
        ax, path = None, ax
    if ax is None:
        ax = Figure(figsize=(7.0, 5.0), layout="constrained").add_subplot()
    draw(result, ax, title=title)
    if path is not None:
        from .figure import save

        save(ax.figure, path)
    return ax
