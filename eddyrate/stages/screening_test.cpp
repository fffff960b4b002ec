// Screening and conditioning: the gate, the segment length and count, where segments start,
// the despiking rule, the window and the variance-restoring factors.

#include "screening.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

namespace eddyrate {
namespace {

struct Means {
    double u = 0, v = 0, w = 0, temp = 0;
};

BurstOutputs meansOnly(Means& means)
{
    return {nullptr,     nullptr, &means.u, &means.v, &means.w,
            &means.temp, nullptr, nullptr,  nullptr,  nullptr};
}

struct GateCase {
    std::int32_t n;
    std::int32_t zeros;  // samples with a zero in the temperature only
    double fs;
    bool passes;
};

void PrintTo(const GateCase& c, std::ostream* os)
{
    *os << c.n << " samples, " << c.zeros << " zeros, " << c.fs << " Hz";
}

class GateTest : public ::testing::TestWithParam<GateCase> {};

TEST_P(GateTest, ScreensZerosAndGatesTheBurst)
{
    const GateCase& gate = GetParam();
    std::vector<double> u(gate.n, 6.0), v(gate.n, 0.5), w(gate.n, 0.1), temp(gate.n, 290.0);
    for (std::int32_t k = 0; k < gate.zeros; ++k) {
        temp[static_cast<std::size_t>(k) * 7 % u.size()] = 0.0;
    }
    ArrayOwner us = wrapArray(u.data(), gate.n), vs = wrapArray(v.data(), gate.n),
               ws = wrapArray(w.data(), gate.n), ts = wrapArray(temp.data(), gate.n);
    Means means;
    const Screening screening = screenSamples(*us, *vs, *ws, *ts, meansOnly(means));
    EXPECT_EQ(screening.keptCount, gate.n - gate.zeros);
    EXPECT_EQ(screening.removedCount, gate.zeros);
    EXPECT_EQ(passesGate(screening.keptCount, gate.fs, screening.removedCount), gate.passes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GateTest,
    ::testing::Values(GateCase{511, 0, 10.0, false}, GateCase{512, 0, 10.0, true},
                      GateCase{513, 2, 10.0, false},    // 511 kept
                      GateCase{1000, 90, 10.0, true},   // 90 < 91.0
                      GateCase{1000, 91, 10.0, false},  // 91 < 90.9 fails
                      GateCase{1000, 0, 1.0, false}, GateCase{1000, 0, 1.0001, true},
                      GateCase{1000, 0, std::numeric_limits<double>::quiet_NaN(), false}));

TEST(ScreeningTest, CompactsAllFourSeriesAndAveragesTheKeptSamples)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> u = {1.0, 0.0, 3.0, 4.0, nan, 6.0};
    std::vector<double> v = {1.5, 2.5, 3.5, 4.5, 5.5, 6.5};
    std::vector<double> w = {-1.0, -2.0, -3.0, 0.0, -5.0, -6.0};
    std::vector<double> temp = {10.0, 20.0, 30.0, 40.0, 50.0, -0.0};
    ArrayOwner us = wrapArray(u.data(), 6), vs = wrapArray(v.data(), 6),
               ws = wrapArray(w.data(), 6), ts = wrapArray(temp.data(), 6);
    Means means;
    const Screening screening = screenSamples(*us, *vs, *ws, *ts, meansOnly(means));

    ASSERT_EQ(screening.keptCount, 3);  // rows 0, 2 and 4 (a not-a-number is not screened)
    EXPECT_EQ(screening.removedCount, 3.0);
    const std::vector<double> keptV = {1.5, 3.5, 5.5, 4.5, 5.5, 6.5};
    const std::vector<double> keptW = {-1.0, -3.0, -5.0, 0.0, -5.0, -6.0};
    const std::vector<double> keptTemp = {10.0, 30.0, 50.0, 40.0, 50.0, -0.0};
    EXPECT_EQ(v, keptV);
    EXPECT_EQ(w, keptW);
    EXPECT_EQ(temp, keptTemp);
    EXPECT_EQ(u[0], 1.0);
    EXPECT_EQ(u[1], 3.0);
    EXPECT_TRUE(std::isnan(u[2]));
    EXPECT_TRUE(std::isnan(means.u));
    EXPECT_EQ(means.v, 10.5 / 3.0);
    EXPECT_EQ(means.w, -3.0);
    EXPECT_EQ(means.temp, 30.0);
}

struct LengthCase {
    double fs;
    double segmentLength;
};

void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.fs << " Hz"; }

class SegmentLengthTest : public ::testing::TestWithParam<LengthCase> {};

TEST_P(SegmentLengthTest, HoldsAnEvenNumberOfSamplesIn256Seconds)
{
    EXPECT_EQ(segmentLength(GetParam().fs), GetParam().segmentLength);
}

INSTANTIATE_TEST_SUITE_P(Rates, SegmentLengthTest,
                         ::testing::Values(LengthCase{10.0, 2560.0}, LengthCase{20.0, 5120.0},
                                           LengthCase{8.0, 2048.0}, LengthCase{5.0, 1280.0},
                                           LengthCase{11.0, 2816.0}, LengthCase{9.99, 2556.0},
                                           LengthCase{10.0078125, 2562.0},
                                           LengthCase{1.0001, 256.0}, LengthCase{32.0, 8192.0}));

struct CountCase {
    double segmentLength;
    std::int32_t keptCount;
    std::int32_t segments;
};

void PrintTo(const CountCase& c, std::ostream* os)
{
    *os << "N " << c.segmentLength << ", " << c.keptCount << " kept";
}

class SegmentCountTest : public ::testing::TestWithParam<CountCase> {};

TEST_P(SegmentCountTest, FollowsTheDoubleFormula)
{
    EXPECT_EQ(segmentCount(GetParam().segmentLength, GetParam().keptCount), GetParam().segments);
}

INSTANTIATE_TEST_SUITE_P(
    Counts, SegmentCountTest,
    ::testing::Values(CountCase{2560.0, 2560, 1}, CountCase{2560.0, 3199, 1},
                      CountCase{2560.0, 3200, 2}, CountCase{2560.0, 2559, 0},
                      CountCase{2560.0, 1919, -1}, CountCase{2560.0, 6000, 6},
                      CountCase{2560.0, 600, -3}, CountCase{2560.0, 17998, 25},
                      // Where the double formula gives one segment fewer than exact arithmetic.
                      CountCase{322.0, 322, 0}, CountCase{322.0, 644, 4}));

// For these lengths the double formula agrees with floor(4 n / N) - 3 up to 100 N.
TEST(SegmentCountTest, AgreesWithWholeNumberArithmeticForUsualLengths)
{
    for (const std::int32_t length : {256, 512, 2048, 2556, 2560, 2562, 5120}) {
        for (std::int32_t kept = length; kept <= 100 * length; ++kept) {
            ASSERT_EQ(segmentCount(length, kept), 4 * kept / length - 3)
                << "N = " << length << ", kept " << kept;
        }
    }
}

TEST(SegmentPositionTest, HalfSampleHopStartsSegmentsOnTruncatedQuarters)
{
    const double length = segmentLength(10.0078125);
    const double hop = length * 0.25;
    ASSERT_EQ(hop, 640.5);
    const std::int32_t starts[] = {0, 640, 1281, 1921, 2562};
    for (std::int32_t j = 0; j < 5; ++j) {
        EXPECT_EQ(segmentPosition(0, j, hop), starts[j]) << "segment " << j;
        EXPECT_EQ(segmentPosition(2561, j, hop), starts[j] + 2561) << "segment " << j;
    }
}

// A column of n rows alternating a - d, a + d: mean a, sample deviation d sqrt(n / (n - 1)).
std::vector<double> alternating(std::size_t n, double a, double d)
{
    std::vector<double> column(n);
    for (std::size_t i = 0; i < n; ++i) {
        column[i] = i % 2 == 0 ? a - d : a + d;
    }
    return column;
}

double meanWithout(const std::vector<double>& column, std::size_t skipped)
{
    double sum = 0.0;
    for (std::size_t i = 0; i < column.size(); ++i) {
        sum += i == skipped ? 0.0 : column[i];
    }
    return sum / static_cast<double>(column.size() - 1);
}

struct SpikeCase {
    const char* name;
    int component;  // 0 u, 1 v, 2 w; -1 for none
    double offset;  // added to row 40 of that component, in units of its spread d
    bool spike;
};

void PrintTo(const SpikeCase& c, std::ostream* os) { *os << c.name; }

class DespikingTest : public ::testing::TestWithParam<SpikeCase> {};

// 100 rows of +-d around the mean; row 40 moved by 12 d lies about 7 standard deviations
// (taken with the outlier) from the mean, above or below, and is a spike; moved by 4 d it is
// not. A spike in one component replaces the row in all three with the clean-row means.
TEST_P(DespikingTest, ReplacesRowsFarFromTheSegmentMean)
{
    const SpikeCase& c = GetParam();
    const double spread[3] = {0.5, 0.25, 0.125};
    std::vector<double> columns[3] = {alternating(100, 6.0, spread[0]),
                                      alternating(100, 0.5, spread[1]),
                                      alternating(100, 0.0, spread[2])};
    if (c.component >= 0) {
        columns[c.component][40] += c.offset * spread[c.component];
    }
    const std::vector<double> before[3] = {columns[0], columns[1], columns[2]};
    despikeSegment(columns[0], columns[1], columns[2]);
    for (int k = 0; k < 3; ++k) {
        for (std::size_t i = 0; i < 100; ++i) {
            const double expected = c.spike && i == 40 ? meanWithout(before[k], 40) : before[k][i];
            EXPECT_DOUBLE_EQ(columns[k][i], expected)
                << c.name << " component " << k << " row " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rule, DespikingTest,
    ::testing::Values(SpikeCase{"none", -1, 0.0, false}, SpikeCase{"u above", 0, 12.0, true},
                      SpikeCase{"u below", 0, -12.0, true}, SpikeCase{"v above", 1, 12.0, true},
                      SpikeCase{"w above", 2, 12.0, true}, SpikeCase{"w below", 2, -12.0, true},
                      SpikeCase{"w within", 2, 4.0, false}),
    [](const auto& info) {
        std::string name = info.param.name;
        std::erase(name, ' ');
        return name;
    });

// Mean u far above its spread, as at sea, is not a spike; a constant segment has none.
TEST(DespikingTest, LeavesSteadyWindAndConstantSegmentsAlone)
{
    std::vector<double> u = alternating(64, 10.0, 0.01);
    std::vector<double> v(64, 2.0);
    std::vector<double> w(64, -0.3);
    const std::vector<double> uBefore = u;
    despikeSegment(u, v, w);
    EXPECT_EQ(u, uBefore);
    EXPECT_EQ(v, std::vector<double>(64, 2.0));
    EXPECT_EQ(w, std::vector<double>(64, -0.3));
}

TEST(SineWindowTest, RisesFromSinPiOverNToOneAndEndsAtSinPi)
{
    ArrayOwner window = initArray(2);
    sineWindow(2560.0, *window);
    ASSERT_EQ(rows(*window), 2560);
    const double* weight = doubles(*window);
    EXPECT_NEAR(weight[0], std::sin(std::numbers::pi / 2560.0), 1e-18);
    EXPECT_EQ(weight[1279], 1.0);
    // sin of the double nearest pi, that is pi minus that double (to 2^-160), rounded: tiny
    // and positive, not zero.
    EXPECT_EQ(weight[2559], 0x1.1a62633145c07p-53);
    EXPECT_GT(weight[2559], 0.0);
    EXPECT_LT(weight[2559], 1.3e-16);
}

// Each scaled column keeps the variance of its detrended column, whatever its own trend.
TEST(ConditioningTest, ScaledSegmentsKeepTheDetrendedVariance)
{
    constexpr std::int32_t kLength = 256;
    constexpr std::int32_t kKept = 640;  // three segments
    std::vector<double> u(kKept), v(kKept), w(kKept);
    for (std::int32_t i = 0; i < kKept; ++i) {
        u[i] = 5.0 + 0.01 * i + std::sin(0.37 * i) + 0.3 * std::cos(1.9 * i);
        v[i] = -1.0 + 0.5 * std::sin(0.11 * i);
        w[i] = 0.2 * std::cos(2.3 * i) - 0.002 * i;
    }
    ArrayOwner us = wrapArray(u.data(), kKept), vs = wrapArray(v.data(), kKept),
               ws = wrapArray(w.data(), kKept);
    const ConditionedSegments segments = conditionSegments(*us, *vs, *ws, kLength, 3);
    ASSERT_EQ(columns(*segments.scaledU), 3);
    ASSERT_EQ(rows(*segments.scaledU), kLength);

    const NumericArray* scaled[] = {segments.scaledU.get(), segments.scaledV.get(),
                                    segments.scaledW.get()};
    const std::vector<double>* series[] = {&u, &v, &w};
    for (int k = 0; k < 3; ++k) {
        for (std::int32_t j = 0; j < 3; ++j) {
            // The least-squares line through the segment, in closed form.
            const std::int32_t start = j * kLength / 4;
            double st = 0, sx = 0, stt = 0, stx = 0;
            for (std::int32_t i = 0; i < kLength; ++i) {
                const double t = i, x = (*series[k])[start + i];
                st += t, sx += x, stt += t * t, stx += t * x;
            }
            const double slope = (kLength * stx - st * sx) / (kLength * stt - st * st);
            const double offset = (sx - slope * st) / kLength;
            double detrended = 0, windowed = 0, mean = 0;
            const double* column = doubles(*scaled[k]) + j * kLength;
            for (std::int32_t i = 0; i < kLength; ++i) {
                mean += column[i] / kLength;
            }
            for (std::int32_t i = 0; i < kLength; ++i) {
                const double r = (*series[k])[start + i] - (offset + slope * i);
                detrended += r * r;
                windowed += (column[i] - mean) * (column[i] - mean);
            }
            EXPECT_NEAR(windowed / detrended, 1.0, 1e-9) << "component " << k << " segment " << j;
        }
    }
}

}  // namespace
}  // namespace eddyrate
