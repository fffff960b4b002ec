#include "vector_kernels.h"

#include <cmath>
#include <cstring>

#include "crmath.h"
#include "fft_lanes.h"
#include "nonfinite.h"
#include "statistics.h"
#include "statistics_lanes.h"
#include "summation.h"

namespace eddyrate {
namespace {

// The double nearest 1 / (2 pi): turns an angular speed into cycles.
constexpr double kInverseTwoPi = 0.15915494309189535;

}  // namespace

void columnMeans(ColumnSet<const double> x, NumericArray& y)
{
    resizeArray(y, 1, x.columns, kDoubleSize);
    double* means = doubles(y);
    if (x.rows != 0 && x.columns != 0) {
        columnSums(x, {means, extentLength(x.columns)});
    } else {
        for (std::int32_t j = 0; j < x.columns; ++j) {
            means[j] = 0.0;
        }
    }
    const double inverseCount = 1.0 / static_cast<double>(x.rows);
    for (std::int32_t j = 0; j < x.columns; ++j) {
        means[j] = means[j] * inverseCount;
    }
}

void columnMeans(const NumericArray& x, NumericArray& y) { columnMeans(doubleMatrix(x), y); }

bool markOutliers(std::span<const double> values, double centre, double threshold,
                  std::uint8_t* marks)
{
#ifdef EDDYRATE_LOCK_STEP
    switch (activeVectorUnit()) {
        case VectorUnit::avx512:
            return avx512::markOutliers(values, centre, threshold, marks);
        case VectorUnit::avx2:
            return avx2::markOutliers(values, centre, threshold, marks);
        case VectorUnit::none:
            break;
    }
#endif
    bool any = false;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (std::fabs(values[i] - centre) > threshold) {
            marks[i] = 1;
            any = true;
        }
    }
    return any;
}

void multiplyRowsAndColumns(MatrixView<double> x, std::span<const double> weight,
                            std::span<const double> factor)
{
#ifdef EDDYRATE_LOCK_STEP
    switch (activeVectorUnit()) {
        case VectorUnit::avx512:
            return avx512::multiplyRowsAndColumns(x, weight.data(), factor.data());
        case VectorUnit::avx2:
            return avx2::multiplyRowsAndColumns(x, weight.data(), factor.data());
        case VectorUnit::none:
            break;
    }
#endif
    for (std::int32_t j = 0; j < x.columns; ++j) {
        for (std::int32_t i = 0; i < x.rows; ++i) {
            x(i, j) = (x(i, j) * weight[i]) * factor[j];
        }
    }
}

double rowMean(const NumericArray& x)
{
    const std::int32_t n = columns(x);
    const double sum = sumInOrder({doubles(x), extentLength(n)});
    return sum / static_cast<double>(n);
}

double countFlagsRow(const NumericArray& flagRow)
{
    const std::int32_t n = columns(flagRow);
    return sumFlags({flags(flagRow), extentLength(n)});
}

double realPower(double x, double y)
{
    if (isNaN(x) || isNaN(y)) {
        return kNaN;
    }
    if (x < 0.0 && y > std::floor(y)) {
        return kNaN;
    }
    return crmath::pow(x, y);
}

void absElements(const NumericArray& x, NumericArray& y)
{
    mapElements(x, y, [](double value) { return std::fabs(value); });
}

void squareElements(const NumericArray& x, NumericArray& y)
{
    mapElements(x, y, [](double value) { return value * value; });
}

void sqrtElements(const NumericArray& x, NumericArray& y)
{
    mapElements(x, y, [](double value) { return std::sqrt(value); });
}

void powerElements(const NumericArray& x, double exponent, NumericArray& y)
{
    mapElements(x, y, [exponent](double value) { return realPower(value, exponent); });
}

void scaleByInverseTwoPi(const NumericArray& x, NumericArray& y)
{
    mapElements(x, y, [](double value) { return value * kInverseTwoPi; });
}

}  // namespace eddyrate
