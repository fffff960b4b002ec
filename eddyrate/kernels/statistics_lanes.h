#pragma once
// The column statistics of statistics.cpp several columns at a time, one column per vector
// lane, on the vector unit the transforms use (fft_lanes.h chooses it). Each lane adds its
// column in row order from the first row, so every sum has the bits of the column-by-column
// loop. The matrices have at least one row.

#include <cstdint>

#include "matrix_view.h"

namespace eddyrate {

// The per-unit kernels, one namespace per compiled unit: sums[j] is column j summed in row
// order; squaredDeviationSums adds (x - means[j])^2, each deviation times itself.
namespace avx2 {
void columnSums(MatrixView<const double> x, double* sums);
void squaredDeviationSums(MatrixView<const double> x, const double* means, double* sums);
}  // namespace avx2
namespace avx512 {
void columnSums(MatrixView<const double> x, double* sums);
void squaredDeviationSums(MatrixView<const double> x, const double* means, double* sums);
}  // namespace avx512

}  // namespace eddyrate
