#pragma once
#include <windows.h>

#include <atomic>

namespace base {

// One kind of change posted to a window's thread from any thread: at most one message of the kind
// is on its way, and the thread applies the latest value when it takes it, so a flood of changes
// never fills the queue in front of the next request.
class CoalescedPost {
public:
    // Posts unless a message is on its way already; false when none is and none could be posted.
    bool Post(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
        if (pending_.exchange(true)) return true;
        if (window && ::PostMessageW(window, message, wParam, lParam)) return true;
        pending_ = false;
        return false;
    }
    // The window's thread took the message: called before it reads the latest value, so a change
    // made meanwhile posts again.
    void Taken() { pending_ = false; }
    bool Pending() const { return pending_.load(); }

private:
    std::atomic<bool> pending_{false};
};

}  // namespace base
