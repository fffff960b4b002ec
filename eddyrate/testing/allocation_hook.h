#pragma once
// Test-side view of every block the computation allocates. Linked with
// -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=free, the library's own objects reach
// the C allocator only through this hook, which counts the blocks, tracks the bytes held and
// can refuse one chosen allocation. The aligned operator new is replaced to the same end.
// Single-threaded use only.

#include <cstddef>
#include <cstdint>

namespace eddyrate::testing {

struct AllocationCounts {
    std::int64_t allocations;  // successful and refused ones, in call order
    std::int64_t liveBlocks;   // allocated and not yet released
    std::size_t liveBytes;
    std::size_t peakBytes;     // most bytes held at once since the last reset
};

// Starts counting afresh (the held blocks and bytes carry over).
void resetAllocationCounts();
AllocationCounts allocationCounts();

// Makes allocation number `k` (from 1, counted since the last reset) return null; 0 refuses none.
void refuseAllocation(std::int64_t k);

}  // namespace eddyrate::testing
