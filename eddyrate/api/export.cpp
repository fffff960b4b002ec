#include <limits>

#include "burst.h"
#include "call_arena.h"
#include "eddyrate.h"
#include "fit.h"
#include "nonfinite.h"
#include "screening.h"

// The public header states what callers rely on; the stages that do the work keep their own
// constants. They must agree.
static_assert(EDDYRATE_BANDS == eddyrate::kReturnedBands);
static_assert(EDDYRATE_MISSING == eddyrate::kMissingEstimate);
static_assert(EDDYRATE_FIT_LOW_HZ == eddyrate::kFitLowest);
static_assert(EDDYRATE_FIT_HIGH_HZ == eddyrate::kFitHighest);

namespace {

constexpr bool dropoutRulesAgree()
{
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double samples[] = {1.0, 0.0, -0.0, nan, -1.0, 1e-300};
    for (const double u : samples) {
        for (const double t : samples) {
            if (eddyrate::isDropout(u, 1.0, 1.0, t) != EDDYRATE_IS_DROPOUT(u, 1.0, 1.0, t) ||
                eddyrate::isDropout(1.0, u, t, 1.0) != EDDYRATE_IS_DROPOUT(1.0, u, t, 1.0)) {
                return false;
            }
        }
    }
    return true;
}
static_assert(dropoutRulesAgree());

}  // namespace

extern "C" EDDYRATE_API void EDDYRATE_CALL eddyRate(double* u, double* v, double* w, double* temp,
                                                    double z, double fs, double* Ustar,
                                                    double* Epsilon, double* MeanU, double* MeanV,
                                                    double* MeanW, double* MeanTemp,
                                                    double* Anisotropy, double* Quality,
                                                    double* Freq, double* Tke, int32_t n)
{
    using namespace eddyrate;
    const BurstOutputs outputs{Ustar,    Epsilon,    MeanU,   MeanV, MeanW,
                               MeanTemp, Anisotropy, Quality, Freq,  Tke};
    // Until the burst means are computed they read not-a-number, so a call that runs out of
    // memory early never leaves the previous burst's means in the caller's memory.
    *MeanU = kNaN;
    *MeanV = kNaN;
    *MeanW = kNaN;
    *MeanTemp = kNaN;
    try {
        const std::int32_t count = n < 0 ? 0 : n;
        // Every working array of the call comes from this arena and goes with it.
        CallArena arena(screeningBytes(count), expectedWorkingBytes(count, fs));
        const ActiveArena active(arena);
        ArrayOwner uSeries = wrapArray(u, count);
        ArrayOwner vSeries = wrapArray(v, count);
        ArrayOwner wSeries = wrapArray(w, count);
        ArrayOwner tempSeries = wrapArray(temp, count);
        computeBurst(*uSeries, *vSeries, *wSeries, *tempSeries, z, fs, outputs);
    } catch (...) {
        // Out of memory: every array is already released; the burst is answered as rejected.
        writeRejectedBurst(outputs);
    }
}
