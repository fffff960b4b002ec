// Runs out of memory at every allocation of a call in turn: for each burst, the call is first
// made with plenty of memory to count its allocations, then once more for every k with the
// k-th allocation refused. It does so twice: with the call's memory reserved in one piece, and
// with every array in a block of its own, so that each array's failure path is taken. Every such
// call must return normally (no exception crosses the C boundary), answer the burst as rejected,
// keep the means it had written, and hold no block afterwards; a sanitizer build also checks that
// nothing leaks or is read after release.
//   eddyrate_allocation_failure_sweep            the sweep
//   eddyrate_allocation_failure_sweep --count    only the allocations of each burst
// Exit status 0 when every call passed; every failure is one line on standard error.

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "allocation_hook.h"
#include "call_arena.h"
#include "eddyrate.h"
#include "test_bursts.h"

namespace {

using eddyrate::testing::Burst;

struct Outputs {
    std::array<double, 8> scalars;  // Ustar, Epsilon, MeanU, MeanV, MeanW, MeanTemp, ...
    std::array<double, EDDYRATE_BANDS> freq;
    std::array<double, EDDYRATE_BANDS> tke;
};

struct Case {
    const char* name;
    std::int32_t n;
    double fs;
};

// Every path of the computation: a full burst, a burst without a whole segment, one whose
// fit range has no band, and one the gate rejects.
const Case kCases[] = {
    {"6000 samples at 10 Hz", 6000, 10.0},
    {"2000 samples at 10 Hz (no segment)", 2000, 10.0},
    {"3000 samples at 3 Hz (no fit band)", 3000, 3.0},
    {"100 samples (rejected)", 100, 10.0},
};

const Case kThirtyMinutes = {"30 minutes at 10 Hz", 18000, 10.0};

Outputs call(const Burst& original, double fs, bool& threw)
{
    Burst burst = original;
    Outputs out{};
    double* s = out.scalars.data();
    threw = false;
    try {
        eddyRate(burst.u.data(), burst.v.data(), burst.w.data(), burst.temp.data(), 4.0, fs, &s[0],
                 &s[1], &s[2], &s[3], &s[4], &s[5], &s[6], &s[7], out.freq.data(), out.tke.data(),
                 static_cast<std::int32_t>(burst.u.size()));
    } catch (...) {
        threw = true;
    }
    return out;
}

bool answeredAsRejected(const Outputs& out)
{
    bool rejected = out.scalars[0] == EDDYRATE_MISSING && out.scalars[1] == EDDYRATE_MISSING &&
                    out.scalars[6] == EDDYRATE_MISSING &&
                    std::bit_cast<std::uint64_t>(out.scalars[7]) == 0;
    for (std::size_t i = 0; i < EDDYRATE_BANDS; ++i) {
        rejected = rejected && out.freq[i] == EDDYRATE_MISSING && out.tke[i] == EDDYRATE_MISSING;
    }
    return rejected;
}

// Each mean is either the one of the full call or, when memory ran out before the means
// were written, not-a-number; never a stale value.
bool meansHeld(const Outputs& out, const Outputs& full)
{
    for (std::size_t k = 2; k < 6; ++k) {
        const bool same = std::bit_cast<std::uint64_t>(out.scalars[k]) ==
                          std::bit_cast<std::uint64_t>(full.scalars[k]);
        if (!same && !std::isnan(out.scalars[k])) {
            return false;
        }
    }
    return true;
}

std::int64_t countAllocations(const Burst& burst, double fs)
{
    bool threw = false;
    eddyrate::testing::resetAllocationCounts();
    call(burst, fs, threw);
    return eddyrate::testing::allocationCounts().allocations;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool countOnly = argc > 1 && std::strcmp(argv[1], "--count") == 0;
    int failures = 0;
    for (const bool perBlock : {false, true}) {
        eddyrate::setChunkPerBlock(perBlock);
        for (const Case& c : kCases) {
            const Burst burst = eddyrate::testing::redNoiseBurst(c.n, 23);
            const std::int64_t total = countAllocations(burst, c.fs);
            std::printf("%s%s: %lld allocations\n", c.name, perBlock ? ", a block per array" : "",
                        static_cast<long long>(total));
            if (countOnly) {
                continue;
            }
            bool threw = false;
            const Outputs full = call(burst, c.fs, threw);
            for (std::int64_t k = 1; k <= total; ++k) {
                eddyrate::testing::resetAllocationCounts();
                eddyrate::testing::refuseAllocation(k);
                const Outputs out = call(burst, c.fs, threw);
                const eddyrate::testing::AllocationCounts counts =
                    eddyrate::testing::allocationCounts();
                eddyrate::testing::refuseAllocation(0);
                std::string wrong;
                if (threw) {
                    wrong += " an exception left the call;";
                }
                if (!answeredAsRejected(out)) {
                    wrong += " not answered as rejected;";
                }
                if (!meansHeld(out, full)) {
                    wrong += " a mean is neither written nor not-a-number;";
                }
                if (counts.liveBlocks != 0) {
                    wrong += " " + std::to_string(counts.liveBlocks) + " blocks still held;";
                }
                if (!wrong.empty()) {
                    std::fprintf(stderr, "%s, allocation %lld of %lld refused:%s\n", c.name,
                                 static_cast<long long>(k), static_cast<long long>(total),
                                 wrong.c_str());
                    ++failures;
                }
            }
        }
    }
    eddyrate::setChunkPerBlock(false);
    const Burst thirty = eddyrate::testing::redNoiseBurst(kThirtyMinutes.n, 23);
    std::printf("%s: %lld allocations\n", kThirtyMinutes.name,
                static_cast<long long>(countAllocations(thirty, kThirtyMinutes.fs)));
    std::printf("%d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
