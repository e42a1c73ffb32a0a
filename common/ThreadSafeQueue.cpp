#include "common/ThreadSafeQueue.h"

namespace base {

ThreadSafeQueue::ThreadSafeQueue() { ::InitializeCriticalSection(&lock_); }
ThreadSafeQueue::~ThreadSafeQueue() { ::DeleteCriticalSection(&lock_); }

void ThreadSafeQueue::Push(wchar_t* item) {
    ::EnterCriticalSection(&lock_);
    items_.PushBack(item);
    empty_ = false;
    ::LeaveCriticalSection(&lock_);
}

wchar_t* ThreadSafeQueue::Pop() {
    ::EnterCriticalSection(&lock_);
    wchar_t* item = items_.Empty() ? nullptr : items_.PopFront();
    if (items_.Empty()) empty_ = true;
    ::LeaveCriticalSection(&lock_);
    return item;
}

bool ThreadSafeQueue::SwapOut(ThreadSafeQueue& other) {
    ::EnterCriticalSection(&lock_);
    const bool had = !items_.Empty();
    if (had) {
        ::EnterCriticalSection(&other.lock_);
        items_.Swap(other.items_);
        other.empty_ = other.items_.Empty();
        ::LeaveCriticalSection(&other.lock_);
        empty_ = true;
    }
    ::LeaveCriticalSection(&lock_);
    return had;
}

}  // namespace base
