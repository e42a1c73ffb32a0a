#pragma once
#include <windows.h>

#include <atomic>

#include "common/UniqueHandle.h"

namespace base {

// A stop asked for from any thread: a flag the loop reads for nothing, and an event its wait wakes on.
class StopSignal {
public:
    void Request() {
        requested_ = true;
        if (event_) ::SetEvent(event_.Get());
    }
    bool Requested() const { return requested_.load(); }
    HANDLE Handle() const { return event_.Get(); }

private:
    std::atomic<bool> requested_{false};
    UniqueHandle event_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

}  // namespace base
