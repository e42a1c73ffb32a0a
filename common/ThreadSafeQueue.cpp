#include "common/ThreadSafeQueue.h"

namespace base {

ThreadSafeQueue::ThreadSafeQueue() { ::InitializeCriticalSection(&lock_); }
ThreadSafeQueue::~ThreadSafeQueue() { ::DeleteCriticalSection(&lock_); }

void ThreadSafeQueue::Push(wchar_t* item) {
    ::EnterCriticalSection(&lock_);
    items_.push_back(item);
    empty_ = false;
    ::LeaveCriticalSection(&lock_);
}

wchar_t* ThreadSafeQueue::Pop() {
    ::EnterCriticalSection(&lock_);
    wchar_t* item = nullptr;
    if (!items_.empty()) {
        item = items_.front();
        items_.pop_front();
    }
    if (items_.empty()) empty_ = true;
    ::LeaveCriticalSection(&lock_);
    return item;
}

// Hands the whole content to `other` (which is expected to be a private, empty queue of the
// caller's), so that the caller can work through it without holding this queue's lock.
bool ThreadSafeQueue::SwapOut(ThreadSafeQueue& other) {
    ::EnterCriticalSection(&lock_);
    const bool had = !items_.empty();
    if (had) {
        ::EnterCriticalSection(&other.lock_);
        items_.swap(other.items_);
        other.empty_ = other.items_.empty();
        ::LeaveCriticalSection(&other.lock_);
        empty_ = true;
    }
    ::LeaveCriticalSection(&lock_);
    return had;
}

}  // namespace base
