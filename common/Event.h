#pragma once
#include <windows.h>

#include "common/UniqueHandle.h"

namespace base {

// A signal event (auto-reset) paired with a cancel event (manual-reset): closing wakes every waiter
// with false, so no one is left waiting on a handle that is going away.
class Event {
public:
    Event() = default;
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool Create();
    bool Signal();
    bool Reset();
    bool Wait(DWORD timeoutMs);
    void Close();

    HANDLE SignalHandle() const { return signal_.Get(); }
    HANDLE CancelHandle() const { return cancel_.Get(); }
    bool IsValid() const { return signal_ && cancel_; }

private:
    UniqueHandle signal_;
    UniqueHandle cancel_;
};

}  // namespace base
