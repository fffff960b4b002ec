#pragma once
// Least-squares fit of two coefficients: Gaussian elimination for a square 2 x 2 system,
// otherwise a column-pivoted Householder QR with a rank decision and back substitution.

#include <array>
#include <cstdint>
#include <span>

#include "numeric_array.h"

namespace eddyrate {

// The x minimising |A x - y| for A of extents [m, 2] and the first m entries of y; (0, 0) when
// A or y has no rows. A column below the rank tolerance gets the coefficient 0.
// Throws std::bad_alloc.
std::array<double, 2> leastSquaresSolve(const NumericArray& a, const NumericArray& y);

// The QR factorisation of one [m, 2] design matrix (m > 2), to solve for many right-hand
// sides: each solve gives the bits of leastSquaresSolve with that design.
struct FactoredDesign {
    ArrayOwner factors;  // R on and above the diagonal, the reflectors below it
    std::int32_t m;
    std::int32_t steps;
    std::int32_t rank;
    std::int32_t order[2];  // the column pivoting
    double tau[2];
};
// Throws std::bad_alloc.
FactoredDesign factorDesign(const NumericArray& a);
// leastSquaresSolve(a, y) for the factored a; scratch holds at least m doubles.
std::array<double, 2> solveFactored(const FactoredDesign& design, const NumericArray& y,
                                    std::span<double> scratch);
// The same for up to kSolvedSideBySide series of `length` rows at once (x[l] for series[l]),
// each with the bits of its own solve; scratch holds m doubles per series.
inline constexpr std::size_t kSolvedSideBySide = 4;
void solveFactored(const FactoredDesign& design, std::span<const double* const> series,
                   std::int32_t length, std::span<double> scratch,
                   std::span<std::array<double, 2>> x);

// The coefficients from entries 0 and 1 of Q^T y: the back substitution that ends
// solveFactored.
std::array<double, 2> solveFromHeads(const FactoredDesign& design, double head0, double head1);

// Euclidean norm of `values` without overflow or underflow: 0 when empty, |x| for one entry.
double scaledNorm(std::span<const double> values) noexcept;

// sqrt(a^2 + b^2) without overflow.
double hypotenuse(double a, double b) noexcept;

}  // namespace eddyrate
