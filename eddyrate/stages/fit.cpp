#include "fit.h"

#include <cmath>
#include <numbers>
#include <span>

#include "matrix_view.h"
#include "nonfinite.h"
#include "spectra.h"
#include "statistics.h"
#include "summation.h"
#include "vector_kernels.h"

namespace eddyrate {
namespace {

// The doubles nearest 5/3, 2/3, 3/2 and 1/3, the exponents of the -5/3 law and its inverse.
constexpr double kFiveThirds = 1.6666666666666667;
constexpr double kTwoThirds = 0.6666666666666666;
constexpr double kThreeHalves = 1.5;
constexpr double kOneThird = 0.3333333333333333;
// The double nearest (4/3) * 0.55: the Kolmogorov constant of the vertical-velocity
// spectrum, 4/3 of the longitudinal one in isotropic turbulence.
constexpr double kVerticalKolmogorov = 0.7333333333333334;
// The double nearest 1 / (2 pi): turns the speed that carries the eddies into cycles.
constexpr double kInverseTwoPi = std::numbers::inv_pi / 2.0;
static_assert(kInverseTwoPi == 0.15915494309189535);
// Von Karman constant of the neutral surface layer.
constexpr double kVonKarman = 0.4;
// A burst estimate needs at least two valid segments.
constexpr double kLeastValidSegments = 2.0;
// A slope cannot be judged from one band: below two bands in the fit range (sampling at 4 Hz
// or slower puts none there) there is no estimate, and a single band would read as a perfect
// -5/3 law.
constexpr std::int32_t kLeastFitBands = 2;

// rowMean of the listed 1-based entries of a row.
double meanOverBands(const NumericArray& row, const NumericArray& bandList)
{
    const std::int32_t count = columns(bandList);
    ArrayOwner gathered = initArray(2);
    resizeArray(*gathered, 1, count, kDoubleSize);
    const double* values = doubles(row);
    const std::int32_t* band = integers(bandList);
    double* picked = doubles(*gathered);
    for (std::int32_t i = 0; i < count; ++i) {
        picked[i] = values[band[i] - 1];
    }
    return rowMean(*gathered);
}

// The mean of the values whose flag is set, in segment order: their sum in order from the
// first of them, divided by their count (0.0 / 0.0 when there are none).
double meanOverValid(std::span<const double> values, const std::uint8_t* valid)
{
    double sum = 0.0;
    double count = 0.0;
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (valid[k] != 0) {
            sum = count == 0.0 ? values[k] : sum + values[k];
            count = count + 1.0;
        }
    }
    return sum / count;
}

// The mean horizontal speed of a segment, which carries the eddies past the sensor.
double horizontalSpeed(double meanU, double meanV)
{
    return std::sqrt(meanV * meanV + meanU * meanU);
}

// Taylor's frozen turbulence turns frequency into wavenumber: the level of the compensated
// spectrum is (4/3) 0.55 eps^(2/3) (U / 2 pi)^(2/3), solved here for eps.
double epsilonFromLevel(double level, double speed)
{
    const double carried = realPower(speed * kInverseTwoPi, kTwoThirds) * kVerticalKolmogorov;
    return realPower(level / carried, kThreeHalves);
}

// Neutral surface layer: eps = u*^3 / (kappa z).
double ustarFromEpsilon(double epsilon, double z)
{
    return realPower((z * epsilon) * kVonKarman, kOneThird);
}

// The flatter the compensated spectrum, the closer the quality is to 1.
double qualityFrom(double level, double spread) { return (level - spread) / level; }

// compensated becomes [count, M]: Freq[J]^(5/3) * Bww[J, k] over the fit bands J. Where the
// spectrum follows the -5/3 law this is flat, at a level set by the dissipation rate.
void compensatedSpectrum(const NumericArray& bww, const NumericArray& freq,
                         const NumericArray& bandList, NumericArray& compensated)
{
    const std::int32_t segments = columns(bww);
    const std::int32_t count = columns(bandList);
    const std::int32_t* band = integers(bandList);
    ArrayOwner weights = initArray(2);
    resizeArray(*weights, 1, count, kDoubleSize);
    double* g = doubles(*weights);
    for (std::int32_t i = 0; i < count; ++i) {
        g[i] = realPower(doubles(freq)[band[i] - 1], kFiveThirds);
    }
    resizeArray(compensated, count, segments, kDoubleSize);
    const MatrixView<const double> spectrum = doubleMatrix(bww);
    const MatrixView<double> values = doubleMatrix(compensated);
    for (std::int32_t k = 0; k < segments; ++k) {
        for (std::int32_t i = 0; i < count; ++i) {
            values(i, k) = g[i] * spectrum(band[i] - 1, k);
        }
    }
}

// Copies the first 116 bands into the caller's slots; slots past the last band are missing.
void writeBands(const NumericArray& row, double* slots)
{
    const std::int32_t nb = columns(row);
    const double* values = doubles(row);
    for (std::int32_t i = 0; i < kReturnedBands; ++i) {
        slots[i] = i < nb ? values[i] : kMissingEstimate;
    }
}

void writeNoEstimate(const BurstOutputs& outputs) noexcept
{
    *outputs.Ustar = kMissingEstimate;
    *outputs.Epsilon = kMissingEstimate;
    *outputs.Anisotropy = kMissingEstimate;
    *outputs.Quality = kMissingEstimate;
}

}  // namespace

void fitRange(const NumericArray& freq, NumericArray& bandList)
{
    const std::int32_t nb = columns(freq);
    const double* frequency = doubles(freq);
    std::int32_t count = 0;
    for (std::int32_t j = 0; j < nb; ++j) {
        count += frequency[j] > kFitLowest && frequency[j] < kFitHighest ? 1 : 0;
    }
    resizeArray(bandList, 1, count, kIntegerSize);
    std::int32_t* band = integers(bandList);
    std::int32_t next = 0;
    for (std::int32_t j = 0; j < nb; ++j) {
        if (frequency[j] > kFitLowest && frequency[j] < kFitHighest) {
            band[next++] = j + 1;
        }
    }
}

void writeEstimates(const FitInputs& inputs, double z, const BurstOutputs& outputs)
{
    ArrayOwner bandList = initArray(2);
    fitRange(inputs.freq, *bandList);
    writeBands(inputs.tke, outputs.Tke);
    writeBands(inputs.freq, outputs.Freq);
    if (columns(*bandList) < kLeastFitBands) {
        writeNoEstimate(outputs);
        return;
    }

    // The column statistics every segment's formulas start from: level and variance of the
    // compensated spectrum, with the raw segments' mean u and v and variance of u.
    ArrayOwner compensated = initArray(2);
    ArrayOwner level = initArray(2);
    ArrayOwner levelVariance = initArray(2);
    compensatedSpectrum(inputs.bww, inputs.freq, *bandList, *compensated);
    columnMeans(*compensated, *level);
    columnVariances(*compensated, *levelVariance);
    const double* meanU = doubles(inputs.meanU);
    const double* meanV = doubles(inputs.meanV);
    const double* varianceU = doubles(inputs.varianceU);

    // One pass over the segments: epsilon, u* and quality (the three columns of `estimates`),
    // and whether the segment is valid, that is its mean u stands out of its own fluctuation.
    const std::int32_t segments = columns(*level);
    ArrayOwner estimates = initArray(2);
    ArrayOwner valid = initArray(2);
    resizeArray(*estimates, segments, 3, kDoubleSize);
    resizeArray(*valid, 1, segments, kFlagSize);
    const MatrixView<double> estimate = doubleMatrix(*estimates);
    constexpr std::int32_t kEpsilon = 0;
    constexpr std::int32_t kUstar = 1;
    constexpr std::int32_t kQuality = 2;
    std::uint8_t* isValid = flags(*valid);
    for (std::int32_t k = 0; k < segments; ++k) {
        const double segmentLevel = doubles(*level)[k];
        const double speed = horizontalSpeed(meanU[k], meanV[k]);
        const double epsilon = epsilonFromLevel(segmentLevel, speed);
        estimate(k, kEpsilon) = epsilon;
        estimate(k, kUstar) = ustarFromEpsilon(epsilon, z);
        estimate(k, kQuality) = qualityFrom(segmentLevel, std::sqrt(doubles(*levelVariance)[k]));
        isValid[k] = std::fabs(meanU[k]) > std::sqrt(varianceU[k]) ? 1 : 0;
    }

    if (countFlagsRow(*valid) >= kLeastValidSegments) {
        *outputs.Epsilon = meanOverValid(estimate.column(kEpsilon), isValid);
        // The surface-layer balance needs a height above the sea.
        const bool heightKnown = std::isfinite(z) && z > 0.0;
        *outputs.Ustar =
            heightKnown ? meanOverValid(estimate.column(kUstar), isValid) : kMissingEstimate;
        *outputs.Quality = meanOverValid(estimate.column(kQuality), isValid);
    } else {
        *outputs.Ustar = kMissingEstimate;
        *outputs.Epsilon = kMissingEstimate;
        const std::span<const double> quality = estimate.column(kQuality);
        *outputs.Quality = sumInOrder(quality) / static_cast<double>(quality.size());
    }

    const double suuFit = meanOverBands(inputs.suu, *bandList);
    const double swwFit = meanOverBands(inputs.sww, *bandList);
    const double svvFit = meanOverBands(inputs.svv, *bandList);
    *outputs.Anisotropy = ((svvFit / swwFit) + (suuFit / swwFit)) * 0.5;
}

void writeSegmentlessBurst(double segmentLength, double fs, const BurstOutputs& outputs)
{
    // Every band of the fit range lies among the returned ones (band 116 sits above 4.9 Hz at
    // any rate the gate lets through), so the returned bands decide the fit range.
    ArrayOwner freq = initArray(2);
    ArrayOwner bandList = initArray(2);
    bandFrequencies(segmentLength, fs, *freq, kReturnedBands);
    fitRange(*freq, *bandList);
    writeBands(*freq, outputs.Freq);
    const std::int32_t nb = columns(*freq);
    for (std::int32_t i = 0; i < kReturnedBands; ++i) {
        outputs.Tke[i] = i < nb ? kNaN : kMissingEstimate;
    }
    if (columns(*bandList) < kLeastFitBands) {
        writeNoEstimate(outputs);
        return;
    }
    *outputs.Ustar = kMissingEstimate;
    *outputs.Epsilon = kMissingEstimate;
    *outputs.Anisotropy = kNaN;
    *outputs.Quality = kNaN;
}

void writeRejectedBurst(const BurstOutputs& outputs) noexcept
{
    *outputs.Ustar = kMissingEstimate;
    *outputs.Epsilon = kMissingEstimate;
    for (std::int32_t i = 0; i < kReturnedBands; ++i) {
        outputs.Freq[i] = kMissingEstimate;
        outputs.Tke[i] = kMissingEstimate;
    }
    *outputs.Anisotropy = kMissingEstimate;
    *outputs.Quality = 0.0;
}

}  // namespace eddyrate
