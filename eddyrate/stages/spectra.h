#pragma once
// Second stage: the one-sided spectral density of every segment, averaged over bands of 11
// Fourier bins, the band frequencies, the segment-averaged spectra and the spectrum of
// turbulent kinetic energy.

#include <cstdint>
#include <span>

#include "numeric_array.h"

namespace eddyrate {

// Number of whole 11-bin bands below the Nyquist bin: floor(N / 22) for every even N.
std::int32_t bandCount(double segmentLength);

// bands[k] becomes [nb, M]: the band spectrum of every column of the scaled [N, M] segments
// scaled[k], as a one-sided density in the series' units squared per hertz. Every scaled[k]
// has the same N. Throws std::bad_alloc.
void bandSpectra(std::span<const NumericArray* const> scaled, double segmentLength, double fs,
                 std::span<NumericArray* const> bands);

// freq becomes [1, nb] (at most [1, mostBands]): half a bin above the centre of each band's
// bins, plus 1/256 Hz. Throws std::bad_alloc.
void bandFrequencies(double segmentLength, double fs, NumericArray& freq,
                     std::int32_t mostBands = INT32_MAX);

// mean becomes [1, nb]: every band of the [nb, M] band spectrum averaged over the segments
// (not-a-number without segments). Throws std::bad_alloc.
void segmentAverage(const NumericArray& bands, NumericArray& mean);

// tke becomes [1, nb]: (Svv + Suu) + Sww band by band, twice the kinetic-energy density.
// Throws std::bad_alloc.
void tkeSpectrum(const NumericArray& suu, const NumericArray& svv, const NumericArray& sww,
                 NumericArray& tke);

}  // namespace eddyrate
