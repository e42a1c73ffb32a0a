#include "common/MemoryPool.h"

#include <new>

namespace base {

MemoryPool::MemoryPool() {
    slab_ = static_cast<uint8_t*>(::operator new(kSlabSize, std::nothrow));
    if (!slab_) return;
    // Build the stack so that the first block is popped first.
    for (size_t i = kBlockCount; i-- > 0;) {
        auto* header = reinterpret_cast<BlockHeader*>(slab_ + i * kStride);
        header->next = freeList_;
        header->reserved = nullptr;
        freeList_ = header;
    }
}

MemoryPool::~MemoryPool() { ::operator delete(slab_); }

bool MemoryPool::OwnsBlock(const void* block) const {
    const auto* p = static_cast<const uint8_t*>(block);
    return slab_ && p >= slab_ && p < slab_ + kSlabSize;
}

void* MemoryPool::Allocate(size_t size) {
    {
        ScopedLock<RecursiveSrwLock> guard(lock_);
        if (size <= kBlockSize && slab_ && freeList_) {
            BlockHeader* header = freeList_;
            freeList_ = header->next;
            header->next = nullptr;
            return header + 1;
        }
    }
    return ::operator new(size == 0 ? 1 : size, std::nothrow);
}

void* MemoryPool::TryAllocateBlock() {
    ScopedLock<RecursiveSrwLock> guard(lock_);
    if (!freeList_) return nullptr;
    BlockHeader* header = freeList_;
    freeList_ = header->next;
    header->next = nullptr;
    return header + 1;
}

void MemoryPool::Free(void* block) {
    if (!block) return;
    if (OwnsBlock(block)) {
        ScopedLock<RecursiveSrwLock> guard(lock_);
        BlockHeader* header = static_cast<BlockHeader*>(block) - 1;
        header->next = freeList_;
        freeList_ = header;
        return;
    }
    ::operator delete(block);
}

size_t MemoryPool::FreeBlockCount() {
    ScopedLock<RecursiveSrwLock> guard(lock_);
    size_t n = 0;
    for (BlockHeader* h = freeList_; h; h = h->next) ++n;
    return n;
}

}  // namespace base
