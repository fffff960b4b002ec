#pragma once
// The one way the kernels add up a series: in index order, starting from the first element,
// with no pairwise or compensated summation, so that every platform rounds alike.

#include <cstdint>
#include <span>

namespace eddyrate {

// The element count an extent stands for (a negative extent holds nothing).
inline std::size_t extentLength(std::int32_t extent)
{
    return extent > 0 ? static_cast<std::size_t>(extent) : 0;
}

// 0.0 when empty.
inline double sumInOrder(std::span<const double> values)
{
    if (values.empty()) {
        return 0.0;
    }
    double sum = values[0];
    for (std::size_t k = 1; k < values.size(); ++k) {
        sum = sum + values[k];
    }
    return sum;
}

// The number of set one-byte flags, as a double.
inline double sumFlags(std::span<const std::uint8_t> set)
{
    double count = 0.0;
    for (const std::uint8_t flag : set) {
        count = count + static_cast<double>(flag);
    }
    return count;
}

}  // namespace eddyrate
