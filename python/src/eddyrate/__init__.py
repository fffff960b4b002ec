"""EddyRate for Python.

compute(u, v, w, temp, height=4.0, fs=10.0) runs one burst of sonic-anemometer samples through
the EddyRate library and returns a Result: the eight outputs under the library's names
(Ustar, Epsilon, MeanU, MeanV, MeanW, MeanTemp, Anisotropy, Quality), the band spectrum as
numpy arrays (freq, tke), the number of samples the screening kept and whether the burst was
rejected. plot(result, path) draws its spectrum; eddyrate.batch runs a folder of bursts on Dask.
"""

from ._eddyrate import (BANDS, FIT_BAND, MISSING, OUTPUT_NAMES, SCALAR_OUTPUTS, Result,
                        compute)

__all__ = ["BANDS", "FIT_BAND", "MISSING", "OUTPUT_NAMES", "SCALAR_OUTPUTS", "Result",
           "compute", "plot"]


def plot(result, path, title=None):
    """Draws the burst's spectra into path (.png, .svg or .pdf); see eddyrate.figure."""
    from .figure import plot as draw

    draw(result, path, title=title)
