#include "call_arena.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace eddyrate {

// A chunk is one heap block: this record, then the bytes handed out in order.
struct CallArena::Chunk {
    Chunk* previous;
    std::size_t size;  // bytes after the record
    std::size_t used;  // bytes handed out (and not given back) from the start
    std::byte* bytes() noexcept { return reinterpret_cast<std::byte*>(this + 1); }
};

// Written just before every block: where the chunk stood before it, so that a block given
// back last can be taken back off the top.
struct CallArena::BlockHeader {
    Chunk* chunk;
    std::size_t usedBefore;
    BlockHeader* previousLast;
    bool released;
};

namespace {

// The largest alignment a block is given: the vector units' whole-vector loads.
constexpr std::size_t kMostAlignment = 64;
static_assert(sizeof(std::max_align_t) <= kMostAlignment);

thread_local CallArena* currentArena = nullptr;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif
#else
constexpr bool kSanitizedBuild = false;
#endif

std::atomic<bool> chunkPerBlock{kSanitizedBuild};

std::size_t alignUp(std::size_t offset, std::size_t alignment)
{
    return (offset + alignment - 1) & ~(alignment - 1);
}

// Outside an arena: one heap block per request, aligned inside an over-sized block whose
// address is kept just before the aligned start.
void* heapAllocate(std::size_t bytes, std::size_t alignment, bool zeroFill)
{
    const std::size_t extra = alignment + sizeof(void*);
    if (bytes > SIZE_MAX - extra) {
        throw std::bad_alloc();
    }
    void* raw = zeroFill ? std::calloc(1, bytes + extra) : std::malloc(bytes + extra);
    if (raw == nullptr) {
        throw std::bad_alloc();
    }
    const auto start = reinterpret_cast<std::uintptr_t>(raw) + sizeof(void*);
    void* block = reinterpret_cast<void*>(alignUp(start, alignment));
    static_cast<void**>(block)[-1] = raw;
    return block;
}

void heapRelease(void* block) noexcept { std::free(static_cast<void**>(block)[-1]); }

}  // namespace

bool setChunkPerBlock(bool perBlock) noexcept { return chunkPerBlock.exchange(perBlock); }

CallArena::CallArena(std::size_t firstChunk, std::size_t peakChunk) noexcept
    : firstChunk_(firstChunk), peakChunk_(peakChunk), chunkPerBlock_(chunkPerBlock)
{
}

CallArena::~CallArena()
{
    while (newest_ != nullptr) {
        Chunk* previous = newest_->previous;
        std::free(newest_);
        newest_ = previous;
    }
}

void* CallArena::allocate(std::size_t bytes, std::size_t alignment, bool zeroFill)
{
    alignment = std::max(alignment, alignof(BlockHeader));
    if (alignment > kMostAlignment || bytes > SIZE_MAX / 4) {
        throw std::bad_alloc();
    }
    // Where the block would start and end in `chunk`, its header just before it.
    const auto place = [&](Chunk* chunk, std::size_t& start) {
        const auto base = reinterpret_cast<std::uintptr_t>(chunk->bytes());
        start = alignUp(base + chunk->used + sizeof(BlockHeader), alignment) - base;
        return start <= chunk->size && bytes <= chunk->size - start;
    };
    std::size_t start = 0;
    if (newest_ == nullptr || !place(newest_, start)) {
        const std::size_t least = bytes + sizeof(BlockHeader) + kMostAlignment;
        // A chunk after the peak one is twice all before it: a call that outgrows its estimate
        // takes few, and the largest chunk stays more than half of all, which keeps a heap that
        // trims at twice its largest recent block from trimming them between calls.
        const std::size_t wanted = newest_ == nullptr             ? firstChunk_
                                   : newest_->previous == nullptr ? peakChunk_
                                                                  : 2 * reserved_;
        const std::size_t size = chunkPerBlock_ ? least : std::max(wanted, least);
        // Not zero-filled here: a heap block that is reused would be cleared twice.
        auto* chunk = static_cast<Chunk*>(std::malloc(sizeof(Chunk) + size));
        if (chunk == nullptr) {
            throw std::bad_alloc();
        }
        *chunk = Chunk{newest_, size, 0};
        newest_ = chunk;
        reserved_ += size;
        place(chunk, start);
    }
    Chunk* chunk = newest_;
    std::byte* block = chunk->bytes() + start;
    auto* header = reinterpret_cast<BlockHeader*>(block) - 1;
    *header = BlockHeader{chunk, chunk->used, last_, false};
    last_ = header;
    chunk->used = start + bytes;
    if (zeroFill) {
        std::memset(block, 0, bytes);
    }
    return block;
}

void CallArena::release(void* block) noexcept
{
    reinterpret_cast<BlockHeader*>(block)[-1].released = true;
    while (last_ != nullptr && last_->released) {
        last_->chunk->used = last_->usedBefore;
        last_ = last_->previousLast;
    }
}

bool CallArena::growInPlace(void* block, std::size_t keptBytes, std::size_t bytes) noexcept
{
    auto* header = static_cast<BlockHeader*>(block) - 1;
    if (header != last_ || header->chunk != newest_ || bytes < keptBytes) {
        return false;
    }
    Chunk* chunk = header->chunk;
    const auto start = static_cast<std::size_t>(static_cast<std::byte*>(block) - chunk->bytes());
    if (bytes > chunk->size - start) {
        return false;
    }
    chunk->used = start + bytes;
    std::memset(static_cast<std::byte*>(block) + keptBytes, 0, bytes - keptBytes);
    return true;
}

bool CallArena::holds(const void* block) const noexcept
{
    const auto* byte = static_cast<const std::byte*>(block);
    for (Chunk* chunk = newest_; chunk != nullptr; chunk = chunk->previous) {
        if (byte >= chunk->bytes() && byte < chunk->bytes() + chunk->size) {
            return true;
        }
    }
    return false;
}

ActiveArena::ActiveArena(CallArena& arena) noexcept : previous_(currentArena)
{
    currentArena = &arena;
}

ActiveArena::~ActiveArena() { currentArena = previous_; }

void* allocateWork(std::size_t bytes, std::size_t alignment)
{
    if (currentArena != nullptr) {
        return currentArena->allocate(bytes, alignment, true);
    }
    return heapAllocate(bytes, alignment, true);
}

void* allocateScratch(std::size_t bytes, std::size_t alignment)
{
    if (currentArena != nullptr) {
        return currentArena->allocate(bytes, alignment, false);
    }
    return heapAllocate(bytes, alignment, false);
}

void releaseWork(void* block) noexcept
{
    if (block == nullptr) {
        return;
    }
    if (currentArena != nullptr && currentArena->holds(block)) {
        currentArena->release(block);
    } else {
        heapRelease(block);
    }
}

void* growWork(void* block, std::size_t oldBytes, std::size_t keptBytes, std::size_t bytes,
               std::size_t alignment)
{
    if (block != nullptr && currentArena != nullptr && currentArena->holds(block) &&
        currentArena->growInPlace(block, keptBytes, bytes)) {
        return block;
    }
    void* grown = allocateWork(bytes, alignment);
    if (block != nullptr) {
        std::memcpy(grown, block, std::min(keptBytes, oldBytes));
        releaseWork(block);
    }
    return grown;
}

}  // namespace eddyrate
