#pragma once
// Small operations over row vectors and matrices for the spectral and fitting stages. Kernels
// that produce an array resize their output with the two-step rule; the element-wise ones
// accept the output being the input.

#include <cstdint>
#include <span>

#include "matrix_view.h"
#include "numeric_array.h"

namespace eddyrate {

// y becomes [1, c]: each column of the [r, c] matrix x summed in row order, times 1.0 / r.
// A matrix without rows gives not-a-number in every column. Throws std::bad_alloc.
void columnMeans(const NumericArray& x, NumericArray& y);
void columnMeans(ColumnSet<const double> x, NumericArray& y);

// Every row i of x times weight[i] (a window over each column), then every column j times
// factor[j], in one pass and in place: x(i, j) becomes (x(i, j) * weight[i]) * factor[j].
// Along the rows on a vector unit.
void multiplyRowsAndColumns(MatrixView<double> x, std::span<const double> weight,
                            std::span<const double> factor);

// Sets marks[i] to 1 where |values[i] - centre| > threshold (not where it is not a number),
// leaving the other marks as they are; along the rows on a vector unit. True when it set any.
bool markOutliers(std::span<const double> values, double centre, double threshold,
                  std::uint8_t* marks);

// Mean of the second-extent elements of a row: sum in order divided by n; 0.0 / 0.0 when empty.
double rowMean(const NumericArray& x);

// Number of set flags among the second-extent elements of a flag row, as a double.
double countFlagsRow(const NumericArray& flags);

// x^y correctly rounded (crmath::pow), except not-a-number for a not-a-number argument or a
// negative base with a fractional exponent.
double realPower(double x, double y);

// y becomes [1, n] (n the second extent of x) with y[i] computed from x[i].
// Each throws std::bad_alloc.
void absElements(const NumericArray& x, NumericArray& y);     // |x[i]|
void squareElements(const NumericArray& x, NumericArray& y);  // x[i] * x[i]
void sqrtElements(const NumericArray& x, NumericArray& y);    // sqrt(x[i])
void powerElements(const NumericArray& x, double exponent,
                   NumericArray& y);                               // realPower(x[i], exponent)
void scaleByInverseTwoPi(const NumericArray& x, NumericArray& y);  // x[i] * (1 / 2 pi)

// The element-wise family's common form: y becomes [1, n] (n the second extent of x) with
// y[i] = map(x[i]), one element after another. y may be x.
template <typename Map>
void mapElements(const NumericArray& x, NumericArray& y, Map map)
{
    const std::int32_t n = columns(x);
    resizeArray(y, 1, n, kDoubleSize);
    const double* in = doubles(x);
    double* out = doubles(y);
    for (std::int32_t i = 0; i < n; ++i) {
        out[i] = map(in[i]);
    }
}

}  // namespace eddyrate
