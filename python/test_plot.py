import json
import subprocess

import numpy as np
import pytest

import eddyrate
from eddyrate import figure
from conftest import BUNDLED_BURST, tool

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


@pytest.fixture(scope="module")
def results(bundled_burst):
    u, v, w, temp = bundled_burst
    return {"accepted": eddyrate.compute(u, v, w, temp),
            "rejected": eddyrate.compute(u[:100], v[:100], w[:100], temp[:100])}


@pytest.mark.parametrize("case", ["accepted", "rejected"])
def test_plot_writes_png_and_svg(results, tmp_path, case):
    eddyrate.plot(results[case], tmp_path / "spectrum.png")
    eddyrate.plot(results[case], tmp_path / "spectrum.svg")
    assert (tmp_path / "spectrum.png").read_bytes().startswith(PNG_SIGNATURE)
    svg = (tmp_path / "spectrum.svg").read_text()
    assert "<svg" in svg
    # Only an accepted burst has a spectrum, a fit band and a -5/3 line to draw.
    assert ("fit band" in svg) == (case == "accepted")


def test_vertical_velocity_law_is_the_fits_kolmogorov_relation():
    # At U = 2 pi m/s the law is (4/3) 0.55 eps^(2/3) f^(-5/3): the constant the library's
    # fit divides the compensated spectrum by.
    f = np.array([1.0, 8.0])
    np.testing.assert_allclose(figure.ww_spectrum(f, 0.008, 2.0 * np.pi),
                               0.7333333333333334 * 0.04 * f ** (-5.0 / 3.0), rtol=1e-15)


def test_eddyrate_run_plots_the_burst_and_non_finite_outputs(tmp_path):
    run = tool("EDDYRATE_RUN")
    subprocess.run([run, "--plot", str(tmp_path / "burst.png"), str(BUNDLED_BURST)], check=True,
                   stdout=subprocess.DEVNULL)
    assert (tmp_path / "burst.png").read_bytes().startswith(PNG_SIGNATURE)

    # A NaN sample makes Tke not-a-number: the JSON carries nulls, the figure says so.
    rows = BUNDLED_BURST.read_text().splitlines()
    rows[5] = "nan,1,1,15"
    (tmp_path / "nan.csv").write_text("\n".join(rows) + "\n")
    outputs = json.loads(subprocess.run([run, "--json", "--plot", str(tmp_path / "nan.svg"),
                                         str(tmp_path / "nan.csv")],
                                        check=True, capture_output=True).stdout)
    assert outputs["Tke"][0] is None
    assert "not finite" in (tmp_path / "nan.svg").read_text()

    failed = subprocess.run([run, "--plot", str(tmp_path / "no" / "such.png"),
                             str(BUNDLED_BURST)], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    assert failed.returncode == 1 and "no figure written" in failed.stderr


def test_plot_draws_onto_given_axes_and_returns_them(results, tmp_path):
    from matplotlib.figure import Figure

    fig = Figure()
    left, right = fig.subplots(1, 2)
    assert eddyrate.plot(results["accepted"], ax=right, title="b") is right
    assert right.get_xscale() == "log" and right.get_title() == "b" and not left.lines
    ax = eddyrate.plot(results["accepted"], path=tmp_path / "alone.png")
    assert (tmp_path / "alone.png").read_bytes().startswith(PNG_SIGNATURE) and ax.lines


def test_eddyrate_run_says_why_a_burst_has_no_estimate(tmp_path):
    # 200 s at 10 Hz: fewer samples than one 256 s segment; the line and the figure say so.
    rows = BUNDLED_BURST.read_text().splitlines()
    (tmp_path / "short.csv").write_text("\n".join(rows[:2001]) + "\n")
    done = subprocess.run([tool("EDDYRATE_RUN"), "--plot", str(tmp_path / "short.svg"),
                           str(tmp_path / "short.csv")], check=True, capture_output=True, text=True)
    assert done.stderr.count("\n") == 1
    assert "fewer than one segment needs at 10 Hz: 2560" in done.stderr
    assert "2560" in (tmp_path / "short.svg").read_text()


def test_a_messages_spectrum_gets_the_one_f_minus_five_thirds_line(tmp_path):
    # The burst's outputs carried in a message's Y81000 record: the module's line (the fit's
    # level over the fit band) is the one the figure draws for the record.
    import saltmark
    from matplotlib.figure import Figure

    outputs = subprocess.run([tool("EDDYRATE_RUN"), "--json", str(BUNDLED_BURST)], check=True,
                             capture_output=True).stdout
    (tmp_path / "outputs.json").write_bytes(outputs)
    subprocess.run([tool("SBD_COMPOSE"), "--y81000", str(tmp_path / "outputs.json"), "-o",
                    str(tmp_path / "y.sbd")], check=True)
    message = saltmark.decode_file(str(tmp_path / "y.sbd"))
    line = message.spectrum["line"]
    assert line is not None and len(line["bands"]) >= 2
    freq = np.array(message.spectrum["freq"])
    assert ((freq[line["bands"]] > 2.0) & (freq[line["bands"]] < 4.9)).all()
    compensated = freq[line["bands"]] ** (5.0 / 3.0) * np.array(message.spectrum["tke"])[line["bands"]]
    np.testing.assert_allclose(line["level"], compensated.mean(), rtol=1e-12)

    (record,) = [r for r in message.records if r["type"] == "Y81000"]
    ax = Figure().subplots()
    eddyrate.plot(record["fields"], ax=ax)
    drawn = [l for l in ax.lines if "fit's level" in l.get_label()]
    assert len(drawn) == 1
    np.testing.assert_allclose(drawn[0].get_ydata(), line["tke"], rtol=1e-6)
