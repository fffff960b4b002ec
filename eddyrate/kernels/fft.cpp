#include "fft.h"

#include <bit>
#include <cmath>
#include <memory>

#include "butterflies.h"
#include "call_arena.h"
#include "crmath.h"
#include "fft_lanes.h"
#include "fft_plan.h"

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

// conj(w) * v.
Complex multiplyConjugate(Complex w, Complex v)
{
    return {w.re * v.re + w.im * v.im, w.re * v.im - w.im * v.re};
}

// A real sample times the conjugate of its chirp weight.
Complex modulate(double x, Complex weight) { return {x * weight.re, -(x * weight.im)}; }

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

// The butterflies of butterflies.h on one column's work vector, which already holds the
// bit-reversed input.
struct ColumnButterflies {
    std::span<const double> cosine;
    std::span<const double> sine;
    std::span<Complex> w;

    void plain(std::int32_t top, std::int32_t bottom) const
    {
        const Complex t = w[bottom];
        w[bottom] = w[top] - t;
        w[top] = w[top] + t;
    }
    void twiddled(std::int32_t top, std::int32_t bottom, std::int32_t j) const
    {
        const Complex twiddle{cosine[j], sine[j]};
        const Complex u = twiddle * w[bottom];
        w[bottom] = w[top] - u;
        w[top] = w[top] + u;
    }
    void inputPair(std::int32_t p) const { plain(p, p + 1); }
};

// Stage by stage over the whole vector: the butterflies of one stage touch disjoint pairs, so
// visiting them block by block (rather than twiddle by twiddle across the whole vector) gives
// the same bits and keeps each block in cache.
void butterflies(std::int32_t length, std::span<const double> cosine, std::span<const double> sine,
                 std::span<Complex> w)
{
    butterfliesByStage(length, ColumnButterflies{cosine, sine, w});
}

}  // namespace

void buildTwiddleTables(std::int32_t length, bool radix2Only, NumericArray& cosine,
                        NumericArray& sine, NumericArray& inverseSine)
{
    const double step = kTwoPi / static_cast<double>(length);
    const std::int32_t quarter = length / 4;
    const std::int32_t eighth = length / 8;
    const std::int32_t entries = 2 * quarter + 1;

    // Only the first octant is evaluated; every other entry is a copy with a sign. Every entry
    // of every table is written below, so none is zero-filled first.
    ArrayOwner quarterWave = initArray(1);
    resizeVectorForOverwrite(*quarterWave, quarter + 1, kDoubleSize);
    double* q = doubles(*quarterWave);
    // q[k] = cos(k step) up to the octant, beyond it sin((quarter - k) step), the smaller
    // angle: below the octant both of the angle j step, taken together.
    q[0] = 1.0;
    for (std::int32_t j = 1; j < eighth; ++j) {
        crmath::sinCos(static_cast<double>(j) * step, q[quarter - j], q[j]);
    }
    if (eighth >= 1) {
        q[eighth] = crmath::cos(static_cast<double>(eighth) * step);
    }
    q[quarter] = 0.0;

    resizeArrayForOverwrite(cosine, 1, entries, kDoubleSize);
    resizeArrayForOverwrite(sine, 1, entries, kDoubleSize);
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
    resizeArrayForOverwrite(inverseSine, 1, entries, kDoubleSize);
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
    // r runs through q^2 mod 2m without forming q^2, so the phase stays in (-2 pi, 0]. The
    // squares take few distinct values mod 2m (516 for m = 2560), and a weight depends on r
    // alone, so each is evaluated once: the first q with that r records where it went.
    const std::int64_t period = 2 * static_cast<std::int64_t>(m);
    const WorkArray<std::int32_t> firstWithResidue =
        makeWorkArray<std::int32_t>(static_cast<std::size_t>(period));
    std::int64_t r = 0;
    for (std::int32_t q = 1; q < m; ++q) {
        const std::int64_t a = 2 * static_cast<std::int64_t>(q) - 1;
        r = a < period - r ? r + a : r + a - period;
        if (firstWithResidue[r] != 0) {
            chirp[m - 1 - q] = chirp[m - 1 - firstWithResidue[r]];
            continue;
        }
        firstWithResidue[r] = q;
        const double theta = (-kPi * static_cast<double>(r)) / static_cast<double>(m);
        double co = 1.0;
        double si = 0.0;
        if (theta != 0.0) {
            crmath::sinCos(theta, si, co);
        }
        chirp[m - 1 - q] = Complex{co, -si};
    }
    for (std::int32_t t = 0; t <= m - 2; ++t) {
        chirp[2 * m - 2 - t] = chirp[t];
    }
}

void chirpTransform(const double* column, std::int32_t convolutionLength, std::int32_t m,
                    std::span<const double> cosine, std::span<const double> sine,
                    std::span<const double> inverseSine, std::span<const Complex> chirp,
                    std::span<const Complex> chirpSpectrum, std::span<Complex> out,
                    std::span<Complex> work)
{
    const auto n = static_cast<std::size_t>(convolutionLength);
    const std::span<Complex> u = work.first(n);
    const std::span<Complex> v = work.subspan(n, n);

    // Modulate into v's room; v is free until the inverse transform.
    for (std::int32_t t = 0; t < m; ++t) {
        v[t] = modulate(column[t], chirp[m - 1 + t]);
    }
    // Transform, zero-padded to the convolution length.
    radix2Transform(std::span<const Complex>(v.first(m)), convolutionLength, cosine, sine, u);
    // Multiply by the chirp's spectrum.
    for (std::size_t k = 0; k < n; ++k) {
        u[k] = u[k] * chirpSpectrum[k];
    }
    // Inverse transform.
    radix2Transform(std::span<const Complex>(u), convolutionLength, cosine, inverseSine, v);
    if (convolutionLength > 1) {
        const double inverseLength = 1.0 / static_cast<double>(convolutionLength);
        for (std::size_t k = 0; k < n; ++k) {
            v[k] = Complex{v[k].re * inverseLength, v[k].im * inverseLength};
        }
    }
    // Demodulate.
    for (std::int32_t t = 0; t < m; ++t) {
        out[t] = multiplyConjugate(chirp[m - 1 + t], v[m - 1 + t]);
    }
}

std::int32_t convolutionLength(std::int32_t m)
{
    return static_cast<std::int32_t>(std::bit_ceil(2 * static_cast<std::uint32_t>(m) - 1));
}

namespace {

// The tables of a `length`-point transform, the inverse one only when asked for.
Radix2Tables makeTables(std::int32_t length, bool withInverse)
{
    Radix2Tables tables{.length = length,
                        .cosine = initArray(2),
                        .sine = initArray(2),
                        .inverseSine = initArray(2)};
    buildTwiddleTables(length, !withInverse, *tables.cosine, *tables.sine, *tables.inverseSine);
    return tables;
}

}  // namespace

TransformPlan makePlan(std::int32_t m)
{
    if (isPowerOfTwo(m)) {
        return makeTables(m, false);
    }
    const std::int32_t n = convolutionLength(m);
    ChirpPlan plan{.m = m,
                   .convolutionLength = n,
                   .tables = makeTables(n, true),
                   .chirp = initArray(1),
                   .chirpSpectrum = initArray(1)};
    resizeVectorForOverwrite(*plan.chirp, 2 * m - 1, kComplexSize);
    buildChirp(m, {complexes(*plan.chirp), static_cast<std::size_t>(2 * m - 1)});
    // The chirp's own transform is the same for every column: computed once per plan.
    resizeVectorForOverwrite(*plan.chirpSpectrum, n, kComplexSize);
    radix2Transform(plan.weights(), n, plan.tables.cosines(), plan.tables.sines(),
                    {complexes(*plan.chirpSpectrum), static_cast<std::size_t>(n)});
    return plan;
}

namespace {

// Hands the transform of column j (all its rows, in `column`) to the destination.
void deliverColumn(const ColumnDestination& to, std::int32_t j, std::span<const Complex> column)
{
    if (to.powers == nullptr) {
        return;
    }
    const std::int32_t count = to.lastRow - to.firstRow + 1;
    double* power = to.powers + static_cast<std::int64_t>(j) * count;
    for (std::int32_t b = to.firstRow; b <= to.lastRow; ++b) {
        power[b - to.firstRow] = column[b].re * column[b].re + column[b].im * column[b].im;
    }
}

// Column by column: each column is transformed into its place in the spectra, or into one
// column of room when only powers are asked for.
class ColumnByColumn {
public:
    ColumnByColumn(std::int32_t m, const ColumnDestination& to)
        : m_(static_cast<std::size_t>(m)), to_(to), room_(initArray(1))
    {
        resizeVector(*room_, to.spectra == nullptr ? m : 0, kComplexSize);
    }
    std::span<Complex> column(std::int32_t j) const
    {
        return to_.spectra != nullptr ? std::span<Complex>(to_.spectra + j * m_, m_)
                                      : std::span<Complex>(complexes(*room_), m_);
    }

    void transform(const Radix2Tables& tables, std::span<const double* const> columnStarts) const
    {
        for (std::size_t j = 0; j < columnStarts.size(); ++j) {
            const std::span<Complex> out = column(static_cast<std::int32_t>(j));
            radix2Transform(std::span<const double>(columnStarts[j], m_), tables.length,
                            tables.cosines(), tables.sines(), out);
            deliverColumn(to_, static_cast<std::int32_t>(j), out);
        }
    }
    void transform(const ChirpPlan& plan, std::span<const double* const> columnStarts) const
    {
        // The two convolution vectors of chirpTransform, reused by every column.
        ArrayOwner workspace = initArray(1);
        resizeVectorForOverwrite(*workspace, 2 * plan.convolutionLength, kComplexSize);
        const std::span<Complex> work(complexes(*workspace),
                                      2 * static_cast<std::size_t>(plan.convolutionLength));
        for (std::size_t j = 0; j < columnStarts.size(); ++j) {
            const std::span<Complex> out = column(static_cast<std::int32_t>(j));
            chirpTransform(columnStarts[j], plan.convolutionLength, plan.m, plan.tables.cosines(),
                           plan.tables.sines(), plan.tables.inverseSines(), plan.weights(),
                           plan.spectrum(), out, work);
            deliverColumn(to_, static_cast<std::int32_t>(j), out);
        }
    }

private:
    std::size_t m_;
    ColumnDestination to_;
    ArrayOwner room_;
};

std::int32_t radix2Length(const TransformPlan& plan)
{
    return std::holds_alternative<Radix2Tables>(plan) ? std::get<Radix2Tables>(plan).length
                                                      : std::get<ChirpPlan>(plan).convolutionLength;
}

// Transforms the columns that start at `columnStarts`, each of m rows.
void transformColumns(std::span<const double* const> columnStarts, std::int32_t m,
                      const ColumnDestination& to)
{
    const TransformPlan plan = makePlan(m);
    // Lengths below 4 have no butterfly stage worth a vector unit.
    if (radix2Length(plan) >= 4 && columnStarts.size() > 1 && lockStepLanes() > 1) {
        transformInLockStep(plan, columnStarts, to);
        return;
    }
    const ColumnByColumn columns(m, to);
    std::visit([&](const auto& p) { columns.transform(p, columnStarts); }, plan);
}

// Where each column of the arrays starts, the columns of one array after another's, from the
// call's working memory. Throws std::bad_alloc.
WorkArray<const double*> columnStartsOf(std::span<const NumericArray* const> arrays,
                                        std::int32_t columnCount)
{
    WorkArray<const double*> starts =
        makeWorkArray<const double*>(static_cast<std::size_t>(columnCount));
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
                     {.spectra = complexes(y), .powers = nullptr, .firstRow = 0, .lastRow = m - 1});
}

void fftBinPowers(std::span<const NumericArray* const> xs, std::int32_t firstBin,
                  std::int32_t lastBin, NumericArray& powers)
{
    std::int32_t columnCount = 0;
    for (const NumericArray* x : xs) {
        columnCount += columns(*x);
    }
    const std::int32_t m = xs.empty() ? 0 : rows(*xs.front());
    if (m <= 0 || columnCount <= 0 || lastBin < firstBin) {
        resizeArray(powers, lastBin - firstBin + 1, columnCount, kDoubleSize);
        return;
    }
    // Every power is written below.
    resizeArrayForOverwrite(powers, lastBin - firstBin + 1, columnCount, kDoubleSize);
    const auto starts = columnStartsOf(xs, columnCount);
    transformColumns(
        {starts.get(), static_cast<std::size_t>(columnCount)}, m,
        {.spectra = nullptr, .powers = doubles(powers), .firstRow = firstBin, .lastRow = lastBin});
}

}  // namespace eddyrate
