#include "least_squares.h"

#include <cmath>
#include <limits>
#include <numbers>
#include <utility>

#include "matrix_view.h"

namespace eddyrate {
namespace {

// Smallest normal double: the starting scale of the norm, so no ratio underflows.
constexpr double kSmallestNormal = std::numeric_limits<double>::min();
// Relative machine precision; the rank tolerance is a multiple of it.
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
// Below this a reflector's beta is rescaled before tau is formed, and its inverse: the
// smallest normal over the precision, so that beta / precision still is a normal number.
constexpr double kSafeMinimum = kSmallestNormal / kEpsilon;
constexpr double kSafeMinimumInverse = 1.0 / kSafeMinimum;
// sqrt(epsilon): below it the downdated column norm has lost its digits and is recomputed.
// The precision is a power of two with an even exponent, so its root is one too.
constexpr double kNormDowndateLimit =
    1.0 / static_cast<double>(std::int64_t{1} << ((std::numeric_limits<double>::digits - 1) / 2));
constexpr double kSquareRootOfTwo = std::numbers::sqrt2;

// The factorisation's results depend on these exact values.
static_assert(kSmallestNormal == 2.2250738585072014e-308);
static_assert(kEpsilon == 2.220446049250313e-16);
static_assert(kSafeMinimum == 1.0020841800044864e-292);
static_assert(kSafeMinimumInverse == 9.9792015476736e+291);
static_assert(kNormDowndateLimit == 1.4901161193847656e-08);
static_assert(kNormDowndateLimit * kNormDowndateLimit == kEpsilon);
static_assert(kSquareRootOfTwo == 1.4142135623730951);

void scale(std::span<double> values, double factor)
{
    for (double& value : values) {
        value = value * factor;
    }
}

// beta for the reflector: the length of (alpha, rest) with the sign opposite to alpha.
double signedLength(double alpha, double restNorm)
{
    const double length = hypotenuse(alpha, restNorm);
    return alpha >= 0.0 ? -length : length;
}

// Householder reflector H = I - tau v v^T with H (alpha, x) = (beta, 0): alpha becomes beta,
// x becomes v without its leading 1. Returns tau.
double makeReflector(double& alpha, std::span<double> x)
{
    double restNorm = scaledNorm(x);
    if (restNorm == 0.0) {
        return 0.0;
    }
    double beta = signedLength(alpha, restNorm);
    int rescalings = 0;
    if (std::fabs(beta) < kSafeMinimum) {
        // beta and x would lose accuracy: lift everything into the normal range first.
        do {
            scale(x, kSafeMinimumInverse);
            beta = beta * kSafeMinimumInverse;
            alpha = alpha * kSafeMinimumInverse;
            ++rescalings;
        } while (std::fabs(beta) < kSafeMinimum);
        restNorm = scaledNorm(x);
        beta = signedLength(alpha, restNorm);
    }
    const double tau = (beta - alpha) / beta;
    scale(x, 1.0 / (alpha - beta));
    for (int k = 0; k < rescalings; ++k) {
        beta = beta * kSafeMinimum;
    }
    alpha = beta;
    return tau;
}

// Applies H = I - tau v v^T (v = 1 followed by the stored vector below R(0,0)) to column 1,
// trimming trailing zeros of v and skipping a column that v cannot change.
void reflectSecondColumn(const MatrixView<double>& r, double tau)
{
    if (tau == 0.0) {
        return;
    }
    auto v = [&](std::int32_t k) { return k == 0 ? 1.0 : r(k, 0); };
    std::int32_t length = r.rows;
    while (length > 0 && v(length - 1) == 0.0) {
        --length;
    }
    bool touched = false;
    for (std::int32_t k = 0; k < length && !touched; ++k) {
        touched = r(k, 1) != 0.0;
    }
    if (!touched) {
        return;
    }
    double s = 0.0;
    for (std::int32_t k = 0; k < length; ++k) {
        s = s + r(k, 1) * v(k);
    }
    if (s == 0.0) {
        return;
    }
    const double step = (-tau) * s;
    for (std::int32_t k = 0; k < length; ++k) {
        r(k, 1) = r(k, 1) + v(k) * step;
    }
}

std::array<double, 2> solveSquare(const double* a, const double* y)
{
    double a11 = a[0];
    double a21 = a[1];
    double a12 = a[2];
    double a22 = a[3];
    double x1 = y[0];
    double x2 = y[1];
    if (std::fabs(a21) > std::fabs(a11)) {
        std::swap(a11, a21);
        std::swap(a12, a22);
        std::swap(x1, x2);
    }
    if (a11 != 0.0) {
        a21 = a21 / a11;
        if (a12 != 0.0) {
            a22 = a22 - a12 * a21;
        }
    }
    if (x1 != 0.0) {
        x2 = x2 - x1 * a21;
    }
    if (x2 != 0.0) {
        x2 = x2 / a22;
        x1 = x1 - x2 * a12;
    }
    if (x1 != 0.0) {
        x1 = x1 / a11;
    }
    return {x1, x2};
}

}  // namespace

FactoredDesign factorDesign(const NumericArray& a)
{
    const std::int32_t m = rows(a);
    FactoredDesign result{initArray(2), m, 0, 0, {0, 1}, {0.0, 0.0}};
    ArrayOwner& factors = result.factors;
    resizeArray(*factors, m, 2, kDoubleSize);
    const double* source = doubles(a);
    double* copy = doubles(*factors);
    for (std::int64_t k = 0; k < 2 * static_cast<std::int64_t>(m); ++k) {
        copy[k] = source[k];
    }
    const MatrixView<double> r{copy, m, 2};
    std::int32_t* order = result.order;
    double* tau = result.tau;
    double norm[2];
    double referenceNorm[2];
    for (std::int32_t j = 0; j < 2; ++j) {
        norm[j] = referenceNorm[j] = scaledNorm(r.column(j));
    }

    const std::int32_t steps = m < 2 ? m : 2;
    for (std::int32_t i = 0; i < steps; ++i) {
        if (i == 0 && norm[1] > norm[0]) {
            for (std::int32_t k = 0; k < m; ++k) {
                std::swap(r(k, 0), r(k, 1));
            }
            std::swap(order[0], order[1]);
            norm[1] = norm[0];
            referenceNorm[1] = referenceNorm[0];
        }
        tau[i] = i + 1 < m ? makeReflector(r(i, i), r.below(i, i)) : 0.0;
        if (i == 0) {
            reflectSecondColumn(r, tau[0]);
            if (norm[1] != 0.0) {
                // The reflection moved part of column 1 into its first row; what is left
                // below it is the norm times sqrt(keptShare), unless so little is left that
                // the downdate has lost its digits.
                const double movedShare = std::fabs(r(0, 1)) / norm[1];
                const double shrunkShare = 1.0 - movedShare * movedShare;
                const double keptShare = shrunkShare < 0.0 ? 0.0 : shrunkShare;
                const double sinceReference = norm[1] / referenceNorm[1];
                const double keptOfReference = keptShare * (sinceReference * sinceReference);
                if (keptOfReference <= kNormDowndateLimit) {
                    norm[1] = referenceNorm[1] = 1 < m ? scaledNorm(r.below(0, 1)) : 0.0;
                } else {
                    norm[1] = norm[1] * std::sqrt(keptShare);
                }
            }
        }
    }

    const double tolerance = static_cast<double>(m > 2 ? m : 2) * std::fabs(r(0, 0)) * kEpsilon;
    std::int32_t rank = 0;
    while (rank < steps && std::fabs(r(rank, rank)) >= tolerance) {
        ++rank;
    }
    result.steps = steps;
    result.rank = rank;
    return result;
}

namespace {

// solveFactored for kCount right-hand sides at once: each b = Q^T y sums its own column in
// row order, the kCount chains running side by side.
template <int kCount>
void solveSideBySide(const FactoredDesign& design, const double* const* series,
                     std::int32_t length, double* scratch, std::array<double, 2>* x)
{
    static_assert(kCount >= 1 && kCount <= 4, "four named sums at most");
    const std::int32_t m = design.m;
    const MatrixView<double> r{doubles(*design.factors), m, 2};

    // b = Q^T y, one reflector after the other, whatever the rank. Entries past y's rows
    // are zeros.
    double* b[kCount];
    const std::int32_t given = length < m ? (length < 0 ? 0 : length) : m;
    for (int l = 0; l < kCount; ++l) {
        b[l] = scratch + static_cast<std::int64_t>(l) * m;
        for (std::int32_t k = 0; k < given; ++k) {
            b[l][k] = series[l][k];
        }
        for (std::int32_t k = given; k < m; ++k) {
            b[l][k] = 0.0;
        }
    }
    for (std::int32_t j = 0; j < design.steps; ++j) {
        if (design.tau[j] == 0.0) {
            continue;
        }
        // Named sums, so each stays in a register (an array of them was kept in memory and
        // every addition waited on a store).
        const double* b0 = b[0];
        const double* b1 = b[kCount > 1 ? 1 : 0];
        const double* b2 = b[kCount > 2 ? 2 : 0];
        const double* b3 = b[kCount > 3 ? 3 : 0];
        double w0 = b0[j];
        double w1 = b1[j];
        double w2 = b2[j];
        double w3 = b3[j];
        for (std::int32_t i = j + 1; i < m; ++i) {
            const double reflector = r(i, j);
            w0 = w0 + reflector * b0[i];
            if constexpr (kCount > 1) {
                w1 = w1 + reflector * b1[i];
            }
            if constexpr (kCount > 2) {
                w2 = w2 + reflector * b2[i];
            }
            if constexpr (kCount > 3) {
                w3 = w3 + reflector * b3[i];
            }
        }
        const double w[4] = {w0, w1, w2, w3};
        for (int l = 0; l < kCount; ++l) {
            const double step = design.tau[j] * w[l];
            if (step != 0.0) {
                b[l][j] = b[l][j] - step;
                for (std::int32_t i = j + 1; i < m; ++i) {
                    b[l][i] = b[l][i] - r(i, j) * step;
                }
            }
        }
    }

    for (int l = 0; l < kCount; ++l) {
        x[l] = solveFromHeads(design, b[l][0], m > 1 ? b[l][1] : 0.0);
    }
}

}  // namespace

void solveFactored(const FactoredDesign& design, std::span<const double* const> series,
                   std::int32_t length, std::span<double> scratch,
                   std::span<std::array<double, 2>> x)
{
    switch (series.size()) {
    case 1:
        return solveSideBySide<1>(design, series.data(), length, scratch.data(), x.data());
    case 2:
        return solveSideBySide<2>(design, series.data(), length, scratch.data(), x.data());
    case 3:
        return solveSideBySide<3>(design, series.data(), length, scratch.data(), x.data());
    default:
        return solveSideBySide<kSolvedSideBySide>(design, series.data(), length, scratch.data(),
                                                  x.data());
    }
}

std::array<double, 2> solveFromHeads(const FactoredDesign& design, double head0, double head1)
{
    const MatrixView<double> r{doubles(*design.factors), design.m, 2};
    const std::int32_t* order = design.order;
    const double heads[2] = {head0, head1};
    std::array<double, 2> x{0.0, 0.0};
    for (std::int32_t i = 0; i < design.rank; ++i) {
        x[order[i]] = heads[i];
    }
    for (std::int32_t j = design.rank - 1; j >= 0; --j) {
        x[order[j]] = x[order[j]] / r(j, j);
        for (std::int32_t i = 0; i < j; ++i) {
            x[order[i]] = x[order[i]] - x[order[j]] * r(i, j);
        }
    }
    return x;
}

std::array<double, 2> solveFactored(const FactoredDesign& design, const NumericArray& y,
                                    std::span<double> scratch)
{
    const double* series = doubles(y);
    std::array<double, 2> x{};
    solveFactored(design, {&series, 1}, rows(y), scratch, {&x, 1});
    return x;
}

double scaledNorm(std::span<const double> values) noexcept
{
    if (values.empty()) {
        return 0.0;
    }
    if (values.size() == 1) {
        return std::fabs(values[0]);
    }
    double scaleSoFar = kSmallestNormal;
    double sum = 0.0;
    for (const double value : values) {
        const double magnitude = std::fabs(value);
        if (magnitude > scaleSoFar) {
            const double t = scaleSoFar / magnitude;
            sum = (sum * t) * t + 1.0;
            scaleSoFar = magnitude;
        } else {
            const double t = magnitude / scaleSoFar;
            sum = sum + t * t;
        }
    }
    return scaleSoFar * std::sqrt(sum);
}

double hypotenuse(double a, double b) noexcept
{
    const double p = std::fabs(a);
    const double q = std::fabs(b);
    if (p < q) {
        const double t = p / q;
        return q * std::sqrt(t * t + 1.0);
    }
    if (p > q) {
        const double t = q / p;
        return p * std::sqrt(t * t + 1.0);
    }
    return q != q ? q : p * kSquareRootOfTwo;
}

std::array<double, 2> leastSquaresSolve(const NumericArray& a, const NumericArray& y)
{
    const std::int32_t m = rows(a);
    if (m <= 0 || rows(y) <= 0) {
        return {0.0, 0.0};
    }
    if (m == 2) {
        const double* series = doubles(y);
        const double rhs[2] = {series[0], rows(y) > 1 ? series[1] : 0.0};
        return solveSquare(doubles(a), rhs);
    }
    ArrayOwner rhs = initArray(2);
    resizeArray(*rhs, m, 1, kDoubleSize);
    return solveFactored(factorDesign(a), y,
                         {doubles(*rhs), static_cast<std::size_t>(m)});
}

}  // namespace eddyrate
