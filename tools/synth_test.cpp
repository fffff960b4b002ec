#include "synth.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <numbers>

using namespace orcan::bursts;

namespace {

// A periodic burst (power-of-two length), so every Fourier bin is one independent draw.
BurstRecipe periodicSpec()
{
    BurstRecipe recipe;
    recipe.samples = 8192;
    recipe.seed = 20240611;
    return recipe;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::bit_cast<std::uint64_t>(a[i]) != std::bit_cast<std::uint64_t>(b[i])) {
            return false;
        }
    }
    return true;
}

TEST(GenerateBurst, IsDeterministicForASeed)
{
    BurstRecipe recipe = periodicSpec();
    recipe.zeros = 3;
    recipe.spikes = 2;
    const Burst first = generateBurst(recipe);
    const Burst again = generateBurst(recipe);
    EXPECT_TRUE(sameBits(first.u, again.u) && sameBits(first.v, again.v) &&
                sameBits(first.w, again.w) && sameBits(first.temp, again.temp));
    recipe.seed += 1;
    EXPECT_FALSE(sameBits(first.w, generateBurst(recipe).w));
}

double mean(const std::vector<double>& x)
{
    double sum = 0.0;
    for (const double value : x) {
        sum += value;
    }
    return sum / static_cast<double>(x.size());
}

double stdDev(const std::vector<double>& x)
{
    const double m = mean(x);
    double sum = 0.0;
    for (const double value : x) {
        sum += (value - m) * (value - m);
    }
    return std::sqrt(sum / static_cast<double>(x.size() - 1));
}

TEST(GenerateBurst, HasTheAskedMeansDropoutsAndSpikes)
{
    BurstRecipe recipe = periodicSpec();
    recipe.meanU = 3.0;
    recipe.meanV = -4.0;
    recipe.meanW = 0.1;
    recipe.temperature = 21.0;
    recipe.zeros = 5;
    recipe.spikes = 4;
    const Burst burst = generateBurst(recipe);
    ASSERT_EQ(burst.size(), recipe.samples);

    std::size_t zeroRows = 0;
    std::size_t spikeRows = 0;
    const std::vector<double>* wind[] = {&burst.u, &burst.v, &burst.w};
    double centre[3];
    double spread[3];
    for (int c = 0; c < 3; ++c) {
        centre[c] = mean(*wind[c]);
        spread[c] = stdDev(*wind[c]);
    }
    for (std::size_t i = 0; i < burst.size(); ++i) {
        const bool zero =
            burst.u[i] == 0.0 || burst.v[i] == 0.0 || burst.w[i] == 0.0 || burst.temp[i] == 0.0;
        bool spike = false;
        for (int c = 0; c < 3; ++c) {
            // Gaussian turbulence leaves 6 standard deviations about once in 10^9 samples.
            spike = spike || std::fabs((*wind[c])[i] - centre[c]) > 6.0 * spread[c];
        }
        zeroRows += zero;
        spikeRows += spike && !zero;  // a dropout of the mean wind lies far out as well
    }
    EXPECT_EQ(zeroRows, 5u);
    EXPECT_EQ(spikeRows, 4u);
    // The means carry the random low-frequency wander of a single burst: a loose check.
    EXPECT_NEAR(mean(burst.u), 3.0, 0.3);
    EXPECT_NEAR(mean(burst.v), -4.0, 0.3);
    EXPECT_NEAR(mean(burst.w), 0.1, 0.1);
    EXPECT_NEAR(mean(burst.temp), 21.0, 0.2);
}

// One-sided periodogram of x at bins first ... last, by a direct DFT (not the generator's
// transform): 2 |X_k|^2 / (fs L).
std::vector<double> periodogram(const std::vector<double>& x, double fs, std::size_t first,
                                std::size_t last)
{
    const std::size_t n = x.size();
    std::vector<double> cosTable(n);
    std::vector<double> sinTable(n);
    for (std::size_t m = 0; m < n; ++m) {
        const double angle =
            2.0 * std::numbers::pi * static_cast<double>(m) / static_cast<double>(n);
        cosTable[m] = std::cos(angle);
        sinTable[m] = std::sin(angle);
    }
    std::vector<double> power;
    for (std::size_t k = first; k <= last; ++k) {
        double re = 0.0;
        double im = 0.0;
        for (std::size_t t = 0; t < n; ++t) {
            const std::size_t m = (k * t) % n;
            re += x[t] * cosTable[m];
            im -= x[t] * sinTable[m];
        }
        power.push_back(2.0 * (re * re + im * im) / (fs * static_cast<double>(n)));
    }
    return power;
}

// The w spectrum over the dissipation fit's band, 2 to 4.9 Hz, must be the -5/3 law at the
// level from which that fit, eps = (f^(5/3) S_w / (0.7333333333333334 (U / 2 pi)^(2/3)))^1.5,
// gives back the chosen eps. 2375 independent bins, each exponentially distributed around
// the spectrum: their mean is within 2 % (one standard deviation) of the level.
TEST(GenerateBurst, VerticalSpectrumIsTheInertialSubrangeOfTheChosenDissipationRate)
{
    const BurstRecipe recipe = periodicSpec();
    const Burst burst = generateBurst(recipe);
    const double binWidth = recipe.fs / static_cast<double>(recipe.samples);
    const auto firstBin = static_cast<std::size_t>(std::ceil(2.0 / binWidth));
    const auto lastBin = static_cast<std::size_t>(std::floor(4.9 / binWidth));
    const std::vector<double> power = periodogram(burst.w, recipe.fs, firstBin, lastBin);

    // Compensated by f^(5/3) and by the knee's small remaining effect, (1 + (fk/f)^2)^(5/6).
    const double speedFactor = std::pow(recipe.meanU / (2.0 * std::numbers::pi), 2.0 / 3.0);
    double compensated = 0.0;
    for (std::size_t i = 0; i < power.size(); ++i) {
        const double f = static_cast<double>(firstBin + i) * binWidth;
        const double knee = std::pow(1.0 + (recipe.kneeVW / f) * (recipe.kneeVW / f), 5.0 / 6.0);
        compensated += std::pow(f, 5.0 / 3.0) * power[i] * knee;
    }
    compensated /= static_cast<double>(power.size());
    const double epsilon = std::pow(compensated / (0.7333333333333334 * speedFactor), 1.5);
    EXPECT_NEAR(epsilon / recipe.epsilon, 1.0, 0.1);

    // The slope of log power against log frequency over six sub-bands of equal log width.
    const int bands = 6;
    double sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
    for (int b = 0; b < bands; ++b) {
        const double low = 2.0 * std::pow(4.9 / 2.0, b / double(bands));
        const double high = 2.0 * std::pow(4.9 / 2.0, (b + 1) / double(bands));
        double sum = 0.0;
        double fsum = 0.0;
        int count = 0;
        for (std::size_t i = 0; i < power.size(); ++i) {
            const double f = static_cast<double>(firstBin + i) * binWidth;
            if (f >= low && f < high) {
                sum += power[i];
                fsum += f;
                ++count;
            }
        }
        const double x = std::log(fsum / count);
        const double y = std::log(sum / count);
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const double slope = (bands * sxy - sx * sy) / (bands * sxx - sx * sx);
    EXPECT_NEAR(slope, -5.0 / 3.0, 0.15);
}

TEST(FftRadix2, MatchesTheDefinitionAndInverts)
{
    const std::size_t n = 16;
    std::vector<double> re(n), im(n);
    for (std::size_t t = 0; t < n; ++t) {
        re[t] = std::sin(0.7 * static_cast<double>(t)) + 0.1 * static_cast<double>(t);
        im[t] = std::cos(1.3 * static_cast<double>(t * t));
    }
    std::vector<double> fre = re, fim = im;
    fftRadix2(fre, fim, -1);
    for (std::size_t k = 0; k < n; ++k) {
        double sre = 0.0, sim = 0.0;
        for (std::size_t t = 0; t < n; ++t) {
            const double a = -2.0 * std::numbers::pi * static_cast<double>(k * t) / n;
            sre += re[t] * std::cos(a) - im[t] * std::sin(a);
            sim += re[t] * std::sin(a) + im[t] * std::cos(a);
        }
        EXPECT_NEAR(fre[k], sre, 1e-12);
        EXPECT_NEAR(fim[k], sim, 1e-12);
    }
    fftRadix2(fre, fim, +1);
    for (std::size_t t = 0; t < n; ++t) {
        EXPECT_NEAR(fre[t] / n, re[t], 1e-14);
        EXPECT_NEAR(fim[t] / n, im[t], 1e-14);
    }
}

}  // namespace
