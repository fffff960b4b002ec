// The transform and the solver against reference values computed independently, bit for bit,
// on every vector unit the processor runs and column by column. The values
// (testdata/kernels_golden.txt, see convert_golden.py there) pin every operation order; a
// mismatch means an order changed, never that the data needs updating.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fft.h"
#include "fft_lanes.h"
#include "least_squares.h"

namespace eddyrate {
namespace {

struct GoldenCase {
    std::string kind;  // "fft" or "solve"
    std::int32_t length = 0;
    std::vector<std::vector<double>> lines;
};

std::vector<double> parseBits(const std::string& line)
{
    std::vector<double> values;
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
        values.push_back(std::bit_cast<double>(std::stoull(word, nullptr, 16)));
    }
    return values;
}

std::vector<GoldenCase> loadGolden()
{
    std::ifstream file(EDDYRATE_KERNEL_TESTDATA "/kernels_golden.txt");
    std::vector<GoldenCase> cases;
    std::string line;
    while (std::getline(file, line)) {
        GoldenCase golden;
        std::istringstream header(line);
        header >> golden.kind >> golden.length;
        const int valueLines = golden.kind == "fft" ? 3 : 2;
        for (int k = 0; k < valueLines && std::getline(file, line); ++k) {
            golden.lines.push_back(parseBits(line));
        }
        cases.push_back(std::move(golden));
    }
    return cases;
}

// Counts bit mismatches and prints the first few with %a.
int countMismatches(const char* what, std::int32_t length, const std::vector<double>& expected,
                    const double* actual)
{
    int mismatches = 0;
    for (std::size_t k = 0; k < expected.size(); ++k) {
        if (std::bit_cast<std::uint64_t>(expected[k]) != std::bit_cast<std::uint64_t>(actual[k])) {
            if (++mismatches <= 5) {
                std::printf("%s length %d [%zu]: expected %a, got %a\n", what, length, k,
                            expected[k], actual[k]);
            }
        }
    }
    return mismatches;
}

const char* unitName(VectorUnit unit)
{
    switch (unit) {
    case VectorUnit::avx2:
        return "Avx2";
    case VectorUnit::avx512:
        return "Avx512";
    case VectorUnit::none:
        break;
    }
    return "ColumnByColumn";
}

class KernelGoldenOnUnit : public ::testing::TestWithParam<VectorUnit> {
protected:
    void SetUp() override { useVectorUnit(GetParam()); }
    void TearDown() override { useVectorUnit(availableVectorUnits().back()); }
};

// Column j of an 11-column matrix is the reference input times 2^(j - 5), so its transform is
// the reference output times 2^(j - 5) exactly: every lane of every group, and the short last
// group, is checked against the reference bits, and a lane mix-up cannot hide.
TEST_P(KernelGoldenOnUnit, TransformMatchesBitForBit)
{
    constexpr std::int32_t kColumns = 11;
    int checked = 0;
    for (const GoldenCase& golden : loadGolden()) {
        if (golden.kind != "fft") {
            continue;
        }
        const std::int32_t m = golden.length;
        ASSERT_EQ(golden.lines.size(), 3u);
        ASSERT_EQ(golden.lines[0].size(), static_cast<std::size_t>(m));
        ArrayOwner x = initArray(2);
        resizeArray(*x, m, kColumns, kDoubleSize);
        for (std::int32_t j = 0; j < kColumns; ++j) {
            for (std::int32_t k = 0; k < m; ++k) {
                doubles(*x)[j * m + k] = std::ldexp(golden.lines[0][k], j - 5);
            }
        }
        ArrayOwner y = initArray(2);
        fftTransform(*x, *y);
        for (std::int32_t j = 0; j < kColumns; ++j) {
            std::vector<double> re(m);
            std::vector<double> im(m);
            for (std::int32_t k = 0; k < m; ++k) {
                re[k] = std::ldexp(complexes(*y)[j * m + k].re, 5 - j);
                im[k] = std::ldexp(complexes(*y)[j * m + k].im, 5 - j);
            }
            EXPECT_EQ(countMismatches("fft re", m, golden.lines[1], re.data()), 0) << "column " << j;
            EXPECT_EQ(countMismatches("fft im", m, golden.lines[2], im.data()), 0) << "column " << j;
        }
        // The powers of a band of bins: the bits of the spectra's own re * re + im * im.
        const std::int32_t firstBin = 1;
        const std::int32_t lastBin = m / 2;
        ArrayOwner powers = initArray(2);
        const NumericArray* const arrays[] = {x.get()};
        fftBinPowers(arrays, firstBin, lastBin, *powers);
        ASSERT_EQ(rows(*powers), lastBin - firstBin + 1);
        std::vector<double> expected;
        for (std::int32_t j = 0; j < kColumns; ++j) {
            for (std::int32_t b = firstBin; b <= lastBin; ++b) {
                const Complex value = complexes(*y)[j * m + b];
                expected.push_back(value.re * value.re + value.im * value.im);
            }
        }
        EXPECT_EQ(countMismatches("fft powers", m, expected, doubles(*powers)), 0);
        ++checked;
    }
    EXPECT_EQ(checked, 3);
}

TEST_P(KernelGoldenOnUnit, DetrendingFitMatchesBitForBit)
{
    int checked = 0;
    for (const GoldenCase& golden : loadGolden()) {
        if (golden.kind != "solve") {
            continue;
        }
        const std::int32_t n = golden.length;
        ASSERT_EQ(golden.lines.size(), 2u);
        std::vector<double> series = golden.lines[0];
        ASSERT_EQ(series.size(), static_cast<std::size_t>(n));
        ArrayOwner design = initArray(2);
        resizeArray(*design, n, 2, kDoubleSize);
        for (std::int32_t i = 0; i < n; ++i) {
            doubles(*design)[i] = static_cast<double>(i + 1) / static_cast<double>(n);
            doubles(*design)[n + i] = 1.0;
        }
        ArrayOwner y = wrapArray(series.data(), n);
        const std::array<double, 2> x = leastSquaresSolve(*design, *y);
        EXPECT_EQ(countMismatches("solve x", n, golden.lines[1], x.data()), 0);
        ++checked;
    }
    EXPECT_EQ(checked, 6);
}

INSTANTIATE_TEST_SUITE_P(EveryUnit, KernelGoldenOnUnit,
                         ::testing::ValuesIn(availableVectorUnits()),
                         [](const auto& info) { return unitName(info.param); });

}  // namespace
}  // namespace eddyrate
