#include "common/ThreadSafeQueue.h"

namespace base {

void ThreadSafeQueue::Push(wchar_t* item) {
    ScopedLock hold(lock_);
    items_.PushBack(item);
    empty_ = false;
}

wchar_t* ThreadSafeQueue::Pop() {
    ScopedLock hold(lock_);
    wchar_t* item = items_.Empty() ? nullptr : items_.PopFront();
    if (items_.Empty()) empty_ = true;
    return item;
}

bool ThreadSafeQueue::SwapOut(ThreadSafeQueue& other) {
    ScopedLock hold(lock_);
    if (items_.Empty()) return false;
    {
        ScopedLock holdOther(other.lock_);
        items_.Swap(other.items_);
        other.empty_ = other.items_.Empty();
    }
    empty_ = true;
    return true;
}

}  // namespace base
