// The special cases of the correctly rounded functions, and the powers whose exact value is a
// double or lies halfway between two (where a rounding test alone never decides). Accuracy on
// ordinary arguments is checked against GNU MPFR in crmath_mpfr_test.cpp.

#include "crmath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "test_arrays.h"

namespace eddyrate {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMin = std::numeric_limits<double>::denorm_min();

struct PowerCase {
    double x;
    double y;
    double expected;
};

void expectPowers(std::initializer_list<PowerCase> cases)
{
    for (const PowerCase& c : cases) {
        const double got = crmath::pow(c.x, c.y);
        if (std::isnan(c.expected)) {
            EXPECT_TRUE(std::isnan(got)) << "pow(" << c.x << ", " << c.y << ")";
        } else {
            EXPECT_EQ(bits(got), bits(c.expected))
                << "pow(" << c.x << ", " << c.y << ") = " << got << ", expected " << c.expected;
        }
    }
}

// C99 Annex F, one row per rule (signs of zero count).
TEST(CorrectlyRoundedPower, FollowsAnnexFSpecialCases)
{
    expectPowers({
        {kNaN, 0.0, 1.0},     {kNaN, -0.0, 1.0},       {-3.0, 0.0, 1.0},     // y = +-0
        {1.0, kNaN, 1.0},     {1.0, -kInf, 1.0},       {1.0, 7.5, 1.0},      // x = 1
        {kNaN, 2.0, kNaN},    {2.0, kNaN, kNaN},                             // NaN
        {0.0, -3.0, kInf},    {-0.0, -3.0, -kInf},                           // 0, odd y < 0
        {0.0, -2.0, kInf},    {-0.0, -0.5, kInf},      {-0.0, -kInf, kInf},  // 0, other y < 0
        {0.0, 3.0, 0.0},      {-0.0, 3.0, -0.0},                             // 0, odd y > 0
        {-0.0, 2.0, 0.0},     {-0.0, 0.5, 0.0},        {-0.0, kInf, 0.0},    // 0, other y > 0
        {-1.0, kInf, 1.0},    {-1.0, -kInf, 1.0},                            // -1, y infinite
        {0.5, -kInf, kInf},   {-2.0, -kInf, 0.0},                            // y = -inf
        {-0.5, kInf, 0.0},    {2.0, kInf, kInf},                             // y = +inf
        {-kInf, -3.0, -0.0},  {-kInf, -2.0, 0.0},      {-kInf, -0.5, 0.0},   // x = -inf, y < 0
        {-kInf, 3.0, -kInf},  {-kInf, 2.0, kInf},      {-kInf, 0.5, kInf},   // x = -inf, y > 0
        {kInf, -1.0, 0.0},    {kInf, 0.5, kInf},                             // x = +inf
        {-2.0, 0.5, kNaN},    {-8.0, 1.0 / 3.0, kNaN},                       // x < 0, y not integer
        {-2.0, 3.0, -8.0},    {-2.0, -2.0, 0.25},      {-3.0, 0x1p60, kInf},  // x < 0, integer y
        {-0.5, 1075.0, -0.0}, {-2.0, 1025.0, -kInf},                          // underflow, overflow
        {10.0, 400.0, kInf},  {10.0, -400.0, 0.0},     {1.5, 0x1p70, kInf},   // far out of range
    });
}

TEST(CorrectlyRoundedPower, RoundsExactAndHalfwayPowers)
{
    expectPowers({
        {9.0, 0.5, 3.0},
        {0x1p-1074, 0.5, 0x1p-537},
        {2.0, -1074.0, kMin},
        {2.0, -1075.0, 0.0},  // 2^-1075 halfway between 0 and the least subnormal: even
        {0.25, 537.5, 0.0},
        {0x1p-1022, 1.0, 0x1p-1022},
        {2.0, 1023.0, 0x1p1023},
        {2.0, 1024.0, kInf},
        {3.0, 33.0, 5559060566555523.0},  // 3^33 < 2^53
        // 3^34 = 16677181699666569 needs 54 bits: halfway, ties to the even ...568.
        {3.0, 34.0, 16677181699666568.0},
        {9.0, 17.0, 16677181699666568.0},
        // 5^23 = 11920928955078125: halfway between ...124 and ...126, ties to ...124.
        {5.0, 23.0, 11920928955078124.0},
        {25.0, 11.5, 11920928955078124.0},
        {625.0, 5.75, 11920928955078124.0},
        // 3^35 = 50031545098999707 (56 bits) rounds to the nearer ...704.
        {3.0, 35.0, 50031545098999704.0},
        // (3 * 2^-215)^5 = 243 * 2^-1075: halfway between 121 and 122 least subnormals.
        {0x1.8p-214, 5.0, 122 * kMin},
        {0x1.8p-214, -5.0, kInf},
    });
}

TEST(CorrectlyRoundedTrigonometry, HandlesZeroTinyAndNonFiniteArguments)
{
    EXPECT_EQ(bits(crmath::sin(0.0)), bits(0.0));
    EXPECT_EQ(bits(crmath::sin(-0.0)), bits(-0.0));
    EXPECT_EQ(bits(crmath::sin(-kMin)), bits(-kMin));
    EXPECT_EQ(bits(crmath::sin(0x1p-30)), bits(0x1p-30));
    EXPECT_EQ(bits(crmath::cos(-0.0)), bits(1.0));
    EXPECT_EQ(bits(crmath::cos(0x1p-28)), bits(1.0));
    for (const double x : {kInf, -kInf, kNaN}) {
        EXPECT_TRUE(std::isnan(crmath::sin(x)));
        EXPECT_TRUE(std::isnan(crmath::cos(x)));
    }
    // A case a common C library rounds the wrong way: the exact value lies 0.5000055 units in
    // the last place above 0x1.234b2fc7a610ap-4.
    EXPECT_EQ(bits(crmath::sin(0x1.238a3037e3a4cp-4)), bits(0x1.234b2fc7a610bp-4));
}

// The pair has the bits of the two functions, across the quick path's range and past it.
TEST(CorrectlyRoundedTrigonometry, SineAndCosineTogetherGiveTheBitsOfEach)
{
    std::vector<double> angles{0.0, -0.0, 0x1p-30, -kMin, 8.0, -8.0, 0x1p21, kInf, kNaN};
    for (int k = -4000; k <= 4000; ++k) {
        angles.push_back(k * 0.0025 + 0x1p-40 * k);
    }
    for (const double x : angles) {
        double sine = 0.0;
        double cosine = 0.0;
        crmath::sinCos(x, sine, cosine);
        EXPECT_EQ(bits(sine), bits(crmath::sin(x))) << x;
        EXPECT_EQ(bits(cosine), bits(crmath::cos(x))) << x;
    }
}

}  // namespace
}  // namespace eddyrate
