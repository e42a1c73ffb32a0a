#pragma once
#include <windows.h>

#include <atomic>

#include "common/Locks.h"
#include "common/Ring.h"

namespace base {

// A locked queue of row pointers. It owns none of them: whoever pops a pointer disposes of it.
class ThreadSafeQueue {
public:
    ThreadSafeQueue() = default;
    ThreadSafeQueue(const ThreadSafeQueue&) = delete;
    ThreadSafeQueue& operator=(const ThreadSafeQueue&) = delete;

    void Push(wchar_t* item);
    wchar_t* Pop();
    // Hands the whole content over to `other` in one locked step (exchanging it with what `other`
    // held, normally nothing); false when there was nothing to hand over.
    bool SwapOut(ThreadSafeQueue& other);
    // Written under the lock, read without it: a hint.
    bool IsEmpty() const { return empty_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> empty_{true};
    Ring<wchar_t*> items_;
    CriticalSection lock_;
};

}  // namespace base
