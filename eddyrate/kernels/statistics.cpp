#include "statistics.h"

#include <cmath>
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

void removeFlagged(NumericArray& x, const NumericArray& flagArray)
{
    const std::int32_t length = rows(x);
    const std::int32_t flagCount = rows(flagArray);
    const std::uint8_t* set = flags(flagArray);
    std::int32_t removed = 0;
    for (std::int32_t k = 0; k < flagCount; ++k) {
        removed += set[k] != 0 ? 1 : 0;
    }
    double* values = doubles(x);
    std::int32_t kept = 0;
    for (std::int32_t i = 0; i < length; ++i) {
        if (i >= flagCount || set[i] == 0) {
            values[kept++] = values[i];
        }
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
VectorUnit lockStepUnit(MatrixView<const double> x)
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

// Without a vector unit: sums[j] = term(x(0, j), j) + term(x(1, j), j) + ... in row order,
// four columns side by side so that four chains of additions advance at once (one column's
// additions each wait for the one before).
template <typename Term>
void sideBySide(MatrixView<const double> x, std::span<double> sums, Term term)
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
        double s0 = term(c0[0], j);
        double s1 = term(c1[0], j + 1);
        double s2 = term(c2[0], j + 2);
        double s3 = term(c3[0], j + 3);
        for (std::int32_t k = 1; k < x.rows; ++k) {
            s0 = s0 + term(c0[k], j);
            s1 = s1 + term(c1[k], j + 1);
            s2 = s2 + term(c2[k], j + 2);
            s3 = s3 + term(c3[k], j + 3);
        }
        sums[j] = s0;
        sums[j + 1] = s1;
        sums[j + 2] = s2;
        sums[j + 3] = s3;
    }
    for (; j < x.columns; ++j) {
        const double* column = x.column(j).data();
        double sum = term(column[0], j);
        for (std::int32_t k = 1; k < x.rows; ++k) {
            sum = sum + term(column[k], j);
        }
        sums[j] = sum;
    }
}

}  // namespace

void columnSums(MatrixView<const double> x, std::span<double> sums)
{
    switch (lockStepUnit(x)) {
#ifdef EDDYRATE_LOCK_STEP
        case VectorUnit::avx512:
            return avx512::columnSums(x, sums.data());
        case VectorUnit::avx2:
            return avx2::columnSums(x, sums.data());
#endif
        default:
            sideBySide(x, sums, [](double value, std::int32_t) { return value; });
    }
}

void squaredDeviationSums(MatrixView<const double> x, std::span<const double> means,
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
            sideBySide(x, sums, [&](double value, std::int32_t j) {
                const double deviation = value - means[j];
                return deviation * deviation;
            });
    }
}

void seriesMeans(std::span<const double* const> series, std::int32_t length,
                 std::span<double> means)
{
    const auto count = static_cast<double>(length > 0 ? length : 0);
    const VectorUnit unit =
        lockStepUnit({nullptr, length, static_cast<std::int32_t>(series.size())});
    switch (unit) {
#ifdef EDDYRATE_LOCK_STEP
        case VectorUnit::avx512:
            avx512::seriesSums(series, length, means.data());
            break;
        case VectorUnit::avx2:
            avx2::seriesSums(series, length, means.data());
            break;
#endif
        default:
            for (std::size_t k = 0; k < series.size(); ++k) {
                means[k] = sumInOrder({series[k], extentLength(length)});
            }
    }
    for (double& mean : means.first(series.size())) {
        mean = mean / count;
    }
}

void columnMeansAndDeviations(MatrixView<const double> x, std::span<double> means,
                              std::span<double> deviations)
{
    const std::int32_t n = x.rows > 0 ? x.rows : 0;
    const auto count = static_cast<double>(n);
    const double divisor = n > 1 ? static_cast<double>(n - 1) : count;
    columnSums(x, means);
    for (std::int32_t j = 0; j < x.columns; ++j) {
        means[j] = means[j] / count;
    }
    squaredDeviationSums(x, means, deviations);
    for (std::int32_t j = 0; j < x.columns; ++j) {
        deviations[j] = n == 0 ? std::sqrt(0.0) : std::sqrt(deviations[j] / divisor);
    }
}

void columnVariances(const NumericArray& a, NumericArray& result)
{
    const std::int32_t rowCount = rows(a);
    const std::int32_t columnCount = columns(a);
    resizeArray(result, 1, columnCount, kDoubleSize);
    const std::span<double> variances(doubles(result), extentLength(columnCount));
    if (rowCount == 0 || columnCount == 0) {
        for (double& variance : variances) {
            variance = 0.0;
        }
        return;
    }
    const double inverseCount = 1.0 / static_cast<double>(rowCount);
    const double inverseDivisor = 1.0 / static_cast<double>(rowCount > 1 ? rowCount - 1 : rowCount);
    const MatrixView<const double> x = doubleMatrix(a);
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

// values minus the fitted line p[0] * time + p[1] * 1, each row's line summed from zero over
// the design's columns whose coefficient is not zero; along the rows on a vector unit.
void subtractLine(double* values, std::int32_t n, const NumericArray& design,
                  std::array<double, 2> p)
{
    const MatrixView<const double> line = doubleMatrix(design);
#ifdef EDDYRATE_LOCK_STEP
    switch (activeVectorUnit()) {
        case VectorUnit::avx512:
            return avx512::subtractLine({values, extentLength(n)}, line.column(0).data(),
                                        line.column(1).data(), p);
        case VectorUnit::avx2:
            return avx2::subtractLine({values, extentLength(n)}, line.column(0).data(),
                                      line.column(1).data(), p);
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
        values[i] = values[i] - fit;
    }
}

}  // namespace

void detrendLinear(NumericArray& x)
{
    const std::int32_t n = rows(x) < 0 ? 0 : rows(x);
    const ArrayOwner design = lineDesign(n);
    const std::array<double, 2> p = leastSquaresSolve(*design, x);
    subtractLine(doubles(x), n, *design, p);
}

namespace {

// detrendColumns on x (more than two rows) with the design of its line and its factors.
void detrendWith(NumericArray& x, const NumericArray& design, const FactoredDesign& factored)
{
    const std::int32_t n = rows(x);
    const std::int32_t count = columns(x);
    const MatrixView<double> series = doubleMatrix(x);
    const VectorUnit unit = lockStepUnit(series);
    if (unit != VectorUnit::none) {
        // Q^T y of every column at once, one column per lane.
        ArrayOwner heads = initArray(2);
        resizeArray(*heads, count, 2, kDoubleSize);
        const MatrixView<const double> head = doubleMatrix(std::as_const(*heads));
#ifdef EDDYRATE_LOCK_STEP
        if (unit == VectorUnit::avx512) {
            avx512::reflectedHeads(factored, series, doubles(*heads));
        } else {
            avx2::reflectedHeads(factored, series, doubles(*heads));
        }
#endif
        for (std::int32_t j = 0; j < count; ++j) {
            subtractLine(series.column(j).data(), n, design,
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
        double* columnsOfGroup[kSolvedSideBySide];
        for (std::int32_t l = 0; l < group; ++l) {
            columnsOfGroup[l] = series.column(first + l).data();
        }
        std::array<double, 2> p[kSolvedSideBySide];
        solveFactored(factored, {columnsOfGroup, static_cast<std::size_t>(group)}, n,
                      {scratch, static_cast<std::size_t>(group) * n},
                      {p, static_cast<std::size_t>(group)});
        for (std::int32_t l = 0; l < group; ++l) {
            subtractLine(columnsOfGroup[l], n, design, p[l]);
        }
    }
}

}  // namespace

void detrendColumns(std::span<NumericArray* const> xs)
{
    if (xs.empty()) {
        return;
    }
    const std::int32_t n = rows(*xs.front()) < 0 ? 0 : rows(*xs.front());
    if (n <= 2) {
        for (NumericArray* x : xs) {
            if (rows(*x) != rows(*xs.front())) {
                detrendColumns(*x);
                continue;
            }
            double* values = doubles(*x);
            for (std::int32_t j = 0; j < columns(*x); ++j) {
                detrendLinear(std::span<double>(values + static_cast<std::int64_t>(j) * n,
                                                static_cast<std::size_t>(n)));
            }
        }
        return;
    }
    // Every column has the same design: it is factored once, which gives each column the bits
    // of its own full solve.
    const ArrayOwner design = lineDesign(n);
    const FactoredDesign factored = factorDesign(*design);
    for (NumericArray* x : xs) {
        if (rows(*x) == n) {
            detrendWith(*x, *design, factored);
        } else {
            detrendColumns(*x);
        }
    }
}

void detrendColumns(NumericArray& x)
{
    NumericArray* const one[] = {&x};
    detrendColumns(one);
}

}  // namespace eddyrate
