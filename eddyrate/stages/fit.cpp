#include "fit.h"

#include <cmath>

#include "matrix_view.h"
#include "nonfinite.h"
#include "spectra.h"
#include "statistics.h"
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
// Von Karman constant of the neutral surface layer.
constexpr double kVonKarman = 0.4;
// A burst estimate needs at least two valid segments.
constexpr double kLeastValidSegments = 2.0;
// A slope cannot be judged from one band: below two bands in the fit range (sampling at 4 Hz
// or slower puts none there) there is no estimate, and a single band would read as a perfect
// -5/3 law.
constexpr std::int32_t kLeastFitBands = 2;

// out becomes [1, n] (n the second extent of a) with out[k] = combine(a[k], b[k]).
template <typename Combine>
void combineElements(const NumericArray& a, const NumericArray& b, NumericArray& out,
                     Combine combine)
{
    const std::int32_t n = columns(a);
    resizeArray(out, 1, n, kDoubleSize);
    const double* left = doubles(a);
    const double* right = doubles(b);
    double* result = doubles(out);
    for (std::int32_t k = 0; k < n; ++k) {
        result[k] = combine(left[k], right[k]);
    }
}

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

// rowMean of the entries of a [1, M] row whose flag is set, in segment order.
double meanOverValid(const NumericArray& row, const NumericArray& valid)
{
    const std::int32_t count = columns(row);
    const std::uint8_t* flag = flags(valid);
    ArrayOwner gathered = initArray(2);
    resizeArray(*gathered, 1, count, kDoubleSize);
    const double* values = doubles(row);
    double* picked = doubles(*gathered);
    std::int32_t validCount = 0;
    for (std::int32_t k = 0; k < count; ++k) {
        if (flag[k] != 0) {
            picked[validCount++] = values[k];
        }
    }
    gathered->sizes[1] = validCount;
    return rowMean(*gathered);
}

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

    // Level and spread of the compensated spectrum in every segment.
    ArrayOwner compensated = initArray(2);
    ArrayOwner level = initArray(2);
    ArrayOwner spread = initArray(2);
    compensatedSpectrum(inputs.bww, inputs.freq, *bandList, *compensated);
    columnMeans(*compensated, *level);
    columnVariances(*compensated, *spread);
    sqrtElements(*spread, *spread);

    // Mean horizontal speed of every segment, which carries the eddies past the sensor.
    ArrayOwner meanU = initArray(2);
    ArrayOwner meanV = initArray(2);
    ArrayOwner squaredU = initArray(2);
    ArrayOwner squaredV = initArray(2);
    ArrayOwner speed = initArray(2);
    columnMeans(inputs.rawU, *meanU);
    columnMeans(inputs.rawV, *meanV);
    squareElements(*meanU, *squaredU);
    squareElements(*meanV, *squaredV);
    combineElements(*squaredV, *squaredU, *speed, [](double v2, double u2) { return v2 + u2; });
    sqrtElements(*speed, *speed);

    // Taylor's frozen turbulence turns frequency into wavenumber: the level of the compensated
    // spectrum is (4/3) 0.55 eps^(2/3) (U / 2 pi)^(2/3).
    ArrayOwner work = initArray(2);
    ArrayOwner ratio = initArray(2);
    ArrayOwner epsilon = initArray(2);
    scaleByInverseTwoPi(*speed, *work);
    powerElements(*work, kTwoThirds, *work);
    mapElements(*work, *work, [](double b) { return b * kVerticalKolmogorov; });
    divideElements(*level, *work, *ratio);
    powerElements(*ratio, kThreeHalves, *epsilon);

    // Neutral surface layer: eps = u*^3 / (kappa z).
    ArrayOwner ustar = initArray(2);
    mapElements(*epsilon, *ustar, [z](double eps) { return (z * eps) * kVonKarman; });
    powerElements(*ustar, kOneThird, *ustar);

    // The flatter the compensated spectrum, the closer the quality is to 1.
    ArrayOwner excess = initArray(2);
    ArrayOwner quality = initArray(2);
    combineElements(*level, *spread, *excess, [](double mean, double sd) { return mean - sd; });
    divideElements(*excess, *level, *quality);

    // A segment is valid when its mean u stands out of its own fluctuation.
    ArrayOwner absMeanU = initArray(2);
    ArrayOwner sigmaU = initArray(2);
    ArrayOwner valid = initArray(2);
    absElements(*meanU, *absMeanU);
    columnVariances(inputs.rawU, *sigmaU);
    sqrtElements(*sigmaU, *sigmaU);
    const std::int32_t segments = columns(*absMeanU);
    resizeArray(*valid, 1, segments, kFlagSize);
    for (std::int32_t k = 0; k < segments; ++k) {
        flags(*valid)[k] = doubles(*absMeanU)[k] > doubles(*sigmaU)[k] ? 1 : 0;
    }

    if (countFlagsRow(*valid) >= kLeastValidSegments) {
        *outputs.Epsilon = meanOverValid(*epsilon, *valid);
        // The surface-layer balance needs a height above the sea.
        const bool heightKnown = std::isfinite(z) && z > 0.0;
        *outputs.Ustar = heightKnown ? meanOverValid(*ustar, *valid) : kMissingEstimate;
        *outputs.Quality = meanOverValid(*quality, *valid);
    } else {
        *outputs.Ustar = kMissingEstimate;
        *outputs.Epsilon = kMissingEstimate;
        *outputs.Quality = rowMean(*quality);
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
