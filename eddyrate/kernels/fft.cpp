#include "fft.h"

namespace eddyrate {

void fftTransform(const NumericArray& x, NumericArray& y)
{
    resizeArray(y, rows(x), columns(x), kComplexSize);
}

void buildTwiddleTables(std::int32_t, bool, NumericArray&, NumericArray&, NumericArray&) {}

void radix2Transform(std::span<const Complex>, std::int32_t, std::span<const double>,
                     std::span<const double>, std::span<Complex>)
{
}

void radix2Transform(std::span<const double>, std::int32_t, std::span<const double>,
                     std::span<const double>, std::span<Complex>)
{
}

void buildChirp(std::int32_t, std::span<Complex>) {}

void chirpTransform(const NumericArray&, std::int64_t, std::int32_t, std::int32_t,
                    std::span<const double>, std::span<const double>, std::span<const double>,
                    std::span<const Complex>, std::span<Complex>, std::span<Complex>)
{
}

}  // namespace eddyrate
