#pragma once
// The column statistics of statistics.cpp several columns at a time, one column per vector
// lane, on the vector unit the transforms use (fft_lanes.h chooses it). Each lane adds its
// column in row order from the first row, so every sum has the bits of the column-by-column
// loop. The matrices have at least one row.

#include <array>
#include <cstdint>
#include <span>

#include "least_squares.h"
#include "matrix_view.h"

namespace eddyrate {

// The per-unit kernels, one namespace per compiled unit: sums[j] is column j summed in row
// order; squaredDeviationSums adds (x - means[j])^2, each deviation times itself; the weighted
// forms take the same sums of x(i, j) * weight[i] beside them in the same pass.
// reflectedHeads: heads[j] and heads[count + j] become entries 0 and 1 of Q^T y for column j
// of y (as many rows as the design, at least three), the reflections applied as
// solveFactored applies them. subtractLine (into `out`, which may be the values) and
// multiplyRowsAndColumns are those of statistics.cpp and vector_kernels.h, element by element
// along the rows, as are markOutliers and flagRowsWithZero.
namespace avx2 {
void columnSums(ColumnSet<const double> x, double* sums);
void squaredDeviationSums(ColumnSet<const double> x, const double* means, double* sums);
void weightedColumnSums(ColumnSet<const double> x, const double* weight, double* sums,
                        double* weightedSums);
void weightedSquaredDeviationSums(ColumnSet<const double> x, const double* weight,
                                  const double* means, const double* weightedMeans, double* sums,
                                  double* weightedSums);
void reflectedHeads(const FactoredDesign& design, ColumnSet<const double> y, double* heads);
void subtractLine(std::span<const double> values, const double* time, const double* ones,
                  std::array<double, 2> p, double* out);
void multiplyRowsAndColumns(MatrixView<double> x, const double* weight, const double* factor);
bool markOutliers(std::span<const double> values, double centre, double threshold,
                  std::uint8_t* marks);
std::int32_t flagRowsWithZero(std::span<const double* const> series, std::int32_t length,
                              std::uint8_t* flags);
}  // namespace avx2
namespace avx512 {
void columnSums(ColumnSet<const double> x, double* sums);
void squaredDeviationSums(ColumnSet<const double> x, const double* means, double* sums);
void weightedColumnSums(ColumnSet<const double> x, const double* weight, double* sums,
                        double* weightedSums);
void weightedSquaredDeviationSums(ColumnSet<const double> x, const double* weight,
                                  const double* means, const double* weightedMeans, double* sums,
                                  double* weightedSums);
void reflectedHeads(const FactoredDesign& design, ColumnSet<const double> y, double* heads);
void subtractLine(std::span<const double> values, const double* time, const double* ones,
                  std::array<double, 2> p, double* out);
void multiplyRowsAndColumns(MatrixView<double> x, const double* weight, const double* factor);
bool markOutliers(std::span<const double> values, double centre, double threshold,
                  std::uint8_t* marks);
std::int32_t flagRowsWithZero(std::span<const double* const> series, std::int32_t length,
                              std::uint8_t* flags);
}  // namespace avx512

}  // namespace eddyrate
