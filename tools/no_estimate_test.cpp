#include "no_estimate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "synth.h"

using namespace orcan::bursts;

namespace {

struct Case {
    const char* name;
    std::uint64_t samples;
    double fs;
    double meanU;
    std::uint64_t zeros;
    std::size_t nanAt;     // 0: no not-a-number sample
    const char* expected;  // a part of the reason; null: the burst has an estimate
};

TEST(NoEstimateReason, NamesTheRuleThatLeftTheBurstWithoutAnEstimate)
{
    const Case cases[] = {
        {"estimate", 6000, 10.0, 6.0, 0, 0, nullptr},
        {"298 samples", 298, 10.0, 6.0, 0, 0,
         "298 samples without a zero; the library needs at least 512"},
        {"many zeros", 6000, 10.0, 6.0, 900, 0, "hold a zero"},
        {"200 s", 2000, 10.0, 6.0, 0, 0,
         "2000 samples are fewer than one segment needs at 10 Hz: 2560"},
        {"3 Hz", 3000, 3.0, 6.0, 0, 0, "fewer than two bands in the fit range 2.0-4.9 Hz at 3 Hz"},
        {"a NaN", 6000, 10.0, 6.0, 0, 700, "sample 700 (counted from 1) is not finite: w = nan"},
        {"wind along v", 6000, 10.0, 0.0, 0, 0, "fewer than two valid segments"},
        {"1 Hz", 6000, 1.0, 6.0, 0, 0, "not above 1 Hz"},
        {"10 MHz", 6000, 1e7, 6.0, 0, 0, "above the highest the library accepts"},
    };
    for (const Case& c : cases) {
        BurstRecipe recipe;
        recipe.samples = c.samples;
        recipe.fs = c.fs;
        recipe.meanU = c.meanU;
        recipe.meanV = c.meanU == 0.0 ? 6.0 : 0.0;  // the wind along v: u has no mean
        recipe.zeros = c.zeros;
        Burst burst = generateBurst(recipe);
        if (c.nanAt != 0) {
            burst.w[c.nanAt - 1] = std::numeric_limits<double>::quiet_NaN();
        }
        const Burst before = burst;
        const EddyRateOutputs outputs = runEddyRate(burst, 4.0, c.fs);
        const std::optional<std::string> reason = noEstimateReason(before, c.fs, outputs);
        if (c.expected == nullptr) {
            EXPECT_FALSE(reason) << c.name << ": " << *reason;
        } else {
            ASSERT_TRUE(reason) << c.name;
            EXPECT_NE(reason->find(c.expected), std::string::npos) << c.name << ": " << *reason;
        }
    }
}

}  // namespace
