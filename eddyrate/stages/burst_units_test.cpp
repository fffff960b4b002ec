// The two 30-minute reference bursts, and one with non-finite samples, give the same bits on
// every vector unit the processor runs as column by column (the export's test matches the
// default unit to the independent reference values).

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "burst.h"
#include "fft_lanes.h"
#include "nonfinite.h"

namespace eddyrate {
namespace {

constexpr int kSlots = 8 + 2 * kReturnedBands;

// Every output of one burst, scalars first, as bit patterns; `poisoned` puts not-a-number,
// infinities and values near the largest double into the samples.
std::vector<std::uint64_t> runBurst(const char* file, std::int32_t n, double z, double fs,
                                    bool poisoned = false)
{
    std::vector<double> series(4 * static_cast<std::size_t>(n));
    std::ifstream in(std::string(EDDYRATE_TESTDATA) + "/" + file, std::ios::binary);
    in.read(reinterpret_cast<char*>(series.data()),
            static_cast<std::streamsize>(series.size() * sizeof(double)));
    EXPECT_TRUE(in.good()) << file;
    if (poisoned) {
        for (std::int32_t k = 0; k < n; k += 997) {
            series[k] = kNaN;
        }
        series[5000] = kInfinity;
        series[n + 7000] = kMinusInfinity;
        series[n + 100] = 1e308;
        series[2 * n + 101] = -1e308;
    }
    std::array<double, kSlots> out{};
    const BurstOutputs outputs{&out[0], &out[1], &out[2], &out[3], &out[4],
                               &out[5], &out[6], &out[7], &out[8], &out[8 + kReturnedBands]};
    ArrayOwner u = wrapArray(series.data(), n);
    ArrayOwner v = wrapArray(series.data() + n, n);
    ArrayOwner w = wrapArray(series.data() + 2 * n, n);
    ArrayOwner temp = wrapArray(series.data() + 3 * n, n);
    computeBurst(*u, *v, *w, *temp, z, fs, outputs);
    std::vector<std::uint64_t> bits;
    for (const double value : out) {
        bits.push_back(std::bit_cast<std::uint64_t>(value));
    }
    return bits;
}

TEST(BurstOnEveryUnit, GivesTheBitsOfColumnByColumn)
{
    const std::vector<VectorUnit> units = availableVectorUnits();
    for (const auto& [file, n, z, fs] :
         {std::tuple{"burst-30min-10hz.f64", 18000, 4.0, 10.0},
          std::tuple{"burst-30min-20hz.f64", 36000, 3.5, 20.0}}) {
        useVectorUnit(VectorUnit::none);
        const std::vector<std::uint64_t> expected = runBurst(file, n, z, fs);
        for (const VectorUnit unit : units) {
            useVectorUnit(unit);
            EXPECT_EQ(runBurst(file, n, z, fs), expected)
                << file << " on unit " << static_cast<int>(unit);
        }
    }
    useVectorUnit(units.back());
}

TEST(BurstOnEveryUnit, WritesTheSameBitsAndOneNotANumberForNonFiniteSamples)
{
    // Which not-a-number an operation gives is up to the processor and the compiler; what the
    // call writes is not.
    const std::vector<VectorUnit> units = availableVectorUnits();
    useVectorUnit(VectorUnit::none);
    const std::vector<std::uint64_t> expected =
        runBurst("burst-30min-10hz.f64", 18000, 4.0, 10.0, true);
    int notANumber = 0;
    for (const std::uint64_t bits : expected) {
        if (isNaN(std::bit_cast<double>(bits))) {
            EXPECT_EQ(bits, std::bit_cast<std::uint64_t>(kNaN));
            ++notANumber;
        }
    }
    EXPECT_GT(notANumber, 0);
    for (const VectorUnit unit : units) {
        useVectorUnit(unit);
        EXPECT_EQ(runBurst("burst-30min-10hz.f64", 18000, 4.0, 10.0, true), expected)
            << "unit " << static_cast<int>(unit);
    }
    useVectorUnit(units.back());
}

}  // namespace
}  // namespace eddyrate
