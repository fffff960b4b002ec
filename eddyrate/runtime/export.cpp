#include "eddyrate.h"

#include <limits>

// Placeholder until the burst computation lands: every burst is answered as rejected.
extern "C" EDDYRATE_API void EDDYRATE_CALL eddyRate(double* /*u*/, double* /*v*/, double* /*w*/,
                                                    double* /*temp*/, double /*z*/, double /*fs*/,
                                                    double* Ustar, double* Epsilon, double* MeanU,
                                                    double* MeanV, double* MeanW, double* MeanTemp,
                                                    double* Anisotropy, double* Quality, double* Freq,
                                                    double* Tke, int32_t /*n*/)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    *MeanU = *MeanV = *MeanW = *MeanTemp = nan;
    *Ustar = *Epsilon = *Anisotropy = EDDYRATE_MISSING;
    *Quality = 0.0;
    for (int i = 0; i < EDDYRATE_BANDS; ++i) {
        Freq[i] = EDDYRATE_MISSING;
        Tke[i] = EDDYRATE_MISSING;
    }
}
