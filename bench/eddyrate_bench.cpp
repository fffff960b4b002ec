// eddyRate on the two 30-minute reference bursts. Each iteration works on a fresh copy of the
// series, since the call compacts them in place; the copy is not timed.

#include <benchmark/benchmark.h>

#include <array>
#include <fstream>
#include <string>
#include <vector>

#include "eddyrate.h"

namespace {

std::vector<double> readSeries(const char* name, std::size_t n)
{
    std::vector<double> all(4 * n);
    std::ifstream in(std::string(EDDYRATE_TESTDATA) + "/" + name, std::ios::binary);
    in.read(reinterpret_cast<char*>(all.data()), static_cast<std::streamsize>(all.size() * 8));
    return all;
}

void runBurst(benchmark::State& state, const char* name, std::size_t n, double z, double fs)
{
    const std::vector<double> burst = readSeries(name, n);
    std::vector<double> work(burst.size());
    std::array<double, 8> scalars{};
    std::array<double, EDDYRATE_BANDS> freq{};
    std::array<double, EDDYRATE_BANDS> tke{};
    for (auto _ : state) {
        state.PauseTiming();
        work = burst;
        state.ResumeTiming();
        double* s = scalars.data();
        eddyRate(&work[0], &work[n], &work[2 * n], &work[3 * n], z, fs, &s[0], &s[1], &s[2], &s[3],
                 &s[4], &s[5], &s[6], &s[7], freq.data(), tke.data(), static_cast<int32_t>(n));
        benchmark::DoNotOptimize(scalars);
    }
    if (scalars[1] == EDDYRATE_MISSING) {
        state.SkipWithError("the burst was not evaluated");
    }
}

void ThirtyMinutesAt10Hz(benchmark::State& state)
{
    runBurst(state, "burst-30min-10hz.f64", 18000, 4.0, 10.0);
}

void ThirtyMinutesAt20Hz(benchmark::State& state)
{
    runBurst(state, "burst-30min-20hz.f64", 36000, 3.5, 20.0);
}

BENCHMARK(ThirtyMinutesAt10Hz)->Unit(benchmark::kMillisecond);
BENCHMARK(ThirtyMinutesAt20Hz)->Unit(benchmark::kMillisecond);

}  // namespace
