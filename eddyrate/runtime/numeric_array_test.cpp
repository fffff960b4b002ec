#include "numeric_array.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>
#include <vector>

#include "call_arena.h"
#include "nonfinite.h"

namespace eddyrate {
namespace {

TEST(NumericArray, StartsEmptyAndOwning)
{
    ArrayOwner array = initArray(2);
    EXPECT_EQ(array->data, nullptr);
    EXPECT_EQ(array->capacity, 0);
    EXPECT_EQ(array->rank, 2);
    EXPECT_TRUE(array->ownsData);
    EXPECT_EQ(rows(*array), 0);
    EXPECT_EQ(columns(*array), 0);
    EXPECT_EQ(elementCount(*array), 0);
}

TEST(NumericArray, GrowsFromSixteenByDoublingUpToTheCap)
{
    struct Case {
        std::int32_t capacity;
        std::int64_t needed;
        std::int32_t grown;
    };
    const Case cases[] = {
        {0, 1, 16},
        {0, 16, 16},
        {0, 17, 32},
        {16, 100, 128},
        {0, 1073741824, 1073741824},
        {0, 1073741825, 2147483647},
        {1073741824, 2147483647, 2147483647},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(grownCapacity(c.capacity, c.needed), c.grown) << c.capacity << " " << c.needed;
    }
}

TEST(NumericArray, GrowthKeepsOldElementsAndZeroFillsTheRest)
{
    ArrayOwner array = initArray(2);
    resizeArray(*array, 3, 1, kDoubleSize);
    EXPECT_EQ(array->capacity, 16);
    doubles(*array)[0] = 1.0;
    doubles(*array)[1] = 2.0;
    doubles(*array)[2] = 3.0;
    resizeArray(*array, 17, 1, kDoubleSize);
    EXPECT_EQ(array->capacity, 32);
    EXPECT_EQ(doubles(*array)[2], 3.0);
    for (int k = 3; k < 32; ++k) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(doubles(*array)[k]), 0u) << k;
    }
}

TEST(NumericArray, ShrinkingAndRegrowingWithinCapacityExposesOldValues)
{
    ArrayOwner array = initArray(1);
    resizeVector(*array, 4, kDoubleSize);
    double* storage = doubles(*array);
    storage[3] = 7.5;
    resizeVector(*array, 1, kDoubleSize);
    resizeVector(*array, 4, kDoubleSize);
    EXPECT_EQ(doubles(*array), storage);
    EXPECT_EQ(doubles(*array)[3], 7.5);
}

TEST(NumericArray, GrowingAWrapperCopiesAndLeavesCallerMemoryAlone)
{
    std::vector<double> caller{1.0, 2.0, 3.0};
    ArrayOwner wrapper = wrapArray(caller.data(), 3);
    EXPECT_FALSE(wrapper->ownsData);
    EXPECT_EQ(rows(*wrapper), 3);
    EXPECT_EQ(columns(*wrapper), 1);
    EXPECT_EQ(wrapper->capacity, 3);
    resizeArray(*wrapper, 2, 1, kDoubleSize);
    EXPECT_EQ(doubles(*wrapper), caller.data());

    resizeArray(*wrapper, 5, 1, kDoubleSize);
    EXPECT_TRUE(wrapper->ownsData);
    EXPECT_NE(doubles(*wrapper), caller.data());
    // Only the two elements of the remembered count travel; the rest starts as zero.
    EXPECT_EQ(doubles(*wrapper)[1], 2.0);
    EXPECT_EQ(doubles(*wrapper)[2], 0.0);
    doubles(*wrapper)[0] = 9.0;
    EXPECT_EQ(caller[0], 1.0);
    // The sanitizer build reports a free of the caller's block here if one happened.
    wrapper.reset();
    EXPECT_EQ(caller[2], 3.0);
}

TEST(NumericArray, FreeingClearsTheOwnerAndIgnoresAnEmptyOne)
{
    ArrayOwner array = initArray(2);
    resizeArray(*array, 4, 4, kComplexSize);
    freeArray(array);
    EXPECT_EQ(array, nullptr);
    freeArray(array);
    EXPECT_EQ(array, nullptr);
    destroyArray(nullptr);
}

TEST(NumericArray, RefusesACountBeyondThirtyTwoBits)
{
    ArrayOwner array = initArray(2);
    EXPECT_THROW(resizeArray(*array, 65536, 65536, kFlagSize), std::bad_alloc);
}

TEST(NonFinite, ConstantsCarryTheirBitPatterns)
{
    EXPECT_EQ(std::bit_cast<std::uint64_t>(kInfinity), 0x7FF0000000000000u);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(kMinusInfinity), 0xFFF0000000000000u);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(kNaN), 0xFFF8000000000000u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(kInfinityF), 0x7F800000u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(kMinusInfinityF), 0xFF800000u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(kNaNF), 0xFFC00000u);
}

TEST(NonFinite, TestsTellInfinitiesFromNotANumber)
{
    const volatile double one = 1.0;
    EXPECT_TRUE(isInfinite(kInfinity));
    EXPECT_TRUE(isInfinite(kMinusInfinity));
    EXPECT_FALSE(isInfinite(kNaN));
    EXPECT_FALSE(isInfinite(1.0e308));
    EXPECT_TRUE(isNaN(kNaN));
    EXPECT_TRUE(isNaN((one - one) / (one - one)));
    EXPECT_FALSE(isNaN(kInfinity));
    EXPECT_FALSE(isNaN(kMinusInfinity));
    EXPECT_TRUE(isInfinite(kMinusInfinityF));
    EXPECT_FALSE(isInfinite(kNaNF));
    EXPECT_TRUE(isNaN(kNaNF));
    EXPECT_FALSE(isNaN(kInfinityF));
}

// Inside a call's arena the arrays behave exactly as on the heap: growth keeps the remembered
// elements and zero-fills the rest, whether the block grows in place or moves, and storage
// given back and handed out again starts as zeros.
TEST(CallArena, ArraysGrowAndReuseStorageAsOnTheHeap)
{
    CallArena arena(4096, 4096);
    const ActiveArena active(arena);
    ArrayOwner moved = initArray(2);
    resizeArray(*moved, 16, 1, kDoubleSize);
    ArrayOwner inPlace = initArray(2);
    for (ArrayOwner* array : {&moved, &inPlace}) {
        resizeArray(**array, 16, 1, kDoubleSize);
        for (int k = 0; k < 16; ++k) {
            doubles(**array)[k] = k + 1.0;
        }
        (*array)->sizes[0] = 3;  // only three elements are remembered across the growth
        resizeArray(**array, 40, 1, kDoubleSize);
        EXPECT_EQ(doubles(**array)[2], 3.0);
        for (int k = 3; k < 64; ++k) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(doubles(**array)[k]), 0u) << k;
        }
    }
    auto* given = static_cast<std::uint8_t*>(allocateWork(512));
    std::fill_n(given, 512, 0xFF);
    releaseWork(given);
    auto* again = static_cast<std::uint8_t*>(allocateWork(512));
    EXPECT_EQ(again, given);
    EXPECT_EQ(std::count(again, again + 512, 0), 512);
    releaseWork(again);
    EXPECT_EQ(arena.reservedBytes(), 4096u);
}

TEST(CallArena, TakesAFurtherChunkWhenTheFirstIsFullAndAlignsBlocks)
{
    CallArena arena(256, 256);
    const ActiveArena active(arena);
    void* small = allocateWork(100, 64);
    void* large = allocateWork(10000, 64);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(small) % 64, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(large) % 64, 0u);
    EXPECT_TRUE(arena.holds(small));
    EXPECT_TRUE(arena.holds(large));
    EXPECT_GE(arena.reservedBytes(), 256u + 10000u);
    releaseWork(large);
    releaseWork(small);
}

}  // namespace
}  // namespace eddyrate
