// Cost of the transform on both paths and of one detrending fit, at the buoy's sizes:
// 2560 (10 Hz, chirp path with 8192-point convolutions), 4096 (radix-2) and N = 2560.

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
    ArrayOwner x = randomMatrix(m, 1);
    ArrayOwner y = initArray(2);
    for (auto _ : state) {
        fftTransform(*x, *y);
        benchmark::DoNotOptimize(y->data);
    }
}
BENCHMARK(BM_FftTransform)->Arg(2560)->Arg(4096)->Unit(benchmark::kMicrosecond);

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
