// The fit range and the per-segment dissipation fit with its validity rule.

#include "fit.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <vector>

#include "spectra.h"
#include "statistics.h"
#include "vector_kernels.h"

namespace eddyrate {
namespace {

std::vector<std::int32_t> bandsOf(double segmentLength, double fs)
{
    ArrayOwner freq = initArray(2), list = initArray(2);
    bandFrequencies(segmentLength, fs, *freq);
    fitRange(*freq, *list);
    return {integers(*list), integers(*list) + columns(*list)};
}

TEST(FitRangeTest, CoversBands47To114WhenTheSegmentIs256Seconds)
{
    std::vector<std::int32_t> expected;
    for (std::int32_t band = 47; band <= 114; ++band) {
        expected.push_back(band);
    }
    EXPECT_EQ(bandsOf(2560.0, 10.0), expected);
    EXPECT_EQ(bandsOf(5120.0, 20.0), expected);
    // At 4 Hz the last band lies near 1.96 Hz: nothing to fit.
    EXPECT_TRUE(bandsOf(1024.0, 4.0).empty());
}

struct Segment {
    double level;           // A in Bww = A f^(-5/3) over the fit range
    double ripple;          // relative ripple of alternate fit bands, which lowers the quality
    std::vector<double> u;  // raw u column
};

struct Fitted {
    double ustar, epsilon, meanU, meanV, meanW, meanTemp, anisotropy, quality;
    std::array<double, kReturnedBands> freq, tke;
};

constexpr double kHeight = 5.0;
constexpr std::int32_t kRows = 4;

// U = 2 pi makes (U / 2 pi)^(2/3) one, so eps = (Cmean / 0.7333...)^1.5.
std::vector<double> steadyWind() { return std::vector<double>(kRows, 2.0 * std::numbers::pi); }
// |mean| 0 < standard deviation: not valid.
std::vector<double> calm() { return {-1.0, 1.0, -1.0, 1.0}; }

// Runs the fit at 10 Hz on band spectra built from the segments; v is zero throughout.
Fitted fit(const std::vector<Segment>& segments)
{
    const auto count = static_cast<std::int32_t>(segments.size());
    ArrayOwner freq = initArray(2), bww = initArray(2), rawU = initArray(2), rawV = initArray(2),
               spectrum = initArray(2);
    bandFrequencies(2560.0, 10.0, *freq);
    const std::int32_t nb = columns(*freq);
    resizeArray(*bww, nb, count, kDoubleSize);
    resizeArray(*rawU, kRows, count, kDoubleSize);
    resizeArray(*rawV, kRows, count, kDoubleSize);
    for (std::int32_t k = 0; k < count; ++k) {
        for (std::int32_t band = 0; band < nb; ++band) {
            const double ripple = 1.0 + (band % 2 == 0 ? 1.0 : -1.0) * segments[k].ripple;
            doubles(*bww)[k * nb + band] =
                segments[k].level * ripple * std::pow(doubles(*freq)[band], -5.0 / 3.0);
        }
        std::copy(segments[k].u.begin(), segments[k].u.end(), doubles(*rawU) + k * kRows);
    }
    // Spectra of u and v twice and three times that of w in every band.
    ArrayOwner suu = initArray(2), svv = initArray(2), sww = initArray(2), tke = initArray(2);
    segmentAverage(*bww, *sww);
    resizeArray(*suu, 1, nb, kDoubleSize);
    resizeArray(*svv, 1, nb, kDoubleSize);
    for (std::int32_t band = 0; band < nb; ++band) {
        doubles(*suu)[band] = 2.0 * doubles(*sww)[band];
        doubles(*svv)[band] = 3.0 * doubles(*sww)[band];
    }
    tkeSpectrum(*suu, *svv, *sww, *tke);

    Fitted out{};
    const BurstOutputs outputs{&out.ustar,      &out.epsilon,  &out.meanU,      &out.meanV,
                               &out.meanW,      &out.meanTemp, &out.anisotropy, &out.quality,
                               out.freq.data(), out.tke.data()};
    ArrayOwner meanU = initArray(2), meanV = initArray(2), varianceU = initArray(2);
    columnMeans(*rawU, *meanU);
    columnMeans(*rawV, *meanV);
    columnVariances(*rawU, *varianceU);
    writeEstimates({*meanU, *meanV, *varianceU, *bww, *freq, *suu, *svv, *sww, *tke}, kHeight,
                   outputs);
    return out;
}

// Independent values of one segment: the compensated spectrum over bands 47 .. 114 is
// A (1 +- ripple), so its mean and sample deviation follow in closed form.
double epsilonOf(const Segment& s) { return std::pow(s.level / (4.0 / 3.0 * 0.55), 1.5); }
double ustarOf(const Segment& s) { return std::cbrt(kHeight * epsilonOf(s) * 0.4); }
double qualityOf(const Segment& s)
{
    // 68 bands, 34 with each sign of the ripple: mean A, deviation A ripple sqrt(68 / 67).
    return 1.0 - s.ripple * std::sqrt(68.0 / 67.0);
}

TEST(WriteEstimatesTest, AveragesOverTheValidSegmentsOnly)
{
    const std::vector<Segment> segments = {{2e-3, 0.0, calm()},
                                           {1e-3, 0.1, steadyWind()},
                                           {5e-3, 0.2, calm()},
                                           {4e-3, 0.0, steadyWind()},
                                           {3e-3, 0.3, calm()}};
    const Fitted out = fit(segments);
    EXPECT_NEAR(out.epsilon, (epsilonOf(segments[1]) + epsilonOf(segments[3])) / 2.0,
                1e-12 * out.epsilon);
    EXPECT_NEAR(out.ustar, (ustarOf(segments[1]) + ustarOf(segments[3])) / 2.0, 1e-12 * out.ustar);
    EXPECT_NEAR(out.quality, (qualityOf(segments[1]) + qualityOf(segments[3])) / 2.0, 1e-12);
    // ((3 Sww + 2 Sww) / Sww) / 2 whatever the level.
    EXPECT_NEAR(out.anisotropy, 2.5, 1e-14);
    for (std::int32_t band = 0; band < kReturnedBands; ++band) {
        EXPECT_NEAR(out.freq[band], (11.0 * band + 6.5) / 256.0, 1e-13);
    }
}

TEST(WriteEstimatesTest, OneValidSegmentGivesNoEstimateButTheQualityOfAll)
{
    const std::vector<Segment> segments = {
        {2e-3, 0.1, calm()}, {1e-3, 0.2, steadyWind()}, {5e-3, 0.0, calm()}};
    const Fitted out = fit(segments);
    EXPECT_EQ(out.ustar, kMissingEstimate);
    EXPECT_EQ(out.epsilon, kMissingEstimate);
    EXPECT_NEAR(out.quality,
                (qualityOf(segments[0]) + qualityOf(segments[1]) + qualityOf(segments[2])) / 3.0,
                1e-12);
    EXPECT_NEAR(out.anisotropy, 2.5, 1e-14);
    EXPECT_TRUE(std::isfinite(out.tke[115]));
}

// Validity is |mean u| > its standard deviation, strictly, whichever way the wind blows.
TEST(WriteEstimatesTest, ValidityIsStrictAndIgnoresTheDirection)
{
    // Mean 2 and standard deviation 2: not valid.
    const std::vector<double> borderline = {3.0, 3.0, 3.0, -1.0};
    std::vector<double> reversed = steadyWind();
    for (double& u : reversed) {
        u = -u;
    }
    const Fitted out =
        fit({{1e-3, 0.0, borderline}, {2e-3, 0.0, reversed}, {3e-3, 0.0, steadyWind()}});
    const double expected =
        (std::pow(2e-3 / (4.0 / 3.0 * 0.55), 1.5) + std::pow(3e-3 / (4.0 / 3.0 * 0.55), 1.5)) / 2.0;
    EXPECT_NEAR(out.epsilon, expected, 1e-12 * expected);
}

}  // namespace
}  // namespace eddyrate
