#pragma once
#include <windows.h>

#include <cstddef>
#include <vector>

namespace base {

// A locked queue of row pointers. It owns none of them: whoever pops a pointer disposes of it.
// Items sit in a ring that only ever grows, so that a queue in steady use allocates nothing.
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
    struct Ring {
        std::vector<wchar_t*> slots;
        size_t head = 0;
        size_t count = 0;
        void PushBack(wchar_t* item);
        wchar_t* PopFront();
    };

    volatile bool empty_ = true;
    Ring items_;
    CRITICAL_SECTION lock_;
};

}  // namespace base
