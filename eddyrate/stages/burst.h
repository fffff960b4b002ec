#pragma once
// The burst computation behind the export: screening and conditioning, spectral estimation,
// dissipation fit and outputs, run one after another on the caller's thread.

#include "numeric_array.h"

namespace eddyrate {

// Written into an output that cannot be estimated.
inline constexpr double kMissingEstimate = 9999.0;
// Slots of the caller's Freq and Tke arrays, always written in full.
inline constexpr std::int32_t kReturnedBands = 116;

// The caller's output memory, named as the export names it.
struct BurstOutputs {
    double* Ustar;
    double* Epsilon;
    double* MeanU;
    double* MeanV;
    double* MeanW;
    double* MeanTemp;
    double* Anisotropy;
    double* Quality;
    double* Freq;  // kReturnedBands slots
    double* Tke;   // kReturnedBands slots
};

// The working memory a call on `n` samples at `fs` is expected to hold at its peak (the
// segments, their spectra and the transform's tables), which the call reserves in one piece.
std::size_t expectedWorkingBytes(std::int32_t n, double fs);
// The memory a call holds until the burst means are written (the screening), taken first, so
// that a burst too large for the memory at hand still gets its means.
std::size_t screeningBytes(std::int32_t n);

// Runs the whole computation on the four wrapped caller series (compacted in place) and
// writes every output. Every array it makes is released on every path. Throws std::bad_alloc
// when memory runs out; the outputs are then partly written.
void computeBurst(NumericArray& u, NumericArray& v, NumericArray& w, NumericArray& temp, double z,
                  double fs, const BurstOutputs& outputs);

}  // namespace eddyrate
