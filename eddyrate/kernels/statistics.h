#pragma once
// Counting and removing flagged samples, means, deviations, variances, the rounding rules of
// the segment length and the straight-line detrending. Sums run in index order from the first
// element; which kernel divides and which multiplies by a reciprocal is part of its result.

#include <span>

#include "matrix_view.h"
#include "numeric_array.h"

namespace eddyrate {

// The number of set flags among the first-extent elements, as a double.
double countFlags(const NumericArray& flags);

// Whether any of the series holds a zero of either sign in row i.
constexpr bool rowHoldsZero(std::span<const double* const> series, std::int32_t i)
{
    for (const double* values : series) {
        if (values[i] == 0.0) {
            return true;
        }
    }
    return false;
}

// Sets flags[i] to 1 where rowHoldsZero(series, i) (each series `length` long), leaving the
// other flags as they are; returns how many rows have a zero. Along the rows on a vector unit.
std::int32_t flagRowsWithZero(std::span<const double* const> series, std::int32_t length,
                              std::uint8_t* flags);

// Moves the elements of the column x whose flag is clear (or lies past the flags) to the front,
// in order, and sets x's first extent to their count; the storage stays in place.
void removeFlagged(NumericArray& x, const NumericArray& flags);

// Sum in index order divided by the count; 0.0 / 0.0 when empty. The array form reads the first
// extent elements.
double vectorMean(std::span<const double> values);
double vectorMean(const NumericArray& x);

// Sample standard deviation (divisor n - 1, or n for one value); 0.0 when empty.
double sampleStd(std::span<const double> values);
double sampleStd(const NumericArray& x);

// The column statistics below run several columns at once, one column per lane of the vector
// unit the transforms use, with the bits of the column-by-column loops.

// sums[j] becomes column j of x summed in row order (0.0 for a matrix without rows).
void columnSums(ColumnSet<const double> x, std::span<double> sums);
// sums[j] becomes the sum in row order of (x(i, j) - means[j])^2, each deviation times itself
// (0.0 for a matrix without rows). sums may be means.
void squaredDeviationSums(ColumnSet<const double> x, std::span<const double> means,
                          std::span<double> sums);
// means[k] becomes vectorMean of series[k], each `length` long, with its bits.
void seriesMeans(std::span<const double* const> series, std::int32_t length,
                 std::span<double> means);
// means[j] and deviations[j] become vectorMean and sampleStd of column j, with their bits;
// sums[j] and squareSums[j], when given room, the column sum and the sum of squared
// deviations they came from (those of columnSums and squaredDeviationSums).
void columnMeansAndDeviations(ColumnSet<const double> x, std::span<double> means,
                              std::span<double> deviations, std::span<double> sums = {},
                              std::span<double> squareSums = {});

// result becomes [1, c]: the sample variance of each column of the [r, c] matrix a, through
// the reciprocals 1/r and 1/(r-1); zeros when r or c is 0. Throws std::bad_alloc.
void columnVariances(const NumericArray& a, NumericArray& result);
// The same for any set of columns, into variances[0 .. c - 1].
void columnVariances(ColumnSet<const double> x, std::span<double> variances);
// columnVariances of x into `variances`, and of x with row i times weight[i] (x(i, j) *
// weight[i]) into `weightedVariances`, from the same passes over x, with the bits of
// columnVariances on the weighted matrix formed first.
void columnVariancesWithWeights(ColumnSet<const double> x, std::span<const double> weight,
                                std::span<double> variances, std::span<double> weightedVariances);

// result becomes [1, c] (c the second extent of a) with result[k] = a[k] / b[k].
// Throws std::bad_alloc.
void divideElements(const NumericArray& a, const NumericArray& b, NumericArray& result);

// Nearest whole number, halves away from zero; |x| >= 2^52 and non-finite x unchanged.
double roundHalfAway(double x);

// fmod(x, 2.0); the library's not-a-number for a non-finite x.
double remainderByTwo(double x);

// Subtracts from x its least-squares straight line against i / N, i = 1 .. N. The array form
// works on the first-extent elements. Throws std::bad_alloc.
void detrendLinear(std::span<double> values);
void detrendLinear(NumericArray& x);
// detrendLinear on every column of the [N, c] matrix x, with the same bits; the line's design
// is factored once for all columns, and once for all matrices of a set (every one of N rows).
// Throws std::bad_alloc.
void detrendColumns(NumericArray& x);
void detrendColumns(std::span<NumericArray* const> xs);
// targets[k] (of the extents of sources[k]) becomes sources[k] detrended as above, each column
// with the bits of detrendLinear on a copy of it; a target may be its source.
// Throws std::bad_alloc.
void detrendColumnsInto(std::span<const ColumnSet<const double>> sources,
                        std::span<const MatrixView<double>> targets);

}  // namespace eddyrate
