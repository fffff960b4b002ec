#include "vector_kernels.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "fft_lanes.h"
#include "nonfinite.h"
#include "test_arrays.h"

namespace eddyrate {
namespace {

std::vector<double> values(const NumericArray& array)
{
    return {doubles(array), doubles(array) + elementCount(array)};
}

TEST(VectorKernels, ColumnMeansOfSmallAndEmptyMatrices)
{
    ArrayOwner y = initArray(2);
    columnMeans(*matrix(2, 2, {1.0, 3.0, 2.0, 4.0}), *y);
    EXPECT_EQ(rows(*y), 1);
    EXPECT_EQ(values(*y), (std::vector<double>{2.0, 3.0}));

    columnMeans(*matrix(0, 3, {}), *y);
    ASSERT_EQ(columns(*y), 3);
    for (const double mean : values(*y)) {
        EXPECT_TRUE(isNaN(mean));
    }

    columnMeans(*matrix(3, 0, {}), *y);
    EXPECT_EQ(rows(*y), 1);
    EXPECT_EQ(columns(*y), 0);
}

TEST(VectorKernels, ColumnMeansMultiplyByTheReciprocal)
{
    // Three values summing to 0.3 in this order: 0.3 * (1/3) differs from 0.3 / 3 in the last bit.
    ArrayOwner y = initArray(2);
    columnMeans(*matrix(3, 1, {0.1, 0.1, 0.1}), *y);
    const double sum = (0.1 + 0.1) + 0.1;
    EXPECT_EQ(bits(values(*y)[0]), bits(sum * (1.0 / 3.0)));
}

TEST(VectorKernels, RowMeanAndFlagCountOfRows)
{
    EXPECT_EQ(rowMean(*matrix(1, 3, {1.0, 2.0, 4.0})), 7.0 / 3.0);
    EXPECT_TRUE(isNaN(rowMean(*matrix(1, 0, {}))));

    ArrayOwner flagRow = initArray(2);
    resizeArray(*flagRow, 1, 5, kFlagSize);
    EXPECT_EQ(countFlagsRow(*flagRow), 0.0);
    flags(*flagRow)[1] = 1;
    flags(*flagRow)[4] = 1;
    EXPECT_EQ(countFlagsRow(*flagRow), 2.0);
    resizeArray(*flagRow, 1, 0, kFlagSize);
    EXPECT_EQ(countFlagsRow(*flagRow), 0.0);
}

TEST(VectorKernels, RealPowerRefusesNegativeBasesWithFractionalExponents)
{
    EXPECT_EQ(bits(realPower(-8.0, 0.3333333333333333)), bits(kNaN));
    EXPECT_EQ(realPower(0.0, 0.6666666666666666), 0.0);
    EXPECT_EQ(bits(realPower(std::nan(""), 1.5)), bits(kNaN));
    EXPECT_EQ(bits(realPower(4.0, std::nan(""))), bits(kNaN));
    EXPECT_EQ(realPower(4.0, 1.5), 8.0);
    EXPECT_EQ(realPower(-2.0, 2.0), 4.0);
}

TEST(VectorKernels, ElementWiseFamily)
{
    ArrayOwner x = matrix(1, 3, {-0.0, 4.0, -2.25});
    ArrayOwner y = initArray(2);
    absElements(*x, *y);
    EXPECT_EQ(bits(values(*y)[0]), bits(0.0));
    EXPECT_EQ(values(*y)[2], 2.25);
    squareElements(*x, *y);
    EXPECT_EQ(values(*y), (std::vector<double>{0.0, 16.0, 5.0625}));
    sqrtElements(*x, *y);
    EXPECT_EQ(values(*y)[1], 2.0);
    EXPECT_TRUE(isNaN(values(*y)[2]));
    powerElements(*x, 1.5, *y);
    EXPECT_EQ(values(*y)[1], 8.0);
    EXPECT_EQ(bits(values(*y)[2]), bits(kNaN));
    scaleByInverseTwoPi(*matrix(1, 1, {6.283185307179586}), *y);
    EXPECT_DOUBLE_EQ(values(*y)[0], 1.0);
}

TEST(VectorKernels, ElementWiseKernelsMayWorkInPlace)
{
    ArrayOwner x = matrix(1, 2, {-3.0, 5.0});
    absElements(*x, *x);
    squareElements(*x, *x);
    EXPECT_EQ(values(*x), (std::vector<double>{9.0, 25.0}));
}

// On every unit, at lengths around the lane counts: a row is marked where it lies strictly
// beyond the threshold, never where the distance is not a number, and marks set before stay.
TEST(VectorKernels, MarkOutliersOnEveryUnit)
{
    for (const VectorUnit unit : availableVectorUnits()) {
        useVectorUnit(unit);
        for (std::size_t n = 0; n <= 19; ++n) {
            std::vector<double> x(n);
            std::vector<std::uint8_t> expected(n);
            for (std::size_t i = 0; i < n; ++i) {
                x[i] = i % 3 == 0 ? 10.0 + 2.0 : i % 5 == 1 ? 10.0 - 2.0 : 10.5;
                expected[i] = x[i] == 12.0 ? 1 : 0;
            }
            if (n > 7) {
                x[7] = kNaN;
                expected[7] = 1;  // set before, kept
            }
            std::vector<std::uint8_t> marks(n);
            if (n > 7) {
                marks[7] = 1;
            }
            // 8.0 lies exactly at the threshold below the centre: not beyond it.
            markOutliers(x, 10.0, 2.0 - 0x1p-50, marks.data());
            for (std::size_t i = 0; i < n; ++i) {
                const bool low = x[i] == 8.0;
                EXPECT_EQ(marks[i], low ? 1 : expected[i])
                    << "unit " << static_cast<int>(unit) << ", n " << n << ", row " << i;
            }
            std::vector<std::uint8_t> exact(n);
            markOutliers(x, 10.0, 2.0, exact.data());
            for (std::size_t i = 0; i < n; ++i) {
                EXPECT_EQ(exact[i], 0) << "unit " << static_cast<int>(unit) << ", row " << i;
            }
        }
    }
    useVectorUnit(availableVectorUnits().back());
}

}  // namespace
}  // namespace eddyrate
