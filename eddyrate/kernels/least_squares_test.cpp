#include "least_squares.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace eddyrate {
namespace {

// A is given by its two columns; y by its values.
std::array<double, 2> solve(const std::vector<double>& first, const std::vector<double>& second,
                            std::vector<double> y)
{
    const auto m = static_cast<std::int32_t>(first.size());
    ArrayOwner a = initArray(2);
    resizeArray(*a, m, 2, kDoubleSize);
    for (std::int32_t i = 0; i < m; ++i) {
        doubles(*a)[i] = first[i];
        doubles(*a)[m + i] = second[i];
    }
    ArrayOwner series = wrapArray(y.data(), static_cast<std::int32_t>(y.size()));
    return leastSquaresSolve(*a, *series);
}

std::vector<double> timeAxis(std::int32_t m, double factor = 1.0)
{
    std::vector<double> axis(m);
    for (std::int32_t i = 0; i < m; ++i) {
        axis[i] = static_cast<double>(i + 1) / m * factor;
    }
    return axis;
}

TEST(LeastSquaresSolve, RecoversAnExactStraightLine)
{
    for (const std::int32_t m : {1000, 3, 4, 2560, 5120}) {
        const std::vector<double> t = timeAxis(m);
        std::vector<double> y(m);
        for (std::int32_t i = 0; i < m; ++i) {
            y[i] = 2.75 - 1.5 * t[i];
        }
        const auto x = solve(t, std::vector<double>(m, 1.0), y);
        EXPECT_NEAR(x[0], -1.5, 1e-12) << m;
        EXPECT_NEAR(x[1], 2.75, 1e-12) << m;
    }
}

TEST(LeastSquaresSolve, MatchesTheNormalEquationsOnNoisyData)
{
    std::mt19937_64 engine(11);
    std::normal_distribution<double> noise(0.0, 1.0);
    const std::int32_t m = 257;
    std::vector<double> first(m);
    std::vector<double> second(m);
    std::vector<double> y(m);
    for (std::int32_t i = 0; i < m; ++i) {
        first[i] = noise(engine);
        second[i] = 3.0 + noise(engine);
        y[i] = noise(engine);
    }
    // Independent answer: Cramer's rule on A^T A x = A^T y in long double.
    long double s11 = 0, s12 = 0, s22 = 0, r1 = 0, r2 = 0;
    for (std::int32_t i = 0; i < m; ++i) {
        s11 += static_cast<long double>(first[i]) * first[i];
        s12 += static_cast<long double>(first[i]) * second[i];
        s22 += static_cast<long double>(second[i]) * second[i];
        r1 += static_cast<long double>(first[i]) * y[i];
        r2 += static_cast<long double>(second[i]) * y[i];
    }
    const long double det = s11 * s22 - s12 * s12;
    const auto x = solve(first, second, y);
    EXPECT_NEAR(x[0], static_cast<double>((r1 * s22 - r2 * s12) / det), 1e-13);
    EXPECT_NEAR(x[1], static_cast<double>((s11 * r2 - s12 * r1) / det), 1e-13);
}

TEST(LeastSquaresSolve, SquareSystemSwapsRowsAndSolvesExactly)
{
    // Rows [0, 1] and [1, 1]: x2 = 3, x1 + x2 = 5.
    const auto x = solve({0.0, 1.0}, {1.0, 1.0}, {3.0, 5.0});
    EXPECT_EQ(x[0], 2.0);
    EXPECT_EQ(x[1], 3.0);
    const auto y = solve({2.0, 1.0}, {1.0, 3.0}, {4.0, 7.0});
    EXPECT_DOUBLE_EQ(y[0], 1.0);
    EXPECT_DOUBLE_EQ(y[1], 2.0);
}

TEST(LeastSquaresSolve, OneRowFitsOnlyThePivotColumn)
{
    // The larger column (4) becomes the pivot: 8 / 4, the other coefficient 0.
    const auto x = solve({2.0}, {4.0}, {8.0});
    EXPECT_EQ(x[0], 0.0);
    EXPECT_EQ(x[1], 2.0);
}

TEST(LeastSquaresSolve, RankDeficientDesignGetsTheBasicSolution)
{
    // A zero first column: the ones column is pivoted first and the zero column gets 0.
    const auto zero = solve({0.0, 0.0, 0.0, 0.0}, {1.0, 1.0, 1.0, 1.0}, {1.0, 2.0, 3.0, 4.0});
    EXPECT_EQ(zero[0], 0.0);
    EXPECT_NEAR(zero[1], 2.5, 1e-15);
    // Identical columns tie: no pivoting, the first column carries the fit.
    const auto tie = solve({1.0, 1.0, 1.0}, {1.0, 1.0, 1.0}, {1.0, 2.0, 6.0});
    EXPECT_NEAR(tie[0], 3.0, 1e-15);
    EXPECT_EQ(tie[1], 0.0);
}

TEST(LeastSquaresSolve, AllZeroDesignDividesByZero)
{
    const auto x = solve({0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, {1.0, 2.0, 3.0});
    EXPECT_FALSE(std::isfinite(x[0]) && std::isfinite(x[1]));
}

TEST(LeastSquaresSolve, EmptyInputGivesZeros)
{
    const auto x = solve({}, {}, {});
    EXPECT_EQ(x[0], 0.0);
    EXPECT_EQ(x[1], 0.0);
}

TEST(LeastSquaresSolve, TinyColumnsAreRescaledNotLost)
{
    // Column norms near 1e-300 take the reflector's rescaling path.
    const std::int32_t m = 50;
    const std::vector<double> t = timeAxis(m, 1e-300);
    std::vector<double> y(m);
    for (std::int32_t i = 0; i < m; ++i) {
        y[i] = 4.0 * t[i] + 1.0e-300;
    }
    const auto x = solve(t, std::vector<double>(m, 1e-300), y);
    EXPECT_NEAR(x[0], 4.0, 1e-12);
    EXPECT_NEAR(x[1], 1.0, 1e-12);
}

TEST(ScaledNorm, NeitherOverflowsNorUnderflows)
{
    const std::vector<double> huge{3e300, -4e300};
    const std::vector<double> tiny{3e-310, 4e-310};
    EXPECT_DOUBLE_EQ(scaledNorm(huge), 5e300);
    EXPECT_NEAR(scaledNorm(tiny), 5e-310, 1e-323);
    EXPECT_EQ(scaledNorm(std::vector<double>{-2.5}), 2.5);
    EXPECT_EQ(scaledNorm(std::vector<double>{}), 0.0);
    EXPECT_EQ(scaledNorm(std::vector<double>{0.0, 0.0}), 0.0);
}

TEST(Hypotenuse, NeitherOverflowsNorLosesNotANumber)
{
    EXPECT_EQ(hypotenuse(3.0, -4.0), 5.0);
    EXPECT_EQ(hypotenuse(-4.0, 3.0), 5.0);
    EXPECT_DOUBLE_EQ(hypotenuse(1e300, 1e300), 1.4142135623730951e300);
    EXPECT_TRUE(std::isnan(hypotenuse(std::nan(""), 1.0)));
    EXPECT_TRUE(std::isnan(hypotenuse(1.0, std::nan(""))));
}

}  // namespace
}  // namespace eddyrate
