// burst-gen: writes a synthetic burst of sonic-anemometer samples as CSV, with a chosen
// dissipation rate, mean wind and temperature, and optional dropouts and spikes.

#include <CLI/CLI.hpp>
#include <cmath>
#include <iostream>
#include <memory>
#include <utility>
#include <vector>

#include "cli.h"
#include "outputs.h"
#include "synth.h"

using namespace orcan::bursts;

namespace {

constexpr std::string_view kProgram = "burst-gen";
// Millimetres per second and thousandths of a degree are finer than the anemometer resolves.
constexpr std::uint64_t kDefaultDecimals = 4;
constexpr std::uint64_t kMostDecimals = 17;
// Nineteen days at 10 Hz; the generator's transform holds a few times this many doubles.
constexpr std::uint64_t kMostSamples = std::uint64_t{1} << 24;

constexpr std::string_view kUsage = R"(Usage: burst-gen [OPTIONS] [-o BURST.csv]

Writes a synthetic burst (columns u, v, w, T; one sample a row) whose velocity spectra follow
the -5/3 law of the inertial subrange at the chosen dissipation rate, seen through Taylor's
frozen turbulence at the mean wind speed:
  S_u(f) = a eps^(2/3) (U/2pi)^(2/3) (f^2 + fu^2)^(-5/6)
  S_v(f) = S_w(f) = (4/3) a eps^(2/3) (U/2pi)^(2/3) (f^2 + fvw^2)^(-5/6)
u is streamwise along the mean horizontal wind (mean-u, mean-v). The same seed and options
give the same file.

Options (defaults in brackets):
  --seed N             random seed [1]
  --fs HZ              sampling rate [10]
  --minutes M          burst length in minutes [30]; or
  --samples N          burst length in samples [18000]
  --epsilon E          dissipation rate, m^2/s^3 [0.005]
  --mean-u U           mean u, m/s [6]
  --mean-v V           mean v, m/s [0]
  --mean-w W           mean w, m/s [0]
  --temperature T      mean sonic temperature [15]
  --temperature-std S  its standard deviation [0.2]
  --kolmogorov A       the constant a of the streamwise spectrum [0.55, as eddyRate's fit]
  --knee-u F           frequency, Hz, below which the u spectrum levels off [0.05]
  --knee-vw F          the same for v and w [0.2]
  --zeros N            samples with one column set to exactly 0 (dropouts) [0]
  --spikes N           samples with one wind component pushed out [0]
  --spike-size K       spike height in standard deviations [10]
  --decimals D         decimals written per value, 0 to 17 [4]
  -o FILE              output file [standard output]
  --help               show this text
  --version            show the version

The file starts with a comment line holding the full command that makes it again.
Exit status: 0 when written, 1 when the file cannot be written, 2 for wrong usage.
)";

struct NumberOption {
    std::string_view name;
    double BurstRecipe::*field;
};

constexpr NumberOption kNumberOptions[] = {
    {"--fs", &BurstRecipe::fs},
    {"--epsilon", &BurstRecipe::epsilon},
    {"--mean-u", &BurstRecipe::meanU},
    {"--mean-v", &BurstRecipe::meanV},
    {"--mean-w", &BurstRecipe::meanW},
    {"--temperature", &BurstRecipe::temperature},
    {"--temperature-std", &BurstRecipe::temperatureStd},
    {"--kolmogorov", &BurstRecipe::kolmogorov},
    {"--knee-u", &BurstRecipe::kneeU},
    {"--knee-vw", &BurstRecipe::kneeVW},
    {"--spike-size", &BurstRecipe::spikeSize},
};

struct CountOption {
    std::string_view name;
    std::uint64_t BurstRecipe::*field;
};

constexpr CountOption kCountOptions[] = {
    {"--seed", &BurstRecipe::seed},
    {"--samples", &BurstRecipe::samples},
    {"--zeros", &BurstRecipe::zeros},
    {"--spikes", &BurstRecipe::spikes},
};

std::string remakeCommand(const BurstRecipe& recipe, std::uint64_t decimals)
{
    std::string command(kProgram);
    for (const CountOption& option : kCountOptions) {
        command += " " + std::string(option.name) + " " + std::to_string(recipe.*option.field);
    }
    for (const NumberOption& option : kNumberOptions) {
        command += " " + std::string(option.name) + " " + formatShortest(recipe.*option.field);
    }
    return command + " --decimals " + std::to_string(decimals);
}

std::optional<std::string> checkRecipe(const BurstRecipe& recipe)
{
    if (!(recipe.fs > 0.0) || !std::isfinite(recipe.fs)) {
        return "the sampling rate must be a positive number";
    }
    if (!(recipe.epsilon >= 0.0) || !std::isfinite(recipe.epsilon)) {
        return "the dissipation rate must be zero or positive";
    }
    if (!(std::hypot(recipe.meanU, recipe.meanV) > 0.0) || !std::isfinite(recipe.meanU) ||
        !std::isfinite(recipe.meanV) || !std::isfinite(recipe.meanW)) {
        return "Taylor's hypothesis needs a finite mean horizontal wind that is not zero";
    }
    if (!(recipe.kneeU >= 0.0) || !(recipe.kneeVW >= 0.0) || !(recipe.kolmogorov >= 0.0)) {
        return "knee frequencies and the Kolmogorov constant must be zero or positive";
    }
    if (recipe.samples == 0) {
        return "the burst length must be positive";
    }
    if (recipe.samples > kMostSamples) {
        return "at most " + std::to_string(kMostSamples) + " samples";
    }
    if (recipe.zeros > recipe.samples || recipe.spikes > recipe.samples - recipe.zeros) {
        return "more dropouts and spikes than samples";
    }
    return std::nullopt;
}

// An option's value as given, when it was given: the numbers are read after parsing, so that
// each refusal says why in the tools' words.
struct GivenText {
    std::string text;
    CLI::Option* option = nullptr;
    bool given() const { return option->count() > 0; }
};

GivenText& addTextOption(CLI::App& app, std::vector<std::unique_ptr<GivenText>>& values,
                         std::string_view name)
{
    auto& value = *values.emplace_back(std::make_unique<GivenText>());
    // A repeated option keeps its last value.
    value.option = app.add_option(std::string(name), value.text)
                       ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    return value;
}

int run(int argc, char** argv)
{
    BurstRecipe recipe;
    std::optional<double> minutes;
    std::uint64_t decimals = kDefaultDecimals;
    std::string outputPath;

    CLI::App app;
    std::vector<std::unique_ptr<GivenText>> values;
    std::vector<std::pair<const NumberOption*, GivenText*>> numbers;
    for (const NumberOption& option : kNumberOptions) {
        numbers.emplace_back(&option, &addTextOption(app, values, option.name));
    }
    std::vector<std::pair<const CountOption*, GivenText*>> counts;
    for (const CountOption& option : kCountOptions) {
        counts.emplace_back(&option, &addTextOption(app, values, option.name));
    }
    GivenText& minutesText = addTextOption(app, values, "--minutes");
    GivenText& decimalsText = addTextOption(app, values, "--decimals");
    app.add_option("-o", outputPath)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    if (const std::optional<int> done = parseCommandLine(app, kProgram, kUsage, argc, argv)) {
        return *done;
    }

    for (const auto& [option, value] : numbers) {
        if (value->given()) {
            if (const auto bad = takeNumber(value->text, recipe.*option->field)) {
                return usageError(kProgram, *bad);
            }
        }
    }
    for (const auto& [option, value] : counts) {
        if (value->given()) {
            if (const auto bad = takeNumber(value->text, recipe.*option->field)) {
                // A negative length is wrong for another reason than a negative seed.
                const bool negativeLength = option->name == "--samples" &&
                                            value->text.starts_with('-') &&
                                            parseDouble(value->text);
                return usageError(kProgram, negativeLength ? "--samples must be positive" : *bad);
            }
        }
    }
    if (minutesText.given()) {
        if (const auto bad = takeNumber(minutesText.text, minutes.emplace())) {
            return usageError(kProgram, *bad);
        }
    }
    if (decimalsText.given()) {
        if (const auto bad = takeNumber(decimalsText.text, decimals)) {
            return usageError(kProgram, *bad);
        }
        if (decimals > kMostDecimals) {
            return usageError(kProgram, "at most 17 decimals");
        }
    }
    if (minutes) {
        const double samples = std::round(*minutes * 60.0 * recipe.fs);
        if (!(*minutes > 0.0)) {
            return usageError(kProgram, "--minutes must be positive");
        }
        if (!(samples >= 0.0 && samples <= static_cast<double>(kMostSamples))) {
            return usageError(kProgram, "at most " + std::to_string(kMostSamples) + " samples");
        }
        recipe.samples = static_cast<std::uint64_t>(samples);
    }
    if (const std::optional<std::string> bad = checkRecipe(recipe)) {
        return usageError(kProgram, *bad);
    }

    const Burst burst = generateBurst(recipe);
    OutputFile out;
    std::string error;
    if (!out.open(outputPath, error)) {
        return inputError(kProgram, error);
    }
    out.stream() << "# " << remakeCommand(recipe, decimals) << '\n';
    writeBurstCsv(out.stream(), burst, static_cast<int>(decimals));
    return out.close(error) ? 0 : inputError(kProgram, error);
}

}  // namespace

int main(int argc, char** argv) { return runTool(kProgram, run, argc, argv); }
