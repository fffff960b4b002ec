// The export end to end: independently computed reference bursts matched bit for bit, bursts
// recorded once at other sampling rates, the caller's memory, a known dissipation rate
// recovered, and calls from several threads.

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "eddyrate.h"
#include "test_bursts.h"

namespace {

using eddyrate::testing::Burst;

// The header's names read the reference files, so a name changed in one place fails here.
constexpr int kScalars = EDDYRATE_SCALAR_OUTPUTS;
constexpr const char* kOutputNames[] = {EDDYRATE_OUTPUT_NAMES};
constexpr const char* const* kScalarNames = kOutputNames;

struct Outputs {
    std::array<double, kScalars> scalars{};  // in the order of kScalarNames
    std::array<double, EDDYRATE_BANDS> freq{};
    std::array<double, EDDYRATE_BANDS> tke{};

    double ustar() const { return scalars[0]; }
    double epsilon() const { return scalars[1]; }
    double anisotropy() const { return scalars[6]; }
    double quality() const { return scalars[7]; }
};

Outputs run(Burst& burst, double z, double fs)
{
    Outputs out;
    double* s = out.scalars.data();
    eddyRate(burst.u.data(), burst.v.data(), burst.w.data(), burst.temp.data(), z, fs, &s[0], &s[1],
             &s[2], &s[3], &s[4], &s[5], &s[6], &s[7], out.freq.data(), out.tke.data(),
             static_cast<int32_t>(burst.u.size()));
    return out;
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

std::string hexFloat(double x)
{
    char text[40];
    std::snprintf(text, sizeof text, "%a", x);
    return text;
}

// Compares bit patterns, so that the sign of zero and the kind of not-a-number count.
void expectSameBits(double expected, double actual, const std::string& what)
{
    EXPECT_EQ(bits(expected), bits(actual))
        << what << ": expected " << hexFloat(expected) << ", got " << hexFloat(actual);
}

void expectSameOutputs(const Outputs& expected, const Outputs& actual)
{
    for (int k = 0; k < kScalars; ++k) {
        expectSameBits(expected.scalars[k], actual.scalars[k], kScalarNames[k]);
    }
    for (int i = 0; i < EDDYRATE_BANDS; ++i) {
        expectSameBits(expected.freq[i], actual.freq[i], "Freq[" + std::to_string(i) + "]");
        expectSameBits(expected.tke[i], actual.tke[i], "Tke[" + std::to_string(i) + "]");
    }
}

std::string testData(const std::string& name)
{
    return std::string(EDDYRATE_TESTDATA) + "/" + name;
}

Burst readBurst(const std::string& file, std::size_t n)
{
    std::ifstream in(testData(file), std::ios::binary);
    std::vector<double> all(4 * n);
    in.read(reinterpret_cast<char*>(all.data()), static_cast<std::streamsize>(all.size() * 8));
    EXPECT_TRUE(in.good()) << "cannot read " << file;
    const auto part = [&](std::size_t k) {
        return std::vector<double>(all.begin() + static_cast<std::ptrdiff_t>(k * n),
                                   all.begin() + static_cast<std::ptrdiff_t>((k + 1) * n));
    };
    return {part(0), part(1), part(2), part(3)};
}

// The hexadecimal bit patterns after "bits" in the entry `name` of a reference file: one
// quoted pattern, or a list of them.
std::vector<double> referenceBits(const std::string& json, const std::string& name)
{
    std::vector<double> values;
    const std::size_t entry = json.find("\"" + name + "\"", json.find("\"expected\""));
    const std::size_t value =
        json.find_first_of("[\"", json.find(':', json.find("\"bits\"", entry)));
    const std::size_t end = json[value] == '[' ? json.find(']', value) : value + 1;
    for (std::size_t open = json.find('"', value); open <= end; open = json.find('"', open)) {
        const std::size_t close = json.find('"', open + 1);
        values.push_back(std::bit_cast<double>(
            std::stoull(json.substr(open + 1, close - open - 1), nullptr, 16)));
        open = close + 1;
    }
    return values;
}

Outputs readReference(const std::string& file)
{
    std::ifstream in(testData(file));
    const std::string json((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Outputs out;
    for (int k = 0; k < kScalars; ++k) {
        const std::vector<double> value = referenceBits(json, kScalarNames[k]);
        EXPECT_EQ(value.size(), 1u) << kScalarNames[k];
        out.scalars[k] = value.empty() ? 0.0 : value[0];
    }
    const std::vector<double> freq = referenceBits(json, "Freq");
    const std::vector<double> tke = referenceBits(json, "Tke");
    EXPECT_EQ(freq.size(), out.freq.size());
    EXPECT_EQ(tke.size(), out.tke.size());
    std::copy_n(freq.begin(), std::min(freq.size(), out.freq.size()), out.freq.begin());
    std::copy_n(tke.begin(), std::min(tke.size(), out.tke.size()), out.tke.begin());
    return out;
}

struct ReferenceBurst {
    const char* name;
    std::size_t n;
    double z;
    double fs;
};

void PrintTo(const ReferenceBurst& c, std::ostream* os) { *os << c.name; }

class ReferenceBurstTest : public ::testing::TestWithParam<ReferenceBurst> {};

// 30-minute bursts with two screened samples and a few spikes, whose outputs were computed
// independently of this code from the method as the library defines it.
TEST_P(ReferenceBurstTest, MatchesIndependentResultBitForBit)
{
    const ReferenceBurst& reference = GetParam();
    Burst burst = readBurst(std::string(reference.name) + ".f64", reference.n);
    expectSameOutputs(readReference(std::string(reference.name) + ".json"),
                      run(burst, reference.z, reference.fs));
}

INSTANTIATE_TEST_SUITE_P(ThirtyMinutes, ReferenceBurstTest,
                         ::testing::Values(ReferenceBurst{"burst-30min-10hz", 18000, 4.0, 10.0},
                                           ReferenceBurst{"burst-30min-20hz", 36000, 3.5, 20.0}),
                         [](const auto& info) {
                             return info.param.fs == 10.0 ? "TenHertz" : "TwentyHertz";
                         });

}  // namespace

namespace {

struct RecordedBurst {
    const char* name;
    std::int32_t n;  // 30 minutes of samples
    double z;
    double fs;
    std::uint64_t seed;
};

void PrintTo(const RecordedBurst& c, std::ostream* os) { *os << c.name; }

// The outputs recorded for `name` in testdata/recorded-bursts.txt.
Outputs readRecorded(const std::string& name)
{
    std::ifstream in(testData("recorded-bursts.txt"));
    std::string line;
    while (std::getline(in, line) && line != "burst " + name) {
    }
    Outputs out;
    const auto readRow = [&](const char* label, double* values, std::size_t count) {
        std::getline(in, line);
        std::istringstream row(line);
        std::string word;
        row >> word;
        EXPECT_EQ(word, label) << "recorded burst " << name;
        for (std::size_t k = 0; k < count && row >> word; ++k) {
            values[k] = std::bit_cast<double>(std::stoull(word, nullptr, 16));
        }
    };
    for (int k = 0; k < kScalars; ++k) {
        readRow(kScalarNames[k], &out.scalars[k], 1);
    }
    readRow("Freq", out.freq.data(), out.freq.size());
    readRow("Tke", out.tke.data(), out.tke.size());
    return out;
}

class RecordedBurstTest : public ::testing::TestWithParam<RecordedBurst> {};

// Any later change to the numbers at these rates is a change of behaviour.
TEST_P(RecordedBurstTest, GivesRecordedBits)
{
    const RecordedBurst& recorded = GetParam();
    Burst burst = eddyrate::testing::redNoiseBurst(recorded.n, recorded.seed);
    expectSameOutputs(readRecorded(recorded.name), run(burst, recorded.z, recorded.fs));
}

INSTANTIATE_TEST_SUITE_P(OtherRates, RecordedBurstTest,
                         ::testing::Values(RecordedBurst{"EightHertz", 14400, 3.0, 8.0, 8},
                                           RecordedBurst{"OddSegmentLength", 18014, 4.0, 10.0078125,
                                                         10},
                                           RecordedBurst{"ElevenHertz", 19800, 5.0, 11.0, 11}),
                         [](const auto& info) { return std::string(info.param.name); });

double meanOfKept(const Burst& burst, const std::vector<double>& series)
{
    double sum = 0.0;
    double count = 0.0;
    for (std::size_t i = 0; i < series.size(); ++i) {
        if (burst.u[i] != 0.0 && burst.v[i] != 0.0 && burst.w[i] != 0.0 && burst.temp[i] != 0.0) {
            sum = count == 0.0 ? series[i] : sum + series[i];
            count += 1.0;
        }
    }
    return sum / count;
}

void expectMissingEstimates(const Outputs& out)
{
    EXPECT_EQ(out.ustar(), EDDYRATE_MISSING);
    EXPECT_EQ(out.epsilon(), EDDYRATE_MISSING);
}

struct RejectedCase {
    const char* name;
    std::int32_t n;
    double fs;
};

void PrintTo(const RejectedCase& c, std::ostream* os) { *os << c.name; }

class RejectedBurstTest : public ::testing::TestWithParam<RejectedCase> {};

TEST_P(RejectedBurstTest, MarksEveryEstimateMissingAndKeepsTheMeans)
{
    const RejectedCase& rejected = GetParam();
    Burst burst = eddyrate::testing::redNoiseBurst(rejected.n, 5);
    const Burst original = burst;
    const Outputs out = run(burst, 4.0, rejected.fs);
    expectMissingEstimates(out);
    EXPECT_EQ(out.anisotropy(), EDDYRATE_MISSING);
    EXPECT_EQ(bits(out.quality()), bits(0.0));
    for (int i = 0; i < EDDYRATE_BANDS; ++i) {
        EXPECT_EQ(out.freq[i], EDDYRATE_MISSING) << i;
        EXPECT_EQ(out.tke[i], EDDYRATE_MISSING) << i;
    }
    const std::vector<double>* series[] = {&original.u, &original.v, &original.w, &original.temp};
    for (int k = 0; k < 4; ++k) {
        const double expected = meanOfKept(original, *series[k]);
        if (rejected.n == 0) {
            EXPECT_TRUE(std::isnan(out.scalars[2 + k])) << kScalarNames[2 + k];
        } else {
            expectSameBits(expected, out.scalars[2 + k], kScalarNames[2 + k]);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Gate, RejectedBurstTest,
                         ::testing::Values(RejectedCase{"NoSamples", 0, 10.0},
                                           RejectedCase{"TooFewKept", 513, 10.0} /* 511 kept */,
                                           RejectedCase{"RateOfOneHertz", 4000, 1.0},
                                           RejectedCase{"RateNotANumber", 4000, std::nan("")},
                                           RejectedCase{"RateTooHighForSegmentCount", 4000, 1e12}),
                         [](const auto& info) { return std::string(info.param.name); });

struct SegmentlessCase {
    const char* name;
    std::int32_t n;
    double fs;
};

void PrintTo(const SegmentlessCase& c, std::ostream* os) { *os << c.name; }

class SegmentlessBurstTest : public ::testing::TestWithParam<SegmentlessCase> {};

// Passing the gate with fewer samples than one segment leaves no segment to average: no
// estimate, and the averaged spectra are 0/0. At a megahertz one segment would be 256 million
// samples; the answer is the same and costs no more than the samples given.
TEST_P(SegmentlessBurstTest, HasNoEstimateAndNotANumberSpectra)
{
    Burst burst = eddyrate::testing::redNoiseBurst(GetParam().n, 3);
    const Outputs out = run(burst, 4.0, GetParam().fs);
    expectMissingEstimates(out);
    EXPECT_TRUE(std::isnan(out.quality()));
    EXPECT_TRUE(std::isnan(out.anisotropy()));
    for (int i = 0; i < EDDYRATE_BANDS; ++i) {
        EXPECT_NEAR(out.freq[i], (11.0 * i + 6.5) / 256.0, 1e-12) << i;
        EXPECT_TRUE(std::isnan(out.tke[i])) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(ShorterThanOneSegment, SegmentlessBurstTest,
                         ::testing::Values(SegmentlessCase{"TenHertz", 2000, 10.0},
                                           SegmentlessCase{"OneMegahertz", 514, 1e6}),
                         [](const auto& info) { return std::string(info.param.name); });

// Below two bands in the 2.0 to 4.9 Hz fit range (none at 4 Hz or slower, one up to about
// 4.1 Hz) there is no slope to fit: no estimate instead of not-a-number or a Quality of
// exactly 1, while the spectrum itself is still returned.
TEST(ExportTest, FewerThanTwoFitBandsGiveNoEstimate)
{
    for (const double fs : {2.0, 4.0, 4.05, 4.1}) {
        Burst burst = eddyrate::testing::redNoiseBurst(static_cast<std::int32_t>(1800 * fs), 7);
        const Outputs out = run(burst, 4.0, fs);
        expectMissingEstimates(out);
        EXPECT_EQ(out.anisotropy(), EDDYRATE_MISSING) << fs;
        EXPECT_EQ(out.quality(), EDDYRATE_MISSING) << fs;
        EXPECT_NEAR(out.freq[0], 6.5 / 256.0, 1e-4) << fs;
        EXPECT_GT(out.tke[0], 0.0) << fs;
        EXPECT_LT(out.tke[0], EDDYRATE_MISSING) << fs;
    }
}

// Ustar needs a height above the sea; no other output depends on it.
TEST(ExportTest, HeightNotAboveZeroGivesNoUstarAndChangesNothingElse)
{
    const Burst original = readBurst("burst-30min-10hz.f64", 18000);
    Burst burst = original;
    const Outputs usual = run(burst, 4.0, 10.0);
    for (const double z : {0.0, -1.0, std::nan(""), HUGE_VAL}) {
        burst = original;
        Outputs out = run(burst, z, 10.0);
        EXPECT_EQ(out.ustar(), EDDYRATE_MISSING) << z;
        out.scalars[0] = usual.ustar();
        expectSameOutputs(usual, out);
    }
}

struct NotANumberCase {
    const char* series;
    std::size_t index;                  // 0 u, 1 v, 2 w, 3 temp
    std::array<bool, kScalars> isNaN;   // in the order of kScalarNames
    bool tkeNaN;
};

void PrintTo(const NotANumberCase& c, std::ostream* os) { *os << c.series; }

class NotANumberSampleTest : public ::testing::TestWithParam<NotANumberCase> {};

// One not-a-number sample in the middle of a 30-minute burst. In u it makes the mean u of
// the segments that hold it not-a-number, and such a segment is not valid, so Epsilon, Ustar
// and Quality come from the other segments. In v it enters the mean horizontal speed, in w
// the fitted spectrum itself. Every velocity enters Tke and Anisotropy; the temperature only
// its own mean.
TEST_P(NotANumberSampleTest, SpreadsToTheOutputsThatReadIt)
{
    const NotANumberCase& c = GetParam();
    Burst burst = readBurst("burst-30min-10hz.f64", 18000);
    std::vector<double>* series[] = {&burst.u, &burst.v, &burst.w, &burst.temp};
    (*series[c.index])[9000] = std::nan("");
    const Outputs out = run(burst, 4.0, 10.0);
    for (int k = 0; k < kScalars; ++k) {
        EXPECT_EQ(std::isnan(out.scalars[k]), c.isNaN[k]) << kScalarNames[k];
        EXPECT_NE(out.scalars[k], EDDYRATE_MISSING) << kScalarNames[k];
    }
    for (int i = 0; i < EDDYRATE_BANDS; ++i) {
        EXPECT_TRUE(std::isfinite(out.freq[i])) << i;
        EXPECT_EQ(std::isnan(out.tke[i]), c.tkeNaN) << i;
    }
}

//                   Ustar  Epsilon MeanU  MeanV  MeanW  MeanTemp Anisotropy Quality
INSTANTIATE_TEST_SUITE_P(
    OneSample, NotANumberSampleTest,
    ::testing::Values(
        NotANumberCase{"u", 0, {false, false, true, false, false, false, true, false}, true},
        NotANumberCase{"v", 1, {true, true, false, true, false, false, true, false}, true},
        NotANumberCase{"w", 2, {true, true, false, false, true, false, true, true}, true},
        NotANumberCase{"temp", 3, {false, false, false, false, false, true, false, false}, false}),
    [](const auto& info) { return std::string(info.param.series); });

// Below about 9.97 Hz there are fewer than 116 bands; the slots past the last band are missing.
TEST(ExportTest, SlotsPastTheLastBandAreMissing)
{
    Burst burst = eddyrate::testing::redNoiseBurst(14400, 8);
    const Outputs out = run(burst, 3.0, 8.0);
    constexpr int kBandsAtEightHertz = 2048 / 22;
    for (int i = 0; i < EDDYRATE_BANDS; ++i) {
        if (i < kBandsAtEightHertz) {
            EXPECT_NEAR(out.freq[i], (11.0 * i + 5.5) * 8.0 / 2048.0 + 1.0 / 256.0, 1e-12) << i;
            EXPECT_GT(out.tke[i], 0.0) << i;
        } else {
            EXPECT_EQ(out.freq[i], EDDYRATE_MISSING) << i;
            EXPECT_EQ(out.tke[i], EDDYRATE_MISSING) << i;
        }
    }
}

TEST(ExportTest, CompactsTheCallersSeriesInPlace)
{
    Burst burst = eddyrate::testing::redNoiseBurst(1000, 4);
    burst.v[3] = 0.0;
    burst.temp[998] = -0.0;
    burst.w[7] = std::nan("");  // not a zero: stays
    const Burst original = burst;
    run(burst, 4.0, 10.0);

    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < original.u.size(); ++i) {
        if (original.u[i] != 0.0 && original.v[i] != 0.0 && original.w[i] != 0.0 &&
            original.temp[i] != 0.0) {
            kept.push_back(i);
        }
    }
    ASSERT_EQ(kept.size(), 996u);  // the generator's two zeros and the two set here
    const std::vector<double>* before[] = {&original.u, &original.v, &original.w, &original.temp};
    const std::vector<double>* after[] = {&burst.u, &burst.v, &burst.w, &burst.temp};
    for (int k = 0; k < 4; ++k) {
        for (std::size_t i = 0; i < before[k]->size(); ++i) {
            const double expected = i < kept.size() ? (*before[k])[kept[i]] : (*before[k])[i];
            expectSameBits(expected, (*after[k])[i],
                           "series " + std::to_string(k) + " at " + std::to_string(i));
        }
    }
}

struct KnownTurbulence {
    double epsilon;  // m^2/s^3
    double meanU;    // m/s
    std::uint64_t seed;
};

void PrintTo(const KnownTurbulence& c, std::ostream* os)
{
    *os << "epsilon " << c.epsilon << ", mean u " << c.meanU;
}

class KnownDissipationTest : public ::testing::TestWithParam<KnownTurbulence> {};

// A 30-minute 10 Hz burst whose spectra follow the -5/3 law at a chosen dissipation rate,
// with mean u many standard deviations above zero as at sea. Across seeds the estimate
// scatters by about 3 % (68 bands of 22 degrees of freedom in 27 overlapping segments, raised
// to the power 3/2), so 10 % leaves room without hiding a wrong constant (the 4/3, the 2 pi
// or the density factor 2 each move it by 50 % or more). Ustar = (0.4 z eps)^(1/3) follows
// within a third of that; isotropic turbulence has Anisotropy 0.875.
TEST_P(KnownDissipationTest, RecoversTheDissipationRate)
{
    const KnownTurbulence& known = GetParam();
    constexpr double kHeight = 4.0;
    Burst burst = eddyrate::testing::kolmogorovBurst(18000, 10.0, known.epsilon, known.meanU, 0.5,
                                                     known.seed);
    double sum = 0.0;
    double squares = 0.0;
    for (double u : burst.u) {
        sum += u;
        squares += u * u;
    }
    const double mean = sum / 18000.0;
    const double deviation = std::sqrt(squares / 18000.0 - mean * mean);
    ASSERT_GT(mean, 5.0 * deviation);

    const Outputs out = run(burst, kHeight, 10.0);
    EXPECT_NEAR(out.epsilon() / known.epsilon, 1.0, 0.10);
    EXPECT_NEAR(out.ustar() / std::cbrt(0.4 * kHeight * known.epsilon), 1.0, 0.035);
    EXPECT_NEAR(out.anisotropy(), 0.875, 0.05);
    EXPECT_GT(out.quality(), 0.5);
}

INSTANTIATE_TEST_SUITE_P(InertialSubrange, KnownDissipationTest,
                         ::testing::Values(KnownTurbulence{1e-4, 6.0, 1},
                                           KnownTurbulence{1e-3, 6.0, 2},
                                           KnownTurbulence{1e-2, 10.0, 3},
                                           KnownTurbulence{1e-3, 3.0, 4}));

TEST(ExportTest, ConcurrentCallsGiveTheBitsOfOneCall)
{
    std::vector<Burst> bursts = {
        readBurst("burst-30min-10hz.f64", 18000), eddyrate::testing::redNoiseBurst(14400, 8),
        eddyrate::testing::redNoiseBurst(19800, 11), eddyrate::testing::redNoiseBurst(6000, 6)};
    const double rates[] = {10.0, 8.0, 11.0, 10.0};
    std::vector<Outputs> alone;
    for (std::size_t k = 0; k < bursts.size(); ++k) {
        Burst copy = bursts[k];
        alone.push_back(run(copy, 4.0, rates[k]));
    }
    constexpr int kThreads = 4;
    constexpr int kCallsEach = 2;
    std::vector<std::vector<Outputs>> together(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int call = 0; call < kCallsEach; ++call) {
                const std::size_t k = static_cast<std::size_t>(t + call) % bursts.size();
                Burst copy = bursts[k];
                together[t].push_back(run(copy, 4.0, rates[k]));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        for (int call = 0; call < kCallsEach; ++call) {
            expectSameOutputs(alone[static_cast<std::size_t>(t + call) % bursts.size()],
                              together[t][call]);
        }
    }
}

}  // namespace

// Capping the address space starves any sanitizer's own allocator: these tests run only in
// builds without one.
#if defined(__linux__) && !defined(ORCAN_SANITIZER_BUILD) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__)
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Address space in use by this process, in bytes.
rlim_t addressSpaceInUse()
{
    std::ifstream statm("/proc/self/statm");
    rlim_t pages = 0;
    statm >> pages;
    return pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
}

// Runs out of memory after the means are written: the call returns normally (no exception
// crosses the boundary), answers the burst as rejected and keeps the burst means.
void runOutOfMemory(const Burst& original)
{
    Burst plenty = original;
    const Outputs normal = run(plenty, 3.5, 20.0);
    Burst scarce = original;
    const rlimit limit{addressSpaceInUse() + (1u << 20), RLIM_INFINITY};
    setrlimit(RLIMIT_AS, &limit);
    const Outputs out = run(scarce, 3.5, 20.0);
    bool rejected = out.ustar() == EDDYRATE_MISSING && out.epsilon() == EDDYRATE_MISSING &&
                    out.anisotropy() == EDDYRATE_MISSING && out.quality() == 0.0;
    for (int i = 0; i < EDDYRATE_BANDS; ++i) {
        rejected = rejected && out.freq[i] == EDDYRATE_MISSING && out.tke[i] == EDDYRATE_MISSING;
    }
    bool meansKept = true;
    for (int k = 2; k < 6; ++k) {
        meansKept = meansKept && bits(out.scalars[k]) == bits(normal.scalars[k]);
    }
    std::_Exit(rejected && meansKept ? 0 : 1);
}

// A burst of 512 kept samples at a megahertz has no segment; the call must not build the
// 256-million-sample window or any band array of that segment length (2 GB), so it runs
// in 64 MB of address space and is answered as a burst without segments, not as rejected.
void runHighRateInLittleMemory()
{
    Burst burst = eddyrate::testing::redNoiseBurst(514, 3);  // 512 kept
    const rlimit limit{addressSpaceInUse() + (64u << 20), RLIM_INFINITY};
    setrlimit(RLIMIT_AS, &limit);
    const Outputs out = run(burst, 4.0, 1e6);
    std::_Exit(std::isnan(out.quality()) && out.freq[0] < EDDYRATE_MISSING ? 0 : 1);
}

TEST(ExportDeathTest, HighRateWithoutSegmentNeedsNoSegmentSizedMemory)
{
#ifdef ORCAN_TEST_EMULATOR
    GTEST_SKIP() << "under " ORCAN_TEST_EMULATOR " the address-space cap binds the emulator, "
                    "not the program, and the death test cannot start the program again";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runHighRateInLittleMemory(), ::testing::ExitedWithCode(0), "");
}

TEST(ExportDeathTest, OutOfMemoryAnswersTheBurstAsRejected)
{
#ifdef ORCAN_TEST_EMULATOR
    GTEST_SKIP() << "under " ORCAN_TEST_EMULATOR " the address-space cap binds the emulator, "
                    "not the program, and the death test cannot start the program again";
#endif
    const Burst burst = readBurst("burst-30min-20hz.f64", 36000);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runOutOfMemory(burst), ::testing::ExitedWithCode(0), "");
}

}  // namespace
#endif
