#pragma once
#include <cstddef>
#include <cstdint>

#include "common/Locks.h"

namespace base {

// Fixed-size blocks carved from one slab, so that the logger's rows need no heap allocation while
// fewer than kBlockCount are in flight. Anything larger, or beyond the slab, goes to the heap.
class MemoryPool {
public:
    static constexpr size_t kBlockSize = 4616;
    static constexpr size_t kBlockCount = 100;

    struct BlockHeader {
        BlockHeader* next;
        void* reserved;
    };
    static_assert(sizeof(BlockHeader) == 16, "each block is preceded by a 16-byte link header");
    static constexpr size_t kStride = sizeof(BlockHeader) + kBlockSize;
    static constexpr size_t kSlabSize = kStride * kBlockCount;
    static_assert(kSlabSize == 463200, "slab size");

    MemoryPool();
    ~MemoryPool();
    MemoryPool(const MemoryPool&) = delete;
    MemoryPool& operator=(const MemoryPool&) = delete;

    void* Allocate(size_t size);
    // A block from the slab, or null when none is free (no heap fallback).
    void* TryAllocateBlock();
    void Free(void* block);

    // For tests and diagnostics.
    bool OwnsBlock(const void* block) const;
    size_t FreeBlockCount();

private:
    uint8_t* slab_ = nullptr;
    BlockHeader* freeList_ = nullptr;
    RecursiveSrwLock lock_;
};

}  // namespace base
