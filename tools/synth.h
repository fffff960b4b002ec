#pragma once
// Synthetic bursts with a known dissipation rate, for examples and tests.
//
// Each velocity component is a Gaussian random series with a von Karman-shaped one-sided
// frequency spectrum whose high-frequency end is the inertial subrange seen through Taylor's
// frozen turbulence (wavenumber k = 2 pi f / U):
//   S_u(f) = alpha eps^(2/3) (U / 2 pi)^(2/3) (f^2 + fu^2)^(-5/6)
//   S_v(f) = S_w(f) = (4/3) alpha eps^(2/3) (U / 2 pi)^(2/3) (f^2 + fvw^2)^(-5/6)
// Well above the knee frequencies fu and fvw these are the -5/3 laws, with the transverse
// components 4/3 of the streamwise one as in isotropic turbulence. alpha defaults to 0.55,
// the constant eddyRate's dissipation fit divides by, so the library recovers the chosen eps
// (the fit reads eps = (f^(5/3) S_w / ((4/3) 0.55 (U / 2 pi)^(2/3)))^(3/2)).

#include <cstdint>
#include <vector>

#include "burst.h"

struct BurstRecipe {
    std::uint64_t seed = 1;
    double fs = 10.0;               // Hz
    std::uint64_t samples = 18000;  // 30 minutes at 10 Hz
    double epsilon = 0.005;         // m^2/s^3, the dissipation rate of the inertial subrange
    double meanU = 6.0;             // m/s; the mean horizontal wind (meanU, meanV) sets U
    double meanV = 0.0;             // and the streamwise direction
    double meanW = 0.0;             // m/s
    double temperature = 15.0;      // mean sonic temperature
    double temperatureStd = 0.2;    // its standard deviation
    double kolmogorov = 0.55;       // alpha of the streamwise one-dimensional spectrum
    double kneeU = 0.05;            // Hz, where the u spectrum levels off
    double kneeVW = 0.2;            // Hz, the same for v and w
    std::uint64_t zeros = 0;        // samples with one column set to exactly 0.0 (dropouts)
    std::uint64_t spikes = 0;       // samples with one wind component pushed out
    double spikeSize = 10.0;        // spike height in standard deviations of its component
};

// The one-sided spectra a recipe asks for, in (m/s)^2/Hz, at frequency f in Hz.
double streamwiseSpectrum(const BurstRecipe& recipe, double f);
double transverseSpectrum(const BurstRecipe& recipe, double f);

// Deterministic for a given recipe on every platform: the generator's own random stream
// (64-bit Mersenne twister, Box-Muller) and its own transform.
orcan::bursts::Burst generateBurst(const BurstRecipe& recipe);

// Complex transform of a power-of-two length, in place, unscaled; sign -1 forward, +1 inverse.
// re and im hold the real and imaginary parts.
void fftRadix2(std::vector<double>& re, std::vector<double>& im, int sign);
