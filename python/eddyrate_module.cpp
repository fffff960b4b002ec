// eddyrate._eddyrate: the library's export for numpy users. The caller's arrays are copied,
// so the screening's in-place compaction never reaches them, and the GIL is released while
// the library runs, so that threads (and Dask workers) can run bursts side by side. Burst
// files are read by the tools' own reader, so that a file means here what it means to
// eddyrate-run.

#include <eddyrate.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "burst_files.h"
#include "rotation.h"

using namespace orcan::bursts;

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
    std::string rotate = "none";
    std::optional<double> windAngle;  // degrees from u, before any rotation
    std::optional<double> startTime;  // seconds since 1970 UTC, when the file says
    std::int64_t missingValues = 0;   // missing values of the file, taken as dropouts

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

// A file the tools cannot use; raised as eddyrate.BurstError (a ValueError).
class BurstFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

Rotation rotationFrom(const std::string& name)
{
    const std::optional<Rotation> rotation = parseRotation(name);
    if (!rotation) {
        throw py::value_error("rotate must be 'none', 'mean-wind' or 'double', not '" + name + "'");
    }
    return *rotation;
}

void checkPositive(const char* name, double value)
{
    if (!(std::isfinite(value) && value > 0.0)) {
        throw py::value_error(std::string(name) + " must be finite and above zero");
    }
}

// Rotates, then runs the library on the burst (which it compacts). No Python object is
// touched: the caller may release the GIL around it.
void computeBurst(Burst& burst, Rotation rotation, Result& r)
{
    r.windAngle = meanWindAngleDegrees(burst);
    rotateBurst(burst, rotation);
    r.keptSamples = static_cast<std::int64_t>(burst.size() - countDropouts(burst));
    eddyRate(burst.u.data(), burst.v.data(), burst.w.data(), burst.temp.data(), r.height, r.fs,
             &r.Ustar, &r.Epsilon, &r.MeanU, &r.MeanV, &r.MeanW, &r.MeanTemp, &r.Anisotropy,
             &r.Quality, r.Freq.data(), r.Tke.data(), static_cast<std::int32_t>(burst.size()));
}

void checkLength(std::size_t samples)
{
    if (samples > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw py::value_error("more samples than the library takes in one call");
    }
}

void warnOfCrossWind(const Result& r)
{
    if (r.rotate == "none" && r.windAngle && std::fabs(*r.windAngle) > kWarnAngleDegrees) {
        const std::string text = "the mean wind blows " +
                                 std::to_string(static_cast<int>(std::round(*r.windAngle))) +
                                 " degrees from the u axis; rotate='mean-wind' turns the burst "
                                 "into it";
        py::module_::import("warnings")
            .attr("warn")(text, py::module_::import("builtins").attr("RuntimeWarning"), 2);
    }
}

Result compute(const Series& uIn, const Series& vIn, const Series& wIn, const Series& tempIn,
               double height, double fs, const std::string& rotate)
{
    Burst burst;
    burst.u = copySeries(uIn, "u");
    burst.v = copySeries(vIn, "v");
    burst.w = copySeries(wIn, "w");
    burst.temp = copySeries(tempIn, "temp");
    if (burst.v.size() != burst.u.size() || burst.w.size() != burst.u.size() ||
        burst.temp.size() != burst.u.size()) {
        throw py::value_error("u, v, w and temp must have the same length");
    }
    checkLength(burst.size());

    Result r;
    r.height = height;
    r.fs = fs;
    r.rotate = rotate;
    const Rotation rotation = rotationFrom(rotate);
    {
        py::gil_scoped_release released;
        computeBurst(burst, rotation, r);
    }
    warnOfCrossWind(r);
    return r;
}

BurstReadOptions readOptions(const std::optional<std::vector<std::string>>& columns)
{
    BurstReadOptions options;
    if (columns) {
        if (columns->size() != 4) {
            throw py::value_error("columns: four names are needed (u, v, w, T)");
        }
        options.columns = *columns;
    }
    return options;
}

// Hands the vector's storage to numpy without a copy; the array frees it.
py::array_t<double> ownedArray(std::vector<double>&& values)
{
    auto owned = std::make_unique<std::vector<double>>(std::move(values));
    const py::capsule release(owned.get(), [](void* p) {
        const std::unique_ptr<std::vector<double>> freed(static_cast<std::vector<double>*>(p));
    });
    std::vector<double>& kept = *owned.release();
    return py::array_t<double>(static_cast<py::ssize_t>(kept.size()), kept.data(), release);
}

struct BurstData {
    py::array_t<double> u, v, w, temp;
    std::string format;
    std::optional<double> fs;
    std::optional<double> startTime;
    std::int64_t missingValues = 0;
};

// A str, bytes or os.PathLike path, as open() takes.
std::string pathText(const py::object& path)
{
    return py::module_::import("os").attr("fspath")(path).cast<std::string>();
}

BurstData readBurst(const py::object& pathObject, std::optional<std::vector<std::string>> columns)
{
    const std::string path = pathText(pathObject);
    const BurstReadOptions options = readOptions(columns);
    BurstFile file;
    std::optional<std::string> error;
    {
        py::gil_scoped_release released;
        error = readBurstFile(path, options, file);
    }
    if (error) {
        throw BurstFileError(*error);
    }
    return {ownedArray(std::move(file.burst.u)),
            ownedArray(std::move(file.burst.v)),
            ownedArray(std::move(file.burst.w)),
            ownedArray(std::move(file.burst.temp)),
            file.format,
            file.statedRate,
            file.startTime,
            static_cast<std::int64_t>(file.missingValues)};
}

// One burst file from disk to result without the GIL: what eddyrate-batch runs per file.
Result computeFile(const py::object& pathObject, double height, std::optional<double> fs,
                   const std::string& rotate, std::optional<std::vector<std::string>> columns)
{
    const std::string path = pathText(pathObject);
    checkPositive("height", height);
    if (fs) {
        checkPositive("fs", *fs);
    }
    const BurstReadOptions options = readOptions(columns);
    const Rotation rotation = rotationFrom(rotate);
    Result r;
    r.height = height;
    r.rotate = rotate;
    std::optional<std::string> error;
    {
        py::gil_scoped_release released;
        // Kept per thread with its capacity: fresh storage for every burst of a batch costs
        // the system as much as the parse.
        thread_local BurstFile file;
        file = BurstFile{std::move(file.burst), {}, {}, {}, 0};
        for (std::vector<double>* series :
             {&file.burst.u, &file.burst.v, &file.burst.w, &file.burst.temp}) {
            series->clear();
        }
        error = readBurstFile(path, options, file);
        if (!error) {
            const RateChoice rate = chooseRate(file, fs, 10.0);
            if (rate.error) {
                error = path + ": " + *rate.error;
            } else if (file.burst.size() >
                       static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
                error = path + ": more samples than the library takes in one call";
            } else {
                r.fs = rate.rate;
                r.startTime = file.startTime;
                r.missingValues = static_cast<std::int64_t>(file.missingValues);
                computeBurst(file.burst, rotation, r);
            }
        }
    }
    if (error) {
        throw BurstFileError(*error);
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

// Everything a Result holds, for pickle (Dask and multiprocessing send results that way).
py::tuple resultState(const Result& r)
{
    return py::make_tuple(r.Ustar, r.Epsilon, r.MeanU, r.MeanV, r.MeanW, r.MeanTemp, r.Anisotropy,
                          r.Quality, bandArray(r.Freq), bandArray(r.Tke), r.keptSamples, r.height,
                          r.fs, r.rotate, r.windAngle, r.startTime, r.missingValues);
}

Result resultFromState(const py::tuple& t)
{
    if (t.size() != 17) {
        throw std::runtime_error("not the state of an eddyrate.Result");
    }
    Result r;
    double* scalars[] = {&r.Ustar, &r.Epsilon,  &r.MeanU,      &r.MeanV,
                         &r.MeanW, &r.MeanTemp, &r.Anisotropy, &r.Quality};
    for (std::size_t i = 0; i < 8; ++i) {
        *scalars[i] = t[i].cast<double>();
    }
    const auto freq = t[8].cast<Series>();
    const auto tke = t[9].cast<Series>();
    if (freq.size() != EDDYRATE_BANDS || tke.size() != EDDYRATE_BANDS) {
        throw std::runtime_error("not the state of an eddyrate.Result");
    }
    std::copy(freq.data(), freq.data() + EDDYRATE_BANDS, r.Freq.begin());
    std::copy(tke.data(), tke.data() + EDDYRATE_BANDS, r.Tke.begin());
    r.keptSamples = t[10].cast<std::int64_t>();
    r.height = t[11].cast<double>();
    r.fs = t[12].cast<double>();
    r.rotate = t[13].cast<std::string>();
    r.windAngle = t[14].cast<std::optional<double>>();
    r.startTime = t[15].cast<std::optional<double>>();
    r.missingValues = t[16].cast<std::int64_t>();
    return r;
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
    m.attr("__version__") = ORCAN_VERSION;
    py::register_exception<BurstFileError>(m, "BurstError", PyExc_ValueError);

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
        .def_readonly("rotate", &Result::rotate, "the rotation applied before the library ran")
        .def_readonly("wind_angle", &Result::windAngle,
                      "direction of the mean wind from the u axis in degrees, before any "
                      "rotation (None without a sample)")
        .def_readonly("start_time", &Result::startTime,
                      "seconds since 1970-01-01 UTC of the first sample, when the file gives "
                      "it (TOA5 timestamps), else None")
        .def_readonly("missing_values", &Result::missingValues,
                      "values the file marked missing (TOA5 NAN), taken as dropouts")
        .def(py::pickle(&resultState, &resultFromState))
        .def("as_dict", &asDict, "The outputs as a dict, e.g. for a pandas DataFrame row.")
        .def("__repr__", [](const Result& r) {
            return py::str("<eddyrate.Result Epsilon={:g} Ustar={:g} kept_samples={}{}>")
                .format(r.Epsilon, r.Ustar, r.keptSamples, r.rejected() ? " rejected" : "");
        });

    m.def("compute", &compute, py::arg("u"), py::arg("v"), py::arg("w"), py::arg("temp"),
          py::kw_only(), py::arg("height") = 4.0, py::arg("fs") = 10.0, py::arg("rotate") = "none",
          R"(Runs one burst through the EddyRate library.

u, v, w (m/s) and temp: one value a sample, all of one length; numpy arrays or sequences.
They are copied: the caller's arrays are never changed. height: sensor height in metres;
fs: sampling rate in hertz. rotate: 'none' (the library's own result), 'mean-wind' (u and v
turned so that the mean v is 0) or 'double' (then tilted so that the mean w is 0); samples
holding an exact zero (dropouts) stay as they are. A RuntimeWarning says when the mean wind
lies more than 45 degrees from u and no rotation was asked. The GIL is released while the
library runs.)");

    py::class_<BurstData>(m, "Burst", "The samples of one burst file.")
        .def_readonly("u", &BurstData::u, "u (m/s)")
        .def_readonly("v", &BurstData::v, "v (m/s)")
        .def_readonly("w", &BurstData::w, "w (m/s)")
        .def_readonly("temp", &BurstData::temp, "sonic temperature")
        .def_readonly("format", &BurstData::format, "'csv' or 'toa5'")
        .def_readonly("fs", &BurstData::fs,
                      "the rate the file states (Hz: burst-gen's line, TOA5 timestamps) or None")
        .def_readonly("start_time", &BurstData::startTime,
                      "seconds since 1970-01-01 UTC of the first TOA5 sample, or None")
        .def_readonly("missing_values", &BurstData::missingValues,
                      "values marked missing (TOA5 NAN), stored as the dropout marker 0.0")
        .def("__len__", [](const BurstData& b) { return b.u.size(); })
        .def("__iter__",
             [](const BurstData& b) { return py::iter(py::make_tuple(b.u, b.v, b.w, b.temp)); });

    m.def("read_burst", &readBurst, py::arg("path"), py::kw_only(), py::arg("columns") = py::none(),
          R"(Reads a burst file as eddyrate-run does: the project's CSV (u, v, w, T a row) or a
TOA5 logger file (columns: the names of u, v, w and T, default Ux, Uy, Uz, Ts; NAN becomes the
dropout marker 0.0). u, v, w, temp = read_burst(path) unpacks the four arrays. Raises
eddyrate.BurstError (a ValueError) naming the file and line, OSError-like reasons included.)");

    m.def("compute_file", &computeFile, py::arg("path"), py::kw_only(), py::arg("height") = 4.0,
          py::arg("fs") = py::none(), py::arg("rotate") = "none", py::arg("columns") = py::none(),
          R"(Reads a burst file and runs it through the library, all without the GIL. fs: None
takes the rate the file states (else 10 Hz); a different rate is refused with BurstError.)");
}
