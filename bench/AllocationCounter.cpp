#include "bench/AllocationCounter.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <new>

namespace {
std::atomic<long long> gAllocations{0};

void* CountedAlloc(size_t size) {
    ++gAllocations;
    return ::HeapAlloc(::GetProcessHeap(), 0, size ? size : 1);
}
void CountedFree(void* p) {
    if (p) ::HeapFree(::GetProcessHeap(), 0, p);
}
}  // namespace

long long AllocationCount() { return gAllocations.load(); }

void* operator new(size_t size) {
    if (void* p = CountedAlloc(size)) return p;
    throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return CountedAlloc(size); }
void* operator new[](size_t size) { return operator new(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return CountedAlloc(size); }
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete(void* p, size_t) noexcept { CountedFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete[](void* p, size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { CountedFree(p); }
