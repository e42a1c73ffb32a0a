#pragma once
#include <windows.h>

#include "common/Ring.h"

namespace base {

// A locked queue of row pointers. It owns none of them: whoever pops a pointer disposes of it.
class ThreadSafeQueue {
public:
    ThreadSafeQueue();
    ~ThreadSafeQueue();
    ThreadSafeQueue(const ThreadSafeQueue&) = delete;
    ThreadSafeQueue& operator=(const ThreadSafeQueue&) = delete;

    void Push(wchar_t* item);
    wchar_t* Pop();
    // Hands the whole content over to `other` in one locked step (exchanging it with what `other`
    // held, normally nothing); false when there was nothing to hand over.
    bool SwapOut(ThreadSafeQueue& other);
    // Written under the lock, read without it: a hint.
    bool IsEmpty() const { return empty_; }

private:
    volatile bool empty_ = true;
    Ring<wchar_t*> items_;
    CRITICAL_SECTION lock_;
};

}  // namespace base
