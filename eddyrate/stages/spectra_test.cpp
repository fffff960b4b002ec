// Band spectra against a direct Fourier sum, the band frequencies, and segment averages.

#include "spectra.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace eddyrate {
namespace {

ArrayOwner matrix(std::int32_t rowCount, std::int32_t columnCount,
                  const std::vector<double>& values)
{
    ArrayOwner array = initArray(2);
    resizeArray(*array, rowCount, columnCount, kDoubleSize);
    std::copy(values.begin(), values.end(), doubles(*array));
    return array;
}

// One-sided density of each 11-bin band by the direct Fourier sum in long double: bins
// 11(J - 1) + 1 .. 11 J, where bin N/2 counts as zero.
std::vector<double> directBands(const double* column, std::int32_t length, double fs)
{
    const std::int32_t nb = length / 22;
    std::vector<double> bands(nb);
    for (std::int32_t band = 0; band < nb; ++band) {
        long double sum = 0.0L;
        for (std::int32_t bin = 11 * band + 1; bin <= 11 * band + 11; ++bin) {
            if (bin == length / 2) {
                continue;
            }
            std::complex<long double> x = 0.0L;
            for (std::int32_t t = 0; t < length; ++t) {
                const long double angle =
                    -2.0L * std::numbers::pi_v<long double> * bin * t / length;
                x += static_cast<long double>(column[t]) * std::polar(1.0L, angle);
            }
            sum += std::norm(x);
        }
        bands[band] = static_cast<double>(sum / 11.0L * 2.0L / (length * fs));
    }
    return bands;
}

class BandSpectrumTest : public ::testing::TestWithParam<std::int32_t> {};

// 264 is a multiple of 22: its last band reaches the Nyquist row, which holds zero.
// The segments come in two arrays, as the components do, so each array's bands must be its own.
TEST_P(BandSpectrumTest, AveragesElevenBinsOfTheOneSidedDensity)
{
    const std::int32_t length = GetParam();
    constexpr std::int32_t kSegments = 3;
    constexpr std::int32_t kFirstArray = 2;
    constexpr double kRate = 2.5;
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> values(static_cast<std::size_t>(length) * kSegments);
    for (double& value : values) {
        value = noise(random);
    }
    const auto split = values.begin() + static_cast<std::ptrdiff_t>(length) * kFirstArray;
    ArrayOwner first = matrix(length, kFirstArray, std::vector<double>(values.begin(), split));
    ArrayOwner second =
        matrix(length, kSegments - kFirstArray, std::vector<double>(split, values.end()));
    ArrayOwner firstBands = initArray(2);
    ArrayOwner secondBands = initArray(2);
    const NumericArray* const scaled[] = {first.get(), second.get()};
    NumericArray* const bands[] = {firstBands.get(), secondBands.get()};
    bandSpectra(scaled, length, kRate, bands);

    const std::int32_t nb = length / 22;
    ASSERT_EQ(rows(*firstBands), nb);
    ASSERT_EQ(columns(*firstBands), kFirstArray);
    ASSERT_EQ(columns(*secondBands), kSegments - kFirstArray);
    for (std::int32_t j = 0; j < kSegments; ++j) {
        const std::vector<double> expected = directBands(values.data() + j * length, length, kRate);
        const double* segmentBands = j < kFirstArray
                                         ? doubles(*firstBands) + j * nb
                                         : doubles(*secondBands) + (j - kFirstArray) * nb;
        for (std::int32_t band = 0; band < nb; ++band) {
            EXPECT_NEAR(segmentBands[band], expected[band], 1e-12 * expected[band])
                << "segment " << j << " band " << band + 1;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, BandSpectrumTest, ::testing::Values(256, 264, 330));

struct FrequencyCase {
    double fs;
    double segmentLength;
    std::int32_t bands;
    double last;
};

void PrintTo(const FrequencyCase& c, std::ostream* os) { *os << c.fs << " Hz"; }

class BandFrequencyTest : public ::testing::TestWithParam<FrequencyCase> {};

// Half a bin above the centre of each band's eleven bins, plus 1/256 Hz.
TEST_P(BandFrequencyTest, PlacesEveryBandAtItsFrequency)
{
    const FrequencyCase& c = GetParam();
    ArrayOwner freq = initArray(2);
    bandFrequencies(c.segmentLength, c.fs, *freq);
    ASSERT_EQ(bandCount(c.segmentLength), c.bands);
    ASSERT_EQ(columns(*freq), c.bands);
    for (std::int32_t band = 0; band < c.bands; ++band) {
        const double expected = (11.0 * band + 5.5) * c.fs / c.segmentLength + 1.0 / 256.0;
        EXPECT_NEAR(doubles(*freq)[band], expected, 1e-13) << band + 1;
    }
    EXPECT_NEAR(doubles(*freq)[c.bands - 1], c.last, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Rates, BandFrequencyTest,
                         ::testing::Values(FrequencyCase{10.0, 2560.0, 116, 4.966796875},
                                           FrequencyCase{20.0, 5120.0, 232, 9.951171875},
                                           FrequencyCase{8.0, 2048.0, 93, 3.978515625},
                                           FrequencyCase{5.0, 1280.0, 58, 2.474609375},
                                           FrequencyCase{11.0, 2816.0, 128, 5.482421875}));

TEST(BandFrequencyTest, FirstBandAtTenAndTwentyHertzIsTheLibrarysValue)
{
    ArrayOwner ten = initArray(2), twenty = initArray(2);
    bandFrequencies(2560.0, 10.0, *ten);
    bandFrequencies(5120.0, 20.0, *twenty);
    EXPECT_EQ(doubles(*ten)[0], 0.025390624999999997);
    for (std::int32_t band = 0; band < 116; ++band) {
        EXPECT_EQ(doubles(*twenty)[band], doubles(*ten)[band]) << band + 1;
    }
}

TEST(SegmentAverageTest, AveragesEachBandOverTheSegments)
{
    ArrayOwner bands = matrix(2, 3, {1.0, 10.0, 2.0, 20.0, 6.0, 60.0});
    ArrayOwner mean = initArray(2);
    segmentAverage(*bands, *mean);
    ASSERT_EQ(columns(*mean), 2);
    EXPECT_EQ(doubles(*mean)[0], 3.0);
    EXPECT_EQ(doubles(*mean)[1], 30.0);

    ArrayOwner none = matrix(4, 0, {});
    segmentAverage(*none, *mean);
    ASSERT_EQ(columns(*mean), 4);
    for (std::int32_t band = 0; band < 4; ++band) {
        EXPECT_TRUE(std::isnan(doubles(*mean)[band]));
    }
}

}  // namespace
}  // namespace eddyrate
