// GTS-ready BUFR: one report encoded, and a buoy's year (17,520 half-hourly messages) written
// as files from an archive built once in a temporary folder.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "Archive.h"
#include "BufrExport.h"
#include "BufrReport.h"
#include "Deployment.h"

namespace {

namespace fs = std::filesystem;
using namespace saltmark;

constexpr std::int64_t kStart = 1718107200;  // 2024-06-11T12:00:00Z
constexpr int kMessages = 17520;

bufr::Observation Full()
{
    bufr::Observation observation;
    observation.wmoPlatformCode = 6201501;
    observation.name = "Biscay North";
    observation.transmitterId = "300434060000010";
    observation.time = kStart;
    observation.latitude = 54.1723;
    observation.longitude = 7.8935;
    observation.locationSystem = bufr::LocationSystem::Gps;
    observation.locationQuality = bufr::LocationQuality::Reliable;
    observation.batteryVolts = 12.6;
    observation.pressure = 101320;
    observation.airTemperature = 287.75;
    observation.airTemperatureHeight = 3.1;
    observation.windDirection = 245.3;
    observation.windSpeed = 8.7;
    observation.windHeight = 3.1;
    observation.seaSurfaceTemperature = 287.05;
    return observation;
}

void EncodeReport(benchmark::State& state)
{
    const bufr::Observation observation = Full();
    std::string reason;
    for (auto _ : state) {
        benchmark::DoNotOptimize(bufr::EncodeBufr(observation, reason));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(EncodeReport);

// The example station message every half hour, pushed by the gateway.
fs::path BuoyYear(const fs::path& dir)
{
    const fs::path path = dir / "archive.sqlite";
    std::ifstream in(fs::path(EXAMPLES_DIR) / "station.sbd", std::ios::binary);
    const std::vector<std::uint8_t> station{std::istreambuf_iterator<char>(in), {}};
    std::string reason;
    auto archive = archive::Archive::Open(path, {}, reason);
    for (int i = 0; archive && i < kMessages; ++i) {
        DirectIpMessage message;
        message.header.imei = "300434060000010";
        message.header.momsn = static_cast<std::uint16_t>(i);
        message.header.sessionTime = static_cast<std::uint32_t>(kStart + 1800 * i);
        message.payload = station;
        message.location = DirectIpLocation{54.25, 7.75, 4};
        archive->Add(archive::DeliveryFromDirectIp(message, ComposeDirectIp(message)), reason);
    }
    if (archive) {
        archive->Commit();
    }
    return path;
}

void WriteBuoyYear(benchmark::State& state)
{
    std::string pattern = (fs::temp_directory_path() / "saltmark-bufr-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const fs::path dir = pattern;
    std::string reason;
    const auto reader = archive::Reader::Open(BuoyYear(dir), reason);
    const auto deployment = deployment::ParseDeployment(
        "metadata: {title: bench}\nbuoys:\n  \"300434060000010\": {wmo_platform_code: \"6201501\"}\n",
        "deployment.yaml");
    const auto write = [&] {
        const auto counts =
            reader ? bufr::WriteBufrFiles(*reader, deployment, dir / "out", {}, reason)
                   : std::nullopt;
        return counts ? counts->files + counts->unchanged : 0;
    };
    std::size_t reports = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        if (state.range(0) != 0) {
            write();  // the year is there already: the export run again
        }
        state.ResumeTiming();
        reports += write();
    }
    if (reports == 0) {
        state.SkipWithError(reason.c_str());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(reports));
    fs::remove_all(dir);
}
// 0: into an empty folder; 1: into the folder of an earlier run.
BENCHMARK(WriteBuoyYear)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
