// Cost of the transform and of one detrending fit at the buoy's sizes: segments of 2560 (10 Hz)
// and 5120 (20 Hz) samples, both on the chirp path, one column and the 75 of a 30-minute burst;
// 4096 on the radix-2 path. EDDYRATE_VECTOR_UNIT=none (or avx2) measures the narrower paths.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "fft.h"
#include "least_squares.h"

namespace {

using namespace eddyrate;

ArrayOwner randomMatrix(std::int32_t r, std::int32_t c)
{
    std::mt19937_64 engine(42);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    ArrayOwner array = initArray(2);
    resizeArray(*array, r, c, kDoubleSize);
    for (std::int64_t k = 0; k < elementCount(*array); ++k) {
        doubles(*array)[k] = uniform(engine);
    }
    return array;
}

void BM_FftTransform(benchmark::State& state)
{
    const auto m = static_cast<std::int32_t>(state.range(0));
    const auto columnCount = static_cast<std::int32_t>(state.range(1));
    ArrayOwner x = randomMatrix(m, columnCount);
    ArrayOwner y = initArray(2);
    for (auto _ : state) {
        fftTransform(*x, *y);
        benchmark::DoNotOptimize(y->data);
    }
}
BENCHMARK(BM_FftTransform)
    ->ArgNames({"m", "columns"})
    ->ArgsProduct({{2560, 5120}, {1, 75}})
    ->Args({4096, 75})
    ->Unit(benchmark::kMicrosecond);

void BM_LeastSquaresSolve(benchmark::State& state)
{
    const auto n = static_cast<std::int32_t>(state.range(0));
    ArrayOwner design = initArray(2);
    resizeArray(*design, n, 2, kDoubleSize);
    for (std::int32_t i = 0; i < n; ++i) {
        doubles(*design)[i] = static_cast<double>(i + 1) / static_cast<double>(n);
        doubles(*design)[n + i] = 1.0;
    }
    ArrayOwner y = randomMatrix(n, 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(leastSquaresSolve(*design, *y));
    }
}
BENCHMARK(BM_LeastSquaresSolve)->Arg(2560)->Unit(benchmark::kMicrosecond);

}  // namespace
