#include "statistics.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "fft_lanes.h"
#include "least_squares.h"
#include "nonfinite.h"
#include "statistics_lanes.h"
#include "summation.h"

namespace eddyrate {
namespace {

std::span<const double> firstExtent(const NumericArray& x)
{
    return {doubles(x), extentLength(rows(x))};
}

// Squares of the deviations from `mean`, each the difference times itself, summed in order.
double sumSquaredDeviations(std::span<const double> values, double mean)
{
    double deviation = values[0] - mean;
    double squares = deviation * deviation;
    for (std::size_t k = 1; k < values.size(); ++k) {
        deviation = values[k] - mean;
        squares = squares + deviation * deviation;
    }
    return squares;
}

}  // namespace

double countFlags(const NumericArray& flagArray)
{
    const std::int32_t count = rows(flagArray);
    return sumFlags({flags(flagArray), extentLength(count)});
}

std::int32_t flagRowsWithZero(std::span<const double* const> series, std::int32_t length,
                              std::uint8_t* flags)
{
#ifdef EDDYRATE_LOCK_STEP
    if (!series.empty()) {
        switch (activeVectorUnit()) {
            case VectorUnit::avx512:
                return avx512::flagRowsWithZero(series, length, flags);
            case VectorUnit::avx2:
                return avx2::flagRowsWithZero(series, length, flags);
            case VectorUnit::none:
                break;
        }
    }
#endif
    std::int32_t count = 0;
    for (std::int32_t i = 0; i < length; ++i) {
        if (rowHoldsZero(series, i)) {
            flags[i] = 1;
            ++count;
        }
    }
    return count;
}

namespace {

// The first position in [from, to) whose flag is set, or `to`; eight flags at a time, as
// nearly all are clear.
std::int32_t nextSet(const std::uint8_t* set, std::int32_t from, std::int32_t to)
{
    std::int32_t i = from;
    for (; i + 8 <= to; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, set + i, sizeof word);
        if (word != 0) {
            break;
        }
    }
    while (i < to && set[i] == 0) {
        ++i;
    }
    return i;
}

}  // namespace

void removeFlagged(NumericArray& x, const NumericArray& flagArray)
{
    const std::int32_t length = rows(x);
    const std::int32_t flagCount = rows(flagArray);
    const std::uint8_t* set = flags(flagArray);
    // The flags that meet a value; the values past them are all kept.
    const std::int32_t scanned = length < flagCount ? length : flagCount;
    // Runs of kept values move down by the count of flagged ones before them, a block at a
    // time; the values before the first flagged one stay where they are.
    double* values = doubles(x);
    std::int32_t kept = nextSet(set, 0, scanned);
    if (kept >= scanned) {
        kept = length > 0 ? length : 0;  // nothing flagged: nothing moves
    }
    for (std::int32_t i = kept; i < scanned;) {
        while (i < scanned && set[i] != 0) {
            ++i;
        }
        const std::int32_t next = nextSet(set, i, scanned);
        const std::int32_t end = next < scanned ? next : length;
        std::copy(values + i, values + end, values + kept);
        kept += end - i;
        i = end;
    }
    // Every flag counts, those past the values too.
    std::int32_t removed = length > 0 ? length - kept : 0;
    for (std::int32_t k = scanned > 0 ? scanned : 0; k < flagCount; ++k) {
        removed += set[k] != 0 ? 1 : 0;
    }
    const auto oldCount = static_cast<std::int32_t>(elementCount(x));
    x.sizes[0] = length - removed < 0 ? 0 : length - removed;
    ensureCapacity(x, oldCount, kDoubleSize);
}

double vectorMean(std::span<const double> values)
{
    return sumInOrder(values) / static_cast<double>(values.size());
}

double vectorMean(const NumericArray& x) { return vectorMean(firstExtent(x)); }

double sampleStd(std::span<const double> values)
{
    const std::size_t n = values.size();
    if (n == 0) {
        return std::sqrt(0.0);
    }
    const double mean = sumInOrder(values) / static_cast<double>(n);
    const double squares = sumSquaredDeviations(values, mean);
    const double divisor = n > 1 ? static_cast<double>(n - 1) : static_cast<double>(n);
    return std::sqrt(squares / divisor);
}

double sampleStd(const NumericArray& x) { return sampleStd(firstExtent(x)); }

namespace {

// The unit that sums several columns at once, or none.
VectorUnit lockStepUnit(ColumnSet<const double> x)
{
#ifdef EDDYRATE_LOCK_STEP
    if (x.rows > 0 && x.columns > 1) {
        return activeVectorUnit();
    }
#else
    (void)x;
#endif
    return VectorUnit::none;
}

// Without a vector unit: sums[j] = term(x(0, j), j, 0) + term(x(1, j), j, 1) + ... in row
// order, four columns side by side so that four chains of additions advance at once (one
// column's additions each wait for the one before).
template <typename Term>
void sideBySide(ColumnSet<const double> x, std::span<double> sums, Term term)
{
    if (x.rows <= 0) {
        for (std::int32_t j = 0; j < x.columns; ++j) {
            sums[j] = 0.0;
        }
        return;
    }
    std::int32_t j = 0;
    for (; j + 4 <= x.columns; j += 4) {
        const double* c0 = x.column(j).data();
        const double* c1 = x.column(j + 1).data();
        const double* c2 = x.column(j + 2).data();
        const double* c3 = x.column(j + 3).data();
        double s0 = term(c0[0], j, 0);
        double s1 = term(c1[0], j + 1, 0);
        double s2 = term(c2[0], j + 2, 0);
        double s3 = term(c3[0], j + 3, 0);
        for (std::int32_t k = 1; k < x.rows; ++k) {
            s0 = s0 + term(c0[k], j, k);
            s1 = s1 + term(c1[k], j + 1, k);
            s2 = s2 + term(c2[k], j + 2, k);
            s3 = s3 + term(c3[k], j + 3, k);
        }
        sums[j] = s0;
        sums[j + 1] = s1;
        sums[j + 2] = s2;
        sums[j + 3] = s3;
    }
    for (; j < x.columns; ++j) {
        const double* column = x.column(j).data();
        double sum = term(column[0], j, 0);
        for (std::int32_t k = 1; k < x.rows; ++k) {
            sum = sum + term(column[k], j, k);
        }
        sums[j] = sum;
    }
}

}  // namespace

void columnSums(ColumnSet<const double> x, std::span<double> sums)
{
    switch (lockStepUnit(x)) {
#ifdef EDDYRATE_LOCK_STEP
        case VectorUnit::avx512:
            return avx512::columnSums(x, sums.data());
        case VectorUnit::avx2:
            return avx2::columnSums(x, sums.data());
#endif
        default:
            sideBySide(x, sums, [](double value, std::int32_t, std::int32_t) { return value; });
    }
}

void squaredDeviationSums(ColumnSet<const double> x, std::span<const double> means,
                          std::span<double> sums)
{
    switch (lockStepUnit(x)) {
#ifdef EDDYRATE_LOCK_STEP
        case VectorUnit::avx512:
            return avx512::squaredDeviationSums(x, means.data(), sums.data());
        case VectorUnit::avx2:
            return avx2::squaredDeviationSums(x, means.data(), sums.data());
#endif
        default:
            // Each mean is read before its column's sum is written (sums may be means).
            sideBySide(x, sums, [&](double value, std::int32_t j, std::int32_t) {
                const double deviation = value - means[j];
                return deviation * deviation;
            });
    }
}

void seriesMeans(std::span<const double* const> series, std::int32_t length,
                 std::span<double> means)
{
    const auto count = static_cast<double>(length > 0 ? length : 0);
    const auto columnCount = static_cast<std::int32_t>(series.size());
    if (length > 0) {
        columnSums({length, columnCount, series.data()}, means);
    } else {
        for (double& mean : means.first(series.size())) {
            mean = 0.0;
        }
    }
    for (double& mean : means.first(series.size())) {
        mean = mean / count;
    }
}

void columnMeansAndDeviations(ColumnSet<const double> x, std::span<double> means,
                              std::span<double> deviations, std::span<double> sums,
                              std::span<double> squareSums)
{
    const std::int32_t n = x.rows > 0 ? x.rows : 0;
    const auto count = static_cast<double>(n);
    const double divisor = n > 1 ? static_cast<double>(n - 1) : count;
    columnSums(x, means);
    for (std::int32_t j = 0; j < x.columns; ++j) {
        if (!sums.empty()) {
            sums[j] = means[j];
        }
        means[j] = means[j] / count;
    }
    squaredDeviationSums(x, means, deviations);
    for (std::int32_t j = 0; j < x.columns; ++j) {
        if (!squareSums.empty()) {
            squareSums[j] = deviations[j];
        }
        deviations[j] = n == 0 ? std::sqrt(0.0) : std::sqrt(deviations[j] / divisor);
    }
}

void columnVariances(ColumnSet<const double> x, std::span<double> variances)
{
    if (x.rows == 0 || x.columns == 0) {
        for (double& variance : variances.first(extentLength(x.columns))) {
            variance = 0.0;
        }
        return;
    }
    const double inverseCount = 1.0 / static_cast<double>(x.rows);
    const double inverseDivisor = 1.0 / static_cast<double>(x.rows > 1 ? x.rows - 1 : x.rows);
    variances = variances.first(extentLength(x.columns));
    // The means, then the squared deviations from them, in the same room.
    columnSums(x, variances);
    for (double& mean : variances) {
        mean = inverseCount * mean;
    }
    squaredDeviationSums(x, variances, variances);
    for (double& variance : variances) {
        variance = inverseDivisor * variance;
    }
}

void columnVariancesWithWeights(ColumnSet<const double> x, std::span<const double> weight,
                                std::span<double> variances, std::span<double> weightedVariances)
{
    const std::size_t count = extentLength(x.columns);
    variances = variances.first(count);
    weightedVariances = weightedVariances.first(count);
    if (x.rows <= 0 || count == 0) {
        columnVariances(x, variances);
        columnVariances(x, weightedVariances);
        return;
    }
    const VectorUnit unit = lockStepUnit(x);
    const double inverseCount = 1.0 / static_cast<double>(x.rows);
    const double inverseDivisor = 1.0 / static_cast<double>(x.rows > 1 ? x.rows - 1 : x.rows);
    // The means, then the squared deviations from them, in the same room (as columnVariances);
    // the weighted rows are formed where they are summed.
    const auto weighted = [&](double value, std::int32_t, std::int32_t k) {
        return value * weight[k];
    };
    switch (unit) {
#ifdef EDDYRATE_LOCK_STEP
        case VectorUnit::avx512:
            avx512::weightedColumnSums(x, weight.data(), variances.data(),
                                       weightedVariances.data());
            break;
        case VectorUnit::avx2:
            avx2::weightedColumnSums(x, weight.data(), variances.data(), weightedVariances.data());
            break;
#endif
        default:
            sideBySide(x, variances,
                       [](double value, std::int32_t, std::int32_t) { return value; });
            sideBySide(x, weightedVariances, weighted);
    }
    for (std::size_t j = 0; j < count; ++j) {
        variances[j] = inverseCount * variances[j];
        weightedVariances[j] = inverseCount * weightedVariances[j];
    }
    switch (unit) {
#ifdef EDDYRATE_LOCK_STEP
        case VectorUnit::avx512:
            avx512::weightedSquaredDeviationSums(x, weight.data(), variances.data(),
                                                 weightedVariances.data(), variances.data(),
                                                 weightedVariances.data());
            break;
        case VectorUnit::avx2:
            avx2::weightedSquaredDeviationSums(x, weight.data(), variances.data(),
                                               weightedVariances.data(), variances.data(),
                                               weightedVariances.data());
            break;
#endif
        default:
            // Each mean is read before its column's sum is written.
            sideBySide(x, variances, [&](double value, std::int32_t j, std::int32_t) {
                const double deviation = value - variances[j];
                return deviation * deviation;
            });
            sideBySide(x, weightedVariances, [&](double value, std::int32_t j, std::int32_t k) {
                const double deviation = weighted(value, j, k) - weightedVariances[j];
                return deviation * deviation;
            });
    }
    for (std::size_t j = 0; j < count; ++j) {
        variances[j] = inverseDivisor * variances[j];
        weightedVariances[j] = inverseDivisor * weightedVariances[j];
    }
}

void columnVariances(const NumericArray& a, NumericArray& result)
{
    const std::int32_t columnCount = columns(a);
    resizeArray(result, 1, columnCount, kDoubleSize);
    columnVariances(doubleMatrix(a), {doubles(result), extentLength(columnCount)});
}

void divideElements(const NumericArray& a, const NumericArray& b, NumericArray& result)
{
    const std::int64_t count = elementCount(a);
    const std::int32_t columnCount = columns(a);
    // Room for every quotient even if a is not a single row; the extents then say [1, c].
    resizeArray(result, 1, static_cast<std::int32_t>(count), kDoubleSize);
    result.sizes[1] = columnCount;
    const double* numerators = doubles(a);
    const double* denominators = doubles(b);
    double* quotients = doubles(result);
    for (std::int64_t k = 0; k < count; ++k) {
        quotients[k] = numerators[k] / denominators[k];
    }
}

double roundHalfAway(double x)
{
    // From 2^52 on every double is already whole.
    constexpr double kWholeFrom = 4503599627370496.0;
    if (!(std::fabs(x) < kWholeFrom)) {
        return x;
    }
    if (x >= 0.5) {
        return std::floor(x + 0.5);
    }
    if (x > -0.5) {
        return x * 0.0;
    }
    return std::ceil(x - 0.5);
}

double remainderByTwo(double x)
{
    if (isNaN(x) || isInfinite(x)) {
        return kNaN;
    }
    return std::fmod(x, 2.0);
}

void detrendLinear(std::span<double> values)
{
    ArrayOwner series = wrapArray(values.data(), static_cast<std::int32_t>(values.size()));
    detrendLinear(*series);
}

namespace {

// The straight line's design for a column of n: i / n for i = 1 .. n, then ones.
ArrayOwner lineDesign(std::int32_t n)
{
    ArrayOwner design = initArray(2);
    resizeArray(*design, n, 2, kDoubleSize);
    double* time = doubles(*design);
    double* ones = time + n;
    const double count = static_cast<double>(n);
    for (std::int32_t i = 0; i < n; ++i) {
        time[i] = static_cast<double>(i + 1) / count;
        ones[i] = 1.0;
    }
    return design;
}

// target = source minus the fitted line p[0] * time + p[1] * 1, each row's line summed from
// zero over the design's columns whose coefficient is not zero; along the rows on a vector
// unit. target may be source.
void subtractLine(const double* source, double* target, std::int32_t n, const NumericArray& design,
                  std::array<double, 2> p)
{
    const MatrixView<const double> line = doubleMatrix(design);
#ifdef EDDYRATE_LOCK_STEP
    switch (activeVectorUnit()) {
        case VectorUnit::avx512:
            return avx512::subtractLine({source, extentLength(n)}, line.column(0).data(),
                                        line.column(1).data(), p, target);
        case VectorUnit::avx2:
            return avx2::subtractLine({source, extentLength(n)}, line.column(0).data(),
                                      line.column(1).data(), p, target);
        case VectorUnit::none:
            break;
    }
#endif
    for (std::int32_t i = 0; i < n; ++i) {
        double fit = 0.0;
        for (std::int32_t c = 0; c < 2; ++c) {
            if (p[c] != 0.0) {
                fit = line(i, c) * p[c] + fit;
            }
        }
        target[i] = source[i] - fit;
    }
}

}  // namespace

void detrendLinear(NumericArray& x)
{
    const std::int32_t n = rows(x) < 0 ? 0 : rows(x);
    const ArrayOwner design = lineDesign(n);
    const std::array<double, 2> p = leastSquaresSolve(*design, x);
    subtractLine(doubles(x), doubles(x), n, *design, p);
}

namespace {

// detrendColumnsInto for one set (more than two rows) with the design of its line and its
// factors.
void detrendWith(ColumnSet<const double> source, MatrixView<double> target,
                 const NumericArray& design, const FactoredDesign& factored)
{
    const std::int32_t n = source.rows;
    const std::int32_t count = source.columns;
    const VectorUnit unit = lockStepUnit(source);
    if (unit != VectorUnit::none) {
        // Q^T y of every column at once, one column per lane.
        ArrayOwner heads = initArray(2);
        resizeArray(*heads, count, 2, kDoubleSize);
        const MatrixView<const double> head = doubleMatrix(std::as_const(*heads));
#ifdef EDDYRATE_LOCK_STEP
        if (unit == VectorUnit::avx512) {
            avx512::reflectedHeads(factored, source, doubles(*heads));
        } else {
            avx2::reflectedHeads(factored, source, doubles(*heads));
        }
#endif
        for (std::int32_t j = 0; j < count; ++j) {
            subtractLine(source.columnStart(j), target.column(j).data(), n, design,
                         solveFromHeads(factored, head(j, 0), head(j, 1)));
        }
        return;
    }
    // Column by column, a few solved side by side.
    constexpr auto kGroup = static_cast<std::int32_t>(kSolvedSideBySide);
    ArrayOwner work = initArray(2);
    resizeArray(*work, n, kGroup, kDoubleSize);
    double* scratch = doubles(*work);
    for (std::int32_t first = 0; first < count; first += kGroup) {
        const std::int32_t group = count - first < kGroup ? count - first : kGroup;
        const double* columnsOfGroup[kSolvedSideBySide];
        for (std::int32_t l = 0; l < group; ++l) {
            columnsOfGroup[l] = source.columnStart(first + l);
        }
        std::array<double, 2> p[kSolvedSideBySide];
        solveFactored(factored, {columnsOfGroup, static_cast<std::size_t>(group)}, n,
                      {scratch, static_cast<std::size_t>(group) * n},
                      {p, static_cast<std::size_t>(group)});
        for (std::int32_t l = 0; l < group; ++l) {
            subtractLine(columnsOfGroup[l], target.column(first + l).data(), n, design, p[l]);
        }
    }
}

}  // namespace

void detrendColumnsInto(std::span<const ColumnSet<const double>> sources,
                        std::span<const MatrixView<double>> targets)
{
    if (sources.empty()) {
        return;
    }
    const std::int32_t n = sources.front().rows < 0 ? 0 : sources.front().rows;
    if (n <= 2) {
        for (std::size_t k = 0; k < sources.size(); ++k) {
            if (sources[k].rows != sources.front().rows) {
                detrendColumnsInto(sources.subspan(k, 1), targets.subspan(k, 1));
                continue;
            }
            for (std::int32_t j = 0; j < sources[k].columns; ++j) {
                const std::span<const double> column = sources[k].column(j);
                const std::span<double> into = targets[k].column(j);
                if (column.data() != into.data()) {
                    std::copy(column.begin(), column.end(), into.begin());
                }
                detrendLinear(into);
            }
        }
        return;
    }
    // Every column has the same design: it is factored once, which gives each column the bits
    // of its own full solve.
    const ArrayOwner design = lineDesign(n);
    const FactoredDesign factored = factorDesign(*design);
    for (std::size_t k = 0; k < sources.size(); ++k) {
        if (sources[k].rows == n) {
            detrendWith(sources[k], targets[k], *design, factored);
        } else {
            detrendColumnsInto(sources.subspan(k, 1), targets.subspan(k, 1));
        }
    }
}

void detrendColumns(std::span<NumericArray* const> xs)
{
    constexpr std::size_t kMostSets = 8;
    for (std::size_t first = 0; first < xs.size(); first += kMostSets) {
        const std::size_t count = xs.size() - first < kMostSets ? xs.size() - first : kMostSets;
        ColumnSet<const double> sources[kMostSets];
        MatrixView<double> targets[kMostSets] = {};
        for (std::size_t k = 0; k < count; ++k) {
            targets[k] = doubleMatrix(*xs[first + k]);
            sources[k] = targets[k];
        }
        detrendColumnsInto({sources, count}, {targets, count});
    }
}

void detrendColumns(NumericArray& x)
{
    NumericArray* const one[] = {&x};
    detrendColumns(one);
}

}  // namespace eddyrate
