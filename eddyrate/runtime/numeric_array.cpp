#include "numeric_array.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace eddyrate {
namespace {

// Storage never starts below this many elements.
constexpr std::int32_t kLeastCapacity = 16;
// Doubling stops here; the next step goes straight to the largest signed 32-bit count.
constexpr std::int32_t kLastDoubling = 1073741824;
constexpr std::int32_t kLargestCapacity = 2147483647;

void* allocateZeroed(std::size_t count, std::size_t elementSize)
{
    if (count == 0) {
        return nullptr;
    }
    void* block = std::calloc(count, elementSize);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

}  // namespace

void destroyArray(NumericArray* array) noexcept
{
    if (array == nullptr) {
        return;
    }
    if (array->data != nullptr && array->ownsData) {
        std::free(array->data);
    }
    std::free(array->sizes);
    std::free(array);
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
    void* storage = allocateZeroed(static_cast<std::size_t>(capacity), elementSize);
    if (array.data != nullptr) {
        // Never read past the old block, whatever count the caller remembered.
        const std::int32_t kept = oldCount < array.capacity ? oldCount : array.capacity;
        if (kept > 0) {
            std::memcpy(storage, array.data, static_cast<std::size_t>(kept) * elementSize);
        }
        if (array.ownsData) {
            std::free(array.data);
        }
    }
    array.data = storage;
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
