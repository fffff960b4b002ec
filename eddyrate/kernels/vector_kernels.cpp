#include "vector_kernels.h"

#include <cmath>
#include <cstring>

#include "crmath.h"
#include "nonfinite.h"
#include "summation.h"

namespace eddyrate {
namespace {

// The double nearest 1 / (2 pi): turns an angular speed into cycles.
constexpr double kInverseTwoPi = 0.15915494309189535;

}  // namespace

void columnMeans(const NumericArray& x, NumericArray& y)
{
    const std::int32_t rowCount = rows(x);
    const std::int32_t columnCount = columns(x);
    resizeArray(y, 1, columnCount, kDoubleSize);
    double* means = doubles(y);
    if (rowCount != 0 && columnCount != 0) {
        const double* values = doubles(x);
        for (std::int32_t j = 0; j < columnCount; ++j) {
            means[j] = sumInOrder(
                {values + static_cast<std::int64_t>(j) * rowCount, extentLength(rowCount)});
        }
    } else {
        for (std::int32_t j = 0; j < columnCount; ++j) {
            means[j] = 0.0;
        }
    }
    const double inverseCount = 1.0 / static_cast<double>(rowCount);
    for (std::int32_t j = 0; j < columnCount; ++j) {
        means[j] = means[j] * inverseCount;
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

void deleteRows(NumericArray& x, const NumericArray& rowList)
{
    const std::int32_t rowCount = rows(x);
    const std::int32_t columnCount = columns(x);
    const auto listed = static_cast<std::int32_t>(elementCount(rowList));
    const std::int32_t* rowNumbers = integers(rowList);
    Complex* values = complexes(x);

    std::int32_t remaining = 0;
    if (listed == 1) {
        const std::int32_t gone = rowNumbers[0] - 1;
        for (std::int32_t j = 0; j < columnCount && gone >= 0; ++j) {
            Complex* column = values + static_cast<std::int64_t>(j) * rowCount;
            for (std::int32_t i = gone; i + 1 < rowCount; ++i) {
                column[i] = column[i + 1];
            }
        }
        remaining = rowCount - 1;
    } else {
        ArrayOwner marks = initArray(2);
        resizeArray(*marks, 1, rowCount, kFlagSize);
        std::uint8_t* marked = flags(*marks);
        for (std::int32_t k = 0; k < listed; ++k) {
            if (rowNumbers[k] >= 1 && rowNumbers[k] <= rowCount) {
                marked[rowNumbers[k] - 1] = 1;
            }
        }
        std::int32_t markedCount = 0;
        for (std::int32_t i = 0; i < rowCount; ++i) {
            markedCount += marked[i];
        }
        for (std::int32_t j = 0; j < columnCount; ++j) {
            Complex* column = values + static_cast<std::int64_t>(j) * rowCount;
            std::int32_t kept = 0;
            for (std::int32_t i = 0; i < rowCount; ++i) {
                if (marked[i] == 0) {
                    column[kept++] = column[i];
                }
            }
        }
        remaining = rowCount - markedCount;
    }
    if (remaining < 0) {
        remaining = 0;
    }

    // The surviving block sits at the top of each column with the old row stride; gather it
    // into a matrix of the new extents and copy that back.
    ArrayOwner block = initArray(2);
    resizeArray(*block, remaining, columnCount, kComplexSize);
    Complex* gathered = complexes(*block);
    for (std::int32_t j = 0; j < columnCount; ++j) {
        for (std::int32_t i = 0; i < remaining; ++i) {
            gathered[static_cast<std::int64_t>(j) * remaining + i] =
                values[static_cast<std::int64_t>(j) * rowCount + i];
        }
    }
    resizeArray(x, remaining, columnCount, kComplexSize);
    const std::int64_t count = elementCount(x);
    if (count > 0) {
        std::memcpy(x.data, gathered, static_cast<std::size_t>(count) * kComplexSize);
    }
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

void divideScalarBy(double s, const NumericArray& x, NumericArray& y)
{
    mapElements(x, y, [s](double value) { return s / value; });
}

}  // namespace eddyrate
