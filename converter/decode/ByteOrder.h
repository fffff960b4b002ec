#pragma once
// Field reads from a message buffer. Messages are little-endian and their fields are not
// aligned (Signature arrays sit at offsets 2 modulo 4), so every value is assembled from its
// bytes: no aligned loads, no host byte order, no float pointers into the buffer.

#include <bit>
#include <cstdint>

namespace saltmark {

inline std::uint16_t LoadU16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t LoadU32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::int32_t LoadI32(const std::uint8_t* p)
{
    return std::bit_cast<std::int32_t>(LoadU32(p));
}

inline float LoadF32(const std::uint8_t* p) { return std::bit_cast<float>(LoadU32(p)); }

}  // namespace saltmark
