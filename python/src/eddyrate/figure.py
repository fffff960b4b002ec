"""The spectrum of one burst as a figure.

The figure shows the band spectrum of turbulent kinetic energy, Tke = S_uu + S_vv + S_ww, the
fit band, and the f^-5/3 line every view of the project draws (the converter's window, the
dashboard and this figure): the fit's level, the mean of f^(5/3) Tke over the bands inside
the fit band, times f^(-5/3) over that band (saltmark.inertial_line). Where the measured Tke
follows that line, the fit band lies in the inertial subrange.

ww_spectrum gives the law the fit assumes for the vertical-velocity spectrum alone,

    S_ww(f) = (4/3) * 0.55 * eps^(2/3) * (U / 2 pi)^(2/3) * f^(-5/3)

with U the burst's mean horizontal speed.

Run as a program it draws the JSON that eddyrate-run --json writes:
    python3 -m eddyrate.figure OUTPUTS.json FIGURE.png|svg   ('-' reads standard input)
"""

import json
import math
import os
import stat
import sys
import tempfile
import textwrap

import numpy as np
from matplotlib.figure import Figure

from saltmark._saltmark import inertial_line

from ._eddyrate import FIT_BAND, MISSING, OUTPUT_NAMES, SCALAR_OUTPUTS

# The fit band of the library (hertz, both bounds exclusive) and the constants of its fit.
FIT_LOW_HZ, FIT_HIGH_HZ = FIT_BAND
KOLMOGOROV_W = 4.0 / 3.0 * 0.55  # transverse (vertical) one-dimensional Kolmogorov constant

_SCALARS = OUTPUT_NAMES[:SCALAR_OUTPUTS]


def _outputs(result):
    """The outputs as a dict, from a Result or from eddyrate-run's JSON."""
    if isinstance(result, dict):
        values = {k: _json_number(result, k) for k in _SCALARS}
        values["reason"] = result.get("NoEstimateReason")
        for key in ("Freq", "Tke"):
            names = result.get(key + "_nonfinite") or [None] * len(result[key])
            values[key.lower()] = np.array(
                [_nonfinite(n) if v is None else float(v) for v, n in zip(result[key], names)])
        return values
    values = {k: float(getattr(result, k)) for k in _SCALARS}
    values["reason"] = None
    values["freq"] = np.asarray(result.freq, dtype=float)
    values["tke"] = np.asarray(result.tke, dtype=float)
    return values


def _nonfinite(name):
    return {"nan": math.nan, "-nan": -math.nan, "inf": math.inf, "-inf": -math.inf}.get(name, math.nan)


def _json_number(outputs, key):
    value = outputs.get(key)
    return _nonfinite(outputs.get(key + "_nonfinite")) if value is None else float(value)


def ww_spectrum(freq, epsilon, mean_speed):
    """The inertial-subrange vertical-velocity spectrum at dissipation rate epsilon (m^2/s^2/Hz)."""
    freq = np.asarray(freq, dtype=float)
    return (KOLMOGOROV_W * epsilon ** (2.0 / 3.0) * (mean_speed / (2.0 * math.pi)) ** (2.0 / 3.0)
            * freq ** (-5.0 / 3.0))


def _estimate(value):
    return math.isfinite(value) and value != MISSING


def plot(result, path, title=None):
    """Draws the spectrum into a figure of its own and writes it to path (format from its
    extension)."""
    fig = Figure(figsize=(7.0, 5.0), layout="constrained")
    draw(result, fig.add_subplot(), title=title)
    save(fig, path)


def save(fig, path):
    """Writes the figure whole or not at all: into a temporary file beside path, synced to the
    disk and renamed over path only once complete, so that a full disk leaves the earlier
    figure in place rather than a cut one."""
    path = os.fspath(path)
    if os.path.exists(path) and not os.path.isfile(path):
        fig.savefig(path)  # a device or a pipe cannot be replaced
        return
    folder, name = os.path.split(os.path.abspath(path))
    kind = os.path.splitext(name)[1][1:].lower() or None
    descriptor, temporary = tempfile.mkstemp(prefix="." + name + ".", suffix=".part", dir=folder)
    try:
        with os.fdopen(descriptor, "wb") as stream:
            fig.savefig(stream, format=kind)
            stream.flush()
            os.fsync(stream.fileno())
        # mkstemp makes the file private; the figure gets the permissions a new file would.
        try:
            mode = stat.S_IMODE(os.stat(path).st_mode)
        except FileNotFoundError:
            mask = os.umask(0)
            os.umask(mask)
            mode = 0o666 & ~mask
        os.chmod(temporary, mode)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def draw(result, ax, title=None):
    """Draws Tke against frequency on log-log axes, the fit band shaded, and the -5/3 law at
    the fitted dissipation rate, onto the matplotlib axes ax; returns ax."""
    out = _outputs(result)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("Frequency $f$ (Hz)")
    ax.set_ylabel("Spectral density (m$^2$ s$^{-2}$ Hz$^{-1}$)")
    ax.set_title(title or "Burst spectrum")

    freq, tke = out["freq"], out["tke"]
    bands = np.isfinite(freq) & np.isfinite(tke) & (freq != MISSING) & (tke != MISSING) & (freq > 0) & (tke > 0)
    if not bands.any():
        if out["reason"]:
            why = "No spectrum: " + textwrap.fill(out["reason"], 40)
        elif freq[0] == MISSING and out["Quality"] == 0.0:
            why = ("The burst was rejected: too few samples,\ntoo many dropouts, or a sampling rate"
                   "\nnot above 1 Hz. No spectrum.")
        else:
            why = "No spectrum: the band values\nare not finite (a NaN in the burst?)"
        ax.text(0.5, 0.5, why, transform=ax.transAxes, ha="center", va="center")
        ax.set_xlim(0.01, 10.0)
        ax.set_ylim(1e-4, 1e1)
        return ax

    f, s = freq[bands], tke[bands]
    ax.axvspan(FIT_LOW_HZ, FIT_HIGH_HZ, color="0.88", zorder=0,
               label=f"fit band {FIT_LOW_HZ:g}–{FIT_HIGH_HZ:g} Hz")
    ax.plot(f, s, "o-", color="C0", markersize=2.5, linewidth=1.0,
            label=r"TKE spectrum $S_{uu}+S_{vv}+S_{ww}$")

    epsilon, anisotropy = out["Epsilon"], out["Anisotropy"]
    mean_speed = math.hypot(out["MeanU"], out["MeanV"])
    notes = []
    line = inertial_line(freq, tke)
    if line is not None:
        ax.plot(line["freq"], line["tke"], "--", color="C3", linewidth=2.0,
                label=r"$f^{-5/3}$ at the fit's level")
    if _estimate(epsilon) and epsilon > 0 and mean_speed > 0:
        notes.append(rf"$\varepsilon$ = {epsilon:.3g} m$^2$ s$^{{-3}}$")
    else:
        notes.append(r"$\varepsilon$: no estimate" +
                     (": " + textwrap.fill(out["reason"], 50) if out["reason"] else ""))
    notes.append(rf"$u_*$ = {out['Ustar']:.3g} m s$^{{-1}}$" if _estimate(out["Ustar"])
                 else r"$u_*$: no estimate")
    notes.append(f"$U$ = {mean_speed:.3g} m s$^{{-1}}$")
    notes.append(f"Anisotropy = {anisotropy:.3g}")
    notes.append(f"Quality = {out['Quality']:.3g}")
    ax.text(0.03, 0.03, "\n".join(notes), transform=ax.transAxes, va="bottom", ha="left",
            fontsize=9, bbox={"boxstyle": "round", "facecolor": "white", "edgecolor": "0.7"})
    ax.legend(loc="upper right", fontsize=8.5)
    ax.grid(True, which="major", color="0.85", linewidth=0.6)
    return ax


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 2 or argv[0] in ("-h", "--help"):
        print("Usage: python3 -m eddyrate.figure OUTPUTS.json FIGURE.png|svg", file=sys.stderr)
        return 2
    source, target = argv
    try:
        text = sys.stdin.read() if source == "-" else open(source, encoding="utf-8").read()
        outputs = json.loads(text)
        plot(outputs, target)
    except (OSError, ValueError, KeyError, TypeError) as error:
        print(f"eddyrate.figure: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
