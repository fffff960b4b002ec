// The two 30-minute reference bursts give the same bits on every vector unit the processor
// runs as column by column (the export's test matches the default unit to the independent
// reference values).

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "burst.h"
#include "fft_lanes.h"

namespace eddyrate {
namespace {

constexpr int kSlots = 8 + 2 * kReturnedBands;

// Every output of one burst, scalars first, as bit patterns.
std::vector<std::uint64_t> runBurst(const char* file, std::int32_t n, double z, double fs)
{
    std::vector<double> series(4 * static_cast<std::size_t>(n));
    std::ifstream in(std::string(EDDYRATE_TESTDATA) + "/" + file, std::ios::binary);
    in.read(reinterpret_cast<char*>(series.data()),
            static_cast<std::streamsize>(series.size() * sizeof(double)));
    EXPECT_TRUE(in.good()) << file;
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

}  // namespace
}  // namespace eddyrate
