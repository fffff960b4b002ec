#include "statistics.h"

#include <cmath>

#include "least_squares.h"
#include "nonfinite.h"
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

void columnVariances(const NumericArray& a, NumericArray& result)
{
    const std::int32_t rowCount = rows(a);
    const std::int32_t columnCount = columns(a);
    resizeArray(result, 1, columnCount, kDoubleSize);
    double* variances = doubles(result);
    if (rowCount == 0 || columnCount == 0) {
        for (std::int32_t j = 0; j < columnCount; ++j) {
            variances[j] = 0.0;
        }
        return;
    }
    const double inverseCount = 1.0 / static_cast<double>(rowCount);
    const double inverseDivisor = 1.0 / static_cast<double>(rowCount > 1 ? rowCount - 1 : rowCount);
    const double* values = doubles(a);
    // Four columns side by side: each sum still adds its own column in row order, but the four
    // chains run at once instead of one after the other.
    std::int32_t j = 0;
    for (; j + 4 <= columnCount; j += 4) {
        const double* c0 = values + static_cast<std::int64_t>(j) * rowCount;
        const double* c1 = c0 + rowCount;
        const double* c2 = c1 + rowCount;
        const double* c3 = c2 + rowCount;
        double s0 = c0[0];
        double s1 = c1[0];
        double s2 = c2[0];
        double s3 = c3[0];
        for (std::int32_t k = 1; k < rowCount; ++k) {
            s0 = s0 + c0[k];
            s1 = s1 + c1[k];
            s2 = s2 + c2[k];
            s3 = s3 + c3[k];
        }
        const double m0 = inverseCount * s0;
        const double m1 = inverseCount * s1;
        const double m2 = inverseCount * s2;
        const double m3 = inverseCount * s3;
        double d0 = c0[0] - m0;
        double d1 = c1[0] - m1;
        double d2 = c2[0] - m2;
        double d3 = c3[0] - m3;
        double q0 = d0 * d0;
        double q1 = d1 * d1;
        double q2 = d2 * d2;
        double q3 = d3 * d3;
        for (std::int32_t k = 1; k < rowCount; ++k) {
            d0 = c0[k] - m0;
            d1 = c1[k] - m1;
            d2 = c2[k] - m2;
            d3 = c3[k] - m3;
            q0 = q0 + d0 * d0;
            q1 = q1 + d1 * d1;
            q2 = q2 + d2 * d2;
            q3 = q3 + d3 * d3;
        }
        variances[j] = inverseDivisor * q0;
        variances[j + 1] = inverseDivisor * q1;
        variances[j + 2] = inverseDivisor * q2;
        variances[j + 3] = inverseDivisor * q3;
    }
    for (; j < columnCount; ++j) {
        const std::span<const double> column(values + static_cast<std::int64_t>(j) * rowCount,
                                             extentLength(rowCount));
        const double mean = inverseCount * sumInOrder(column);
        const double squares = sumSquaredDeviations(column, mean);
        variances[j] = inverseDivisor * squares;
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

// values minus the fitted line p[0] * time + p[1] * 1, the line summed into `fit` from zero.
void subtractLine(double* values, std::int32_t n, const NumericArray& design,
                  std::array<double, 2> p, double* fit)
{
    const double* designColumns[2] = {doubles(design), doubles(design) + n};
    for (std::int32_t i = 0; i < n; ++i) {
        fit[i] = 0.0;
    }
    for (int c = 0; c < 2; ++c) {
        if (p[c] != 0.0) {
            for (std::int32_t i = 0; i < n; ++i) {
                fit[i] = designColumns[c][i] * p[c] + fit[i];
            }
        }
    }
    for (std::int32_t i = 0; i < n; ++i) {
        values[i] = values[i] - fit[i];
    }
}

}  // namespace

void detrendLinear(NumericArray& x)
{
    const std::int32_t n = rows(x) < 0 ? 0 : rows(x);
    const ArrayOwner design = lineDesign(n);
    const std::array<double, 2> p = leastSquaresSolve(*design, x);
    ArrayOwner fitted = initArray(2);
    resizeArray(*fitted, n, 1, kDoubleSize);
    subtractLine(doubles(x), n, *design, p, doubles(*fitted));
}

void detrendColumns(NumericArray& x)
{
    const std::int32_t n = rows(x) < 0 ? 0 : rows(x);
    const std::int32_t count = columns(x);
    double* values = doubles(x);
    if (n <= 2) {
        for (std::int32_t j = 0; j < count; ++j) {
            detrendLinear(std::span<double>(values + static_cast<std::int64_t>(j) * n,
                                            static_cast<std::size_t>(n)));
        }
        return;
    }
    // Every column has the same design: it is factored once, which gives each column the bits
    // of its own full solve; a few columns are solved side by side.
    const ArrayOwner design = lineDesign(n);
    const FactoredDesign factored = factorDesign(*design);
    constexpr auto kGroup = static_cast<std::int32_t>(kSolvedSideBySide);
    ArrayOwner work = initArray(2);
    resizeArray(*work, n, kGroup + 1, kDoubleSize);
    double* scratch = doubles(*work);
    double* fit = scratch + static_cast<std::int64_t>(kGroup) * n;
    for (std::int32_t first = 0; first < count; first += kGroup) {
        const std::int32_t group = count - first < kGroup ? count - first : kGroup;
        double* series[kSolvedSideBySide];
        for (std::int32_t l = 0; l < group; ++l) {
            series[l] = values + static_cast<std::int64_t>(first + l) * n;
        }
        std::array<double, 2> p[kSolvedSideBySide];
        solveFactored(factored, {series, static_cast<std::size_t>(group)}, n,
                      {scratch, static_cast<std::size_t>(group) * n},
                      {p, static_cast<std::size_t>(group)});
        for (std::int32_t l = 0; l < group; ++l) {
            subtractLine(series[l], n, *design, p[l], fit);
        }
    }
}

}  // namespace eddyrate
