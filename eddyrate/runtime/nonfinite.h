#pragma once
// The non-finite values the computation stores, with fixed bit patterns. They are
// compile-time constants, so calls running at the same time on several threads share
// nothing writable.

#include <bit>
#include <cstdint>

namespace eddyrate {

inline constexpr double kInfinity = std::bit_cast<double>(std::uint64_t{0x7FF0000000000000});
inline constexpr double kMinusInfinity = std::bit_cast<double>(std::uint64_t{0xFFF0000000000000});
// The not-a-number the library writes carries the sign bit.
inline constexpr double kNaN = std::bit_cast<double>(std::uint64_t{0xFFF8000000000000});

inline constexpr float kInfinityF = std::bit_cast<float>(std::uint32_t{0x7F800000});
inline constexpr float kMinusInfinityF = std::bit_cast<float>(std::uint32_t{0xFF800000});
inline constexpr float kNaNF = std::bit_cast<float>(std::uint32_t{0xFFC00000});

constexpr bool isInfinite(double x) { return x == kInfinity || x == kMinusInfinity; }
constexpr bool isInfinite(float x) { return x == kInfinityF || x == kMinusInfinityF; }
constexpr bool isNaN(double x) { return x != x; }
constexpr bool isNaN(float x) { return x != x; }

}  // namespace eddyrate
