#pragma once
// What a transform of length m builds once for all of its columns: the radix-2 tables, and on
// the chirp path the chirp and its spectrum. A plan is made per call and released before the
// call returns, like every other array of it.

#include <cstdint>
#include <span>
#include <variant>

#include "numeric_array.h"

namespace eddyrate {

// The twiddle tables of a `length`-point radix-2 transform (see buildTwiddleTables).
struct Radix2Tables {
    std::int32_t length;
    ArrayOwner cosine;
    ArrayOwner sine;
    ArrayOwner inverseSine;  // empty unless the inverse transform is needed

    std::span<const double> cosines() const { return view(*cosine); }
    std::span<const double> sines() const { return view(*sine); }
    std::span<const double> inverseSines() const { return view(*inverseSine); }

private:
    static std::span<const double> view(const NumericArray& table)
    {
        return {doubles(table), static_cast<std::size_t>(elementCount(table))};
    }
};

// Bluestein's chirp-z transform of a length m that is not a power of two, as a circular
// convolution of `convolutionLength` points.
struct ChirpPlan {
    std::int32_t m;
    std::int32_t convolutionLength;
    Radix2Tables tables;       // of the convolution length, with the inverse table
    ArrayOwner chirp;          // 2m - 1 weights exp(+i pi q^2 / m) around entry m - 1
    ArrayOwner chirpSpectrum;  // the chirp's forward transform, convolutionLength entries

    std::span<const Complex> weights() const
    {
        return {complexes(*chirp), static_cast<std::size_t>(2 * m - 1)};
    }
    std::span<const Complex> spectrum() const
    {
        return {complexes(*chirpSpectrum), static_cast<std::size_t>(convolutionLength)};
    }
};

// A power of two transforms directly; any other length through the chirp.
using TransformPlan = std::variant<Radix2Tables, ChirpPlan>;

// The smallest power of two not below 2m - 1 (1 for m = 1), for m up to 2^29: the convolution
// length of a chirp transform of m points.
std::int32_t convolutionLength(std::int32_t m);

// The plan of the m-point transform (m >= 1). Throws std::bad_alloc.
TransformPlan makePlan(std::int32_t m);

// Where transformed columns go: every row of every column into `spectra` ([m, columns]), or
// only the squared magnitudes of rows firstRow .. lastRow into `powers`
// ([lastRow - firstRow + 1, columns]).
struct ColumnDestination {
    Complex* spectra;
    double* powers;
    std::int32_t firstRow;
    std::int32_t lastRow;
};

}  // namespace eddyrate
