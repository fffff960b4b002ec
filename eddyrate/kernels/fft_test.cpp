#include "fft.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "butterflies.h"
#include "fft_plan.h"

namespace eddyrate {
namespace {

constexpr long double kTwoPiLong = 6.283185307179586476925286766559L;

std::vector<double> randomColumn(std::int32_t m, unsigned seed)
{
    std::mt19937_64 engine(seed);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<double> values(static_cast<std::size_t>(m));
    for (double& value : values) {
        value = uniform(engine);
    }
    return values;
}

// The transform by its definition, in long double, with the phase reduced exactly (j t mod m)
// and looked up in a table of the m roots of unity.
std::vector<Complex> directTransform(const std::vector<double>& x)
{
    const auto m = static_cast<std::int64_t>(x.size());
    std::vector<long double> cosine(x.size());
    std::vector<long double> sine(x.size());
    for (std::int64_t k = 0; k < m; ++k) {
        cosine[k] = std::cos(kTwoPiLong * k / m);
        sine[k] = std::sin(kTwoPiLong * k / m);
    }
    std::vector<Complex> y(x.size());
    for (std::int64_t j = 0; j < m; ++j) {
        long double re = 0.0L;
        long double im = 0.0L;
        for (std::int64_t t = 0; t < m; ++t) {
            const std::int64_t k = (j * t) % m;
            re += x[t] * cosine[k];
            im -= x[t] * sine[k];
        }
        y[j] = Complex{static_cast<double>(re), static_cast<double>(im)};
    }
    return y;
}

std::vector<Complex> transform(std::vector<double> x, std::int32_t m, std::int32_t columnCount)
{
    ArrayOwner input = initArray(2);
    resizeArray(*input, m, columnCount, kDoubleSize);
    for (std::size_t k = 0; k < x.size(); ++k) {
        doubles(*input)[k] = x[k];
    }
    ArrayOwner output = initArray(2);
    fftTransform(*input, *output);
    EXPECT_EQ(rows(*output), m);
    EXPECT_EQ(columns(*output), columnCount);
    return {complexes(*output), complexes(*output) + elementCount(*output)};
}

double largestMagnitude(const std::vector<Complex>& y)
{
    double largest = 0.0;
    for (const Complex& value : y) {
        largest = std::max(largest, std::hypot(value.re, value.im));
    }
    return largest;
}

double largestDifference(const std::vector<Complex>& a, const std::vector<Complex>& b)
{
    double largest = 0.0;
    for (std::size_t k = 0; k < a.size(); ++k) {
        largest = std::max(largest, std::hypot(a[k].re - b[k].re, a[k].im - b[k].im));
    }
    return largest;
}

const std::int32_t kLengths[] = {1, 2, 3, 5, 8, 12, 100, 256, 2560, 2562, 4096};

// Rounding leaves about 1e-15 of the largest bin at these lengths (log2(m) roundings per output,
// three transforms of twice the length on the chirp path); ten times that still catches any
// wrong twiddle, sign or index, which costs the order of the values themselves.
constexpr double kRelativeTolerance = 1e-14;

TEST(FftTransform, AgreesWithTheDirectSumForManyLengths)
{
    for (const std::int32_t m : kLengths) {
        const std::vector<double> x = randomColumn(m, 100 + m);
        const std::vector<Complex> y = transform(x, m, 1);
        const std::vector<Complex> expected = directTransform(x);
        EXPECT_LE(largestDifference(y, expected), kRelativeTolerance * largestMagnitude(expected))
            << "m = " << m;
    }
}

TEST(FftTransform, RealInputGivesConjugateSymmetricOutput)
{
    for (const std::int32_t m : kLengths) {
        const std::vector<Complex> y = transform(randomColumn(m, 7 * m), m, 1);
        const double limit = kRelativeTolerance * largestMagnitude(y);
        for (std::int32_t j = 1; j < m; ++j) {
            ASSERT_NEAR(y[m - j].re, y[j].re, limit) << "m = " << m << ", j = " << j;
            ASSERT_NEAR(y[m - j].im, -y[j].im, limit) << "m = " << m << ", j = " << j;
        }
    }
}

TEST(FftTransform, IsLinear)
{
    for (const std::int32_t m : {5, 256, 2560}) {
        const std::vector<double> a = randomColumn(m, 1);
        const std::vector<double> b = randomColumn(m, 2);
        std::vector<double> combined(a.size());
        for (std::size_t k = 0; k < a.size(); ++k) {
            combined[k] = 2.0 * a[k] - 0.5 * b[k];
        }
        const std::vector<Complex> ya = transform(a, m, 1);
        const std::vector<Complex> yb = transform(b, m, 1);
        std::vector<Complex> expected(ya.size());
        for (std::size_t k = 0; k < ya.size(); ++k) {
            expected[k] = Complex{2.0 * ya[k].re - 0.5 * yb[k].re, 2.0 * ya[k].im - 0.5 * yb[k].im};
        }
        const std::vector<Complex> y = transform(combined, m, 1);
        EXPECT_LE(largestDifference(y, expected), kRelativeTolerance * largestMagnitude(expected))
            << "m = " << m;
    }
}

TEST(FftTransform, ShortLengthsAreExact)
{
    const std::vector<Complex> one = transform({-2.5}, 1, 1);
    EXPECT_EQ(one[0].re, -2.5);
    EXPECT_EQ(one[0].im, 0.0);
    const std::vector<Complex> two = transform({3.0, 1.25}, 2, 1);
    EXPECT_EQ(two[0].re, 4.25);
    EXPECT_EQ(two[1].re, 1.75);
    EXPECT_EQ(two[0].im, 0.0);
    EXPECT_EQ(two[1].im, 0.0);
}

TEST(FftTransform, ColumnsAreTransformedIndependently)
{
    for (const std::int32_t m : {8, 12}) {
        const std::vector<double> a = randomColumn(m, 3);
        const std::vector<double> b = randomColumn(m, 4);
        std::vector<double> ab = a;
        ab.insert(ab.end(), b.begin(), b.end());
        std::vector<double> ba = b;
        ba.insert(ba.end(), a.begin(), a.end());
        const std::vector<Complex> yab = transform(ab, m, 2);
        const std::vector<Complex> yba = transform(ba, m, 2);
        for (std::int32_t k = 0; k < m; ++k) {
            EXPECT_EQ(yab[k].re, yba[m + k].re);
            EXPECT_EQ(yab[k].im, yba[m + k].im);
            EXPECT_EQ(yab[m + k].re, yba[k].re);
        }
    }
}

TEST(FftTransform, EmptyInputGivesEmptyOutputOfTheSameExtents)
{
    EXPECT_TRUE(transform({}, 0, 3).empty());
    EXPECT_TRUE(transform({}, 5, 0).empty());
}

TEST(BuildTwiddleTables, HoldsTheUnitCircleFromTheFirstOctant)
{
    // Where long double is no wider than double (32-bit ARM), the reference angle is rounded
    // too, which moves the reference by up to a unit in the last place of pi.
    constexpr double kTolerance =
        std::numeric_limits<long double>::digits > std::numeric_limits<double>::digits ? 2e-16
                                                                                       : 6e-16;
    for (const std::int32_t length : {1, 2, 4, 8, 64, 8192}) {
        ArrayOwner cosine = initArray(2);
        ArrayOwner sine = initArray(2);
        ArrayOwner inverseSine = initArray(2);
        buildTwiddleTables(length, false, *cosine, *sine, *inverseSine);
        const std::int32_t entries = 2 * (length / 4) + 1;
        ASSERT_EQ(columns(*cosine), entries);
        ASSERT_EQ(columns(*inverseSine), entries);
        for (std::int32_t k = 0; k < entries; ++k) {
            const long double angle = kTwoPiLong * k / length;
            EXPECT_NEAR(doubles(*cosine)[k], std::cos(angle), kTolerance) << length << " " << k;
            EXPECT_NEAR(doubles(*sine)[k], -std::sin(angle), kTolerance) << length << " " << k;
            EXPECT_EQ(doubles(*inverseSine)[k], -doubles(*sine)[k]) << length << " " << k;
        }
        buildTwiddleTables(length, true, *cosine, *sine, *inverseSine);
        EXPECT_EQ(columns(*inverseSine), 0);
    }
}

// The convolution length by bisection over the exponent, as the design first stated it.
std::int32_t bisectedConvolutionLength(std::int32_t m)
{
    const std::int64_t target = 2 * static_cast<std::int64_t>(m) - 1;
    if (target <= 1) {
        return 1;
    }
    int low = 0;
    int high = 31;
    while (high - low > 1) {
        const int mid = (low + high) / 2;
        const std::int64_t power = std::int64_t{1} << mid;
        if (power == target) {
            high = mid;
            break;
        }
        (power > target ? high : low) = mid;
    }
    return static_cast<std::int32_t>(std::int64_t{1} << high);
}

TEST(ConvolutionLength, AgreesWithTheBisectionOverTheWholeRange)
{
    // The result only changes where 2m - 1 crosses a power of two: every such crossing up to
    // the largest m allowed (2m - 1 <= 2^30), and lengths drawn between them.
    constexpr std::int32_t kLargest = std::int32_t{1} << 29;
    std::vector<std::int32_t> lengths;
    for (std::int32_t power = 1; power <= kLargest; power *= 2) {
        for (const std::int32_t m : {power - 1, power, power + 1}) {
            if (m >= 1 && m <= kLargest) {
                lengths.push_back(m);
            }
        }
    }
    std::mt19937 engine(26);
    std::uniform_int_distribution<std::int32_t> anyLength(1, kLargest);
    for (int k = 0; k < 10000; ++k) {
        lengths.push_back(anyLength(engine));
    }
    for (const std::int32_t m : lengths) {
        ASSERT_EQ(convolutionLength(m), bisectedConvolutionLength(m)) << "m = " << m;
    }
}

// Every butterfly a schedule performs, as each entry meets them in turn.
struct ButterflyRecord {
    using Butterfly = std::tuple<std::int32_t, std::int32_t, std::int32_t>;  // top, bottom, j
    static constexpr std::int32_t kNoProduct = -1;
    // The schedules take their ops by value: the copies share this record.
    std::vector<std::vector<Butterfly>>* byEntry;

    void meet(std::int32_t top, std::int32_t bottom, std::int32_t j) const
    {
        (*byEntry)[top].emplace_back(top, bottom, j);
        (*byEntry)[bottom].emplace_back(top, bottom, j);
    }
    void plain(std::int32_t top, std::int32_t bottom) const { meet(top, bottom, kNoProduct); }
    void twiddled(std::int32_t top, std::int32_t bottom, std::int32_t j) const
    {
        meet(top, bottom, j);
    }
    void inputPair(std::int32_t p) const { plain(p, p + 1); }
    void twoStages(std::int32_t i, std::int32_t half, std::int32_t blockSize, std::int32_t first,
                   std::int32_t second, std::int32_t third) const
    {
        const auto twiddle = [](std::int32_t j) { return j == 0 ? kNoProduct : j; };
        meet(i, i + half, twiddle(first));
        meet(i + blockSize, i + blockSize + half, twiddle(first));
        meet(i, i + blockSize, twiddle(second));
        meet(i + half, i + blockSize + half, third);
    }
};

// The same record, doing the first three stages through an octet as the forward chirp
// kernel does.
struct OctetRecord : ButterflyRecord {
    void inputOctet(std::int32_t p, std::int32_t eighth) const
    {
        octetButterflies(8 * eighth, p, ButterflyRecord{byEntry});
    }
};

TEST(Butterflies, ChunkedOrderMeetsEveryEntryWithTheButterfliesOfTheStagedOrder)
{
    // The lock-step kernels run butterfliesByChunk, the column-by-column code
    // butterfliesByStage: the same butterflies in the same order for each entry give each
    // entry the same bits, whatever chunk the unit's cache size makes, with octets or without,
    // and for the entries read when the last stages skip the others.
    for (std::int32_t length = 4; length <= 8192; length *= 2) {
        std::vector<std::vector<ButterflyRecord::Butterfly>> staged(length);
        butterfliesByStage(length, ButterflyRecord{&staged});
        const auto stages =
            static_cast<std::size_t>(std::countr_zero(static_cast<std::uint32_t>(length)));
        ASSERT_EQ(staged[length - 1].size(), stages) << "length " << length;
        const OutputRange read{length / 3, length / 3 + length / 5};
        for (std::int32_t cached = 2; cached <= 2 * length; cached *= 2) {
            std::vector<std::vector<ButterflyRecord::Butterfly>> chunked(length);
            butterfliesByChunk(length, cached, ButterflyRecord{&chunked});
            ASSERT_EQ(chunked, staged) << "length " << length << ", chunk " << cached;
            std::vector<std::vector<ButterflyRecord::Butterfly>> octets(length);
            butterfliesByChunk(length, cached, OctetRecord{{&octets}});
            ASSERT_EQ(octets, staged) << "octets, length " << length << ", chunk " << cached;
            std::vector<std::vector<ButterflyRecord::Butterfly>> pruned(length);
            butterfliesByChunk(length, cached, ButterflyRecord{&pruned}, read);
            for (std::int32_t k = read.first; k <= read.last; ++k) {
                ASSERT_EQ(pruned[k], staged[k]) << "entry " << k << " of " << length;
            }
        }
    }
}

}  // namespace
}  // namespace eddyrate
