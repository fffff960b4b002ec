#include "synth.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <utility>

using namespace orcan::bursts;

namespace {

// Ratio of the v and w spectra to the u spectrum in isotropic inertial-subrange turbulence.
constexpr double kTransverseRatio = 4.0 / 3.0;

class NormalStream {
public:
    explicit NormalStream(std::uint64_t seed) : engine_(seed) {}

    // Uniform in (0, 1], 53 random bits.
    double uniform() { return (static_cast<double>(engine_() >> 11) + 1.0) * 0x1p-53; }

    std::size_t index(std::size_t count) { return static_cast<std::size_t>(engine_() % count); }

    double normal()
    {
        if (hasSpare_) {
            hasSpare_ = false;
            return spare_;
        }
        const double radius = std::sqrt(-2.0 * std::log(uniform()));
        const double angle = 2.0 * std::numbers::pi * uniform();
        spare_ = radius * std::sin(angle);
        hasSpare_ = true;
        return radius * std::cos(angle);
    }

private:
    std::mt19937_64 engine_;
    double spare_ = 0.0;
    bool hasSpare_ = false;
};

double inertialLevel(const BurstRecipe& recipe)
{
    const double speed = std::hypot(recipe.meanU, recipe.meanV);
    return recipe.kolmogorov * std::pow(recipe.epsilon, 2.0 / 3.0) *
           std::pow(speed / (2.0 * std::numbers::pi), 2.0 / 3.0);
}

double vonKarmanShape(double f, double knee) { return std::pow(f * f + knee * knee, -5.0 / 6.0); }

std::size_t transformLength(std::size_t samples)
{
    std::size_t length = 2;
    while (length < samples) {
        length *= 2;
    }
    return length;
}

// A Gaussian series of the given samples with the one-sided spectrum density(f), made over
// a power-of-two period and cut to length. Each Fourier coefficient gets a complex Gaussian
// amplitude with E|X_k|^2 = S(f_k) fs L / 2, which gives the bin its share S(f_k) fs / L of
// the variance; the mean and the Nyquist bin stay zero.
template <typename Density>
std::vector<double> gaussianSeries(NormalStream& random, std::size_t samples, double fs,
                                   Density density)
{
    const std::size_t length = transformLength(samples);
    std::vector<double> re(length, 0.0);
    std::vector<double> im(length, 0.0);
    const double binWidth = fs / static_cast<double>(length);
    for (std::size_t k = 1; k < length / 2; ++k) {
        const double f = static_cast<double>(k) * binWidth;
        const double amplitude = std::sqrt(density(f) * fs * static_cast<double>(length) / 4.0);
        re[k] = amplitude * random.normal();
        im[k] = amplitude * random.normal();
        re[length - k] = re[k];
        im[length - k] = -im[k];
    }
    fftRadix2(re, im, +1);
    std::vector<double> series(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        series[i] = re[i] / static_cast<double>(length);
    }
    return series;
}

double standardDeviation(const std::vector<double>& x)
{
    double mean = 0.0;
    for (const double value : x) {
        mean += value;
    }
    mean /= static_cast<double>(x.size());
    double sum = 0.0;
    for (const double value : x) {
        sum += (value - mean) * (value - mean);
    }
    return std::sqrt(sum / static_cast<double>(x.size() - 1));
}

// Distinct sample positions for the dropouts and spikes, so each lands where asked.
std::vector<std::size_t> distinctPositions(NormalStream& random, std::size_t samples,
                                           std::size_t count)
{
    std::vector<std::size_t> all(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        all[i] = i;
    }
    count = std::min(count, samples);
    for (std::size_t i = 0; i < count; ++i) {
        std::swap(all[i], all[i + random.index(samples - i)]);
    }
    all.resize(count);
    return all;
}

}  // namespace

double streamwiseSpectrum(const BurstRecipe& recipe, double f)
{
    return inertialLevel(recipe) * vonKarmanShape(f, recipe.kneeU);
}

double transverseSpectrum(const BurstRecipe& recipe, double f)
{
    return kTransverseRatio * inertialLevel(recipe) * vonKarmanShape(f, recipe.kneeVW);
}

Burst generateBurst(const BurstRecipe& recipe)
{
    NormalStream random(recipe.seed);
    const std::size_t n = recipe.samples;
    const auto streamwise = [&](double f) { return streamwiseSpectrum(recipe, f); };
    const auto transverse = [&](double f) { return transverseSpectrum(recipe, f); };
    const std::vector<double> along = gaussianSeries(random, n, recipe.fs, streamwise);
    const std::vector<double> across = gaussianSeries(random, n, recipe.fs, transverse);
    std::vector<double> up = gaussianSeries(random, n, recipe.fs, transverse);
    // The temperature wanders like u; only its spread is set.
    std::vector<double> warm = gaussianSeries(random, n, recipe.fs, streamwise);
    const double warmStd = n > 1 ? standardDeviation(warm) : 0.0;
    const double warmScale = warmStd > 0.0 ? recipe.temperatureStd / warmStd : 0.0;

    const double direction = std::atan2(recipe.meanV, recipe.meanU);
    const double c = std::cos(direction);
    const double s = std::sin(direction);
    Burst burst;
    for (std::size_t i = 0; i < n; ++i) {
        burst.append(recipe.meanU + along[i] * c - across[i] * s,
                     recipe.meanV + along[i] * s + across[i] * c, recipe.meanW + up[i],
                     recipe.temperature + warm[i] * warmScale);
    }
    if (n < 2) {
        return burst;
    }

    std::vector<double>* const columns[] = {&burst.u, &burst.v, &burst.w, &burst.temp};
    const double spread[] = {standardDeviation(burst.u), standardDeviation(burst.v),
                             standardDeviation(burst.w)};
    const std::vector<std::size_t> positions =
        distinctPositions(random, n, recipe.zeros + recipe.spikes);
    for (std::size_t j = 0; j < positions.size(); ++j) {
        const std::size_t i = positions[j];
        if (j < recipe.zeros) {
            (*columns[random.index(4)])[i] = 0.0;
            continue;
        }
        const std::size_t component = random.index(3);
        const double sign = random.uniform() < 0.5 ? -1.0 : 1.0;
        (*columns[component])[i] += sign * recipe.spikeSize * spread[component];
    }
    return burst;
}

void fftRadix2(std::vector<double>& re, std::vector<double>& im, int sign)
{
    const std::size_t n = re.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) {
            j ^= bit;
        }
        j ^= bit;
        if (i < j) {
            std::swap(re[i], re[j]);
            std::swap(im[i], im[j]);
        }
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const double angle = sign * 2.0 * std::numbers::pi / static_cast<double>(len);
        for (std::size_t start = 0; start < n; start += len) {
            for (std::size_t k = 0; k < len / 2; ++k) {
                // Each twiddle straight from sin and cos: no drift from repeated rotation.
                const double wr = std::cos(angle * static_cast<double>(k));
                const double wi = std::sin(angle * static_cast<double>(k));
                const std::size_t a = start + k;
                const std::size_t b = a + len / 2;
                const double tr = re[b] * wr - im[b] * wi;
                const double ti = re[b] * wi + im[b] * wr;
                re[b] = re[a] - tr;
                im[b] = im[a] - ti;
                re[a] += tr;
                im[a] += ti;
            }
        }
    }
}
