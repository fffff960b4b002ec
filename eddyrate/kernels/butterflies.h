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
// A butterfly reads only its own two entries, so any order in which every entry meets the same
// butterflies in the same sequence gives the same bits; fft_test checks that
// the two schedules below are such orders for every length.

#include <cstdint>

namespace eddyrate {

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
// whole vector; stages go two at a time where two remain.
template <typename Ops>
void butterfliesByChunk(std::int32_t length, std::int32_t cached, Ops ops)
{
    const auto stagesUpTo = [&](std::int32_t blockSize, std::int32_t largest, std::int32_t from,
                                std::int32_t to) {
        while (blockSize <= largest) {
            if (2 * blockSize <= largest) {
                butterflyStagePair(length, blockSize, from, to, ops);
                blockSize *= 4;
            } else {
                butterflyStage(length, blockSize, from, to, ops);
                blockSize *= 2;
            }
        }
    };
    const std::int32_t chunk = length < cached ? length : cached;
    for (std::int32_t base = 0; base < length; base += chunk) {
        for (std::int32_t p = base; p < base + chunk; p += 2) {
            ops.inputPair(p);
        }
        stagesUpTo(4, chunk, base, base + chunk);
    }
    stagesUpTo(2 * chunk, length, 0, length);
}

}  // namespace eddyrate
