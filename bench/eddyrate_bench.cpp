// eddyRate on bursts cut from or repeated out of the two 30-minute reference bursts: 10, 30 and
// 120 minutes at 10 Hz (the cost should grow linearly with the length) and 30 minutes at
// 20 Hz. Each iteration works on a fresh copy of the series, since the call compacts them in
// place; the copy is not timed. EDDYRATE_VECTOR_UNIT=none measures the column-by-column path.

#include <benchmark/benchmark.h>

#include <array>
#include <fstream>
#include <string>
#include <vector>

#include "eddyrate.h"

namespace {

constexpr std::size_t kReferenceSamples10Hz = 18000;
constexpr std::size_t kReferenceSamples20Hz = 36000;

// The four series of a reference burst, each made `n` samples long by cutting or repeating.
std::vector<double> readSeries(const char* name, std::size_t stored, std::size_t n)
{
    std::vector<double> all(4 * stored);
    std::ifstream in(std::string(EDDYRATE_TESTDATA) + "/" + name, std::ios::binary);
    in.read(reinterpret_cast<char*>(all.data()), static_cast<std::streamsize>(all.size() * 8));
    std::vector<double> series(4 * n);
    for (std::size_t k = 0; k < 4; ++k) {
        for (std::size_t i = 0; i < n; ++i) {
            series[k * n + i] = all[k * stored + i % stored];
        }
    }
    return series;
}

void runBurst(benchmark::State& state, const char* name, std::size_t stored, std::size_t n,
              double z, double fs)
{
    const std::vector<double> burst = readSeries(name, stored, n);
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

void TenMinutesAt10Hz(benchmark::State& state)
{
    runBurst(state, "burst-30min-10hz.f64", kReferenceSamples10Hz, 6000, 4.0, 10.0);
}

void ThirtyMinutesAt10Hz(benchmark::State& state)
{
    runBurst(state, "burst-30min-10hz.f64", kReferenceSamples10Hz, 18000, 4.0, 10.0);
}

void TwoHoursAt10Hz(benchmark::State& state)
{
    runBurst(state, "burst-30min-10hz.f64", kReferenceSamples10Hz, 72000, 4.0, 10.0);
}

void ThirtyMinutesAt20Hz(benchmark::State& state)
{
    runBurst(state, "burst-30min-20hz.f64", kReferenceSamples20Hz, 36000, 3.5, 20.0);
}

BENCHMARK(TenMinutesAt10Hz)->Unit(benchmark::kMillisecond);
BENCHMARK(ThirtyMinutesAt10Hz)->Unit(benchmark::kMillisecond);
BENCHMARK(TwoHoursAt10Hz)->Unit(benchmark::kMillisecond);
BENCHMARK(ThirtyMinutesAt20Hz)->Unit(benchmark::kMillisecond);

}  // namespace
