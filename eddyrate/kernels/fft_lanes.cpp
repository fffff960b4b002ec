// The lock-step transform for one vector unit. This file is compiled once per unit, each time
// with that unit's instruction-set flags and EDDYRATE_UNIT naming the unit's namespace;
// fft_units.cpp picks the compiled unit the processor has. The vector operations come from
// Highway's portable wrappers, whose lanes follow IEEE arithmetic exactly.
#include <hwy/highway.h>

#include <memory>
#include <new>

#include "call_arena.h"
#include "fft_lanes.h"

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
struct FreeStorage {
    void operator()(void* block) const { releaseWork(block); }
};
template <typename T>
using Storage = std::unique_ptr<T[], FreeStorage>;

template <typename T>
Storage<T> allocateAligned(std::size_t count)
{
    return Storage<T>(static_cast<T*>(allocateWork(count * sizeof(T), kAlignment)));
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
LaneComplex broadcast(Lane d, Complex value) { return {hn::Set(d, value.re), hn::Set(d, value.im)}; }

// One butterfly stage (pairs `span` apart, blocks `stride` long) over the blocks that start in
// [from, to): the loops of the column-by-column transform. Its first butterfly in a block has
// the twiddle 1 and no product.
void stage(Lane d, std::int32_t length, std::int32_t span, std::int32_t stride,
           const double* cosine, const double* sine, const InterleavedWork& w, std::int32_t from,
           std::int32_t to)
{
    const std::int32_t k = length / stride;
    for (std::int32_t block = from; block < to; block += stride) {
        const LaneComplex top = w.load(d, block);
        const LaneComplex t = w.load(d, block + span);
        w.store(d, block + span, subtract(top, t));
        w.store(d, block, add(top, t));
        std::int32_t i = block + 1;
        for (std::int32_t j = k; j < length / 2; j += k, ++i) {
            const LaneComplex twiddle{hn::Set(d, cosine[j]), hn::Set(d, sine[j])};
            const LaneComplex u = multiply(twiddle, w.load(d, i + span));
            const LaneComplex upper = w.load(d, i);
            w.store(d, i + span, subtract(upper, u));
            w.store(d, i, add(upper, u));
        }
    }
}

// Two consecutive stages, blocks `stride` and 2 * `stride` long, over the double blocks that
// start in [from, to): each group of four entries goes through its two butterflies of the
// first stage and its two of the second while held in registers, which halves the loads and
// stores; every butterfly is the one of stage() with the same twiddle, so the values are too.
void stagePair(Lane d, std::int32_t length, std::int32_t stride, const double* cosine,
               const double* sine, const InterleavedWork& w, std::int32_t from, std::int32_t to)
{
    const std::int32_t span = stride / 2;
    const std::int32_t firstStep = length / stride;
    const std::int32_t secondStep = firstStep / 2;
    const auto twiddle = [&](std::int32_t j) {
        return LaneComplex{hn::Set(d, cosine[j]), hn::Set(d, sine[j])};
    };
    for (std::int32_t block = from; block < to; block += 2 * stride) {
        for (std::int32_t r = 0; r < span; ++r) {
            const std::int32_t i = block + r;
            const LaneComplex x0 = w.load(d, i);
            const LaneComplex x1 = w.load(d, i + span);
            const LaneComplex x2 = w.load(d, i + stride);
            const LaneComplex x3 = w.load(d, i + stride + span);
            LaneComplex u1 = x1;
            LaneComplex u3 = x3;
            LaneComplex u2;
            if (r > 0) {
                const LaneComplex first = twiddle(r * firstStep);
                u1 = multiply(first, x1);
                u3 = multiply(first, x3);
            }
            const LaneComplex y0 = add(x0, u1);
            const LaneComplex y1 = subtract(x0, u1);
            const LaneComplex y2 = add(x2, u3);
            const LaneComplex y3 = subtract(x2, u3);
            u2 = r > 0 ? multiply(twiddle(r * secondStep), y2) : y2;
            const LaneComplex u4 = multiply(twiddle((r + span) * secondStep), y3);
            w.store(d, i, add(y0, u2));
            w.store(d, i + stride, subtract(y0, u2));
            w.store(d, i + span, add(y1, u4));
            w.store(d, i + stride + span, subtract(y1, u4));
        }
    }
}

// Stages from blocks `stride` long up to blocks `last` long over the blocks in [from, to),
// two at a time where two remain.
void stages(Lane d, std::int32_t length, std::int32_t stride, std::int32_t last,
            const double* cosine, const double* sine, const InterleavedWork& w, std::int32_t from,
            std::int32_t to)
{
    while (stride <= last) {
        if (2 * stride <= last) {
            stagePair(d, length, stride, cosine, sine, w, from, to);
            stride *= 4;
        } else {
            stage(d, length, stride / 2, stride, cosine, sine, w, from, to);
            stride *= 2;
        }
    }
}

// The radix-2 transform of the entries `entry` gives (entries at and beyond the input's end
// are zeros) into the work vector w. Position p takes entry reversal[p] (the bit-reversed
// copy) and the first stage pairs positions p and p + 1, in one pass. A butterfly reads only
// what the earlier stages wrote inside its own block, so the stages run block by block up to
// blocks of `cached` entries, which stay in the first-level cache, and over the whole vector
// after that; each butterfly still sees exactly the values it sees column by column.
// `entry` takes the work position p and returns what belongs there: input entry reversal[p],
// or what an earlier in-place permutation already put at p.
template <typename Entry>
void transform(Lane d, std::int32_t length, const double* cosine, const double* sine,
               const InterleavedWork& w, std::int32_t cached, Entry entry)
{
    const std::int32_t chunk = length < cached ? length : cached;
    for (std::int32_t base = 0; base < length; base += chunk) {
        for (std::int32_t p = base; p < base + chunk; p += 2) {
            const LaneComplex a = entry(p);
            const LaneComplex t = entry(p + 1);
            w.store(d, p + 1, subtract(a, t));
            w.store(d, p, add(a, t));
        }
        stages(d, length, 4, chunk, cosine, sine, w, base, base + chunk);
    }
    stages(d, length, 2 * chunk, length, cosine, sine, w, 0, length);
}

// Writes the squared magnitude of entry `row` of every lane into its own column of powers,
// whose rows start at `firstRow`.
void scatterPower(Lane d, const LaneComplex& value, std::int32_t row, std::int32_t firstRow,
                  std::int32_t rowsPerColumn, std::int32_t count, double* firstColumn)
{
    HWY_ALIGN double power[kMostLanes];
    hn::Store(hn::Add(hn::Mul(value.re, value.re), hn::Mul(value.im, value.im)), d, power);
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

}  // namespace

std::int32_t lanes() { return static_cast<std::int32_t>(kLanes); }

void transformColumns(const TransformPlan& plan, const double* const* columnStarts,
                      std::int32_t columnCount)
{
    const Lane d;
    const std::int32_t m = plan.m;
    const std::int32_t length = plan.length;

    // Built once per call: where each work position takes its input from, and the buffers
    // every group of columns reuses.
    auto reversal = allocateAligned<std::int32_t>(static_cast<std::size_t>(length));
    std::int32_t position = 0;
    for (std::int32_t t = 0; t < length; ++t) {
        reversal[position] = t;
        if (t + 1 == length) {
            break;
        }
        position = nextBitReversed(position, length);
    }
    const std::size_t workEntries = static_cast<std::size_t>(length) * 2 * kLanes;
    auto group = allocateAligned<double>(static_cast<std::size_t>(m) * kLanes);
    auto forward = allocateAligned<double>(workEntries);
    const InterleavedWork u(forward.get());
    const Vector zero = hn::Zero(d);
    const LaneComplex zeroEntry{zero, zero};
    const double inverseLength = 1.0 / static_cast<double>(length);
    const Vector scale = hn::Set(d, inverseLength);
    // Work entries of all lanes that fill 32 KiB.
    const auto cached = static_cast<std::int32_t>(32768 / (2 * sizeof(double) * kLanes));

    for (std::int32_t first = 0; first < columnCount; first += static_cast<std::int32_t>(kLanes)) {
        const std::int32_t count = columnCount - first < static_cast<std::int32_t>(kLanes)
                                       ? columnCount - first
                                       : static_cast<std::int32_t>(kLanes);
        // The group's columns side by side, row by row; lanes without a column carry zeros.
        double* rowsOfGroup = group.get();
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            const bool used = static_cast<std::int32_t>(lane) < count;
            const double* column = used ? columnStarts[first + static_cast<std::int32_t>(lane)]
                                        : nullptr;
            for (std::int32_t t = 0; t < m; ++t) {
                rowsOfGroup[static_cast<std::size_t>(t) * kLanes + lane] = used ? column[t] : 0.0;
            }
        }
        auto sample = [&](std::int32_t t) {
            return hn::Load(d, rowsOfGroup + static_cast<std::size_t>(t) * kLanes);
        };
        const std::int32_t rowsOut = plan.lastRow - plan.firstRow + 1;
        const auto deliver = [&](const LaneComplex& value, std::int32_t t) {
            if (plan.powers != nullptr) {
                scatterPower(d, value, t, plan.firstRow, rowsOut, count,
                             plan.powers + static_cast<std::int64_t>(first) * rowsOut);
            } else {
                scatterRow(d, value, t, m, count, plan.spectra + static_cast<std::int64_t>(first) * m);
            }
        };

        if (plan.radix2) {
            transform(d, length, plan.cosine, plan.sine, u, cached, [&](std::int32_t p) {
                return LaneComplex{sample(reversal[p]), zero};
            });
            for (std::int32_t t = plan.firstRow; t <= plan.lastRow; ++t) {
                deliver(u.load(d, t), t);
            }
            continue;
        }

        // Weighted by the conjugate chirp, zero-padded to the convolution length.
        transform(d, length, plan.cosine, plan.sine, u, cached, [&](std::int32_t p) {
            const std::int32_t t = reversal[p];
            if (t >= m) {
                return zeroEntry;
            }
            const Complex weight = plan.chirp[m - 1 + t];
            const Vector x = sample(t);
            return LaneComplex{hn::Mul(x, hn::Set(d, weight.re)),
                               hn::Neg(hn::Mul(x, hn::Set(d, weight.im)))};
        });
        // Times the chirp's spectrum, put into bit-reversed order in place (each position
        // trades with its mirror), then back with the inverse table in the same room.
        for (std::int32_t p = 0; p < length; ++p) {
            const std::int32_t q = reversal[p];
            if (q < p) {
                continue;
            }
            const LaneComplex atP = multiply(u.load(d, p), broadcast(d, plan.chirpSpectrum[p]));
            if (q == p) {
                u.store(d, p, atP);
                continue;
            }
            const LaneComplex atQ = multiply(u.load(d, q), broadcast(d, plan.chirpSpectrum[q]));
            u.store(d, p, atQ);
            u.store(d, q, atP);
        }
        transform(d, length, plan.cosine, plan.inverseSine, u, cached,
                  [&](std::int32_t p) { return u.load(d, p); });
        // Only entries m - 1 .. 2m - 2 are read, and of them only those of the rows delivered,
        // so only they are scaled by 1/length.
        for (std::int32_t t = plan.firstRow; t <= plan.lastRow; ++t) {
            const Complex weight = plan.chirp[m - 1 + t];
            LaneComplex value = u.load(d, m - 1 + t);
            value = {hn::Mul(value.re, scale), hn::Mul(value.im, scale)};
            const Vector wr = hn::Set(d, weight.re);
            const Vector wi = hn::Set(d, weight.im);
            const LaneComplex result{hn::Add(hn::Mul(wr, value.re), hn::Mul(wi, value.im)),
                                     hn::Sub(hn::Mul(wr, value.im), hn::Mul(wi, value.re))};
            deliver(result, t);
        }
    }
}

}  // namespace EDDYRATE_UNIT
}  // namespace eddyrate
