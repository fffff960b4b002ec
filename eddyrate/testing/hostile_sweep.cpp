// Hostile inputs for eddyRate, meant for a sanitizer build: every combination of sample
// count, sampling rate, height and kind of data below. Each call gets outputs poisoned
// beforehand and must write every one of them, return normally, hold no block afterwards,
// and stay within kMostSeconds of processor time and kMostBytes of the library's own heap
// (processor time, so that a busy machine does not fail the sweep). A sanitizer slows every
// call several times over, so a sanitizer build reports the times without judging them; the
// CI runs the sweep in a plain build as well for that.
// Exit status 0 when every call passed; every failure is one line on standard error.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include <time.h>

#include "allocation_hook.h"
#include "eddyrate.h"
#include "test_bursts.h"

namespace {

using eddyrate::testing::allocationCounts;
using eddyrate::testing::Burst;

constexpr double kMostSeconds = 2.0;
#ifdef ORCAN_SANITIZER_BUILD
constexpr bool kJudgeTime = false;
#else
constexpr bool kJudgeTime = true;
#endif
constexpr std::size_t kMostBytes = 100u << 20;
// A signalling not-a-number with a payload no computation produces.
constexpr std::uint64_t kPoison = 0x7FF4DEADBEEF5A5AULL;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct DataKind {
    const char* name;
    void (*spoil)(Burst& burst);
};

void sprinkle(Burst& burst, const std::array<double, 4>& values)
{
    std::vector<double>* series[] = {&burst.u, &burst.v, &burst.w, &burst.temp};
    const std::size_t n = burst.u.size();
    for (std::size_t k = 0; k < 4 && n > 0; ++k) {
        for (std::size_t i = k; i < n; i += 997) {
            (*series[k])[i] = values[(i / 997 + k) % 4];
        }
    }
}

void setAll(Burst& burst, double value)
{
    for (std::vector<double>* series : {&burst.u, &burst.v, &burst.w, &burst.temp}) {
        for (double& sample : *series) {
            sample = value;
        }
    }
}

const DataKind kKinds[] = {
    {"red noise", [](Burst&) {}},
    {"not-a-number", [](Burst& b) { sprinkle(b, {kNaN, -kNaN, kNaN, kNaN}); }},
    {"infinities", [](Burst& b) { sprinkle(b, {kInf, -kInf, kInf, -kInf}); }},
    {"near overflow",
     [](Burst& b) { sprinkle(b, {1e308, -1e308, std::numeric_limits<double>::max(), 1e308}); }},
    {"all zero", [](Burst& b) { setAll(b, 0.0); }},
    {"all equal", [](Burst& b) { setAll(b, 1.5); }},
};

struct Outputs {
    std::array<double, 8> scalars;
    std::array<double, EDDYRATE_BANDS> freq;
    std::array<double, EDDYRATE_BANDS> tke;
};

std::string describe(std::int32_t n, double fs, double z, const DataKind& kind)
{
    char text[160];
    std::snprintf(text, sizeof text, "n=%d fs=%g z=%g %s", n, fs, z, kind.name);
    return text;
}

}  // namespace

int main()
{
    const std::int32_t counts[] = {0, 1, 511, 512, 100000};
    const double rates[] = {0.0, 1.0, 1.0001, 9.99, 10.0, 11.0, 20.0,
                            100.0, 1e6, 1e300, kInf, kNaN, -10.0};
    const double heights[] = {0.0, -1.0, kNaN};

    int failures = 0;
    int calls = 0;
    double slowest = 0.0;
    std::size_t largest = 0;
    std::string slowestCall;
    std::string largestCall;
    for (const std::int32_t n : counts) {
        for (const DataKind& kind : kKinds) {
            Burst original = eddyrate::testing::redNoiseBurst(n, 17);
            kind.spoil(original);
            for (const double fs : rates) {
                for (const double z : heights) {
                    const std::string what = describe(n, fs, z, kind);
                    Burst burst = original;
                    Outputs out;
                    double* slots[] = {out.scalars.data(), out.freq.data(), out.tke.data()};
                    for (double* slot : slots) {
                        std::fill_n(slot, slot == out.scalars.data() ? 8 : EDDYRATE_BANDS,
                                    std::bit_cast<double>(kPoison));
                    }
                    double* s = out.scalars.data();
                    eddyrate::testing::resetAllocationCounts();
                    const double start = threadSeconds();
                    try {
                        eddyRate(n == 0 ? nullptr : burst.u.data(),
                                 n == 0 ? nullptr : burst.v.data(),
                                 n == 0 ? nullptr : burst.w.data(),
                                 n == 0 ? nullptr : burst.temp.data(), z, fs, &s[0], &s[1],
                                 &s[2], &s[3], &s[4], &s[5], &s[6], &s[7], out.freq.data(),
                                 out.tke.data(), n);
                    } catch (...) {
                        std::fprintf(stderr, "%s: an exception left the call\n", what.c_str());
                        ++failures;
                    }
                    const double seconds = threadSeconds() - start;
                    const eddyrate::testing::AllocationCounts held = allocationCounts();
                    ++calls;
                    if (seconds > slowest) {
                        slowest = seconds;
                        slowestCall = what;
                    }
                    if (held.peakBytes > largest) {
                        largest = held.peakBytes;
                        largestCall = what;
                    }
                    int unwritten = 0;
                    for (double value : out.scalars) {
                        unwritten += std::bit_cast<std::uint64_t>(value) == kPoison;
                    }
                    for (std::size_t i = 0; i < EDDYRATE_BANDS; ++i) {
                        unwritten += std::bit_cast<std::uint64_t>(out.freq[i]) == kPoison;
                        unwritten += std::bit_cast<std::uint64_t>(out.tke[i]) == kPoison;
                    }
                    if (unwritten != 0) {
                        std::fprintf(stderr, "%s: %d outputs not written\n", what.c_str(),
                                     unwritten);
                        ++failures;
                    }
                    if (held.liveBlocks != 0) {
                        std::fprintf(stderr, "%s: %lld blocks still held\n", what.c_str(),
                                     static_cast<long long>(held.liveBlocks));
                        ++failures;
                    }
                    if ((kJudgeTime && seconds > kMostSeconds) || held.peakBytes > kMostBytes) {
                        std::fprintf(stderr, "%s: %.3f s, %zu bytes at most\n", what.c_str(),
                                     seconds, held.peakBytes);
                        ++failures;
                    }
                }
            }
        }
    }
    std::printf("%d calls, %d failures; slowest %.3f s%s (%s); most memory %.1f MB (%s)\n", calls,
                failures, slowest, kJudgeTime ? "" : ", not judged", slowestCall.c_str(),
                static_cast<double>(largest) / 1e6, largestCall.c_str());
    return failures == 0 ? 0 : 1;
}
