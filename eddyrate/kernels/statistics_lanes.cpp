// The lock-step column statistics for one vector unit, compiled once per unit like
// fft_lanes.cpp. Four columns share a vector, one column per lane; each lane adds its own
// column in row order from the first row, exactly as the column-by-column loop does, so the
// sums keep their bits. What the lanes gain is independence: one column's sum is a chain of
// additions, each waiting for the one before, and here four (and, two vectors at a time, eight)
// chains advance at once.
#include <hwy/highway.h>

#include "statistics_lanes.h"

namespace eddyrate {
namespace EDDYRATE_UNIT {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

using Four = hn::FixedTag<double, 4>;
using Vector = hn::Vec<Four>;
constexpr std::int32_t kLanes = 4;

// Four columns of a matrix, read row by row: rows k .. k + 3 of the four columns are loaded
// column-wise and transposed in registers into one vector per row.
class FourColumns {
public:
    // The columns `first` .. first + 3 of x; past the last column a lane repeats the first
    // one, and its results are not written.
    FourColumns(MatrixView<const double> x, std::int32_t first)
    {
        for (std::int32_t lane = 0; lane < kLanes; ++lane) {
            const std::int32_t j = first + lane < x.columns ? first + lane : first;
            column_[lane] = x.column(j).data();
        }
    }

    void rowsFrom(Four d, std::int32_t k, Vector rows[kLanes]) const
    {
        const Vector a0 = hn::LoadU(d, column_[0] + k);
        const Vector a1 = hn::LoadU(d, column_[1] + k);
        const Vector a2 = hn::LoadU(d, column_[2] + k);
        const Vector a3 = hn::LoadU(d, column_[3] + k);
        const Vector t0 = hn::InterleaveLower(d, a0, a1);
        const Vector t1 = hn::InterleaveUpper(d, a0, a1);
        const Vector t2 = hn::InterleaveLower(d, a2, a3);
        const Vector t3 = hn::InterleaveUpper(d, a2, a3);
        rows[0] = hn::ConcatLowerLower(d, t2, t0);
        rows[1] = hn::ConcatLowerLower(d, t3, t1);
        rows[2] = hn::ConcatUpperUpper(d, t2, t0);
        rows[3] = hn::ConcatUpperUpper(d, t3, t1);
    }

    Vector row(Four d, std::int32_t k) const
    {
        HWY_ALIGN double values[kLanes];
        for (std::int32_t lane = 0; lane < kLanes; ++lane) {
            values[lane] = column_[lane][k];
        }
        return hn::Load(d, values);
    }

private:
    const double* column_[kLanes];
};

void storeLanes(Four d, Vector value, std::int32_t first, std::int32_t columns, double* out)
{
    HWY_ALIGN double values[kLanes];
    hn::Store(value, d, values);
    for (std::int32_t lane = 0; lane < kLanes && first + lane < columns; ++lane) {
        out[first + lane] = values[lane];
    }
}

// One sum per column of x into `out`: every lane starts with the term of its column's first
// row and adds the terms of the other rows in row order. parameterOf(first) gives, once per
// group of four columns starting at column `first`, the vector the group's terms use;
// term(row, parameter) the vector to add for one row. Two groups run side by side; a lone
// last group runs beside a copy of itself whose sums are dropped.
template <typename ParameterOf, typename Term>
void sumRows(MatrixView<const double> x, double* out, ParameterOf parameterOf, Term term)
{
    const Four d;
    const std::int32_t n = x.rows;
    for (std::int32_t first = 0; first < x.columns; first += 2 * kLanes) {
        const bool paired = first + kLanes < x.columns;
        const std::int32_t second = paired ? first + kLanes : first;
        const FourColumns left(x, first);
        const FourColumns right(x, second);
        const Vector leftParameter = parameterOf(first);
        const Vector rightParameter = parameterOf(second);
        Vector leftSum;
        Vector rightSum;
        Vector rows[kLanes];
        std::int32_t k = 0;
        if (n >= kLanes) {
            left.rowsFrom(d, 0, rows);
            leftSum = term(rows[0], leftParameter);
            leftSum = hn::Add(leftSum, term(rows[1], leftParameter));
            leftSum = hn::Add(leftSum, term(rows[2], leftParameter));
            leftSum = hn::Add(leftSum, term(rows[3], leftParameter));
            right.rowsFrom(d, 0, rows);
            rightSum = term(rows[0], rightParameter);
            rightSum = hn::Add(rightSum, term(rows[1], rightParameter));
            rightSum = hn::Add(rightSum, term(rows[2], rightParameter));
            rightSum = hn::Add(rightSum, term(rows[3], rightParameter));
            k = kLanes;
        } else {
            leftSum = term(left.row(d, 0), leftParameter);
            rightSum = term(right.row(d, 0), rightParameter);
            k = 1;
        }
        for (; k + kLanes <= n; k += kLanes) {
            left.rowsFrom(d, k, rows);
            leftSum = hn::Add(leftSum, term(rows[0], leftParameter));
            leftSum = hn::Add(leftSum, term(rows[1], leftParameter));
            leftSum = hn::Add(leftSum, term(rows[2], leftParameter));
            leftSum = hn::Add(leftSum, term(rows[3], leftParameter));
            right.rowsFrom(d, k, rows);
            rightSum = hn::Add(rightSum, term(rows[0], rightParameter));
            rightSum = hn::Add(rightSum, term(rows[1], rightParameter));
            rightSum = hn::Add(rightSum, term(rows[2], rightParameter));
            rightSum = hn::Add(rightSum, term(rows[3], rightParameter));
        }
        for (; k < n; ++k) {
            leftSum = hn::Add(leftSum, term(left.row(d, k), leftParameter));
            rightSum = hn::Add(rightSum, term(right.row(d, k), rightParameter));
        }
        storeLanes(d, leftSum, first, x.columns, out);
        if (paired) {
            storeLanes(d, rightSum, second, x.columns, out);
        }
    }
}

}  // namespace

void columnSums(MatrixView<const double> x, double* sums)
{
    const Four d;
    sumRows(
        x, sums, [&](std::int32_t) { return hn::Zero(d); },
        [](Vector row, Vector) { return row; });
}

void squaredDeviationSums(MatrixView<const double> x, const double* means, double* sums)
{
    const Four d;
    // The means of a group's columns, one per lane (a lane past the last column repeats the
    // group's first).
    const auto meansOf = [&](std::int32_t first) {
        HWY_ALIGN double values[kLanes];
        for (std::int32_t lane = 0; lane < kLanes; ++lane) {
            values[lane] = first + lane < x.columns ? means[first + lane] : means[first];
        }
        return hn::Load(d, values);
    };
    sumRows(x, sums, meansOf, [](Vector row, Vector mean) {
        const Vector deviation = hn::Sub(row, mean);
        return hn::Mul(deviation, deviation);
    });
}

}  // namespace EDDYRATE_UNIT
}  // namespace eddyrate
