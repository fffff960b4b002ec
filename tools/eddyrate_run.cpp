// eddyrate-run: one burst from a CSV file through eddyRate, as the buoy's logger would call
// it, with the outputs printed as a table or as JSON for the message composer.

#include <CLI/CLI.hpp>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <limits>
#include <utility>
#include <vector>

#include "burst_files.h"
#include "cli.h"
#include "no_estimate.h"
#include "outputs.h"
#include "rotation.h"
#include "spectrum_plot.h"

using namespace orcan::bursts;

namespace {

constexpr std::string_view kProgram = "eddyrate-run";

// The anemometer's height above the sea surface on the Orcan mast, used when none is given.
constexpr double kDefaultHeight = 4.0;
constexpr double kDefaultRate = 10.0;

constexpr std::string_view kUsage =
    R"(Usage: eddyrate-run [--fs HZ] [--height M] [--columns U,V,W,T] [--rotate HOW] [--json]
                    [--plot FIGURE] BURST.csv

Runs one burst of sonic-anemometer samples through the EddyRate library (eddyRate) and
prints its outputs.

BURST.csv holds one sample a row: u, v, w (m/s) and the sonic temperature T, separated by
commas. A header row, empty lines and lines starting with '#' are passed over. '-' reads
standard input. A TOA5 file of a field logger is read too: its columns Ux, Uy, Uz and Ts
(or those --columns names), "NAN" taken as a dropout, the rate from its timestamps.

Options:
  --fs HZ       sampling rate in hertz (default: the rate the file states, else 10); a
                rate that differs from the one the file states is refused
  --columns LIST  the TOA5 columns of u, v, w and T (default Ux,Uy,Uz,Ts)
  --rotate HOW  none (default), mean-wind (turn u and v so that the mean v is 0) or
                double (then tilt so that the mean w is 0 too); dropouts stay as they are
  --height M    sensor height above the surface in metres (default 4)
  --json        print one JSON object keyed by the output names instead of a table;
                numbers are exact (shortest round-trip decimal); a non-finite value is
                null and named ("nan", "-nan", "inf", "-inf") in "<Key>_nonfinite"
  --plot FIGURE also draw the spectrum into FIGURE (.png or .svg): Tke and the
                -5/3 law at the fitted dissipation rate on log-log axes
  --help        show this text
  --version     show the version

The rate and the height must be finite and above zero.
Exit status: 0 when the library was called, 1 when the burst cannot be read or holds no
sample, or the outputs or the figure cannot be written, 2 for wrong usage.
)";

std::string readable(double value)
{
    if (value == EDDYRATE_MISSING) {
        return "9999 (no estimate)";
    }
    if (!std::isfinite(value)) {
        return nonFiniteName(value);
    }
    char buffer[32];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 7);
    return std::string(buffer, result.ptr);
}

std::string padded(std::string text, std::size_t width)
{
    if (text.size() < width) {
        text.append(width - text.size(), ' ');
    }
    return text;
}

void printTable(std::ostream& out, const EddyRateOutputs& outputs, std::size_t samples,
                std::size_t zeroSamples, double fs, double height)
{
    struct Row {
        const char* unit;
        const char* meaning;
    };
    static constexpr Row kRows[] = {
        {"m/s", "friction velocity (neutral surface layer)"},
        {"m^2/s^3", "dissipation rate of turbulent kinetic energy"},
        {"m/s", "burst mean of u"},
        {"m/s", "burst mean of v"},
        {"m/s", "burst mean of w"},
        {"", "burst mean of the sonic temperature"},
        {"", "(Svv + Suu) / (2 Sww) over 2-4.9 Hz; 0.875 if isotropic"},
        {"", "1 - spread / mean of the compensated w spectrum"},
    };
    out << "Burst: " << samples << " samples at " << readable(fs) << " Hz, sensor height "
        << readable(height) << " m, " << zeroSamples << " holding a zero (screened)\n\n";
    for (std::size_t i = 0; i < kScalarOutputs.size(); ++i) {
        out << "  " << padded(kScalarOutputs[i].name, 12)
            << padded(readable(outputs.*kScalarOutputs[i].field), 20) << padded(kRows[i].unit, 9)
            << kRows[i].meaning << '\n';
    }
    out << "\n  band  " << padded("Freq (Hz)", 20) << "Tke (m^2/s^2/Hz, sum of u, v, w spectra)\n";
    for (std::size_t i = 0; i < EDDYRATE_BANDS; ++i) {
        const std::string band = std::to_string(i + 1);
        out << "  " << std::string(4 - band.size(), ' ') << band << "  "
            << padded(readable(outputs.Freq[i]), 20) << readable(outputs.Tke[i]) << '\n';
    }
}

// Without a vane the u axis need not face the wind; the library's segment test then looks
// at a crosswind component and its estimate depends on the anemometer's heading.
void warnOfCrossWind(const std::string& shownPath, const Burst& burst, Rotation rotation)
{
    const std::optional<double> angle = meanWindAngleDegrees(burst);
    if (rotation == Rotation::none && angle && std::fabs(*angle) > kWarnAngleDegrees) {
        std::cerr << kProgram << ": " << shownPath << ": the mean wind blows "
                  << readable(std::round(*angle)) << " degrees from the u axis; --rotate mean-wind "
                  << "turns the burst into it\n";
    }
}

// The rate and the height are divisors of the computation: anything but a finite positive
// value gives outputs without meaning.
std::optional<std::string> checkPositive(std::string_view option, double value)
{
    if (std::isfinite(value) && value > 0.0) {
        return std::nullopt;
    }
    return std::string(option) + " must be finite and above zero, not " + readable(value);
}

int run(int argc, char** argv)
{
    std::optional<double> askedRate;
    double height = kDefaultHeight;
    BurstReadOptions readOptions;
    Rotation rotation = Rotation::none;
    bool json = false;
    std::string path;
    std::string figurePath;
    std::string fsText;
    std::string heightText;
    std::string columnsText;
    std::string rotateText;
    std::vector<std::string> paths;
    CLI::App app;
    const auto last = CLI::MultiOptionPolicy::TakeLast;
    app.add_flag("--json", json);
    app.add_option("--plot", figurePath)->multi_option_policy(last);
    CLI::Option* fsOption = app.add_option("--fs", fsText)->multi_option_policy(last);
    CLI::Option* heightOption = app.add_option("--height", heightText)->multi_option_policy(last);
    CLI::Option* columnsOption =
        app.add_option("--columns", columnsText)->multi_option_policy(last);
    CLI::Option* rotateOption = app.add_option("--rotate", rotateText)->multi_option_policy(last);
    app.add_option("burst", paths);
    if (const std::optional<int> done = parseCommandLine(app, kProgram, kUsage, argc, argv)) {
        return *done;
    }
    if (fsOption->count() > 0) {
        double rate = 0.0;
        if (const std::optional<std::string> bad = takeNumber(fsText, rate)) {
            return usageError(kProgram, *bad);
        }
        askedRate = rate;
    }
    if (heightOption->count() > 0) {
        if (const std::optional<std::string> bad = takeNumber(heightText, height)) {
            return usageError(kProgram, *bad);
        }
    }
    if (columnsOption->count() > 0) {
        if (const std::optional<std::string> bad =
                parseColumnList(columnsText, readOptions.columns)) {
            return usageError(kProgram, "--columns: " + *bad);
        }
    }
    if (rotateOption->count() > 0) {
        const std::optional<Rotation> how = parseRotation(rotateText);
        if (!how) {
            return usageError(
                kProgram, "--rotate takes none, mean-wind or double, not " + ::quoted(rotateText));
        }
        rotation = *how;
    }
    if (paths.size() > 1) {
        return usageError(kProgram, "one burst file at a time");
    }
    if (!paths.empty()) {
        path = paths.front();
    }
    if (path.empty()) {
        return usageError(kProgram, "no burst file given");
    }
    for (const auto& [option, value] :
         {std::pair{"--fs", askedRate.value_or(kDefaultRate)}, std::pair{"--height", height}}) {
        if (const std::optional<std::string> bad = checkPositive(option, value)) {
            return usageError(kProgram, *bad);
        }
    }

    std::string error;
    const std::string shownPath = path == "-" ? "standard input" : path;
    BurstFile file;
    if (const std::optional<std::string> bad = readBurstFile(path, readOptions, file)) {
        return inputError(kProgram, *bad);
    }
    const RateChoice rate = chooseRate(file, askedRate, kDefaultRate);
    if (rate.error) {
        return inputError(kProgram, shownPath + ": " + *rate.error);
    }
    const double fs = rate.rate;
    Burst& burst = file.burst;
    if (file.missingValues > 0) {
        std::cerr << kProgram << ": " << shownPath << ": " << file.missingValues
                  << " missing values (NAN) taken as dropouts\n";
    }
    warnOfCrossWind(shownPath, burst, rotation);
    rotateBurst(burst, rotation);
    if (burst.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return inputError(kProgram,
                          shownPath + ": more samples than the library takes in one call");
    }

    const std::size_t samples = burst.size();
    const std::size_t zeroSamples = countDropouts(burst);
    const Burst asRead = burst;
    const EddyRateOutputs outputs = runEddyRate(burst, height, fs);
    const std::optional<std::string> noEstimate = noEstimateReason(asRead, fs, outputs);
    OutputFile out;
    if (!out.open("-", error)) {
        return inputError(kProgram, error);
    }
    if (json) {
        out.stream() << outputsToJson(outputs);
    } else {
        printTable(out.stream(), outputs, samples, zeroSamples, fs, height);
    }
    if (!out.close(error)) {
        return inputError(kProgram, error);
    }
    if (noEstimate) {
        std::cerr << kProgram << ": no estimate: " << *noEstimate << '\n';
    }
    if (!figurePath.empty()) {
        if (const std::optional<std::string> failed =
                plotSpectrum(outputs, figurePath, noEstimate.value_or(""))) {
            return inputError(kProgram, *failed);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return runTool(kProgram, run, argc, argv); }
