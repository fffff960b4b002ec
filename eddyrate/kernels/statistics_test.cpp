#include "statistics.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "fft_lanes.h"
#include "nonfinite.h"
#include "test_arrays.h"

namespace eddyrate {
namespace {

ArrayOwner flagColumn(const std::vector<std::uint8_t>& set)
{
    ArrayOwner array = initArray(2);
    resizeArray(*array, static_cast<std::int32_t>(set.size()), 1, kFlagSize);
    for (std::size_t k = 0; k < set.size(); ++k) {
        flags(*array)[k] = set[k];
    }
    return array;
}

TEST(Statistics, MeanAndDeviationOfSmallSeries)
{
    EXPECT_EQ(vectorMean(std::vector<double>{1.0, 2.0, 4.0}), 7.0 / 3.0);
    EXPECT_TRUE(isNaN(vectorMean(std::vector<double>{})));
    EXPECT_EQ(sampleStd(std::vector<double>{2.0, 4.0}), std::sqrt(2.0));
    EXPECT_EQ(sampleStd(std::vector<double>{5.0}), 0.0);
    EXPECT_EQ(bits(sampleStd(std::vector<double>{})), bits(0.0));
    // The array forms read the first extent only.
    ArrayOwner column = matrix(2, 1, {1.0, 3.0});
    EXPECT_EQ(vectorMean(*column), 2.0);
    EXPECT_EQ(sampleStd(*column), std::sqrt(2.0));
}

TEST(Statistics, ColumnVariancesTakeEachColumnByItself)
{
    ArrayOwner a = matrix(2, 2, {1.0, 3.0, 10.0, 20.0});
    ArrayOwner result = initArray(2);
    columnVariances(*a, *result);
    ASSERT_EQ(rows(*result), 1);
    ASSERT_EQ(columns(*result), 2);
    EXPECT_EQ(doubles(*result)[0], 2.0);
    EXPECT_EQ(doubles(*result)[1], 50.0);

    ArrayOwner noRows = matrix(0, 3, {});
    columnVariances(*noRows, *result);
    ASSERT_EQ(columns(*result), 3);
    for (int j = 0; j < 3; ++j) {
        EXPECT_EQ(doubles(*result)[j], 0.0);
    }
}

TEST(Statistics, ColumnStatisticsOnEveryUnitHaveTheBitsOfEachColumnAlone)
{
    // Shapes around the four rows and eight columns a unit takes at once, values of mixed
    // scale with a negative zero and a not-a-number in some columns.
    std::mt19937_64 engine(26);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    for (const std::int32_t r : {1, 2, 3, 4, 5, 7, 8, 9, 1027}) {
        for (const std::int32_t c : {2, 3, 4, 5, 7, 8, 9, 13}) {
            std::vector<double> values(static_cast<std::size_t>(r) * c);
            for (double& value : values) {
                value = uniform(engine) * std::exp2(40.0 * uniform(engine));
            }
            values[0] = -0.0;
            values[values.size() / 2] = kNaN;
            const ArrayOwner x = matrix(r, c, values);
            for (const VectorUnit unit : availableVectorUnits()) {
                useVectorUnit(unit);
                ArrayOwner variances = initArray(2);
                columnVariances(*x, *variances);
                std::vector<double> means(c);
                std::vector<double> deviations(c);
                columnMeansAndDeviations(doubleMatrix(*x), means, deviations);
                std::vector<const double*> series;
                for (std::int32_t j = 0; j < c; ++j) {
                    series.push_back(values.data() + static_cast<std::size_t>(j) * r);
                }
                std::vector<double> seriesMean(c);
                seriesMeans(series, r, seriesMean);
                // Row i weighted by a window, the columns read through their starts.
                std::vector<double> window(r);
                for (double& weight : window) {
                    weight = uniform(engine);
                }
                std::vector<double> plain(c);
                std::vector<double> windowed(c);
                columnVariancesWithWeights({r, c, series.data()}, window, plain, windowed);
                for (std::int32_t j = 0; j < c; ++j) {
                    const ArrayOwner column =
                        matrix(r, 1, {values.begin() + j * r, values.begin() + (j + 1) * r});
                    std::vector<double> weighted(r);
                    for (std::int32_t i = 0; i < r; ++i) {
                        weighted[i] = doubles(*column)[i] * window[i];
                    }
                    ArrayOwner alone = initArray(2);
                    ArrayOwner weightedAlone = initArray(2);
                    useVectorUnit(VectorUnit::none);
                    columnVariances(*column, *alone);
                    columnVariances(*matrix(r, 1, weighted), *weightedAlone);
                    useVectorUnit(unit);
                    const auto where = ::testing::Message()
                                       << "unit " << static_cast<int>(unit) << ", " << r << " x "
                                       << c << ", column " << j;
                    ASSERT_EQ(bits(doubles(*variances)[j]), bits(doubles(*alone)[0])) << where;
                    ASSERT_EQ(bits(plain[j]), bits(doubles(*alone)[0])) << where;
                    ASSERT_EQ(bits(windowed[j]), bits(doubles(*weightedAlone)[0])) << where;
                    ASSERT_EQ(bits(means[j]), bits(vectorMean(*column))) << where;
                    ASSERT_EQ(bits(seriesMean[j]), bits(vectorMean(*column))) << where;
                    ASSERT_EQ(bits(deviations[j]), bits(sampleStd(*column))) << where;
                }
            }
        }
    }
    useVectorUnit(availableVectorUnits().back());
}

TEST(Statistics, RemoveFlaggedCompactsInPlace)
{
    std::vector<double> caller{1.0, 2.0, 3.0, 4.0};
    ArrayOwner x = wrapArray(caller.data(), 4);
    removeFlagged(*x, *flagColumn({0, 1, 0, 1}));
    EXPECT_EQ(rows(*x), 2);
    EXPECT_EQ(doubles(*x), caller.data());
    EXPECT_EQ(caller, (std::vector<double>{1.0, 3.0, 3.0, 4.0}));

    // Values past the flags are kept; flags past the values still count as removed.
    std::vector<double> longer{1.0, 2.0, 3.0, 4.0};
    ArrayOwner y = wrapArray(longer.data(), 4);
    removeFlagged(*y, *flagColumn({0, 1}));
    EXPECT_EQ(rows(*y), 3);
    EXPECT_EQ(longer, (std::vector<double>{1.0, 3.0, 4.0, 4.0}));
    std::vector<double> shorter{1.0, 2.0, 3.0};
    ArrayOwner z = wrapArray(shorter.data(), 3);
    removeFlagged(*z, *flagColumn({1, 0, 0, 1}));
    EXPECT_EQ(rows(*z), 1);
    EXPECT_EQ(shorter, (std::vector<double>{2.0, 3.0, 3.0}));
}

// Zeros of either sign flag their row, a not-a-number does not; runs of kept rows move down.
TEST(Statistics, RowsWithAZeroAreFlaggedOnEveryUnitAndRemoved)
{
    constexpr std::int32_t kRows = 19;
    std::vector<double> a(kRows), b(kRows, 1.0);
    for (std::int32_t i = 0; i < kRows; ++i) {
        a[i] = i + 1.0;
    }
    a[3] = 0.0;
    b[4] = -0.0;
    b[9] = std::numeric_limits<double>::quiet_NaN();
    a[17] = -0.0;
    b[17] = 0.0;
    const double* series[] = {a.data(), b.data()};
    for (const VectorUnit unit : availableVectorUnits()) {
        useVectorUnit(unit);
        std::vector<std::uint8_t> flagged(kRows, 0);
        EXPECT_EQ(flagRowsWithZero(series, kRows, flagged.data()), 3);
        for (std::int32_t i = 0; i < kRows; ++i) {
            EXPECT_EQ(flagged[i], i == 3 || i == 4 || i == 17 ? 1 : 0) << "row " << i;
        }
        std::vector<double> kept = a;
        ArrayOwner x = wrapArray(kept.data(), kRows);
        removeFlagged(*x, *flagColumn(flagged));
        ASSERT_EQ(rows(*x), kRows - 3);
        for (std::int32_t i = 0; i < kRows - 3; ++i) {
            EXPECT_EQ(kept[i], i < 3 ? i + 1.0 : i < 15 ? i + 3.0 : i + 4.0) << "row " << i;
        }
    }
    useVectorUnit(availableVectorUnits().back());
}

TEST(Statistics, CountFlagsAddsTheSetOnes)
{
    std::vector<std::uint8_t> set(1000, 0);
    for (int k = 0; k < 90; ++k) {
        set[k * 11] = 1;
    }
    EXPECT_EQ(countFlags(*flagColumn(set)), 90.0);
    EXPECT_EQ(countFlags(*flagColumn({})), 0.0);
}

TEST(Statistics, DivideElementsDividesInStorageOrder)
{
    ArrayOwner a = matrix(1, 3, {1.0, 3.0, 1.0});
    ArrayOwner b = matrix(1, 3, {4.0, 3.0, 0.0});
    ArrayOwner result = initArray(2);
    divideElements(*a, *b, *result);
    ASSERT_EQ(columns(*result), 3);
    EXPECT_EQ(doubles(*result)[0], 0.25);
    EXPECT_EQ(doubles(*result)[1], 1.0);
    EXPECT_EQ(doubles(*result)[2], kInfinity);
}

TEST(Statistics, RoundHalfAwayFromZero)
{
    struct Case {
        double in;
        double out;
    };
    const Case cases[] = {
        {2.5, 3.0},
        {-2.5, -3.0},
        {0.49999999999999994, 0.0},
        {-0.3, -0.0},
        {2557.44, 2557.0},
        {0.5, 1.0},
        {-0.5, -1.0},
        {4503599627370497.0, 4503599627370497.0},
        {kInfinity, kInfinity},
        {kNaN, kNaN},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(bits(roundHalfAway(c.in)), bits(c.out)) << c.in;
    }
}

TEST(Statistics, RemainderByTwoKeepsTheSign)
{
    EXPECT_EQ(remainderByTwo(7.0), 1.0);
    EXPECT_EQ(remainderByTwo(-3.0), -1.0);
    EXPECT_EQ(remainderByTwo(2560.0), 0.0);
    EXPECT_EQ(remainderByTwo(2557.0), 1.0);
    for (const double nonFinite : {kInfinity, kMinusInfinity, std::nan("")}) {
        EXPECT_EQ(bits(remainderByTwo(nonFinite)), bits(kNaN));
    }
}

TEST(Statistics, DetrendingRemovesAStraightLine)
{
    for (const std::int32_t n : {3, 256, 2560}) {
        std::vector<double> line(n);
        std::vector<double> constant(n, -4.25);
        for (std::int32_t i = 0; i < n; ++i) {
            line[i] = 0.003 * (i + 1) + 12.0;
        }
        detrendLinear(line);
        detrendLinear(constant);
        // The fit sums n values of size up to 20: its rounding grows like n * 20 * epsilon.
        const double tolerance = n * 20.0 * 2.2e-16;
        for (std::int32_t i = 0; i < n; ++i) {
            ASSERT_NEAR(line[i], 0.0, tolerance) << n << " " << i;
            ASSERT_NEAR(constant[i], 0.0, tolerance) << n << " " << i;
        }
    }
}

// The matrix form factors the design once; every column must keep the bits of its own fit,
// also for the short columns that take the square solve and for a column of zeros.
TEST(Statistics, DetrendingColumnsGivesTheBitsOfEachColumnOnEveryUnit)
{
    // Nine columns fill two vectors and leave one over; the first is all zeros, whose
    // reflections take no step.
    constexpr std::int32_t kColumns = 9;
    for (const VectorUnit unit : availableVectorUnits()) {
        useVectorUnit(unit);
        for (const std::int32_t n : {1, 2, 3, 4, 5, 7, 2560}) {
            ArrayOwner matrix = initArray(2);
            resizeArray(*matrix, n, kColumns, kDoubleSize);
            std::vector<double> expected;
            for (std::int32_t j = 0; j < kColumns; ++j) {
                std::vector<double> column(n);
                for (std::int32_t i = 0; i < n; ++i) {
                    column[i] = j == 0 ? 0.0 : std::sin(0.37 * (i + 1) * j) + 0.01 * j * i;
                    doubles(*matrix)[j * n + i] = column[i];
                }
                detrendLinear(column);
                expected.insert(expected.end(), column.begin(), column.end());
            }
            // Also as one of a set, beside a copy and a column of another length.
            ArrayOwner twin =
                eddyrate::matrix(n, kColumns, {doubles(*matrix), doubles(*matrix) + n * kColumns});
            std::vector<double> longer(n + 1);
            for (std::int32_t i = 0; i <= n; ++i) {
                longer[i] = std::cos(0.11 * i);
            }
            ArrayOwner other = eddyrate::matrix(n + 1, 1, longer);
            detrendLinear(longer);
            detrendColumns(*matrix);
            NumericArray* const set[] = {twin.get(), other.get()};
            detrendColumns(set);
            for (std::size_t k = 0; k < expected.size(); ++k) {
                ASSERT_EQ(bits(doubles(*matrix)[k]), bits(expected[k]))
                    << "unit " << static_cast<int>(unit) << ", " << n << " rows, entry " << k;
                ASSERT_EQ(bits(doubles(*twin)[k]), bits(expected[k])) << "set, entry " << k;
            }
            for (std::int32_t i = 0; i <= n; ++i) {
                ASSERT_EQ(bits(doubles(*other)[i]), bits(longer[i])) << "other length, row " << i;
            }
        }
    }
    useVectorUnit(availableVectorUnits().back());
}

}  // namespace
}  // namespace eddyrate
