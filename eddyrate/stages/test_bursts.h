#pragma once
// Seeded synthetic bursts for the tests of the burst computation.

#include <cstdint>
#include <vector>

namespace eddyrate::testing {

struct Burst {
    std::vector<double> u, v, w, temp;
};

// Red noise (a first-order autoregression of uniform steps) around a 6 m/s wind, with two
// samples that carry a zero and two spikes
// (from n = 10 on). Only additions and multiplications of exactly
// generated numbers, so the samples are the same bits on every machine.
Burst redNoiseBurst(std::int32_t n, std::uint64_t seed);

// Wind whose one-sided spectra follow the inertial subrange, S(f) = C eps^(2/3)
// (U / 2 pi)^(2/3) f^(-5/3) with C = 0.55 for u and (4/3) 0.55 for v and w, flattened below
// 0.02 Hz, around the mean wind (meanU, meanV, 0). A sum of cosines on the frequency grid of
// the next power of two above n, with seeded random phases.
Burst kolmogorovBurst(std::int32_t n, double fs, double epsilon, double meanU, double meanV,
                      std::uint64_t seed);

}  // namespace eddyrate::testing
