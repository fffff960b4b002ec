#include "fft.h"

#include <cmath>
#include <memory>

#include "call_arena.h"
#include "crmath.h"
#include "fft_lanes.h"

namespace eddyrate {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kPi = 3.141592653589793;

Complex operator+(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }
Complex operator-(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }
Complex operator*(Complex a, Complex b)
{
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

bool isPowerOfTwo(std::int32_t m) { return (m & (m - 1)) == 0; }

// Smallest power of two not below `target`, by bisection over the exponent.
std::int32_t convolutionLengthFor(std::int64_t target)
{
    if (target <= 1) {
        return 1;
    }
    int low = 0;
    int high = 31;
    while (high - low > 1) {
        const int mid = (low + high) / 2;
        const std::int64_t power = std::int64_t{1} << mid;
        if (power == target) {
            high = mid;
            break;
        }
        if (power > target) {
            high = mid;
        } else {
            low = mid;
        }
    }
    return static_cast<std::int32_t>(std::int64_t{1} << high);
}

std::span<const double> tableView(const NumericArray& table)
{
    return {doubles(table), static_cast<std::size_t>(elementCount(table))};
}

// Places input[t] at the bit-reversed position of t, walking the positions incrementally.
template <typename Element, typename Place>
void bitReversedCopy(std::span<const Element> input, std::int32_t length, std::span<Complex> out,
                     Place place)
{
    const std::int32_t count = input.size() < static_cast<std::size_t>(length)
                                   ? static_cast<std::int32_t>(input.size())
                                   : length;
    if (count < length) {
        for (std::int32_t k = 0; k < length; ++k) {
            out[k] = Complex{0.0, 0.0};
        }
    }
    std::int32_t position = 0;
    for (std::int32_t t = 0; t < count; ++t) {
        out[position] = place(input[t]);
        if (t + 1 == count) {
            break;
        }
        position = nextBitReversed(position, length);
    }
}

// The butterfly stages over the bit-reversed vector w of `length` entries.
void butterflies(std::int32_t length, std::span<const double> cosine, std::span<const double> sine,
                 std::span<Complex> w)
{
    for (std::int32_t i = 0; i + 1 < length; i += 2) {
        const Complex t = w[i + 1];
        w[i + 1] = w[i] - t;
        w[i] = w[i] + t;
    }
    std::int32_t span = 2;
    std::int32_t stride = 4;
    std::int32_t k = length / 4;
    std::int32_t height = 4 * k - 3;
    while (k > 0) {
        // The butterflies of one stage touch disjoint pairs, so visiting them block by block
        // (rather than twiddle by twiddle across the whole vector) gives the same bits and
        // keeps each block in cache. The first of a block has the twiddle 1 and no product.
        for (std::int32_t block = 0; block < height; block += stride) {
            const Complex t = w[block + span];
            w[block + span] = w[block] - t;
            w[block] = w[block] + t;
            std::int32_t i = block + 1;
            for (std::int32_t j = k; j < length / 2; j += k, ++i) {
                const Complex twiddle{cosine[j], sine[j]};
                const Complex u = twiddle * w[i + span];
                w[i + span] = w[i] - u;
                w[i] = w[i] + u;
            }
        }
        k = k / 2;
        span = stride;
        stride = stride * 2;
        height = height - span;
    }
}

}  // namespace

void buildTwiddleTables(std::int32_t length, bool radix2Only, NumericArray& cosine,
                        NumericArray& sine, NumericArray& inverseSine)
{
    const double step = kTwoPi / static_cast<double>(length);
    const std::int32_t quarter = length / 4;
    const std::int32_t eighth = length / 8;
    const std::int32_t entries = 2 * quarter + 1;

    // Only the first octant is evaluated; every other entry is a copy with a sign.
    ArrayOwner quarterWave = initArray(1);
    resizeVector(*quarterWave, quarter + 1, kDoubleSize);
    double* q = doubles(*quarterWave);
    q[0] = 1.0;
    for (std::int32_t k = 1; k <= eighth; ++k) {
        q[k] = crmath::cos(static_cast<double>(k) * step);
    }
    for (std::int32_t k = eighth + 1; k <= quarter - 1; ++k) {
        q[k] = crmath::sin(static_cast<double>(quarter - k) * step);
    }
    q[quarter] = 0.0;

    resizeArray(cosine, 1, entries, kDoubleSize);
    resizeArray(sine, 1, entries, kDoubleSize);
    double* c = doubles(cosine);
    double* s = doubles(sine);
    c[0] = 1.0;
    s[0] = 0.0;
    for (std::int32_t k = 1; k <= quarter; ++k) {
        c[k] = q[k];
        s[k] = -q[quarter - k];
    }
    for (std::int32_t k = quarter + 1; k <= 2 * quarter; ++k) {
        c[k] = -q[2 * quarter - k];
        s[k] = -q[k - quarter];
    }

    if (radix2Only) {
        resizeArray(inverseSine, 1, 0, kDoubleSize);
        return;
    }
    resizeArray(inverseSine, 1, entries, kDoubleSize);
    double* inverse = doubles(inverseSine);
    inverse[0] = 0.0;
    for (std::int32_t k = 1; k <= quarter; ++k) {
        inverse[k] = q[quarter - k];
    }
    for (std::int32_t k = quarter + 1; k <= 2 * quarter; ++k) {
        inverse[k] = q[k - quarter];
    }
}

void radix2Transform(std::span<const Complex> input, std::int32_t length,
                     std::span<const double> cosine, std::span<const double> sine,
                     std::span<Complex> out)
{
    bitReversedCopy(input, length, out, [](Complex value) { return value; });
    butterflies(length, cosine, sine, out);
}

void radix2Transform(std::span<const double> input, std::int32_t length,
                     std::span<const double> cosine, std::span<const double> sine,
                     std::span<Complex> out)
{
    bitReversedCopy(input, length, out, [](double value) { return Complex{value, 0.0}; });
    butterflies(length, cosine, sine, out);
}

void buildChirp(std::int32_t m, std::span<Complex> chirp)
{
    chirp[m - 1] = Complex{1.0, 0.0};
    // r runs through q^2 mod 2m without forming q^2, so the phase stays in (-2 pi, 0].
    const std::int64_t period = 2 * static_cast<std::int64_t>(m);
    std::int64_t r = 0;
    for (std::int32_t q = 1; q < m; ++q) {
        const std::int64_t a = 2 * static_cast<std::int64_t>(q) - 1;
        r = a < period - r ? r + a : r + a - period;
        const double theta = (-kPi * static_cast<double>(r)) / static_cast<double>(m);
        double co = 1.0;
        double si = 0.0;
        if (theta != 0.0) {
            co = crmath::cos(theta);
            si = crmath::sin(theta);
        }
        chirp[m - 1 - q] = Complex{co, -si};
    }
    for (std::int32_t t = 0; t <= m - 2; ++t) {
        chirp[2 * m - 2 - t] = chirp[t];
    }
}

void chirpTransform(const double* column, std::int32_t convolutionLength, std::int32_t m,
                    std::span<const double> cosine, std::span<const double> sine,
                    std::span<const double> inverseSine,
                    std::span<const Complex> chirp, std::span<const Complex> chirpSpectrum,
                    std::span<Complex> out, std::span<Complex> work)
{
    const auto n = static_cast<std::size_t>(convolutionLength);
    const std::span<Complex> u = work.first(n);
    const std::span<Complex> v = work.subspan(n, n);

    // The weighted column goes into v's room first; v is free until the inverse transform.
    for (std::int32_t t = 0; t < m; ++t) {
        const Complex weight = chirp[m - 1 + t];
        v[t] = Complex{column[t] * weight.re, -(column[t] * weight.im)};
    }
    radix2Transform(std::span<const Complex>(v.first(m)), convolutionLength, cosine, sine, u);
    for (std::size_t k = 0; k < n; ++k) {
        u[k] = u[k] * chirpSpectrum[k];
    }
    radix2Transform(std::span<const Complex>(u), convolutionLength, cosine, inverseSine, v);
    if (convolutionLength > 1) {
        const double inverseLength = 1.0 / static_cast<double>(convolutionLength);
        for (std::size_t k = 0; k < n; ++k) {
            v[k] = Complex{v[k].re * inverseLength, v[k].im * inverseLength};
        }
    }
    for (std::int32_t t = 0; t < m; ++t) {
        const Complex weight = chirp[m - 1 + t];
        const Complex value = v[m - 1 + t];
        out[t] = Complex{weight.re * value.re + weight.im * value.im,
                         weight.re * value.im - weight.im * value.re};
    }
}

namespace {

// Where the transforms of a call go: every row of every column into `spectra`, or only the
// squared magnitudes of rows firstBin .. lastBin into `powers`.
struct Destination {
    Complex* spectra;
    double* powers;
    std::int32_t firstBin;
    std::int32_t lastBin;
};

// Hands the transform of column j (all its rows, in `column`) to the destination.
void deliverColumn(const Destination& to, std::int32_t j, const Complex* column)
{
    if (to.powers == nullptr) {
        return;
    }
    const std::int32_t count = to.lastBin - to.firstBin + 1;
    double* power = to.powers + static_cast<std::int64_t>(j) * count;
    for (std::int32_t b = to.firstBin; b <= to.lastBin; ++b) {
        power[b - to.firstBin] = column[b].re * column[b].re + column[b].im * column[b].im;
    }
}

// Transforms the columns that start at `columnStarts`, each of m rows.
void transformColumns(std::span<const double* const> columnStarts, std::int32_t m,
                      const Destination& to)
{
    const auto columnCount = static_cast<std::int32_t>(columnStarts.size());
    const bool radix2 = isPowerOfTwo(m);
    const std::int32_t length =
        radix2 ? m : convolutionLengthFor(2 * static_cast<std::int64_t>(m) - 1);

    ArrayOwner cosine = initArray(2);
    ArrayOwner sine = initArray(2);
    ArrayOwner inverseSine = initArray(2);
    buildTwiddleTables(length, radix2, *cosine, *sine, *inverseSine);

    const auto rowCount = static_cast<std::size_t>(m);
    // Lengths below 4 have no butterfly stage worth a vector unit.
    const bool lockStep = length >= 4 && columnCount > 1 && lockStepLanes() > 1;
    TransformPlan plan{m,       length,      radix2,      doubles(*cosine), doubles(*sine),
                       nullptr, nullptr,     nullptr,     to.spectra,       to.powers,
                       0,       m - 1};
    if (to.powers != nullptr) {
        plan.firstRow = to.firstBin;
        plan.lastRow = to.lastBin;
    }
    if (radix2 && lockStep) {
        transformInLockStep(plan, columnStarts.data(), columnCount);
        return;
    }
    // Without a vector unit each column is transformed into its place in the spectra, or
    // into one column of room when only powers are asked for.
    ArrayOwner columnRoom = initArray(1);
    resizeVector(*columnRoom, to.spectra == nullptr ? m : 0, kComplexSize);
    const auto columnOf = [&](std::int32_t j) {
        return to.spectra != nullptr
                   ? std::span<Complex>(to.spectra + static_cast<std::size_t>(j) * rowCount, rowCount)
                   : std::span<Complex>(complexes(*columnRoom), rowCount);
    };
    if (radix2) {
        for (std::int32_t j = 0; j < columnCount; ++j) {
            const std::span<Complex> column = columnOf(j);
            radix2Transform(std::span<const double>(columnStarts[j], rowCount), length,
                            tableView(*cosine), tableView(*sine), column);
            deliverColumn(to, j, column.data());
        }
        return;
    }

    ArrayOwner chirp = initArray(1);
    resizeVector(*chirp, 2 * m - 1, kComplexSize);
    const std::span<Complex> weights(complexes(*chirp), 2 * rowCount - 1);
    buildChirp(m, weights);
    const auto n = static_cast<std::size_t>(length);
    ArrayOwner work = initArray(1);
    resizeVector(*work, static_cast<std::int32_t>(lockStep ? n : 3 * n), kComplexSize);
    // The chirp's own transform is the same for every column: computed once per call.
    const std::span<Complex> chirpSpectrum(complexes(*work) + (lockStep ? 0 : 2 * n), n);
    radix2Transform(std::span<const Complex>(weights), length, tableView(*cosine), tableView(*sine),
                    chirpSpectrum);
    if (lockStep) {
        plan.inverseSine = doubles(*inverseSine);
        plan.chirp = weights.data();
        plan.chirpSpectrum = chirpSpectrum.data();
        transformInLockStep(plan, columnStarts.data(), columnCount);
        return;
    }
    const std::span<Complex> workspace(complexes(*work), 2 * n);
    for (std::int32_t j = 0; j < columnCount; ++j) {
        const std::span<Complex> column = columnOf(j);
        chirpTransform(columnStarts[j], length, m, tableView(*cosine),
                       tableView(*sine), tableView(*inverseSine), weights, chirpSpectrum, column,
                       workspace);
        deliverColumn(to, j, column.data());
    }
}

struct ReleaseWork {
    void operator()(const double** block) const noexcept { releaseWork(block); }
};

// Where each column of the arrays starts, the columns of one array after another's, from the
// call's working memory. Throws std::bad_alloc.
std::unique_ptr<const double*[], ReleaseWork> columnStartsOf(
    std::span<const NumericArray* const> arrays, std::int32_t columnCount)
{
    std::unique_ptr<const double*[], ReleaseWork> starts(static_cast<const double**>(
        allocateWork(static_cast<std::size_t>(columnCount) * sizeof(const double*))));
    std::int32_t j = 0;
    for (const NumericArray* array : arrays) {
        const std::int32_t m = rows(*array);
        for (std::int32_t c = 0; c < columns(*array); ++c, ++j) {
            starts[j] = doubles(*array) + static_cast<std::int64_t>(c) * m;
        }
    }
    return starts;
}

}  // namespace

void fftTransform(const NumericArray& x, NumericArray& y)
{
    const std::int32_t m = rows(x);
    const std::int32_t columnCount = columns(x);
    resizeArray(y, m, columnCount, kComplexSize);
    if (m <= 0 || columnCount <= 0) {
        return;
    }
    const NumericArray* const arrays[] = {&x};
    const auto starts = columnStartsOf(arrays, columnCount);
    transformColumns({starts.get(), static_cast<std::size_t>(columnCount)}, m,
                     {complexes(y), nullptr, 0, m - 1});
}

void fftBinPowers(std::span<const NumericArray* const> xs, std::int32_t firstBin,
                  std::int32_t lastBin, NumericArray& powers)
{
    std::int32_t columnCount = 0;
    for (const NumericArray* x : xs) {
        columnCount += columns(*x);
    }
    resizeArray(powers, lastBin - firstBin + 1, columnCount, kDoubleSize);
    const std::int32_t m = xs.empty() ? 0 : rows(*xs.front());
    if (m <= 0 || columnCount <= 0 || lastBin < firstBin) {
        return;
    }
    const auto starts = columnStartsOf(xs, columnCount);
    transformColumns({starts.get(), static_cast<std::size_t>(columnCount)}, m,
                     {nullptr, doubles(powers), firstBin, lastBin});
}

}  // namespace eddyrate
