// The decoder on one message that holds a record of every type (composed field by field with
// the tests' message composer), measured in megabytes of report text per second; the goal is
// at least 50 MB/s.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "ConvertMessage.h"
#include "testing/EveryRecord.h"

namespace {

void DecodeEveryRecordType(benchmark::State& state)
{
    // Finite values, as a working buoy sends them.
    const saltmark::testing::EveryRecordMessage every(false);
    const std::vector<std::uint8_t>& message = every.Bytes();
    saltmark::CapturedImage image;
    std::size_t reportBytes = 0;
    for (auto _ : state) {
        const saltmark::ReportText report = saltmark::ConvertMessage(
            message.data(), static_cast<std::int32_t>(message.size()), image);
        reportBytes = report.size();
        benchmark::DoNotOptimize(report.data());
    }
    // One byte a character: the report is ASCII text.
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * reportBytes));
    state.counters["report_bytes"] = static_cast<double>(reportBytes);
    state.counters["message_bytes"] = static_cast<double>(message.size());
}
BENCHMARK(DecodeEveryRecordType)->Unit(benchmark::kMicrosecond);

}  // namespace
