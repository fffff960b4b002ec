// eddyrate._eddyrate: the library's export for numpy users. The caller's arrays are copied,
// so the screening's in-place compaction never reaches them, and the GIL is released while
// the library runs, so that threads (and Dask workers) can run bursts side by side.

#include <eddyrate.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

using Series = py::array_t<double, py::array::c_style | py::array::forcecast>;

struct Result {
    double Ustar = 0.0;
    double Epsilon = 0.0;
    double MeanU = 0.0;
    double MeanV = 0.0;
    double MeanW = 0.0;
    double MeanTemp = 0.0;
    double Anisotropy = 0.0;
    double Quality = 0.0;
    std::array<double, EDDYRATE_BANDS> Freq{};
    std::array<double, EDDYRATE_BANDS> Tke{};
    std::int64_t keptSamples = 0;
    double height = 0.0;
    double fs = 0.0;

    // The library marks a burst its gate refused with 9999.0 in every Freq slot and a
    // Quality of exactly 0.0; a burst that passed always has a first band below the Nyquist
    // frequency.
    bool rejected() const { return Freq[0] == EDDYRATE_MISSING && Quality == 0.0; }
};

std::vector<double> copySeries(const Series& series, const char* name)
{
    if (series.ndim() != 1) {
        throw py::value_error(std::string(name) + " must be one-dimensional, one value a sample");
    }
    const double* first = series.data();
    return std::vector<double>(first, first + series.shape(0));
}

// The screening takes a sample holding an exact zero in any of the four series for a
// dropout and removes it from all four; the rest are kept.
std::int64_t countKeptSamples(const std::vector<double>& u, const std::vector<double>& v,
                              const std::vector<double>& w, const std::vector<double>& temp)
{
    std::int64_t kept = 0;
    for (std::size_t i = 0; i < u.size(); ++i) {
        if (!EDDYRATE_IS_DROPOUT(u[i], v[i], w[i], temp[i])) {
            ++kept;
        }
    }
    return kept;
}

Result compute(const Series& uIn, const Series& vIn, const Series& wIn, const Series& tempIn,
               double height, double fs)
{
    std::vector<double> u = copySeries(uIn, "u");
    std::vector<double> v = copySeries(vIn, "v");
    std::vector<double> w = copySeries(wIn, "w");
    std::vector<double> temp = copySeries(tempIn, "temp");
    if (v.size() != u.size() || w.size() != u.size() || temp.size() != u.size()) {
        throw py::value_error("u, v, w and temp must have the same length");
    }
    if (u.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw py::value_error("more samples than the library takes in one call");
    }

    Result r;
    r.height = height;
    r.fs = fs;
    {
        py::gil_scoped_release released;
        r.keptSamples = countKeptSamples(u, v, w, temp);
        eddyRate(u.data(), v.data(), w.data(), temp.data(), height, fs, &r.Ustar, &r.Epsilon,
                 &r.MeanU, &r.MeanV, &r.MeanW, &r.MeanTemp, &r.Anisotropy, &r.Quality,
                 r.Freq.data(), r.Tke.data(), static_cast<std::int32_t>(u.size()));
    }
    return r;
}

py::array_t<double> bandArray(const std::array<double, EDDYRATE_BANDS>& values)
{
    py::array_t<double> out(EDDYRATE_BANDS);
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

py::dict asDict(const Result& r)
{
    py::dict d;
    d["Ustar"] = r.Ustar;
    d["Epsilon"] = r.Epsilon;
    d["MeanU"] = r.MeanU;
    d["MeanV"] = r.MeanV;
    d["MeanW"] = r.MeanW;
    d["MeanTemp"] = r.MeanTemp;
    d["Anisotropy"] = r.Anisotropy;
    d["Quality"] = r.Quality;
    d["freq"] = bandArray(r.Freq);
    d["tke"] = bandArray(r.Tke);
    d["kept_samples"] = r.keptSamples;
    d["rejected"] = r.rejected();
    return d;
}

}  // namespace

PYBIND11_MODULE(_eddyrate, m)
{
    m.doc() = "The EddyRate library's export, for numpy arrays.";
    m.attr("BANDS") = EDDYRATE_BANDS;
    m.attr("MISSING") = EDDYRATE_MISSING;
    // The library's facts from its header, so that Python never keeps a copy of them.
    {
        const char* names[] = {EDDYRATE_OUTPUT_NAMES};
        py::tuple outputNames(std::size(names));
        for (std::size_t i = 0; i < std::size(names); ++i) {
            outputNames[i] = py::str(names[i]);
        }
        m.attr("OUTPUT_NAMES") = outputNames;
    }
    m.attr("SCALAR_OUTPUTS") = EDDYRATE_SCALAR_OUTPUTS;
    m.attr("FIT_BAND") = py::make_tuple(EDDYRATE_FIT_LOW_HZ, EDDYRATE_FIT_HIGH_HZ);

    py::class_<Result>(m, "Result", "The outputs of one burst.")
        .def_readonly("Ustar", &Result::Ustar, "friction velocity (m/s); 9999.0: no estimate")
        .def_readonly("Epsilon", &Result::Epsilon,
                      "dissipation rate of turbulent kinetic energy (m^2/s^3); 9999.0: no estimate")
        .def_readonly("MeanU", &Result::MeanU, "burst mean of u (m/s)")
        .def_readonly("MeanV", &Result::MeanV, "burst mean of v (m/s)")
        .def_readonly("MeanW", &Result::MeanW, "burst mean of w (m/s)")
        .def_readonly("MeanTemp", &Result::MeanTemp, "burst mean of the sonic temperature")
        .def_readonly("Anisotropy", &Result::Anisotropy, "(Suu + Svv) / (2 Sww) over the fit band")
        .def_readonly("Quality", &Result::Quality, "flatness of the compensated w spectrum")
        .def_property_readonly(
            "freq", [](const Result& r) { return bandArray(r.Freq); }, "band frequencies (Hz)")
        .def_property_readonly(
            "tke", [](const Result& r) { return bandArray(r.Tke); },
            "Suu + Svv + Sww at each band (m^2/s^2/Hz)")
        .def_readonly("kept_samples", &Result::keptSamples,
                      "samples left after screening (rows without an exact zero)")
        .def_property_readonly("rejected", &Result::rejected,
                               "True when the burst failed the gate (no spectra, no fit)")
        .def_readonly("height", &Result::height, "sensor height passed to the library (m)")
        .def_readonly("fs", &Result::fs, "sampling rate passed to the library (Hz)")
        .def("as_dict", &asDict, "The outputs as a dict, e.g. for a pandas DataFrame row.")
        .def("__repr__", [](const Result& r) {
            return py::str("<eddyrate.Result Epsilon={:g} Ustar={:g} kept_samples={}{}>")
                .format(r.Epsilon, r.Ustar, r.keptSamples, r.rejected() ? " rejected" : "");
        });

    m.def("compute", &compute, py::arg("u"), py::arg("v"), py::arg("w"), py::arg("temp"),
          py::kw_only(), py::arg("height") = 4.0, py::arg("fs") = 10.0,
          R"(Runs one burst through the EddyRate library.

u, v, w (m/s) and temp: one value a sample, all of one length; numpy arrays or sequences.
They are copied: the caller's arrays are never changed. height: sensor height in metres;
fs: sampling rate in hertz. The GIL is released while the library runs.)");
}
