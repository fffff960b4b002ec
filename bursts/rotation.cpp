#include "rotation.h"

#include <cmath>
#include <limits>
#include <numbers>

namespace orcan::bursts {

std::optional<Rotation> parseRotation(std::string_view text)
{
    if (text == "none") {
        return Rotation::none;
    }
    if (text == "mean-wind") {
        return Rotation::meanWind;
    }
    if (text == "double") {
        return Rotation::twoAxis;
    }
    return std::nullopt;
}

namespace {

bool isDropout(const Burst& burst, std::size_t i)
{
    return burst.u[i] == 0.0 || burst.v[i] == 0.0 || burst.w[i] == 0.0 || burst.temp[i] == 0.0;
}

struct WindMeans {
    double u = 0.0;
    double v = 0.0;
    double w = 0.0;
    std::size_t samples = 0;
};

WindMeans windMeans(const Burst& burst)
{
    WindMeans means;
    for (std::size_t i = 0; i < burst.size(); ++i) {
        if (!isDropout(burst, i)) {
            means.u += burst.u[i];
            means.v += burst.v[i];
            means.w += burst.w[i];
            ++means.samples;
        }
    }
    if (means.samples > 0) {
        const auto n = static_cast<double>(means.samples);
        means.u /= n;
        means.v /= n;
        means.w /= n;
    }
    return means;
}

// A kept sample turned onto exactly zero would read as a dropout; the nearest value beside
// zero keeps it a sample.
double keptNonZero(double value, double sign)
{
    return value != 0.0 ? value : std::copysign(std::numeric_limits<double>::denorm_min(), sign);
}

// Turns (a, b) by the angle whose cosine and sine are c and s, so that the mean of b becomes 0.
void turnPair(const Burst& burst, std::vector<double>& a, std::vector<double>& b, double c,
              double s)
{
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (isDropout(burst, i)) {
            continue;
        }
        const double along = a[i] * c + b[i] * s;
        const double across = b[i] * c - a[i] * s;
        a[i] = keptNonZero(along, a[i]);
        b[i] = keptNonZero(across, b[i]);
    }
}

}  // namespace

void rotateBurst(Burst& burst, Rotation rotation)
{
    if (rotation == Rotation::none) {
        return;
    }
    const WindMeans means = windMeans(burst);
    const double horizontal = std::hypot(means.u, means.v);
    if (means.samples == 0 || !(horizontal > 0.0) || !std::isfinite(horizontal)) {
        return;  // no mean wind to turn into
    }
    // The dropout test needs the rows as they were; turnPair reads them before each write, and
    // a kept sample never becomes a dropout, so the test stays the same throughout.
    turnPair(burst, burst.u, burst.v, means.u / horizontal, means.v / horizontal);
    if (rotation == Rotation::twoAxis) {
        // After the first turn the mean u is the horizontal speed and the mean w is unchanged.
        const double total = std::hypot(horizontal, means.w);
        if (total > 0.0 && std::isfinite(total)) {
            turnPair(burst, burst.u, burst.w, horizontal / total, means.w / total);
        }
    }
}

std::optional<double> meanWindAngleDegrees(const Burst& burst)
{
    const WindMeans means = windMeans(burst);
    if (means.samples == 0) {
        return std::nullopt;
    }
    return std::atan2(means.v, means.u) * (180.0 / std::numbers::pi);
}

}  // namespace orcan::bursts
