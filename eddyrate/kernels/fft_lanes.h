#pragma once
// Lock-step transforms: several columns at once, one column per vector lane. Every lane does
// exactly the additions, subtractions and multiplications of the column-by-column transform,
// in the same order, so each column's bits are those of the column-by-column transform. The
// vector unit is chosen at run time; without one there is one lane and fft.cpp transforms
// column by column.

#include <cstdint>
#include <span>
#include <vector>

#include "fft_plan.h"

namespace eddyrate {

// The bit-reversed position of t + 1 (among `length` positions, a power of two), from that
// of t: a carry that runs from the top bit down, so a whole permutation costs O(length).
inline std::int32_t nextBitReversed(std::int32_t position, std::int32_t length)
{
    std::int32_t bit = length;
    do {
        bit = bit / 2;
        position = position ^ bit;
    } while ((position & bit) == 0);
    return position;
}

// The vector units a transform can run on, from none (column by column) to the widest.
enum class VectorUnit { none, avx2, avx512 };

// The unit transforms use: the widest this build has and the processor runs, lowered to the
// one named by the environment variable EDDYRATE_VECTOR_UNIT ("none", "avx2", "avx512") if
// that is set, which measures the slower paths on a fast machine.
VectorUnit activeVectorUnit();

// Every unit this build has and the processor runs, `none` first.
std::vector<VectorUnit> availableVectorUnits();

// Makes transforms use `unit` (which must be available) until called again; for tests that
// check every unit gives the same bits. Not for use while transforms run on other threads.
void useVectorUnit(VectorUnit unit);

// Columns the active unit transforms at once; 1 means column by column.
std::int32_t lockStepLanes();

// Transforms the real columns that start at columnStarts (m rows each, m the plan's length)
// into the destination, lockStepLanes() at a time on the active unit. Needs a radix-2 length
// of at least 4 and a unit other than none.
void transformInLockStep(const TransformPlan& plan, std::span<const double* const> columnStarts,
                         const ColumnDestination& to);

// The per-unit kernels behind transformInLockStep, one namespace per compiled unit.
namespace avx2 {
std::int32_t lanes();
void transformColumns(const Radix2Tables& tables, std::span<const double* const> columnStarts,
                      const ColumnDestination& to);
void transformColumns(const ChirpPlan& plan, std::span<const double* const> columnStarts,
                      const ColumnDestination& to);
}  // namespace avx2
namespace avx512 {
std::int32_t lanes();
void transformColumns(const Radix2Tables& tables, std::span<const double* const> columnStarts,
                      const ColumnDestination& to);
void transformColumns(const ChirpPlan& plan, std::span<const double* const> columnStarts,
                      const ColumnDestination& to);
}  // namespace avx512

}  // namespace eddyrate
