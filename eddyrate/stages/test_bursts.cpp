#include "test_bursts.h"

#include <cmath>
#include <complex>
#include <numbers>
#include <random>

namespace eddyrate::testing {
namespace {

// Uniform in [-0.5, 0.5), exactly representable: 53 random bits scaled by a power of two.
double uniformStep(std::mt19937_64& random)
{
    return static_cast<double>(random() >> 11) * 0x1.0p-53 - 0.5;
}

std::vector<double> redNoise(std::int32_t n, double mean, double spread, std::mt19937_64& random)
{
    std::vector<double> series(static_cast<std::size_t>(n));
    double state = 0.0;
    for (double& value : series) {
        state = state * 0.9375 + uniformStep(random);
        value = mean + spread * state;
    }
    return series;
}

// In-place radix-2 transform with the positive exponent, unscaled (a textbook one, kept apart
// from the library's transform on purpose).
void inverseTransform(std::vector<std::complex<double>>& x)
{
    const std::size_t n = x.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; (j & bit) != 0; bit >>= 1) {
            j ^= bit;
        }
        j ^= bit;
        if (i < j) {
            std::swap(x[i], x[j]);
        }
    }
    for (std::size_t length = 2; length <= n; length <<= 1) {
        const double angle = 2.0 * std::numbers::pi / static_cast<double>(length);
        for (std::size_t start = 0; start < n; start += length) {
            for (std::size_t k = 0; k < length / 2; ++k) {
                const std::complex<double> twiddle =
                    std::polar(1.0, angle * static_cast<double>(k));
                const std::complex<double> a = x[start + k];
                const std::complex<double> b = x[start + k + length / 2] * twiddle;
                x[start + k] = a + b;
                x[start + k + length / 2] = a - b;
            }
        }
    }
}

std::vector<double> inertialSeries(std::int32_t n, double fs, double level, double mean,
                                   std::mt19937_64& random)
{
    constexpr double kFlatBelow = 0.02;
    std::size_t length = 1;
    while (length < static_cast<std::size_t>(n)) {
        length <<= 1;
    }
    const double binWidth = fs / static_cast<double>(length);
    std::vector<std::complex<double>> spectrum(length);
    for (std::size_t k = 1; k < length / 2; ++k) {
        const double f = std::max(static_cast<double>(k) * binWidth, kFlatBelow);
        const double density = level * std::pow(f, -5.0 / 3.0);
        // A cosine of amplitude a carries the variance a^2 / 2 = S(f) df.
        const double amplitude = std::sqrt(2.0 * density * binWidth);
        const double phase = 2.0 * std::numbers::pi * (uniformStep(random) + 0.5);
        spectrum[k] = std::polar(amplitude * 0.5, phase);
        spectrum[length - k] = std::conj(spectrum[k]);
    }
    inverseTransform(spectrum);
    std::vector<double> series(static_cast<std::size_t>(n));
    for (std::size_t t = 0; t < series.size(); ++t) {
        series[t] = mean + spectrum[t].real();
    }
    return series;
}

}  // namespace

Burst redNoiseBurst(std::int32_t n, std::uint64_t seed)
{
    std::mt19937_64 random(seed);
    Burst burst{redNoise(n, 6.0, 0.5, random), redNoise(n, 0.5, 0.375, random),
                redNoise(n, 0.0, 0.25, random), redNoise(n, 290.0, 0.125, random)};
    if (n < 10) {
        return burst;
    }
    const auto at = [n](double share) { return static_cast<std::size_t>(share * n); };
    burst.u[at(0.1)] = 0.0;
    burst.temp[at(0.6)] = -0.0;
    burst.w[at(0.3)] += 8.0;
    burst.u[at(0.7)] -= 9.0;
    return burst;
}

Burst kolmogorovBurst(std::int32_t n, double fs, double epsilon, double meanU, double meanV,
                      std::uint64_t seed)
{
    std::mt19937_64 random(seed);
    const double speed = std::hypot(meanU, meanV);
    const double common =
        std::pow(epsilon, 2.0 / 3.0) * std::pow(speed / (2.0 * std::numbers::pi), 2.0 / 3.0);
    const double longitudinal = 0.55 * common;
    const double transverse = 4.0 / 3.0 * 0.55 * common;
    Burst burst{inertialSeries(n, fs, longitudinal, meanU, random),
                inertialSeries(n, fs, transverse, meanV, random),
                inertialSeries(n, fs, transverse, 0.0, random),
                std::vector<double>(static_cast<std::size_t>(n), 290.0)};
    return burst;
}

}  // namespace eddyrate::testing
