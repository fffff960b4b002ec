// Recomputing a year of quality-control flags: 100 buoys reporting every 30 minutes (1.75
// million messages) through the example configuration's ten streams (eight record fields and
// the two position series), on one core. The goal is under 30 seconds for the whole year.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "QcConfig.h"

namespace {

using namespace saltmark::qc;

constexpr int kBuoys = 100;
constexpr int kReportsPerBuoy = 365 * 48;    // a year at 30 minutes
constexpr std::int64_t kStart = 1704067200;  // 2024-01-01T00:00:00Z

Config ExampleConfig()
{
    std::ifstream file(QC_EXAMPLE_CONFIG, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return ParseConfig(text.str(), "examples/qc.yaml");
}

// A year of plausible values with the odd missing one, different for every buoy.
BuoySeries Year(int buoy)
{
    std::mt19937 random(static_cast<unsigned>(buoy));
    std::normal_distribution<double> noise(0, 1);
    std::vector<std::int64_t> times(kReportsPerBuoy);
    for (int i = 0; i < kReportsPerBuoy; ++i) {
        times[i] = kStart + i * 1800;
    }
    BuoySeries series;
    const auto walk = [&](double start, double step, double low, double high) {
        ScalarSeries s{times, std::vector<double>(kReportsPerBuoy)};
        double x = start;
        for (double& value : s.values) {
            x = std::clamp(x + step * noise(random), low, high);
            value = random() % 500 == 0 ? NAN : x;
        }
        return s;
    };
    series.streams["PB200.WSMean"] = walk(8, 0.8, 0, 35);
    series.streams["PB200.WDMean"] = walk(180, 10, 0, 360);
    series.streams["PB200.BPMean"] = walk(1013, 0.5, 950, 1050);
    series.streams["PB200.ATMean"] = walk(10, 0.3, -10, 25);
    series.streams["IMU.Hs"] = walk(2, 0.1, 0, 12);
    series.streams["IMU.Tp"] = walk(8, 0.3, 2, 20);
    series.streams["Y81000.Epsilon"] = walk(1e-4, 1e-5, 0, 1e-2);
    series.streams["Miscellaneous values.Battery voltage"] = walk(12.6, 0.01, 11, 14);
    for (PositionSeries* track : {&series.position, &series.iridiumPosition}) {
        track->times = times;
        double lat = 60, lon = 5;
        for (int i = 0; i < kReportsPerBuoy; ++i) {
            lat = std::clamp(lat + 0.002 * noise(random), 56.0, 69.0);
            lon = std::clamp(lon + 0.004 * noise(random), -9.0, 14.0);
            track->latitudes.push_back(lat);
            track->longitudes.push_back(lon);
        }
    }
    return series;
}

void RecomputeAYearOf100Buoys(benchmark::State& state)
{
    const Config config = ExampleConfig();
    std::vector<BuoySeries> buoys;
    for (int b = 0; b < kBuoys; ++b) {
        buoys.push_back(Year(b));
    }
    std::size_t flags = 0;
    for (auto _ : state) {
        flags = 0;
        for (const BuoySeries& buoy : buoys) {
            const std::vector<StreamFlags> result = RunConfig(config, buoy);
            for (const StreamFlags& stream : result) {
                flags += stream.aggregate.size() * (stream.tests.size() + 1);
            }
            benchmark::DoNotOptimize(result.data());
        }
    }
    state.counters["messages"] = static_cast<double>(kBuoys) * kReportsPerBuoy;
    state.counters["flags"] = static_cast<double>(flags);
    state.counters["flags_per_s"] = benchmark::Counter(
        static_cast<double>(flags), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(RecomputeAYearOf100Buoys)->Unit(benchmark::kSecond)->Iterations(1)->Repetitions(3);

}  // namespace
