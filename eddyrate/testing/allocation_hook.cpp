#include "allocation_hook.h"

#include <malloc.h>

#include <cstdlib>
#include <new>

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);
void __real_free(void* block);
}

namespace eddyrate::testing {
namespace {

AllocationCounts counts{};
std::int64_t refused = 0;

// True when this allocation is the one to refuse.
bool refuseNext()
{
    ++counts.allocations;
    return counts.allocations == refused;
}

void held(void* block)
{
    if (block == nullptr) {
        return;
    }
    ++counts.liveBlocks;
    counts.liveBytes += malloc_usable_size(block);
    if (counts.liveBytes > counts.peakBytes) {
        counts.peakBytes = counts.liveBytes;
    }
}

void released(void* block)
{
    if (block == nullptr) {
        return;
    }
    --counts.liveBlocks;
    counts.liveBytes -= malloc_usable_size(block);
}

}  // namespace

void resetAllocationCounts()
{
    counts.allocations = 0;
    counts.peakBytes = counts.liveBytes;
    refused = 0;
}

AllocationCounts allocationCounts() { return counts; }

void refuseAllocation(std::int64_t k) { refused = k; }

}  // namespace eddyrate::testing

using namespace eddyrate::testing;

extern "C" void* __wrap_malloc(std::size_t size)
{
    if (refuseNext()) {
        return nullptr;
    }
    void* block = __real_malloc(size);
    held(block);
    return block;
}

extern "C" void* __wrap_calloc(std::size_t count, std::size_t size)
{
    if (refuseNext()) {
        return nullptr;
    }
    void* block = __real_calloc(count, size);
    held(block);
    return block;
}

extern "C" void* __wrap_realloc(void* block, std::size_t size)
{
    if (refuseNext()) {
        return nullptr;
    }
    released(block);
    void* grown = __real_realloc(block, size);
    held(grown != nullptr ? grown : block);
    return grown;
}

extern "C" void __wrap_free(void* block)
{
    released(block);
    __real_free(block);
}

// The kernels' aligned work room comes from the aligned operator new, which the C++ library
// serves without passing through the wrapped malloc; these replacements count it too.
void* operator new(std::size_t size, std::align_val_t alignment)
{
    if (refuseNext()) {
        throw std::bad_alloc();
    }
    void* block = nullptr;
    const std::size_t least = alignment < std::align_val_t{sizeof(void*)}
                                  ? sizeof(void*)
                                  : static_cast<std::size_t>(alignment);
    if (posix_memalign(&block, least, size == 0 ? 1 : size) != 0) {
        throw std::bad_alloc();
    }
    held(block);
    return block;
}

void* operator new[](std::size_t size, std::align_val_t alignment)
{
    return ::operator new(size, alignment);
}

void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
