// The decoder on one message that holds a record of every type, measured in megabytes of
// report text per second (the goal is at least 50 MB/s).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "ConvertMessage.h"
#include "testing/MessageComposer.h"

namespace {

using saltmark::testing::Message;
using saltmark::testing::MessageComposer;

// Values with six significant digits and a spread of exponents, so every number is formatted
// in full.
std::vector<float> values(std::size_t count, int seed)
{
    std::vector<float> result(count);
    for (std::size_t k = 0; k < count; ++k) {
        result[k] = (static_cast<float>(k) * 0.37f - 5.123f) * static_cast<float>(seed % 7 + 1);
    }
    return result;
}

std::vector<std::uint8_t> floatsRecord(std::uint8_t type, std::uint8_t port, std::size_t count,
                                       int seed)
{
    const auto size = static_cast<std::uint16_t>(4 * count);
    return MessageComposer().Header(type, port, size).F32s(values(count, seed)).Bytes();
}

std::vector<std::uint8_t> everyRecordType()
{
    MessageComposer wave;
    wave.Header(3, 7, 1796).F32s(values(3 + 6 * 42 + 2, 3));
    for (int k = 0; k < 3 * 32; ++k) {
        wave.I32(k * 13 - 40);
    }
    wave.F32s(values(3 * 32, 30));
    MessageComposer signature;
    signature.Header(9, 4, 4 + 4 * 20 + 8 * 10).U16(20).F32s(values(20, 9)).U16(10).F32s(
        values(20, 19));
    return Message({
        floatsRecord(0, 1, 16, 0),               // AquaDoppHR
        floatsRecord(1, 2, 40, 1),               // AquaDopp
        floatsRecord(2, 6, 18, 2),               // PB200
        wave.Bytes(),                            // waves
        floatsRecord(4, 9, 3, 4),                // ACS
        floatsRecord(5, 9, 3, 5),                // ECO
        floatsRecord(6, 0, 1, 6),                // battery
        MessageComposer().Header(7, 1, 64).Raw(std::vector<std::uint8_t>(64, 0xA5)).Bytes(),
        floatsRecord(8, '0', 12, 8),             // turbulence
        signature.Bytes(),                       // Signature
        floatsRecord(10, 2, 299, 10),            // ellipse
        floatsRecord(11, 3, 240, 11),            // EddyRate outputs
        floatsRecord(12, 9, 1, 12),              // ACO
        floatsRecord(13, 9, 1, 13),              // SWL
    });
}

void DecodeEveryRecordType(benchmark::State& state)
{
    const std::vector<std::uint8_t> message = everyRecordType();
    saltmark::CapturedImage image;
    std::size_t reportBytes = 0;
    for (auto _ : state) {
        const saltmark::ReportText report =
            saltmark::ConvertMessage(message.data(), static_cast<std::int32_t>(message.size()), image);
        reportBytes = report.size();
        benchmark::DoNotOptimize(report.data());
    }
    // One byte a character: the report is ASCII text.
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * reportBytes));
    state.counters["report_bytes"] = static_cast<double>(reportBytes);
}
BENCHMARK(DecodeEveryRecordType)->Unit(benchmark::kMicrosecond);

}  // namespace
