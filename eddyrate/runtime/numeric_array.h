#pragma once
// The one dynamic array of the computation: a plain record with its extents, grown only
// through ensureCapacity, column-major, owning or borrowing its storage.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace eddyrate {

struct NumericArray {
    void* data;             // element storage; null while nothing is allocated
    std::int32_t* sizes;    // `rank` extents, separately allocated
    std::int32_t capacity;  // elements that `data` can hold
    std::int32_t rank;      // number of extents
    bool ownsData;          // false while `data` belongs to the caller
};

// A complex element as the arrays store it: the real part, then the imaginary part.
struct Complex {
    double re;
    double im;
};

inline constexpr std::size_t kDoubleSize = sizeof(double);
inline constexpr std::size_t kComplexSize = sizeof(Complex);
inline constexpr std::size_t kIntegerSize = sizeof(std::int32_t);
inline constexpr std::size_t kFlagSize = sizeof(std::uint8_t);

// Releases the storage when owned, then the extents, then the record; null is left alone.
void destroyArray(NumericArray* array) noexcept;

struct ArrayDeleter {
    void operator()(NumericArray* array) const noexcept { destroyArray(array); }
};

// Sole owner of one record: every array of a call lives in one of these, so it is released
// on every path out of the computation, an exception included.
using ArrayOwner = std::unique_ptr<NumericArray, ArrayDeleter>;

// A new owning record with `rank` zero extents and no storage. Throws std::bad_alloc.
ArrayOwner initArray(std::int32_t rank);

// A record of extents [rows, 1] over caller memory, which the library never frees.
// Throws std::bad_alloc.
ArrayOwner wrapArray(double* data, std::int32_t rows);

// Releases the array (as destroyArray) and leaves the owner empty; an empty owner is left alone.
void freeArray(ArrayOwner& array) noexcept;

// Makes `data` hold the product of the current extents; keeps the first `oldCount` elements
// and zero-fills the rest of new storage. Throws std::bad_alloc when storage cannot be had.
void ensureCapacity(NumericArray& array, std::int32_t oldCount, std::size_t elementSize);

// The capacity that ensureCapacity grows `capacity` to for `needed` elements: from 16 by
// doubling, capped at 2147483647. `needed` must not exceed that cap.
std::int32_t grownCapacity(std::int32_t capacity, std::int64_t needed) noexcept;

// Product of the extents (1 for a record without extents).
std::int64_t elementCount(const NumericArray& array) noexcept;

// Extent `dimension` (counted from 0), or 1 when the record has no such extent.
std::int32_t extent(const NumericArray& array, std::int32_t dimension) noexcept;
inline std::int32_t rows(const NumericArray& array) noexcept { return extent(array, 0); }
inline std::int32_t columns(const NumericArray& array) noexcept { return extent(array, 1); }

// The two-step resize: remember the element count, write the new extents, ensureCapacity.
// resizeArray needs rank 2, resizeVector rank 1 or more: on a record with fewer extents they
// write nothing and throw std::invalid_argument. Both throw std::bad_alloc.
void resizeArray(NumericArray& array, std::int32_t rows, std::int32_t columns,
                 std::size_t elementSize);
void resizeVector(NumericArray& array, std::int32_t length, std::size_t elementSize);
// resizeArray (resizeVector) for a caller that writes every element before it reads any: a record
// without storage gets storage that is not zero-filled first (a large array is then not written
// twice); any other record is resized as by resizeArray.
void resizeArrayForOverwrite(NumericArray& array, std::int32_t rows, std::int32_t columns,
                             std::size_t elementSize);
void resizeVectorForOverwrite(NumericArray& array, std::int32_t length, std::size_t elementSize);

// Typed views of the storage (the record itself does not know its element type).
inline double* doubles(NumericArray& array) noexcept { return static_cast<double*>(array.data); }
inline const double* doubles(const NumericArray& array) noexcept
{
    return static_cast<const double*>(array.data);
}
inline Complex* complexes(NumericArray& array) noexcept
{
    return static_cast<Complex*>(array.data);
}
inline const Complex* complexes(const NumericArray& array) noexcept
{
    return static_cast<const Complex*>(array.data);
}
inline std::int32_t* integers(NumericArray& array) noexcept
{
    return static_cast<std::int32_t*>(array.data);
}
inline const std::int32_t* integers(const NumericArray& array) noexcept
{
    return static_cast<const std::int32_t*>(array.data);
}
inline std::uint8_t* flags(NumericArray& array) noexcept
{
    return static_cast<std::uint8_t*>(array.data);
}
inline const std::uint8_t* flags(const NumericArray& array) noexcept
{
    return static_cast<const std::uint8_t*>(array.data);
}

}  // namespace eddyrate
