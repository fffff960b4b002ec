#pragma once
// The butterflies of a radix-2 transform over a bit-reversed vector of `length` entries (a
// power of two), in one named form for both the column-by-column and the lock-step kernels.
//
// A stage works on blocks of `blockSize` entries; each block pairs entry block + r with entry
// block + r + half (half = blockSize / 2, r = 0 .. half - 1) through the twiddle of index
// j = r * twiddleStep (twiddleStep = length / blockSize) in the tables of `length`. The first
// butterfly of a block has the twiddle 1 and no product.
//
// The kernels supply the arithmetic through an `ops` object, a small handle passed by value so
// that its pointers stay in registers across the stores of the butterflies:
//   ops.plain(top, bottom)            w[top], w[bottom] = w[top] + w[bottom], w[top] - w[bottom]
//   ops.twiddled(top, bottom, j)      the same with w[bottom] times twiddle j first
//   ops.inputPair(p)                  the first stage's butterfly on positions p and p + 1,
//                                     reading the bit-reversed input rather than w
//   ops.twoStages(i, half, blockSize, first, second, third)
//                                     four butterflies held in registers: (i, i + half) and
//                                     (i + blockSize, i + blockSize + half) with twiddle
//                                     `first`, then (i, i + blockSize) with `second` and
//                                     (i + half, i + blockSize + half) with `third`; a twiddle
//                                     index 0 means no product.
//   ops.twoStagesFor(i, half, blockSize, first, second, third, result)
//                                     optional: of twoStages' four results only `result`,
//                                     for the last two stages when nothing reads the others.
//   ops.inputOctet(p, eighth)         optional: the first three stages on positions p .. p + 7
//                                     at once (octetButterflies below says which), for input
//                                     whose odd positions are known zeros; `eighth` is
//                                     length / 8, the third stage's twiddle step.
// A butterfly reads only its own two entries, so any order in which every entry meets the same
// butterflies in the same sequence gives the same bits; fft_test checks that
// the two schedules below are such orders for every length.

#include <algorithm>
#include <cstdint>
#include <limits>

namespace eddyrate {

// The entries a caller reads after the transform; the last stage (or pair of stages) skips the
// butterflies none of whose results lie in it. Every entry inside gets exactly its bits.
struct OutputRange {
    std::int32_t first = 0;
    std::int32_t last = std::numeric_limits<std::int32_t>::max();
    bool holds(std::int32_t k) const { return k >= first && k <= last; }
};

// The butterflies of the first three stages on positions p .. p + 7 (p a multiple of 8), in
// the order of butterfliesByStage; what an ops' inputOctet(p, length / 8) must compute.
template <typename Ops>
void octetButterflies(std::int32_t length, std::int32_t p, Ops ops)
{
    const std::int32_t eighth = length / 8;
    for (std::int32_t k = 0; k < 8; k += 2) {
        ops.inputPair(p + k);
    }
    ops.plain(p, p + 2);
    ops.twiddled(p + 1, p + 3, 2 * eighth);
    ops.plain(p + 4, p + 6);
    ops.twiddled(p + 5, p + 7, 2 * eighth);
    ops.plain(p, p + 4);
    ops.twiddled(p + 1, p + 5, eighth);
    ops.twiddled(p + 2, p + 6, 2 * eighth);
    ops.twiddled(p + 3, p + 7, 3 * eighth);
}

// The butterflies of one stage over the blocks that start in [from, to).
template <typename Ops>
void butterflyStage(std::int32_t length, std::int32_t blockSize, std::int32_t from, std::int32_t to,
                    Ops ops)
{
    const std::int32_t half = blockSize / 2;
    const std::int32_t twiddleStep = length / blockSize;
    for (std::int32_t block = from; block < to; block += blockSize) {
        ops.plain(block, block + half);
        // r = 1 .. half - 1, with top = block + r and j = r * twiddleStep kept as running sums
        // (the loop runs on j, which spares the column-by-column loop a counter).
        const std::int32_t jEnd = half * twiddleStep;
        for (std::int32_t top = block + 1, j = twiddleStep; j < jEnd; ++top, j += twiddleStep) {
            ops.twiddled(top, top + half, j);
        }
    }
}

// The last stage (blocks of the whole length), only the butterflies with a result in `read`.
template <typename Ops>
void lastButterflyStage(std::int32_t length, OutputRange read, Ops ops)
{
    const std::int32_t half = length / 2;
    if (read.holds(0) || read.holds(half)) {
        ops.plain(0, half);
    }
    for (std::int32_t r = 1; r < half; ++r) {
        if (read.holds(r) || read.holds(r + half)) {
            ops.twiddled(r, r + half, r);
        }
    }
}

// Two consecutive stages, blocks `blockSize` and 2 * `blockSize` long, over the double blocks
// that start in [from, to): each group of four entries goes through its two butterflies of the
// first stage and its two of the second at once.
template <typename Ops>
void butterflyStagePair(std::int32_t length, std::int32_t blockSize, std::int32_t from,
                        std::int32_t to, Ops ops)
{
    const std::int32_t half = blockSize / 2;
    const std::int32_t twiddleStep = length / blockSize;
    const std::int32_t nextTwiddleStep = twiddleStep / 2;
    for (std::int32_t block = from; block < to; block += 2 * blockSize) {
        for (std::int32_t r = 0; r < half; ++r) {
            ops.twoStages(block + r, half, blockSize, r * twiddleStep, r * nextTwiddleStep,
                          (r + half) * nextTwiddleStep);
        }
    }
}

// The last two stages (blocks of half the length and of the whole), only the groups with a
// result in `read`. Group r has the results r + offset for the four offsets below; since
// `read` is one range, the groups fall into runs that want the same results, cut where
// r + offset enters or leaves it. A group with a single result there goes to the ops'
// twoStagesFor when it has one, which computes that result alone.
template <typename Ops>
void lastButterflyStagePair(std::int32_t length, OutputRange read, Ops ops)
{
    const std::int32_t blockSize = length / 2;
    const std::int32_t half = blockSize / 2;
    const std::int32_t offsets[4] = {0, half, blockSize, blockSize + half};
    constexpr bool hasSingleResults = requires { ops.twoStagesFor(0, 0, 0, 0, 0, 0, 0); };
    const auto clamp = [&](std::int64_t r) {
        return static_cast<std::int32_t>(r < 0 ? 0 : (r > half ? half : r));
    };
    std::int32_t cuts[10] = {0, half};
    int cutCount = 2;
    for (const std::int32_t offset : offsets) {
        cuts[cutCount++] = clamp(static_cast<std::int64_t>(read.first) - offset);
        cuts[cutCount++] = clamp(static_cast<std::int64_t>(read.last) - offset + 1);
    }
    std::sort(cuts, cuts + cutCount);
    for (int c = 0; c + 1 < cutCount; ++c) {
        const std::int32_t from = cuts[c];
        const std::int32_t to = cuts[c + 1];
        int wanted = 0;
        std::int32_t single = 0;
        for (const std::int32_t offset : offsets) {
            if (from < to && read.holds(from + offset)) {
                ++wanted;
                single = offset;
            }
        }
        for (std::int32_t r = from; r < to && wanted > 0; ++r) {
            if constexpr (hasSingleResults) {
                if (wanted == 1) {
                    ops.twoStagesFor(r, half, blockSize, 2 * r, r, r + half, r + single);
                    continue;
                }
            }
            ops.twoStages(r, half, blockSize, 2 * r, r, r + half);
        }
    }
}

// The column-by-column order: one stage after the other over the whole vector.
template <typename Ops>
void butterfliesByStage(std::int32_t length, Ops ops)
{
    for (std::int32_t p = 0; p + 1 < length; p += 2) {
        ops.inputPair(p);
    }
    for (std::int32_t blockSize = 4; blockSize <= length; blockSize *= 2) {
        butterflyStage(length, blockSize, 0, length, ops);
    }
}

// The lock-step order: the stages up to blocks of `cached` entries (a power of two, at least
// 2) run chunk by chunk, so a chunk stays in the first-level cache, then the rest over the
// whole vector; stages go two at a time where two remain. Ops with an inputOctet do the first
// three stages with it where a chunk holds 8 entries; the last stages over the whole vector
// skip what `read` does not need.
template <typename Ops>
void butterfliesByChunk(std::int32_t length, std::int32_t cached, Ops ops, OutputRange read = {})
{
    const auto stagesUpTo = [&](std::int32_t blockSize, std::int32_t largest, std::int32_t from,
                                std::int32_t to, OutputRange lastRead) {
        while (blockSize <= largest) {
            if (2 * blockSize <= largest) {
                if (2 * blockSize == length) {
                    lastButterflyStagePair(length, lastRead, ops);
                } else {
                    butterflyStagePair(length, blockSize, from, to, ops);
                }
                blockSize *= 4;
            } else if (blockSize == length) {
                lastButterflyStage(length, lastRead, ops);
                blockSize *= 2;
            } else {
                butterflyStage(length, blockSize, from, to, ops);
                blockSize *= 2;
            }
        }
    };
    const std::int32_t chunk = length < cached ? length : cached;
    constexpr bool hasOctets = requires { ops.inputOctet(0, 0); };
    for (std::int32_t base = 0; base < length; base += chunk) {
        if constexpr (hasOctets) {
            if (chunk >= 8) {
                for (std::int32_t p = base; p < base + chunk; p += 8) {
                    ops.inputOctet(p, length / 8);
                }
                stagesUpTo(16, chunk, base, base + chunk, {});
                continue;
            }
        }
        for (std::int32_t p = base; p < base + chunk; p += 2) {
            ops.inputPair(p);
        }
        stagesUpTo(4, chunk, base, base + chunk, {});
    }
    stagesUpTo(2 * chunk, length, 0, length, chunk < length ? read : OutputRange{});
}

}  // namespace eddyrate
