// The lock-step column statistics for one vector unit, compiled once per unit like
// fft_lanes.cpp. Four columns share a vector, one column per lane; each lane adds its own
// column in row order from the first row, exactly as the column-by-column loop does, so the
// sums keep their bits. What the lanes gain is independence: one column's sum is a chain of
// additions, each waiting for the one before, and here four (and, two vectors at a time, eight)
// chains advance at once.
#include "statistics_lanes.h"

#include <hwy/highway.h>

#include <cmath>
#include <utility>

#include "statistics.h"

namespace eddyrate {
namespace EDDYRATE_UNIT {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

using Four = hn::FixedTag<double, 4>;
using Vector = hn::Vec<Four>;
constexpr std::int32_t kLanes = 4;

using ColumnSet = eddyrate::ColumnSet<const double>;

// Four columns of a set, read row by row: rows k .. k + 3 of the four columns are loaded
// column-wise and transposed in registers into one vector per row.
class FourColumns {
public:
    // The columns `first` .. first + 3 of x; past the last column a lane repeats the first
    // one, and its results are not written.
    FourColumns(const ColumnSet& x, std::int32_t first)
    {
        for (std::int32_t lane = 0; lane < kLanes; ++lane) {
            const std::int32_t j = first + lane < x.columns ? first + lane : first;
            column_[lane] = x.columnStart(j);
        }
    }

    // Pairs of rows of columns 0 and 2, and of 1 and 3, are loaded into the halves of one
    // vector each (the upper half inserted straight from memory), so that only in-half
    // interleaves remain: fewer shuffles across the halves, which have one port.
    void rowsFrom(Four d, std::int32_t k, Vector rows[kLanes]) const
    {
        const hn::Half<Four> half;
        for (std::int32_t pair = 0; pair < kLanes; pair += 2) {
            const Vector even = hn::Combine(d, hn::LoadU(half, column_[2] + k + pair),
                                            hn::LoadU(half, column_[0] + k + pair));
            const Vector odd = hn::Combine(d, hn::LoadU(half, column_[3] + k + pair),
                                           hn::LoadU(half, column_[1] + k + pair));
            rows[pair] = hn::InterleaveLower(d, even, odd);
            rows[pair + 1] = hn::InterleaveUpper(d, even, odd);
        }
    }

    // Row k alone, put together in registers: a vector loaded from four scalar stores would
    // wait for them (a store is not forwarded to a wider load).
    Vector row(Four d, std::int32_t k) const
    {
        const hn::Half<Four> half;
        const auto lower =
            hn::InterleaveLower(half, hn::Set(half, column_[0][k]), hn::Set(half, column_[1][k]));
        const auto upper =
            hn::InterleaveLower(half, hn::Set(half, column_[2][k]), hn::Set(half, column_[3][k]));
        return hn::Combine(d, upper, lower);
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

// Two sums of each column taken in the same pass, each with its own chain of additions.
struct TwoSums {
    Vector first;
    Vector second;
};
Vector add(Vector a, Vector b) { return hn::Add(a, b); }
TwoSums add(TwoSums a, TwoSums b)
{
    return {hn::Add(a.first, b.first), hn::Add(a.second, b.second)};
}

// Where the sums of a group of four columns starting at column `first` go.
struct ColumnSums {
    std::int32_t columns;
    double* out;
    double* secondOut = nullptr;  // the second sums of TwoSums

    void store(Four d, Vector sum, std::int32_t first) const
    {
        storeLanes(d, sum, first, columns, out);
    }
    void store(Four d, TwoSums sums, std::int32_t first) const
    {
        storeLanes(d, sums.first, first, columns, out);
        storeLanes(d, sums.second, first, columns, secondOut);
    }
};

// One sum per column of x (or two, when term gives TwoSums) into `out`: every lane starts with
// the term of its column's row `from` and adds the terms of the rows after it in row order.
// parameterOf(first) gives, once per group of four columns starting at column `first`, what
// the group's terms use; term(row, k, parameter) what to add for row k. Two groups run side by
// side; a lone last group runs beside a copy of itself whose sums are dropped.
template <typename ParameterOf, typename Term>
void sumRows(const ColumnSet& x, std::int32_t from, const ColumnSums& out, ParameterOf parameterOf,
             Term term)
{
    const Four d;
    const std::int32_t n = x.rows;
    for (std::int32_t first = 0; first < x.columns; first += 2 * kLanes) {
        const bool paired = first + kLanes < x.columns;
        const std::int32_t second = paired ? first + kLanes : first;
        const FourColumns left(x, first);
        const FourColumns right(x, second);
        const auto leftParameter = parameterOf(first);
        const auto rightParameter = parameterOf(second);
        // The block of four rows that holds row `from`, from that row on; then four rows at a
        // time; then the rows left over one by one.
        Vector rows[kLanes];
        using Sum = decltype(term(rows[0], from, leftParameter));
        Sum leftSum;
        Sum rightSum;
        std::int32_t k = from - from % kLanes;
        if (k + kLanes <= n) {
            left.rowsFrom(d, k, rows);
            leftSum = term(rows[from - k], from, leftParameter);
            for (std::int32_t r = from - k + 1; r < kLanes; ++r) {
                leftSum = add(leftSum, term(rows[r], k + r, leftParameter));
            }
            right.rowsFrom(d, k, rows);
            rightSum = term(rows[from - k], from, rightParameter);
            for (std::int32_t r = from - k + 1; r < kLanes; ++r) {
                rightSum = add(rightSum, term(rows[r], k + r, rightParameter));
            }
            k += kLanes;
        } else {
            leftSum = term(left.row(d, from), from, leftParameter);
            rightSum = term(right.row(d, from), from, rightParameter);
            k = from + 1;
        }
        for (; k + kLanes <= n; k += kLanes) {
            left.rowsFrom(d, k, rows);
            leftSum = add(leftSum, term(rows[0], k, leftParameter));
            leftSum = add(leftSum, term(rows[1], k + 1, leftParameter));
            leftSum = add(leftSum, term(rows[2], k + 2, leftParameter));
            leftSum = add(leftSum, term(rows[3], k + 3, leftParameter));
            right.rowsFrom(d, k, rows);
            rightSum = add(rightSum, term(rows[0], k, rightParameter));
            rightSum = add(rightSum, term(rows[1], k + 1, rightParameter));
            rightSum = add(rightSum, term(rows[2], k + 2, rightParameter));
            rightSum = add(rightSum, term(rows[3], k + 3, rightParameter));
        }
        for (; k < n; ++k) {
            leftSum = add(leftSum, term(left.row(d, k), k, leftParameter));
            rightSum = add(rightSum, term(right.row(d, k), k, rightParameter));
        }
        out.store(d, leftSum, first);
        if (paired) {
            out.store(d, rightSum, second);
        }
    }
}

// The entries of `values` of a group's columns, one per lane (a lane past the last column
// repeats the group's first).
Vector groupValues(Four d, const double* values, std::int32_t first, std::int32_t columns)
{
    HWY_ALIGN double lanes[kLanes];
    for (std::int32_t lane = 0; lane < kLanes; ++lane) {
        lanes[lane] = first + lane < columns ? values[first + lane] : values[first];
    }
    return hn::Load(d, lanes);
}

}  // namespace

void columnSums(ColumnSet x, double* sums)
{
    sumRows(
        x, 0, {x.columns, sums}, [](std::int32_t) { return 0; },
        [](Vector row, std::int32_t, int) { return row; });
}

void squaredDeviationSums(ColumnSet x, const double* means, double* sums)
{
    const Four d;
    sumRows(
        x, 0, {x.columns, sums},
        [&](std::int32_t first) { return groupValues(d, means, first, x.columns); },
        [](Vector row, std::int32_t, Vector mean) {
            const Vector deviation = hn::Sub(row, mean);
            return hn::Mul(deviation, deviation);
        });
}

void weightedColumnSums(ColumnSet x, const double* weight, double* sums, double* weightedSums)
{
    const Four d;
    sumRows(
        x, 0, {x.columns, sums, weightedSums}, [](std::int32_t) { return 0; },
        [&](Vector row, std::int32_t k, int) {
            return TwoSums{row, hn::Mul(row, hn::Set(d, weight[k]))};
        });
}

void weightedSquaredDeviationSums(ColumnSet x, const double* weight, const double* means,
                                  const double* weightedMeans, double* sums, double* weightedSums)
{
    const Four d;
    sumRows(
        x, 0, {x.columns, sums, weightedSums},
        [&](std::int32_t first) {
            return TwoSums{groupValues(d, means, first, x.columns),
                           groupValues(d, weightedMeans, first, x.columns)};
        },
        [&](Vector row, std::int32_t k, TwoSums mean) {
            const Vector deviation = hn::Sub(row, mean.first);
            const Vector weightedDeviation =
                hn::Sub(hn::Mul(row, hn::Set(d, weight[k])), mean.second);
            return TwoSums{hn::Mul(deviation, deviation),
                           hn::Mul(weightedDeviation, weightedDeviation)};
        });
}

void reflectedHeads(const FactoredDesign& design, ColumnSet y, double* heads)
{
    const Four d;
    const MatrixView<const double> r = doubleMatrix(std::as_const(*design.factors));
    const std::int32_t count = y.columns;
    double* firstHeads = heads;
    double* secondHeads = heads + count;
    // The first reflector: w = y(0) + sum over i >= 1 of r(i, 0) y(i); y(0) - tau w.
    if (design.tau[0] != 0.0) {
        sumRows(
            y, 0, {count, firstHeads}, [](std::int32_t) { return 0; },
            [&](Vector row, std::int32_t k, int) {
                return k == 0 ? row : hn::Mul(hn::Set(d, r(k, 0)), row);
            });
    }
    for (std::int32_t j = 0; j < count; ++j) {
        const double step = design.tau[0] * firstHeads[j];
        firstHeads[j] = design.tau[0] == 0.0 ? y(0, j) : step != 0.0 ? y(0, j) - step : y(0, j);
        // The step the first reflection took, kept where the second one reads it.
        secondHeads[j] = design.tau[0] == 0.0 ? 0.0 : step;
    }
    // The second reflector sees y after the first reflection, each entry formed as the
    // first reflection left it: y(i) - r(i, 0) step where its step is not zero.
    const auto reflected = [&](Vector row, std::int32_t k, Vector step) {
        const Vector moved = hn::Sub(row, hn::Mul(hn::Set(d, r(k, 0)), step));
        return hn::IfThenElse(hn::Eq(step, hn::Zero(d)), row, moved);
    };
    const auto stepsOf = [&](std::int32_t first) {
        return groupValues(d, secondHeads, first, count);
    };
    if (design.steps < 2 || design.tau[1] == 0.0) {
        // Only entry 1 after the first reflection is needed.
        HWY_ALIGN double lanes[kLanes];
        for (std::int32_t first = 0; first < count; first += kLanes) {
            hn::Store(reflected(FourColumns(y, first).row(d, 1), 1, stepsOf(first)), d, lanes);
            for (std::int32_t lane = 0; lane < kLanes && first + lane < count; ++lane) {
                secondHeads[first + lane] = lanes[lane];
            }
        }
        return;
    }
    // w = b(1) + sum over i >= 2 of r(i, 1) b(i), with b as the first reflection left it.
    HWY_ALIGN double sumsBuffer[2 * kLanes];
    for (std::int32_t first = 0; first < count; first += 2 * kLanes) {
        const std::int32_t columns = count - first < 2 * kLanes ? count - first : 2 * kLanes;
        sumRows(
            y.subset(first, columns), 1, {columns, sumsBuffer},
            [&](std::int32_t groupFirst) { return stepsOf(first + groupFirst); },
            [&](Vector row, std::int32_t k, Vector step) {
                const Vector b = reflected(row, k, step);
                return k == 1 ? b : hn::Mul(hn::Set(d, r(k, 1)), b);
            });
        for (std::int32_t l = 0; l < columns; ++l) {
            const std::int32_t j = first + l;
            const double firstStep = secondHeads[j];
            const double entryOne = firstStep != 0.0 ? y(1, j) - r(1, 0) * firstStep : y(1, j);
            const double step = design.tau[1] * sumsBuffer[l];
            secondHeads[j] = step != 0.0 ? entryOne - step : entryOne;
        }
    }
}

// The element-wise passes below have no order to keep: every element gets the operations of
// the column-by-column loop, so they run along the rows with the unit's full width.
namespace {

using Wide = hn::ScalableTag<double>;

// out[i] = op(i) for i in [0, n), vectors of the unit's width and the rest one by one.
template <typename VectorOp, typename ScalarOp>
void alongRows(std::int32_t n, VectorOp vectorOp, ScalarOp scalarOp)
{
    const Wide d;
    const auto width = static_cast<std::int32_t>(hn::Lanes(d));
    std::int32_t i = 0;
    for (; i + width <= n; i += width) {
        vectorOp(d, i);
    }
    for (; i < n; ++i) {
        scalarOp(i);
    }
}

}  // namespace

void subtractLine(std::span<const double> values, const double* time, const double* ones,
                  std::array<double, 2> p, double* out)
{
    const Wide d;
    const auto n = static_cast<std::int32_t>(values.size());
    const double* v = values.data();
    const auto p0 = hn::Set(d, p[0]);
    const auto p1 = hn::Set(d, p[1]);
    alongRows(
        n,
        [&](Wide, std::int32_t i) {
            auto fit = hn::Zero(d);
            if (p[0] != 0.0) {
                fit = hn::Add(hn::Mul(hn::LoadU(d, time + i), p0), fit);
            }
            if (p[1] != 0.0) {
                fit = hn::Add(hn::Mul(hn::LoadU(d, ones + i), p1), fit);
            }
            hn::StoreU(hn::Sub(hn::LoadU(d, v + i), fit), d, out + i);
        },
        [&](std::int32_t i) {
            double fit = 0.0;
            if (p[0] != 0.0) {
                fit = time[i] * p[0] + fit;
            }
            if (p[1] != 0.0) {
                fit = ones[i] * p[1] + fit;
            }
            out[i] = v[i] - fit;
        });
}

void multiplyRowsAndColumns(MatrixView<double> x, const double* weight, const double* factor)
{
    const Wide d;
    for (std::int32_t j = 0; j < x.columns; ++j) {
        double* column = x.column(j).data();
        const double f = factor[j];
        const auto fj = hn::Set(d, f);
        alongRows(
            x.rows,
            [&](Wide, std::int32_t i) {
                const auto weighted = hn::Mul(hn::LoadU(d, column + i), hn::LoadU(d, weight + i));
                hn::StoreU(hn::Mul(weighted, fj), d, column + i);
            },
            [&](std::int32_t i) { column[i] = (column[i] * weight[i]) * f; });
    }
}

std::int32_t flagRowsWithZero(std::span<const double* const> series, std::int32_t length,
                              std::uint8_t* flags)
{
    const Wide d;
    const auto zero = hn::Zero(d);
    std::int32_t count = 0;
    const auto flagRow = [&](std::int32_t i) {
        if (rowHoldsZero(series, i)) {
            flags[i] = 1;
            ++count;
        }
    };
    alongRows(
        length,
        [&](Wide, std::int32_t i) {
            auto any = hn::Eq(hn::LoadU(d, series[0] + i), zero);
            for (std::size_t k = 1; k < series.size(); ++k) {
                any = hn::Or(any, hn::Eq(hn::LoadU(d, series[k] + i), zero));
            }
            // Zeros are rare: most vectors of rows have none, and their flags stay clear.
            if (hn::AllFalse(d, any)) {
                return;
            }
            for (std::int32_t lane = 0; lane < static_cast<std::int32_t>(hn::Lanes(d)); ++lane) {
                flagRow(i + lane);
            }
        },
        flagRow);
    return count;
}

bool markOutliers(std::span<const double> values, double centre, double threshold,
                  std::uint8_t* marks)
{
    const Wide d;
    const double* v = values.data();
    const auto c = hn::Set(d, centre);
    const auto limit = hn::Set(d, threshold);
    bool any = false;
    alongRows(
        static_cast<std::int32_t>(values.size()),
        [&](Wide, std::int32_t i) {
            const auto outside = hn::Gt(hn::Abs(hn::Sub(hn::LoadU(d, v + i), c)), limit);
            // Outliers are rare: most vectors have none and write nothing.
            if (hn::AllFalse(d, outside)) {
                return;
            }
            any = true;
            std::uint8_t bits[8] = {};
            hn::StoreMaskBits(d, outside, bits);
            for (std::size_t lane = 0; lane < hn::Lanes(d); ++lane) {
                if (((bits[lane / 8] >> (lane % 8)) & 1) != 0) {
                    marks[static_cast<std::size_t>(i) + lane] = 1;
                }
            }
        },
        [&](std::int32_t i) {
            if (std::fabs(v[i] - centre) > threshold) {
                marks[i] = 1;
                any = true;
            }
        });
    return any;
}

}  // namespace EDDYRATE_UNIT
}  // namespace eddyrate
