#pragma once
// Last stage: the dissipation rate fitted to the inertial subrange of the vertical-velocity
// spectrum segment by segment, the friction velocity and quality that follow from it, their
// averages over the valid segments, the anisotropy, and the outputs of a rejected burst.

#include "burst.h"
#include "numeric_array.h"

namespace eddyrate {

// The inertial subrange that the fit trusts, in hertz (both bounds excluded): above the
// energy-containing eddies, below the Nyquist frequency at 10 Hz sampling. The public header
// states them too (EDDYRATE_FIT_LOW_HZ, EDDYRATE_FIT_HIGH_HZ); the export checks they agree.
inline constexpr double kFitLowest = 2.0;
inline constexpr double kFitHighest = 4.9;

// bandList becomes [1, count]: the 1-based bands J with 2.0 < Freq[J] < 4.9 Hz, in order.
// Throws std::bad_alloc.
void fitRange(const NumericArray& freq, NumericArray& bandList);

// What the fit reads from the earlier stages.
struct FitInputs {
    const NumericArray& meanU;      // [1, M] mean of each despiked segment of u (columnMeans)
    const NumericArray& meanV;      // the same of v
    const NumericArray& varianceU;  // [1, M] variance of each one of u (columnVariances)
    const NumericArray& bww;        // [nb, M] band spectrum of w
    const NumericArray& freq;       // [1, nb]
    const NumericArray& suu;        // [1, nb] segment-averaged spectra
    const NumericArray& svv;
    const NumericArray& sww;
    const NumericArray& tke;  // [1, nb]
};

// Writes Ustar, Epsilon, Quality, Freq, Tke and Anisotropy for a burst that passed the gate.
// Fewer than two bands in the fit range give no estimate (Ustar, Epsilon, Anisotropy and
// Quality missing); a height that is not finite and above zero gives no Ustar.
// Throws std::bad_alloc.
void writeEstimates(const FitInputs& inputs, double z, const BurstOutputs& outputs);

// Writes the outputs of a burst that passed the gate but holds no whole segment: Ustar and
// Epsilon missing, Freq as usual, and Tke, Quality and Anisotropy the not-a-number of a mean
// over no segments (Quality and Anisotropy missing when the fit range has fewer than two
// bands). Builds nothing sized by the segment length. Throws std::bad_alloc.
void writeSegmentlessBurst(double segmentLength, double fs, const BurstOutputs& outputs);

// Marks every output but the four means as missing, and Quality as 0.0.
void writeRejectedBurst(const BurstOutputs& outputs) noexcept;

}  // namespace eddyrate
