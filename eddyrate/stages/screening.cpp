#include "screening.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

#include "call_arena.h"
#include "crmath.h"
#include "matrix_view.h"
#include "statistics.h"
#include "summation.h"
#include "vector_kernels.h"

namespace eddyrate {
namespace {

// A spectral segment holds 256 seconds of samples: long enough for the inertial subrange to
// be well resolved, short enough for several overlapping segments in a 30-minute burst.
constexpr double kSecondsPerSegment = 256.0;
// Fewer kept samples than this cannot give a segment worth transforming.
constexpr std::int32_t kLeastKeptCount = 512;
// Slower sampling cannot resolve the inertial subrange at all.
constexpr double kLeastSamplingRate = 1.0;
// A burst that lost a tenth of its samples to zeros is not trusted.
constexpr double kLargestRemovedShare = 0.1;
// Segments overlap by three quarters: a new one starts every quarter of a segment.
constexpr double kSegmentsPerLength = 4.0;
constexpr double kHopShare = 0.25;
// A row deviating from its segment mean by more than this many standard deviations is a spike.
constexpr double kSpikeDeviations = 5.0;
constexpr double kPi = 3.141592653589793;

// Where segment j of a kept series starts, in starts[j]: in the series itself, or, where its
// rows are not consecutive samples, in column j of `copies`, which then holds them.
void cutSegments(const NumericArray& series, std::int32_t length, std::int32_t count, double hop,
                 NumericArray& copies, const double** starts)
{
    const double* kept = doubles(series);
    const MatrixView<double> segments = doubleMatrix(copies);
    for (std::int32_t j = 0; j < count; ++j) {
        // A whole start (the usual case: a quarter of an even length of 4k samples) makes
        // every row's position exactly row + start, as a sum of whole numbers far below 2^53
        // is exact: the segment is the consecutive samples from there.
        const double start = static_cast<double>(j) * hop;
        if (start == std::floor(start) && start < 1e15) {
            starts[j] = kept + static_cast<std::int64_t>(start);
            continue;
        }
        for (std::int32_t i = 0; i < length; ++i) {
            segments(i, j) = kept[segmentPosition(i, j, hop)];
        }
        starts[j] = segments.column(j).data();
    }
}

// The mean and standard deviation of one component's raw segment, before any replacement.
struct SegmentStatistics {
    double mean;
    double deviation;
};

// Marks in `spike` (clear on entry) the rows of a segment where any component lies more than
// five standard deviations from its mean; true when it marked any.
bool markSpikes(const std::span<const double> (&components)[3],
                const SegmentStatistics (&statistics)[3], std::uint8_t* spike)
{
    bool any = false;
    for (int c = 0; c < 3; ++c) {
        any = markOutliers(components[c], statistics[c].mean,
                           statistics[c].deviation * kSpikeDeviations, spike) ||
              any;
    }
    return any;
}

// Replaces the spike rows of the three components with the mean of each one's clean rows
// (not-a-number when there are none). The rows are clean or not in all three alike, so the
// three sums run side by side, each adding its clean rows in row order from the first, as
// the mean of the clean rows gathered into a vector of their own does.
void replaceSpikes(const std::span<double> (&components)[3], const std::uint8_t* spike)
{
    const std::size_t length = components[0].size();
    double sum[3] = {0.0, 0.0, 0.0};
    std::size_t cleanCount = 0;
    std::size_t i = 0;
    while (i < length && spike[i] != 0) {
        ++i;
    }
    if (i < length) {
        for (int c = 0; c < 3; ++c) {
            sum[c] = components[c][i];
        }
        cleanCount = 1;
        for (++i; i < length; ++i) {
            if (spike[i] == 0) {
                sum[0] = sum[0] + components[0][i];
                sum[1] = sum[1] + components[1][i];
                sum[2] = sum[2] + components[2][i];
                ++cleanCount;
            }
        }
    }
    for (int c = 0; c < 3; ++c) {
        const double cleanMean = sum[c] / static_cast<double>(cleanCount);
        for (std::size_t k = 0; k < length; ++k) {
            if (spike[k] != 0) {
                components[c][k] = cleanMean;
            }
        }
    }
}

// Windows and rescales every detrended segment of one component in `scaled`.
void scaleComponent(const NumericArray& window, NumericArray& scaled)
{
    const std::int32_t length = rows(scaled);
    const std::int32_t count = columns(scaled);
    const MatrixView<double> segments = doubleMatrix(scaled);
    const std::span<const double> weight(doubles(window), extentLength(length));
    // The variance of each detrended segment and of it windowed, from the same passes.
    ArrayOwner variances = initArray(2);
    resizeArray(*variances, count, 3, kDoubleSize);
    const MatrixView<double> variance = doubleMatrix(*variances);
    columnVariancesWithWeights(segments, weight, variance.column(0), variance.column(1));

    // The window takes variance away from each segment; this factor gives it back.
    const std::span<double> factor = variance.column(2);
    for (std::int32_t j = 0; j < count; ++j) {
        factor[j] = std::sqrt(variance(j, 0) / variance(j, 1));
    }
    multiplyRowsAndColumns(segments, weight, factor);
}

// The fit's statistics of the raw segments of u and v after despiking: the means of u and v
// (columnMeans) and the variance of u (columnVariances). `sums` holds the column sums of u and
// v and u's sums of squared deviations from `meansU` (sum / N), taken before the despiking. A
// segment that was not despiked has those sums, and those squares too where its sum / N is the
// same double as sum * (1 / N), the mean that columnVariances takes; the others are summed
// again, in the same order.
void fitStatistics(const ColumnSet<const double> (&raw)[2], std::span<const double> meansU,
                   MatrixView<const double> sums, const std::uint8_t* wasDespiked,
                   ConditionedSegments& result)
{
    const std::int32_t n = raw[0].rows;
    const std::int32_t count = raw[0].columns;
    if (n <= 1) {
        columnMeans(raw[0], *result.rawMeanU);
        columnMeans(raw[1], *result.rawMeanV);
        resizeArray(*result.rawVarianceU, 1, count, kDoubleSize);
        columnVariances(raw[0], {doubles(*result.rawVarianceU), extentLength(count)});
        return;
    }
    const double inverseCount = 1.0 / static_cast<double>(n);
    const double inverseDivisor = 1.0 / static_cast<double>(n - 1);
    // The columns summed again, and their sums.
    const WorkArray<const double*> again =
        makeWorkArray<const double*>(static_cast<std::size_t>(count) + 1);
    ArrayOwner room = initArray(2);
    resizeArray(*room, count, 3, kDoubleSize);
    const MatrixView<double> work = doubleMatrix(*room);
    const std::span<double> redone = work.column(0);
    const std::span<double> redoneMeans = work.column(1);
    NumericArray* const means[] = {result.rawMeanU.get(), result.rawMeanV.get()};
    for (int c = 0; c < 2; ++c) {
        resizeArray(*means[c], 1, count, kDoubleSize);
        double* mean = doubles(*means[c]);
        std::int32_t k = 0;
        for (std::int32_t j = 0; j < count; ++j) {
            if (wasDespiked[j] != 0) {
                again[k++] = raw[c].columnStart(j);
            }
        }
        columnSums({n, k, again.get()}, redone);
        k = 0;
        for (std::int32_t j = 0; j < count; ++j) {
            const double sum = wasDespiked[j] != 0 ? redone[k++] : sums(j, c);
            mean[j] = sum * inverseCount;
        }
    }
    const double* meanU = doubles(*result.rawMeanU);
    const auto summedAgain = [&](std::int32_t j) {
        return wasDespiked[j] != 0 ||
               std::bit_cast<std::uint64_t>(meansU[j]) != std::bit_cast<std::uint64_t>(meanU[j]);
    };
    std::int32_t k = 0;
    for (std::int32_t j = 0; j < count; ++j) {
        if (summedAgain(j)) {
            again[k] = raw[0].columnStart(j);
            redoneMeans[k++] = meanU[j];
        }
    }
    squaredDeviationSums({n, k, again.get()}, redoneMeans.first(static_cast<std::size_t>(k)),
                         redone);
    resizeArray(*result.rawVarianceU, 1, count, kDoubleSize);
    double* variance = doubles(*result.rawVarianceU);
    k = 0;
    for (std::int32_t j = 0; j < count; ++j) {
        variance[j] = inverseDivisor * (summedAgain(j) ? redone[k++] : sums(j, 2));
    }
}

}  // namespace

Screening screenSamples(NumericArray& u, NumericArray& v, NumericArray& w, NumericArray& temp,
                        const BurstOutputs& outputs)
{
    const std::int32_t n = rows(u) < 0 ? 0 : rows(u);
    ArrayOwner screened = initArray(2);
    resizeArray(*screened, n, 1, kFlagSize);
    std::uint8_t* flag = flags(*screened);
    // isDropout's rule, row by row.
    const double* series[] = {doubles(u), doubles(v), doubles(w), doubles(temp)};
    const std::int32_t removed = flagRowsWithZero(series, n, flag);
    // Without a dropout every series stays as it is.
    if (removed != 0) {
        removeFlagged(u, *screened);
        removeFlagged(v, *screened);
        removeFlagged(w, *screened);
        removeFlagged(temp, *screened);
    }

    // The four series were compacted alike, so their means run side by side.
    const double* kept[] = {doubles(u), doubles(v), doubles(w), doubles(temp)};
    double means[4];
    if (rows(v) == rows(u) && rows(w) == rows(u) && rows(temp) == rows(u)) {
        seriesMeans(kept, rows(u), means);
    } else {
        means[0] = vectorMean(u);
        means[1] = vectorMean(v);
        means[2] = vectorMean(w);
        means[3] = vectorMean(temp);
    }
    *outputs.MeanU = means[0];
    *outputs.MeanV = means[1];
    *outputs.MeanW = means[2];
    *outputs.MeanTemp = means[3];
    return {rows(u), static_cast<double>(removed)};
}

double segmentLength(double fs)
{
    double length = roundHalfAway(fs * kSecondsPerSegment);
    if (remainderByTwo(length) != 0.0) {
        length = length - 1.0;
    }
    return length;
}

bool passesGate(std::int32_t keptCount, double fs, double removedCount)
{
    return keptCount > kLeastKeptCount - 1 && fs > kLeastSamplingRate &&
           removedCount < static_cast<double>(keptCount) * kLargestRemovedShare;
}

std::int32_t segmentCount(double segmentLength, std::int32_t keptCount)
{
    const double reciprocal = 1.0 / segmentLength;
    return static_cast<std::int32_t>(std::floor(
        ((reciprocal * static_cast<double>(keptCount)) - 1.0) * kSegmentsPerLength + 1.0));
}

std::int32_t segmentPosition(std::int32_t row, std::int32_t segment, double hop)
{
    return static_cast<std::int32_t>(static_cast<double>(row + 1) +
                                     static_cast<double>(segment) * hop) -
           1;
}

namespace {

void despikeWith(std::span<double> u, std::span<double> v, std::span<double> w,
                 const SegmentStatistics (&statistics)[3])
{
    const auto length = static_cast<std::int32_t>(u.size());
    ArrayOwner spikes = initArray(2);
    resizeArray(*spikes, length, 1, kFlagSize);
    std::uint8_t* spike = flags(*spikes);
    if (markSpikes({u, v, w}, statistics, spike)) {
        replaceSpikes({u, v, w}, spike);
    }
}

}  // namespace

void despikeSegment(std::span<double> u, std::span<double> v, std::span<double> w)
{
    const auto statisticsOf = [](std::span<const double> component) {
        return SegmentStatistics{vectorMean(component), sampleStd(component)};
    };
    despikeWith(u, v, w, {statisticsOf(u), statisticsOf(v), statisticsOf(w)});
}

void sineWindow(double segmentLength, NumericArray& window)
{
    const auto length = static_cast<std::int32_t>(segmentLength);
    resizeArray(window, length, 1, kDoubleSize);
    const double reciprocal = 1.0 / segmentLength;
    double* weight = doubles(window);
    // Rows 1 .. N, so the last weight is sin(pi) rounded: tiny, not zero.
    for (std::int32_t k = 1; k <= length; ++k) {
        weight[k - 1] = crmath::sin((static_cast<double>(k) * reciprocal) * kPi);
    }
}

ConditionedSegments conditionSegments(const NumericArray& u, const NumericArray& v,
                                      const NumericArray& w, double segmentLength,
                                      std::int32_t segmentCount)
{
    ConditionedSegments result{.segmentLength = segmentLength,
                               .segmentCount = segmentCount < 0 ? 0 : segmentCount,
                               .rawMeanU = initArray(2),
                               .rawMeanV = initArray(2),
                               .rawVarianceU = initArray(2),
                               .scaledU = initArray(2),
                               .scaledV = initArray(2),
                               .scaledW = initArray(2)};
    const auto length = static_cast<std::int32_t>(segmentLength);
    const std::int32_t count = result.segmentCount;
    const double hop = segmentLength * kHopShare;

    // The raw segments are read where they lie in the kept series; only a segment that is
    // despiked (or whose rows are not consecutive samples) is copied, into its column of the
    // despiked matrices, whose other columns are never written.
    ArrayOwner despikedU = initArray(2);
    ArrayOwner despikedV = initArray(2);
    ArrayOwner despikedW = initArray(2);
    NumericArray* const despiked[] = {despikedU.get(), despikedV.get(), despikedW.get()};
    const NumericArray* const series[] = {&u, &v, &w};
    const WorkArray<const double*> rawStarts =
        makeWorkArray<const double*>(3 * static_cast<std::size_t>(count) + 1);
    const double** starts = rawStarts.get();
    ColumnSet<const double> raw[3];
    for (int c = 0; c < 3; ++c) {
        resizeArrayForOverwrite(*despiked[c], length, count, kDoubleSize);
        cutSegments(*series[c], length, count, hop, *despiked[c], starts + c * count);
        raw[c] = {length, count, starts + c * count};
    }
    // A sample in several overlapping segments is judged in each by that segment's statistics,
    // and a despiked segment is a copy of its own, so the statistics of every segment can be
    // taken before any is despiked, all columns of a component at once.
    // The sums of u and v and u's squares are kept for the fit's statistics.
    ArrayOwner statistics = initArray(2);
    resizeArray(*statistics, count, 9, kDoubleSize);
    const MatrixView<double> meanAndDeviation = doubleMatrix(*statistics);
    const MatrixView<double> sums{meanAndDeviation.column(6).data(), count, 3};
    columnMeansAndDeviations(raw[0], meanAndDeviation.column(0), meanAndDeviation.column(1),
                             sums.column(0), sums.column(2));
    columnMeansAndDeviations(raw[1], meanAndDeviation.column(2), meanAndDeviation.column(3),
                             sums.column(1));
    columnMeansAndDeviations(raw[2], meanAndDeviation.column(4), meanAndDeviation.column(5));
    ArrayOwner spikes = initArray(2);
    resizeArray(*spikes, length, 1, kFlagSize);
    std::uint8_t* spike = flags(*spikes);
    ArrayOwner despikedSegments = initArray(2);
    resizeArray(*despikedSegments, count, 1, kFlagSize);
    std::uint8_t* wasDespiked = flags(*despikedSegments);
    for (std::int32_t j = 0; j < count; ++j) {
        SegmentStatistics segment[3];
        for (int c = 0; c < 3; ++c) {
            segment[c] = {meanAndDeviation(j, 2 * c), meanAndDeviation(j, 2 * c + 1)};
        }
        if (!markSpikes({raw[0].column(j), raw[1].column(j), raw[2].column(j)}, segment, spike)) {
            continue;
        }
        std::span<double> copies[3];
        for (int c = 0; c < 3; ++c) {
            copies[c] = doubleMatrix(*despiked[c]).column(j);
            const std::span<const double> rows = raw[c].column(j);
            if (rows.data() != copies[c].data()) {
                std::copy(rows.begin(), rows.end(), copies[c].begin());
                starts[c * count + j] = copies[c].data();
            }
        }
        replaceSpikes(copies, spike);
        std::fill(spike, spike + length, std::uint8_t{0});
        wasDespiked[j] = 1;
    }
    fitStatistics({raw[0], raw[1]}, meanAndDeviation.column(0), sums, wasDespiked, result);

    ArrayOwner window = initArray(2);
    sineWindow(segmentLength, *window);
    // The segments are detrended into the room of the result, then measured, windowed and
    // rescaled there; the three components are detrended together, which factors the line's
    // design once.
    NumericArray* const scaled[] = {result.scaledU.get(), result.scaledV.get(),
                                    result.scaledW.get()};
    MatrixView<double> targets[3];
    for (int c = 0; c < 3; ++c) {
        resizeArrayForOverwrite(*scaled[c], length, count, kDoubleSize);
        targets[c] = doubleMatrix(*scaled[c]);
    }
    detrendColumnsInto(raw, targets);
    for (NumericArray* component : scaled) {
        scaleComponent(*window, *component);
    }
    return result;
}

}  // namespace eddyrate
