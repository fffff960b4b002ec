// The lock-step transform for one vector unit. This file is compiled once per unit, each time
// with that unit's instruction-set flags and EDDYRATE_UNIT naming the unit's namespace;
// fft_units.cpp picks the compiled unit the processor has. The vector operations come from
// Highway's portable wrappers, whose lanes follow IEEE arithmetic exactly.
#include "fft_lanes.h"

#include <hwy/highway.h>

#include <memory>
#include <new>

#include "butterflies.h"
#include "call_arena.h"

namespace eddyrate {
namespace EDDYRATE_UNIT {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

using Lane = hn::ScalableTag<double>;
using Vector = hn::Vec<Lane>;

// Widest vector of doubles any unit has, for the per-row staging of a group's lanes.
constexpr std::size_t kMostLanes = 16;
// Lanes of this unit, fixed when it is compiled: entry offsets become shifts, and no store
// through a vector can make the compiler reload them.
constexpr std::size_t kLanes = hn::MaxLanes(Lane());
static_assert(kLanes <= kMostLanes);

// Work storage aligned for whole-vector loads, taken from the call's working memory.
constexpr std::size_t kAlignment = 64;

// Every buffer of this file is written in full before any of it is read, so it is not
// zero-filled first.
template <typename T>
WorkArray<T> allocateAligned(std::size_t count)
{
    return WorkArray<T>(static_cast<T*>(allocateScratch(count * sizeof(T), kAlignment)));
}

struct LaneComplex {
    Vector re;
    Vector im;
};

// A work vector of `length` complex entries for every lane: entry k holds the real parts of all
// lanes, then their imaginary parts, so one entry of all columns is two aligned vectors.
class InterleavedWork {
public:
    explicit InterleavedWork(double* data) : data_(data) {}
    LaneComplex load(Lane d, std::int32_t k) const
    {
        const double* entry = data_ + static_cast<std::size_t>(k) * 2 * kLanes;
        return {hn::Load(d, entry), hn::Load(d, entry + kLanes)};
    }
    void store(Lane d, std::int32_t k, const LaneComplex& value) const
    {
        double* entry = data_ + static_cast<std::size_t>(k) * 2 * kLanes;
        hn::Store(value.re, d, entry);
        hn::Store(value.im, d, entry + kLanes);
    }

private:
    double* data_;
};

// The same products and sums, in the same order, as the complex operators of fft.cpp; no
// fused multiply-add, which would round once instead of twice.
LaneComplex add(const LaneComplex& a, const LaneComplex& b)
{
    return {hn::Add(a.re, b.re), hn::Add(a.im, b.im)};
}
LaneComplex subtract(const LaneComplex& a, const LaneComplex& b)
{
    return {hn::Sub(a.re, b.re), hn::Sub(a.im, b.im)};
}
LaneComplex multiply(const LaneComplex& a, const LaneComplex& b)
{
    return {hn::Sub(hn::Mul(a.re, b.re), hn::Mul(a.im, b.im)),
            hn::Add(hn::Mul(a.re, b.im), hn::Mul(a.im, b.re))};
}
LaneComplex broadcast(Lane d, Complex value)
{
    return {hn::Set(d, value.re), hn::Set(d, value.im)};
}
// conj(w) * v, as fft.cpp's multiplyConjugate.
LaneComplex multiplyConjugate(const LaneComplex& w, const LaneComplex& v)
{
    return {hn::Add(hn::Mul(w.re, v.re), hn::Mul(w.im, v.im)),
            hn::Sub(hn::Mul(w.re, v.im), hn::Mul(w.im, v.re))};
}
// A real sample times the conjugate chirp weight, as fft.cpp's modulate.
LaneComplex modulate(Lane d, Vector x, Complex weight)
{
    return {hn::Mul(x, hn::Set(d, weight.re)), hn::Neg(hn::Mul(x, hn::Set(d, weight.im)))};
}

// The butterflies of butterflies.h on every lane at once, each inlined into its schedule's
// loops (called from several, the compiler would otherwise make them calls). `entry` takes a work
// position p of the first stage and returns what belongs there: input entry reversal[p] (the
// bit-reversed copy, done while the first stage reads it), or what an earlier in-place permutation
// already put at p.
template <typename Entry>
struct LaneButterflies {
    Lane d;
    const double* cosine;
    const double* sine;
    InterleavedWork w;
    Entry entry;

    HWY_INLINE LaneComplex twiddle(std::int32_t j) const
    {
        return {hn::Set(d, cosine[j]), hn::Set(d, sine[j])};
    }
    HWY_INLINE void plain(std::int32_t top, std::int32_t bottom) const
    {
        const LaneComplex upper = w.load(d, top);
        const LaneComplex t = w.load(d, bottom);
        w.store(d, bottom, subtract(upper, t));
        w.store(d, top, add(upper, t));
    }
    HWY_INLINE void twiddled(std::int32_t top, std::int32_t bottom, std::int32_t j) const
    {
        const LaneComplex u = multiply(twiddle(j), w.load(d, bottom));
        const LaneComplex upper = w.load(d, top);
        w.store(d, bottom, subtract(upper, u));
        w.store(d, top, add(upper, u));
    }
    HWY_INLINE void inputPair(std::int32_t p) const
    {
        const LaneComplex upper = entry(p);
        const LaneComplex t = entry(p + 1);
        w.store(d, p + 1, subtract(upper, t));
        w.store(d, p, add(upper, t));
    }
    // The first three stages of positions p .. p + 7 in registers, when the entries of odd
    // positions are padding (exact zeros): only the even ones are read, and the results are
    // stored once rather than after each stage. The operations are octetButterflies', the
    // zeros included.
    HWY_INLINE void inputOctet(std::int32_t p,
                               std::int32_t eighth) const requires Entry::kOddPositionsArePadding
    {
        const LaneComplex zero{hn::Zero(d), hn::Zero(d)};
        LaneComplex a[8];
        for (std::int32_t k = 0; k < 8; k += 2) {
            const LaneComplex upper = entry(p + k);
            a[k] = add(upper, zero);
            a[k + 1] = subtract(upper, zero);
        }
        const LaneComplex quarterTwiddle = twiddle(2 * eighth);
        const LaneComplex u3 = multiply(quarterTwiddle, a[3]);
        const LaneComplex u7 = multiply(quarterTwiddle, a[7]);
        const LaneComplex b0 = add(a[0], a[2]);
        const LaneComplex b2 = subtract(a[0], a[2]);
        const LaneComplex b1 = add(a[1], u3);
        const LaneComplex b3 = subtract(a[1], u3);
        const LaneComplex b4 = add(a[4], a[6]);
        const LaneComplex b6 = subtract(a[4], a[6]);
        const LaneComplex b5 = add(a[5], u7);
        const LaneComplex b7 = subtract(a[5], u7);
        w.store(d, p, add(b0, b4));
        w.store(d, p + 4, subtract(b0, b4));
        const LaneComplex u5 = multiply(twiddle(eighth), b5);
        w.store(d, p + 1, add(b1, u5));
        w.store(d, p + 5, subtract(b1, u5));
        const LaneComplex u6 = multiply(quarterTwiddle, b6);
        w.store(d, p + 2, add(b2, u6));
        w.store(d, p + 6, subtract(b2, u6));
        const LaneComplex u8 = multiply(twiddle(3 * eighth), b7);
        w.store(d, p + 3, add(b3, u8));
        w.store(d, p + 7, subtract(b3, u8));
    }
    // The four entries of a pair of stages, the lower entry of each first-stage butterfly
    // times its twiddle (twiddle index 0: no product).
    struct FourEntries {
        LaneComplex x0;
        LaneComplex u1;
        LaneComplex x2;
        LaneComplex u3;
    };
    HWY_INLINE FourEntries loadFour(std::int32_t i, std::int32_t half, std::int32_t blockSize,
                                    std::int32_t first) const
    {
        FourEntries e{w.load(d, i), w.load(d, i + half), w.load(d, i + blockSize),
                      w.load(d, i + blockSize + half)};
        if (first != 0) {
            const LaneComplex firstTwiddle = twiddle(first);
            e.u1 = multiply(firstTwiddle, e.u1);
            e.u3 = multiply(firstTwiddle, e.u3);
        }
        return e;
    }
    // Two stages of four entries held in registers, which halves the loads and stores.
    HWY_INLINE void twoStages(std::int32_t i, std::int32_t half, std::int32_t blockSize,
                              std::int32_t first, std::int32_t second, std::int32_t third) const
    {
        const auto [x0, u1, x2, u3] = loadFour(i, half, blockSize, first);
        const LaneComplex y0 = add(x0, u1);
        const LaneComplex y1 = subtract(x0, u1);
        const LaneComplex y2 = add(x2, u3);
        const LaneComplex y3 = subtract(x2, u3);
        const LaneComplex u2 = second != 0 ? multiply(twiddle(second), y2) : y2;
        const LaneComplex u4 = multiply(twiddle(third), y3);
        w.store(d, i, add(y0, u2));
        w.store(d, i + blockSize, subtract(y0, u2));
        w.store(d, i + half, add(y1, u4));
        w.store(d, i + blockSize + half, subtract(y1, u4));
    }
    // One result of twoStages, with only the products and sums that lead to it: a result in
    // the first half of its block (i or i + blockSize) needs the upper halves of the first
    // stage's two butterflies, one in the second half their lower halves.
    HWY_INLINE void twoStagesFor(std::int32_t i, std::int32_t half, std::int32_t blockSize,
                                 std::int32_t first, std::int32_t second, std::int32_t third,
                                 std::int32_t result) const
    {
        const auto [x0, u1, x2, u3] = loadFour(i, half, blockSize, first);
        if (result == i || result == i + blockSize) {
            const LaneComplex y0 = add(x0, u1);
            const LaneComplex y2 = add(x2, u3);
            const LaneComplex u2 = second != 0 ? multiply(twiddle(second), y2) : y2;
            w.store(d, result, result == i ? add(y0, u2) : subtract(y0, u2));
        } else {
            const LaneComplex y1 = subtract(x0, u1);
            const LaneComplex y3 = subtract(x2, u3);
            const LaneComplex u4 = multiply(twiddle(third), y3);
            w.store(d, result, result == i + half ? add(y1, u4) : subtract(y1, u4));
        }
    }
};

// The radix-2 transform of the entries `entry` gives into the work vector w. A butterfly reads
// only what the earlier stages wrote inside its own block, so the stages run block by block up
// to blocks of `cached` entries, which stay in the first-level cache, and over the whole vector
// after that; each butterfly still sees exactly the values it sees column by column.
template <typename Entry>
void transform(Lane d, std::int32_t length, const double* cosine, const double* sine,
               const InterleavedWork& w, std::int32_t cached, Entry entry, OutputRange read = {})
{
    butterfliesByChunk(length, cached, LaneButterflies<Entry>{d, cosine, sine, w, entry}, read);
}

// Writes the squared magnitude of entry `row` of every lane into its own column of powers,
// whose rows start at `firstRow`.
Vector squaredMagnitude(const LaneComplex& value)
{
    return hn::Add(hn::Mul(value.re, value.re), hn::Mul(value.im, value.im));
}

void scatterPower(Lane d, const LaneComplex& value, std::int32_t row, std::int32_t firstRow,
                  std::int32_t rowsPerColumn, std::int32_t count, double* firstColumn)
{
    HWY_ALIGN double power[kMostLanes];
    hn::Store(squaredMagnitude(value), d, power);
    for (std::int32_t lane = 0; lane < count; ++lane) {
        firstColumn[static_cast<std::int64_t>(lane) * rowsPerColumn + row - firstRow] = power[lane];
    }
}

// Writes entry `row` of every lane of a group into its own output column.
void scatterRow(Lane d, const LaneComplex& value, std::int32_t row, std::int32_t m,
                std::int32_t count, Complex* firstColumn)
{
    HWY_ALIGN double re[kMostLanes];
    HWY_ALIGN double im[kMostLanes];
    hn::Store(value.re, d, re);
    hn::Store(value.im, d, im);
    for (std::int32_t lane = 0; lane < count; ++lane) {
        firstColumn[static_cast<std::int64_t>(lane) * m + row] = Complex{re[lane], im[lane]};
    }
}

// Where each work position of a `length`-point transform takes its input from.
WorkArray<std::int32_t> bitReversal(std::int32_t length)
{
    auto reversal = allocateAligned<std::int32_t>(static_cast<std::size_t>(length));
    std::int32_t position = 0;
    for (std::int32_t t = 0; t < length; ++t) {
        reversal[position] = t;
        if (t + 1 == length) {
            break;
        }
        position = nextBitReversed(position, length);
    }
    return reversal;
}

// Work entries of all lanes that fill 32 KiB.
constexpr auto kCachedEntries = static_cast<std::int32_t>(32768 / (2 * sizeof(double) * kLanes));

// The columns of a call, taken kLanes at a time: each group's m rows side by side (lanes
// without a column carry zeros), and its results handed to the destination.
class ColumnGroups {
public:
    ColumnGroups(std::span<const double* const> columnStarts, std::int32_t m,
                 const ColumnDestination& to)
        : starts_(columnStarts),
          m_(m),
          to_(to),
          rows_(allocateAligned<double>(static_cast<std::size_t>(m) * kLanes))
    {
    }
    std::int32_t columnCount() const { return static_cast<std::int32_t>(starts_.size()); }

    // Gathers the group whose first column is `first`.
    void gather(std::int32_t first)
    {
        first_ = first;
        count_ = columnCount() - first < static_cast<std::int32_t>(kLanes)
                     ? columnCount() - first
                     : static_cast<std::int32_t>(kLanes);
        // Row by row, so that the staged rows are written in order; a lane without a column
        // reads a row of zeros.
        static constexpr double kNoColumn[1] = {0.0};
        const double* column[kLanes];
        std::size_t step[kLanes];
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            const bool used = static_cast<std::int32_t>(lane) < count_;
            column[lane] = used ? starts_[first + static_cast<std::int32_t>(lane)] : kNoColumn;
            step[lane] = used ? 1 : 0;
        }
        double* row = rows_.get();
        std::int32_t t = 0;
        if constexpr (kLanes == 4) {
            // Four rows of the four columns at a time, transposed in registers.
            if (count_ == 4) {
                const hn::FixedTag<double, 4> d4;
                for (; t + 4 <= m_; t += 4, row += 4 * kLanes) {
                    hn::StoreInterleaved4(
                        hn::LoadU(d4, column[0] + t), hn::LoadU(d4, column[1] + t),
                        hn::LoadU(d4, column[2] + t), hn::LoadU(d4, column[3] + t), d4, row);
                }
            }
        }
        for (; t < m_; ++t, row += kLanes) {
            for (std::size_t lane = 0; lane < kLanes; ++lane) {
                row[lane] = column[lane][static_cast<std::size_t>(t) * step[lane]];
            }
        }
    }
    Vector sample(Lane d, std::int32_t t) const
    {
        return hn::Load(d, rows_.get() + static_cast<std::size_t>(t) * kLanes);
    }
    // Row t of the transform of every column of the group.
    void deliver(Lane d, const LaneComplex& value, std::int32_t t) const
    {
        if (to_.powers != nullptr) {
            const std::int32_t rowsOut = to_.lastRow - to_.firstRow + 1;
            scatterPower(d, value, t, to_.firstRow, rowsOut, count_,
                         to_.powers + static_cast<std::int64_t>(first_) * rowsOut);
        } else {
            scatterRow(d, value, t, m_, count_,
                       to_.spectra + static_cast<std::int64_t>(first_) * m_);
        }
    }

    // Whether deliverFourPowers may be used: four lanes, all of them columns, and powers.
    bool takesFourPowers() const { return kLanes == 4 && count_ == 4 && to_.powers != nullptr; }
    // The squared magnitudes of rows t .. t + 3 of every lane (`rowsOfPowers` holds them row
    // after row), transposed in registers and stored four rows to a column.
    void deliverFourPowers(const double* rowsOfPowers, std::int32_t t) const
    {
        if constexpr (kLanes == 4) {
            const hn::FixedTag<double, 4> d4;
            hn::Vec<decltype(d4)> column[4];
            hn::LoadInterleaved4(d4, rowsOfPowers, column[0], column[1], column[2], column[3]);
            const std::int32_t rowsOut = to_.lastRow - to_.firstRow + 1;
            double* first = to_.powers + static_cast<std::int64_t>(first_) * rowsOut;
            for (std::int32_t lane = 0; lane < 4; ++lane) {
                hn::StoreU(column[lane], d4,
                           first + static_cast<std::int64_t>(lane) * rowsOut + t - to_.firstRow);
            }
        }
    }

private:
    std::span<const double* const> starts_;
    std::int32_t m_;
    ColumnDestination to_;
    WorkArray<double> rows_;
    std::int32_t first_ = 0;
    std::int32_t count_ = 0;
};

// The forward transform's input: a group's samples modulated by the chirp, zero-padded to the
// convolution length. The convolution length is at least 2m - 1, so an odd position, whose
// input row is that of the even position before it plus half the length, is always padding.
struct ModulatedInput {
    static constexpr bool kOddPositionsArePadding = true;
    Lane d;
    const std::int32_t* reversal;
    const ColumnGroups* groups;
    const Complex* chirp;
    std::int32_t m;

    LaneComplex operator()(std::int32_t p) const
    {
        // Past row m - 1 the padding: exact zeros, made in registers (a copy of a zero held
        // in memory stalls on its partial stores).
        const std::int32_t t = reversal[p];
        if (t >= m) {
            return LaneComplex{hn::Zero(d), hn::Zero(d)};
        }
        return modulate(d, groups->sample(d, t), chirp[m - 1 + t]);
    }
};

// The chirp's spectrum times the forward transform u, each product stored at the bit-reversed
// position of its own, so that the inverse transform can run in the same room: each position
// trades with its mirror. In order of position the mirrors lie all over the vector; instead
// the positions go tile by tile. Position p = (high, middle, low), with `kEdgeBits` bits in
// high and in low, has its mirror in the tile of the reversed middle, and a tile is 2^kEdgeBits
// runs of 2^kEdgeBits consecutive entries: a tile and its mirror tile stay in the first-level
// cache while they trade. The mirrors of one run lie length / 2^kEdgeBits entries apart, a
// multiple of the cache's way size, so they all fall in one set: runs of 8 fit the ways of a
// set (12 on current cores), runs of 16 did not and made the trade about a fifth slower.
void multiplyByChirpSpectrum(Lane d, std::int32_t length, const std::int32_t* reversal,
                             const Complex* chirpSpectrum, const InterleavedWork& u)
{
    const auto product = [&](std::int32_t p) {
        return multiply(u.load(d, p), broadcast(d, chirpSpectrum[p]));
    };
    // Position p and its mirror q, another position.
    const auto trade = [&](std::int32_t p, std::int32_t q) {
        const LaneComplex atP = product(p);
        const LaneComplex atQ = product(q);
        u.store(d, p, atQ);
        u.store(d, q, atP);
    };
    // Position p and its mirror, unless traded from the mirror's side.
    const auto tradeOnce = [&](std::int32_t p) {
        const std::int32_t q = reversal[p];
        if (q > p) {
            trade(p, q);
        } else if (q == p) {
            u.store(d, p, product(p));
        }
    };
    constexpr std::int32_t kEdgeBits = 3;
    constexpr std::int32_t kEdge = std::int32_t{1} << kEdgeBits;
    if (length < kEdge * kEdge * 2) {
        for (std::int32_t p = 0; p < length; ++p) {
            tradeOnce(p);
        }
        return;
    }
    const std::int32_t tiles = length / (kEdge * kEdge);
    const std::int32_t highStep = length / kEdge;
    for (std::int32_t middle = 0; middle < tiles; ++middle) {
        const std::int32_t mirrorTile = reversal[middle * kEdge] / kEdge;
        if (mirrorTile < middle) {
            continue;  // traded with its mirror tile already
        }
        const bool ownMirror = mirrorTile == middle;
        for (std::int32_t high = 0; high < kEdge; ++high) {
            const std::int32_t first = high * highStep + middle * kEdge;
            if (ownMirror) {
                for (std::int32_t p = first; p < first + kEdge; ++p) {
                    tradeOnce(p);
                }
            } else {
                // Every position of the tile has its mirror in the other tile: no test.
                for (std::int32_t p = first; p < first + kEdge; ++p) {
                    trade(p, reversal[p]);
                }
            }
        }
    }
}

}  // namespace

std::int32_t lanes() { return static_cast<std::int32_t>(kLanes); }

void transformColumns(const Radix2Tables& tables, std::span<const double* const> columnStarts,
                      const ColumnDestination& to)
{
    const Lane d;
    const std::int32_t length = tables.length;
    const auto reversal = bitReversal(length);
    auto work = allocateAligned<double>(static_cast<std::size_t>(length) * 2 * kLanes);
    const InterleavedWork u(work.get());
    const Vector zero = hn::Zero(d);
    ColumnGroups groups(columnStarts, length, to);
    for (std::int32_t first = 0; first < groups.columnCount();
         first += static_cast<std::int32_t>(kLanes)) {
        groups.gather(first);
        transform(d, length, tables.cosines().data(), tables.sines().data(), u, kCachedEntries,
                  [&](std::int32_t p) {
                      return LaneComplex{groups.sample(d, reversal[p]), zero};
                  });
        for (std::int32_t t = to.firstRow; t <= to.lastRow; ++t) {
            groups.deliver(d, u.load(d, t), t);
        }
    }
}

void transformColumns(const ChirpPlan& plan, std::span<const double* const> columnStarts,
                      const ColumnDestination& to)
{
    const Lane d;
    const std::int32_t m = plan.m;
    const std::int32_t length = plan.convolutionLength;
    const double* cosine = plan.tables.cosines().data();
    const Complex* chirp = plan.weights().data();
    const auto reversal = bitReversal(length);
    auto work = allocateAligned<double>(static_cast<std::size_t>(length) * 2 * kLanes);
    const InterleavedWork u(work.get());
    const Vector scale = hn::Set(d, 1.0 / static_cast<double>(length));
    ColumnGroups groups(columnStarts, m, to);
    for (std::int32_t first = 0; first < groups.columnCount();
         first += static_cast<std::int32_t>(kLanes)) {
        groups.gather(first);
        // Modulate (zero-padded to the convolution length) and transform.
        transform(d, length, cosine, plan.tables.sines().data(), u, kCachedEntries,
                  ModulatedInput{d, reversal.get(), &groups, chirp, m});
        multiplyByChirpSpectrum(d, length, reversal.get(), plan.spectrum().data(), u);
        // Only the entries of the rows delivered are demodulated below.
        transform(
            d, length, cosine, plan.tables.inverseSines().data(), u, kCachedEntries,
            [&](std::int32_t p) { return u.load(d, p); },
            OutputRange{m - 1 + to.firstRow, m - 1 + to.lastRow});
        // Demodulate. Only entries m - 1 .. 2m - 2 are read, and of them only those of the
        // rows delivered, so only they are scaled by 1/length.
        const auto demodulated = [&](std::int32_t t) {
            const LaneComplex value = u.load(d, m - 1 + t);
            const LaneComplex scaled{hn::Mul(value.re, scale), hn::Mul(value.im, scale)};
            return multiplyConjugate(broadcast(d, chirp[m - 1 + t]), scaled);
        };
        std::int32_t t = to.firstRow;
        if (groups.takesFourPowers()) {
            for (; t + 3 <= to.lastRow; t += 4) {
                HWY_ALIGN double rowsOfPowers[4 * kLanes];
                for (std::int32_t r = 0; r < 4; ++r) {
                    hn::Store(squaredMagnitude(demodulated(t + r)), d,
                              rowsOfPowers + static_cast<std::size_t>(r) * kLanes);
                }
                groups.deliverFourPowers(rowsOfPowers, t);
            }
        }
        for (; t <= to.lastRow; ++t) {
            groups.deliver(d, demodulated(t), t);
        }
    }
}

}  // namespace EDDYRATE_UNIT
}  // namespace eddyrate
