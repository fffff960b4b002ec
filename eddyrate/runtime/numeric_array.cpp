#include "numeric_array.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

#include "call_arena.h"

namespace eddyrate {
namespace {

// Storage never starts below this many elements.
constexpr std::int32_t kLeastCapacity = 16;
// Doubling stops here; the next step goes straight to the largest signed 32-bit count.
constexpr std::int32_t kLastDoubling = 1073741824;
constexpr std::int32_t kLargestCapacity = 2147483647;

std::size_t byteCount(std::size_t count, std::size_t elementSize)
{
    if (elementSize != 0 && count > SIZE_MAX / elementSize) {
        throw std::bad_alloc();
    }
    return count * elementSize;
}

void* allocateZeroed(std::size_t count, std::size_t elementSize)
{
    if (count == 0) {
        return nullptr;
    }
    return allocateWork(byteCount(count, elementSize));
}

}  // namespace

void destroyArray(NumericArray* array) noexcept
{
    if (array == nullptr) {
        return;
    }
    // The storage came last, so it goes first: the call's arena takes blocks back in reverse.
    if (array->data != nullptr && array->ownsData) {
        releaseWork(array->data);
    }
    releaseWork(array->sizes);
    releaseWork(array);
}

ArrayOwner initArray(std::int32_t rank)
{
    ArrayOwner array(static_cast<NumericArray*>(allocateZeroed(1, sizeof(NumericArray))));
    array->rank = rank < 0 ? 0 : rank;
    array->sizes = static_cast<std::int32_t*>(
        allocateZeroed(static_cast<std::size_t>(array->rank), kIntegerSize));
    array->ownsData = true;
    return array;
}

ArrayOwner wrapArray(double* data, std::int32_t rows)
{
    ArrayOwner array = initArray(2);
    array->sizes[0] = rows;
    array->sizes[1] = 1;
    array->data = data;
    array->capacity = rows;
    array->ownsData = false;
    return array;
}

void freeArray(ArrayOwner& array) noexcept { array.reset(); }

std::int64_t elementCount(const NumericArray& array) noexcept
{
    std::int64_t count = 1;
    for (std::int32_t k = 0; k < array.rank; ++k) {
        count *= array.sizes[k];
    }
    return count;
}

std::int32_t extent(const NumericArray& array, std::int32_t dimension) noexcept
{
    return dimension < array.rank ? array.sizes[dimension] : 1;
}

std::int32_t grownCapacity(std::int32_t capacity, std::int64_t needed) noexcept
{
    std::int32_t grown = capacity < kLeastCapacity ? kLeastCapacity : capacity;
    while (grown < needed) {
        grown = grown >= kLastDoubling ? kLargestCapacity : grown * 2;
    }
    return grown;
}

void ensureCapacity(NumericArray& array, std::int32_t oldCount, std::size_t elementSize)
{
    const std::int64_t needed = elementCount(array);
    if (needed <= array.capacity) {
        return;
    }
    if (needed > kLargestCapacity) {
        throw std::bad_alloc();
    }
    const std::int32_t capacity = grownCapacity(array.capacity, needed);
    const std::size_t bytes = byteCount(static_cast<std::size_t>(capacity), elementSize);
    // Never read past the old block, whatever count the caller remembered.
    const std::int32_t kept = oldCount < array.capacity ? oldCount : array.capacity;
    const std::size_t keptBytes = kept > 0 ? static_cast<std::size_t>(kept) * elementSize : 0;
    if (array.data != nullptr && array.ownsData) {
        array.data = growWork(array.data, static_cast<std::size_t>(array.capacity) * elementSize,
                              keptBytes, bytes);
    } else {
        // Caller memory is copied, never released.
        void* storage = allocateWork(bytes);
        if (array.data != nullptr && keptBytes > 0) {
            std::memcpy(storage, array.data, keptBytes);
        }
        array.data = storage;
    }
    array.capacity = capacity;
    array.ownsData = true;
}

void resizeArray(NumericArray& array, std::int32_t rowCount, std::int32_t columnCount,
                 std::size_t elementSize)
{
    if (array.rank < 2) {
        throw std::invalid_argument("resizeArray needs a record of two extents");
    }
    const auto oldCount = static_cast<std::int32_t>(elementCount(array));
    array.sizes[0] = rowCount;
    array.sizes[1] = columnCount;
    ensureCapacity(array, oldCount, elementSize);
}

namespace {

// Storage for a record without any, for `needed` elements, not zero-filled. A later growth
// keeps only the elements counted then and zero-fills the rest, so the unwritten tail of the
// capacity is never read.
void allocateForOverwrite(NumericArray& array, std::int64_t needed, std::size_t elementSize)
{
    if (needed > kLargestCapacity) {
        throw std::bad_alloc();
    }
    const std::int32_t capacity = grownCapacity(array.capacity, needed);
    array.data = allocateScratch(byteCount(static_cast<std::size_t>(capacity), elementSize));
    array.capacity = capacity;
    array.ownsData = true;
}

}  // namespace

void resizeArrayForOverwrite(NumericArray& array, std::int32_t rowCount, std::int32_t columnCount,
                             std::size_t elementSize)
{
    if (array.rank < 2 || array.data != nullptr || rowCount <= 0 || columnCount <= 0) {
        resizeArray(array, rowCount, columnCount, elementSize);
        return;
    }
    allocateForOverwrite(array, static_cast<std::int64_t>(rowCount) * columnCount, elementSize);
    array.sizes[0] = rowCount;
    array.sizes[1] = columnCount;
}

void resizeVectorForOverwrite(NumericArray& array, std::int32_t length, std::size_t elementSize)
{
    if (array.rank != 1 || array.data != nullptr || length <= 0) {
        resizeVector(array, length, elementSize);
        return;
    }
    allocateForOverwrite(array, length, elementSize);
    array.sizes[0] = length;
}

void resizeVector(NumericArray& array, std::int32_t length, std::size_t elementSize)
{
    if (array.rank < 1) {
        throw std::invalid_argument("resizeVector needs a record with an extent");
    }
    const auto oldCount = static_cast<std::int32_t>(elementCount(array));
    array.sizes[0] = length;
    ensureCapacity(array, oldCount, elementSize);
}

}  // namespace eddyrate
