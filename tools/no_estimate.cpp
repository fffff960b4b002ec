#include "no_estimate.h"

#include <eddyrate.h>

#include <charconv>
#include <cmath>
#include <cstdint>

using namespace orcan::bursts;

namespace {

// The library's rules, as its documentation states them.
constexpr double kSecondsPerSegment = 256.0;
constexpr std::size_t kLeastKeptSamples = 512;
constexpr double kLeastRate = 1.0;  // hertz; the rate must lie above it
constexpr double kLargestRemovedShare = 0.1;
constexpr double kLongestSegment = 2147483647.0;   // samples of a segment, a signed 32-bit count
constexpr double kFitLowHz = EDDYRATE_FIT_LOW_HZ;  // both bounds exclusive
constexpr double kFitHighHz = EDDYRATE_FIT_HIGH_HZ;

std::string number(double value, std::chars_format format = std::chars_format::general,
                   int precision = 7)
{
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, format, precision);
    return std::string(buffer, result.ptr);
}

// The fit range's bounds as the documentation writes them: 2.0, 4.9.
std::string oneDecimal(double value) { return number(value, std::chars_format::fixed, 1); }

// Samples in 256 seconds, rounded half away from zero, then made even downwards.
double segmentLength(double fs)
{
    double length = std::round(fs * kSecondsPerSegment);
    if (std::fmod(length, 2.0) != 0.0) {
        length -= 1.0;
    }
    return length;
}

bool isEstimate(double value) { return std::isfinite(value) && value != EDDYRATE_MISSING; }

}  // namespace

std::optional<std::string> noEstimateReason(const Burst& burst, double fs,
                                            const EddyRateOutputs& outputs)
{
    if (isEstimate(outputs.Epsilon)) {
        return std::nullopt;
    }
    std::size_t kept = 0;
    std::size_t firstNonFinite = burst.size();
    for (std::size_t i = 0; i < burst.size(); ++i) {
        const double sample[] = {burst.u[i], burst.v[i], burst.w[i], burst.temp[i]};
        bool zero = false;
        for (const double value : sample) {
            zero = zero || value == 0.0;
            if (!std::isfinite(value) && firstNonFinite == burst.size()) {
                firstNonFinite = i;
            }
        }
        kept += zero ? 0 : 1;
    }
    const std::size_t removed = burst.size() - kept;
    const double length = segmentLength(fs);
    if (!(fs > kLeastRate)) {
        return "the sampling rate " + number(fs) + " Hz is not above 1 Hz";
    }
    if (!(length <= kLongestSegment)) {
        return "the sampling rate " + number(fs) +
               " Hz is above the highest the library accepts (8388607 Hz: 256 s of samples "
               "must fit a 32-bit count)";
    }
    if (kept < kLeastKeptSamples) {
        return std::to_string(kept) + " samples without a zero; the library needs at least " +
               std::to_string(kLeastKeptSamples);
    }
    if (!(static_cast<double>(removed) < static_cast<double>(kept) * kLargestRemovedShare)) {
        return std::to_string(removed) + " of " + std::to_string(burst.size()) +
               " samples hold a zero; the library takes fewer than a tenth of the " +
               std::to_string(kept) + " without one";
    }
    if (static_cast<double>(kept) < length) {
        return std::to_string(kept) + " samples are fewer than one segment needs at " + number(fs) +
               " Hz: " + number(length) + " (256 s)";
    }
    int fitBands = 0;
    for (const double f : outputs.Freq) {
        fitBands += f > kFitLowHz && f < kFitHighHz ? 1 : 0;
    }
    if (fitBands < 2) {
        return "fewer than two bands in the fit range " + oneDecimal(kFitLowHz) + "-" +
               oneDecimal(kFitHighHz) + " Hz at " + number(fs) +
               " Hz (the rate must be above 4 Hz)";
    }
    if (firstNonFinite < burst.size()) {
        const std::size_t i = firstNonFinite;
        const char* names[] = {"u", "v", "w", "T"};
        const double sample[] = {burst.u[i], burst.v[i], burst.w[i], burst.temp[i]};
        std::string which;
        for (int k = 0; k < 4; ++k) {
            if (!std::isfinite(sample[k])) {
                which += (which.empty() ? "" : ", ") + std::string(names[k]) + " = " +
                         nonFiniteName(sample[k]);
            }
        }
        return "sample " + std::to_string(i + 1) + " (counted from 1) is not finite: " + which;
    }
    if (outputs.Freq[0] == EDDYRATE_MISSING && outputs.Quality == 0.0) {
        return "the library could not get the memory this burst needs";
    }
    return "fewer than two valid segments (a segment is valid when its mean u exceeds the "
           "standard deviation of u)";
}
