#pragma once
// Discrete Fourier transform of real columns of any length: radix-2 for powers of two,
// Bluestein's chirp-z (a circular convolution done with radix-2 transforms) otherwise.
// Unscaled, negative exponent: y(j) = sum over t of x(t) * exp(-2 pi i j t / m).

#include <cstdint>
#include <span>

#include "numeric_array.h"

namespace eddyrate {

// Transforms every column of the real [m, c] array x into the complex array y, which becomes
// [m, c]. Throws std::bad_alloc.
void fftTransform(const NumericArray& x, NumericArray& y);

// powers becomes [lastBin - firstBin + 1, all their columns] for the columns of the arrays
// xs, all of m rows, as if they stood side by side: for every column and every bin b from
// firstBin to lastBin (0 <= firstBin, lastBin < m), re * re + im * im of y(b) as fftTransform
// gives it, with the same bits. The rows outside the range, which only the full spectra need,
// are not computed where that saves work. One call shares the tables of the transform and
// fills the vector lanes across the arrays. Throws std::bad_alloc.
void fftBinPowers(std::span<const NumericArray* const> xs, std::int32_t firstBin,
                  std::int32_t lastBin, NumericArray& powers);

// Fills the tables of a `length`-point transform, each [1, 2*(length/4)+1]: cosine[k] =
// cos(2 pi k/length), sine[k] = -sin(..), inverseSine[k] = +sin(..) ([1, 0] when radix2Only).
// The tables must have rank 2. Throws std::bad_alloc.
void buildTwiddleTables(std::int32_t length, bool radix2Only, NumericArray& cosine,
                        NumericArray& sine, NumericArray& inverseSine);

// out[0 .. length) becomes the unscaled `length`-point transform (length a power of two) of
// `input` truncated or zero-padded to `length`: forward with the sine table, inverse with the
// inverse-sine table. out must not overlap input. The real overload takes imaginary parts 0.
void radix2Transform(std::span<const Complex> input, std::int32_t length,
                     std::span<const double> cosine, std::span<const double> sine,
                     std::span<Complex> out);
void radix2Transform(std::span<const double> input, std::int32_t length,
                     std::span<const double> cosine, std::span<const double> sine,
                     std::span<Complex> out);

// chirp (2m - 1 entries) becomes the chirp-z weights exp(+i pi q^2 / m) around chirp[m - 1].
void buildChirp(std::int32_t m, std::span<Complex> chirp);

// out[0 .. m) becomes the m-point transform of the real column of m samples at `column`,
// through convolutions of length `convolutionLength` (a power of two, at least 2m - 1) with
// that length's tables. chirpSpectrum is the forward `convolutionLength`-point transform of
// the whole chirp, the same for every column. work holds at least 2 * convolutionLength
// entries.
void chirpTransform(const double* column, std::int32_t convolutionLength, std::int32_t m,
                    std::span<const double> cosine, std::span<const double> sine,
                    std::span<const double> inverseSine,
                    std::span<const Complex> chirp, std::span<const Complex> chirpSpectrum,
                    std::span<Complex> out, std::span<Complex> work);

}  // namespace eddyrate
