#pragma once
// Last stage: the dissipation rate fitted to the inertial subrange of the vertical-velocity
// spectrum segment by segment, the friction velocity and quality that follow from it, their
// averages over the valid segments, the anisotropy, and the outputs of a rejected burst.

#include "burst.h"
#include "numeric_array.h"

namespace eddyrate {

// bandList becomes [1, count]: the 1-based bands J with 2.0 < Freq[J] < 4.9 Hz, in order.
// Throws std::bad_alloc.
void fitRange(const NumericArray& freq, NumericArray& bandList);

// What the fit reads from the earlier stages.
struct FitInputs {
    const NumericArray& rawU;  // [N, M] despiked segments of u
    const NumericArray& rawV;  // [N, M] despiked segments of v
    const NumericArray& bww;   // [nb, M] band spectrum of w
    const NumericArray& freq;  // [1, nb]
    const NumericArray& suu;   // [1, nb] segment-averaged spectra
    const NumericArray& svv;
    const NumericArray& sww;
    const NumericArray& tke;  // [1, nb]
};

// Writes Ustar, Epsilon, Quality, Freq, Tke and Anisotropy for a burst that passed the gate.
// Throws std::bad_alloc.
void writeEstimates(const FitInputs& inputs, double z, const BurstOutputs& outputs);

// Marks every output but the four means as missing, and Quality as 0.0.
void writeRejectedBurst(const BurstOutputs& outputs) noexcept;

}  // namespace eddyrate
