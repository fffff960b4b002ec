#pragma once
// Small builders shared by the kernel tests.

#include <bit>
#include <cstdint>
#include <vector>

#include "numeric_array.h"

namespace eddyrate {

inline std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

// A double [r, c] array filled from its elements in column-major order.
inline ArrayOwner matrix(std::int32_t r, std::int32_t c, const std::vector<double>& columnMajor)
{
    ArrayOwner array = initArray(2);
    resizeArray(*array, r, c, kDoubleSize);
    for (std::size_t k = 0; k < columnMajor.size(); ++k) {
        doubles(*array)[k] = columnMajor[k];
    }
    return array;
}

}  // namespace eddyrate
