// The export end to end: independently computed reference bursts matched bit for bit, bursts
// recorded once at other sampling rates, the caller's memory, a known dissipation rate
// recovered, and calls from several threads.

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
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

constexpr int kScalars = 8;
constexpr const char* kScalarNames[kScalars] = {"Ustar", "Epsilon",  "MeanU",      "MeanV",
                                                "MeanW", "MeanTemp", "Anisotropy", "Quality"};

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
