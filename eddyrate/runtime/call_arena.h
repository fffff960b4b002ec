#pragma once
// The working memory of one call. A C caller's heap gives large blocks back to the system
// when they are released and faults them in again on the next call; a call that takes its
// memory in a few large chunks, hands it out in order and releases the chunks as it returns
// keeps the caller's heap steady from one burst to the next. Every block still belongs to the
// call: nothing outlives it.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace eddyrate {

class CallArena {
public:
    // `firstChunk`: bytes of the first chunk, taken when the first block is asked for;
    // `peakChunk`: bytes of the chunk taken when the first one is full, the call's expected
    // peak. Later chunks double what is reserved.
    CallArena(std::size_t firstChunk, std::size_t peakChunk) noexcept;
    ~CallArena();
    CallArena(const CallArena&) = delete;
    CallArena& operator=(const CallArena&) = delete;

    // `bytes` of storage aligned to `alignment` (a power of two, at most 64), zero-filled when
    // asked. Throws std::bad_alloc when no chunk can be had.
    void* allocate(std::size_t bytes, std::size_t alignment, bool zeroFill = true);
    // Gives `block` back; the most recent blocks given back are reused by the next requests.
    void release(void* block) noexcept;
    // Grows the most recent block in place to `bytes`, keeping its first `keptBytes` and
    // zero-filling the rest, when it is `block` and its chunk has room; false otherwise,
    // leaving everything as it was.
    bool growInPlace(void* block, std::size_t keptBytes, std::size_t bytes) noexcept;
    bool holds(const void* block) const noexcept;

    // Bytes of all chunks taken so far.
    std::size_t reservedBytes() const noexcept { return reserved_; }

private:
    struct Chunk;
    struct BlockHeader;
    Chunk* newest_ = nullptr;
    BlockHeader* last_ = nullptr;  // most recent block still handed out, or null
    std::size_t firstChunk_;
    std::size_t peakChunk_;
    std::size_t reserved_ = 0;
    bool chunkPerBlock_;
};

// Gives every block a chunk of its own, as if there were no arena: each array then meets the
// heap (and an address sanitizer's bounds) on its own, and an allocation-failure sweep can
// refuse each of them in turn. The default in sanitizer builds; takes effect for arenas made
// afterwards. Returns the setting it replaces.
bool setChunkPerBlock(bool perBlock) noexcept;

// Makes `arena` the current thread's call arena for the scope: the numeric arrays and the
// kernels' work storage take their memory from it.
class ActiveArena {
public:
    explicit ActiveArena(CallArena& arena) noexcept;
    ~ActiveArena();
    ActiveArena(const ActiveArena&) = delete;
    ActiveArena& operator=(const ActiveArena&) = delete;

private:
    CallArena* previous_;
};

// Working storage of the current call: from its arena when one is active, else from the heap.
// allocateWork gives zero-filled bytes and throws std::bad_alloc; releaseWork takes null.
void* allocateWork(std::size_t bytes, std::size_t alignment = alignof(std::max_align_t));
void releaseWork(void* block) noexcept;
// allocateWork without the zero fill, for storage its user writes in full before it reads any
// of it (the lock-step kernels' work vectors): a large block is then not written twice.
// Released with releaseWork.
void* allocateScratch(std::size_t bytes, std::size_t alignment = alignof(std::max_align_t));
// Grows a block of allocateWork to `bytes`, keeping its first `keptBytes`; the tail is zero.
// Returns the block, moved or not. Throws std::bad_alloc, leaving `block` as it was.
void* growWork(void* block, std::size_t oldBytes, std::size_t keptBytes, std::size_t bytes,
               std::size_t alignment = alignof(std::max_align_t));

// An array of `count` zero-filled T (a trivial type) in the call's working storage, released
// with its owner. Throws std::bad_alloc.
struct WorkDeleter {
    void operator()(const void* block) const noexcept { releaseWork(const_cast<void*>(block)); }
};
template <typename T>
using WorkArray = std::unique_ptr<T[], WorkDeleter>;
template <typename T>
WorkArray<T> makeWorkArray(std::size_t count)
{
    return WorkArray<T>(static_cast<T*>(allocateWork(count * sizeof(T), alignof(T))));
}

}  // namespace eddyrate
