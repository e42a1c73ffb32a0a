#include "common/ThreadSafeQueue.h"

#include <utility>

namespace base {

void ThreadSafeQueue::Ring::PushBack(wchar_t* item) {
    if (count == slots.size()) {
        std::vector<wchar_t*> grown(slots.empty() ? 128 : slots.size() * 2);
        for (size_t i = 0; i < count; ++i) grown[i] = slots[(head + i) % slots.size()];
        slots.swap(grown);
        head = 0;
    }
    slots[(head + count) % slots.size()] = item;
    ++count;
}

wchar_t* ThreadSafeQueue::Ring::PopFront() {
    if (count == 0) return nullptr;
    wchar_t* item = slots[head];
    head = (head + 1) % slots.size();
    --count;
    return item;
}

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
    wchar_t* item = items_.PopFront();
    if (items_.count == 0) empty_ = true;
    ::LeaveCriticalSection(&lock_);
    return item;
}

bool ThreadSafeQueue::SwapOut(ThreadSafeQueue& other) {
    ::EnterCriticalSection(&lock_);
    const bool had = items_.count != 0;
    if (had) {
        ::EnterCriticalSection(&other.lock_);
        std::swap(items_, other.items_);
        other.empty_ = other.items_.count == 0;
        ::LeaveCriticalSection(&other.lock_);
        empty_ = true;
    }
    ::LeaveCriticalSection(&lock_);
    return had;
}

}  // namespace base
