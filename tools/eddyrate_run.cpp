// eddyrate-run: one burst from a CSV file through eddyRate, as the buoy's logger would call
// it, with the outputs printed as a table or as JSON for the message composer.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <utility>

#include "burst.h"
#include "cli.h"
#include "outputs.h"
#include "spectrum_plot.h"

namespace {

constexpr std::string_view kProgram = "eddyrate-run";

// The anemometer's height above the sea surface on the Orcan mast, used when none is given.
constexpr double kDefaultHeight = 4.0;
constexpr double kDefaultRate = 10.0;

constexpr std::string_view kUsage =
    R"(Usage: eddyrate-run [--fs HZ] [--height M] [--json] [--plot FIGURE] BURST.csv

Runs one burst of sonic-anemometer samples through the EddyRate library (eddyRate) and
prints its outputs.

BURST.csv holds one sample a row: u, v, w (m/s) and the sonic temperature T, separated by
commas. A header row, empty lines and lines starting with '#' are passed over. '-' reads
standard input.

Options:
  --fs HZ       sampling rate in hertz (default 10)
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

std::size_t countZeroSamples(const Burst& burst)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < burst.size(); ++i) {
        if (EDDYRATE_IS_DROPOUT(burst.u[i], burst.v[i], burst.w[i], burst.temp[i])) {
            ++count;
        }
    }
    return count;
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
    double fs = kDefaultRate;
    double height = kDefaultHeight;
    bool json = false;
    std::string path;
    std::string figurePath;
    CommandLine args(argc, argv);
    while (args.next()) {
        std::string_view value;
        if (args.isHelp()) {
            std::cout << kUsage;
            return 0;
        }
        if (args.isVersion()) {
            return printVersion(kProgram);
        }
        if (args.arg() == "--json") {
            json = true;
        } else if (args.option("--plot", value)) {
            if (!args.error().empty()) {
                return usageError(kProgram, args.error());
            }
            figurePath = value;
        } else if (args.option("--fs", value)) {
            if (const std::optional<std::string> bad = takeNumber(args, value, fs)) {
                return usageError(kProgram, *bad);
            }
        } else if (args.option("--height", value)) {
            if (const std::optional<std::string> bad = takeNumber(args, value, height)) {
                return usageError(kProgram, *bad);
            }
        } else if (args.arg().size() > 1 && args.arg().front() == '-') {
            return usageError(kProgram, "unknown option " + quoted(args.arg()));
        } else if (!path.empty()) {
            return usageError(kProgram, "one burst file at a time");
        } else {
            path = args.arg();
        }
    }
    if (path.empty()) {
        return usageError(kProgram, "no burst file given");
    }
    for (const auto& [option, value] : {std::pair{"--fs", fs}, std::pair{"--height", height}}) {
        if (const std::optional<std::string> bad = checkPositive(option, value)) {
            return usageError(kProgram, *bad);
        }
    }

    std::string error;
    const std::optional<std::string> contents = readFile(path, error);
    if (!contents) {
        return inputError(kProgram, error);
    }
    const std::string shownPath = path == "-" ? "standard input" : path;
    std::istringstream in(*contents);
    Burst burst;
    if (const std::optional<CsvError> bad = readBurstCsv(in, burst)) {
        return inputError(kProgram,
                          shownPath + ":" + std::to_string(bad->line) + ": " + bad->message);
    }
    if (burst.size() == 0) {
        return inputError(kProgram, shownPath + ": no samples, nothing to compute");
    }
    if (burst.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return inputError(kProgram,
                          shownPath + ": more samples than the library takes in one call");
    }

    const std::size_t samples = burst.size();
    const std::size_t zeroSamples = countZeroSamples(burst);
    const EddyRateOutputs outputs = runEddyRate(burst, height, fs);
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
    if (!figurePath.empty()) {
        if (const std::optional<std::string> failed = plotSpectrum(outputs, figurePath)) {
            return inputError(kProgram, *failed);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return runTool(kProgram, run, argc, argv); }
