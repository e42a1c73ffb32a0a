#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "common/Event.h"
#include "common/Locks.h"
#include "common/UniqueHandle.h"

namespace base::process {

// Waits on a thread of its own for one process to end, then reports its id and exit code: first
// to the delegate, then to the callback. One watchdog watches one process.
class ProcessWatchDog {
public:
    class Delegate {
    public:
        virtual void ProcessClosed(ProcessWatchDog* watchdog, uint32_t pid, uint32_t exitCode) = 0;

    protected:
        ~Delegate() = default;
    };

    using Callback = std::function<void(ProcessWatchDog*, DWORD pid, DWORD exitCode)>;

    explicit ProcessWatchDog(Delegate* delegate);
    virtual ~ProcessWatchDog();
    ProcessWatchDog(const ProcessWatchDog&) = delete;
    ProcessWatchDog& operator=(const ProcessWatchDog&) = delete;

    // Opens the process itself (and closes the handle when the wait ends).
    bool Watch(DWORD pid, Callback callback);
    // Watches a handle that stays the caller's.
    bool WatchHandle(HANDLE process, Callback callback);
    // Ends the watch without a report and waits for the watcher thread, answering messages sent to
    // this thread meanwhile, at most `waitMs`. False when the thread was still in its report then:
    // it goes on without touching this object. Not from a report.
    static constexpr DWORD kStopWaitMs = 3000;
    bool Stop(DWORD waitMs = kStopWaitMs);

    DWORD ProcessId() const { return pid_; }
    bool IsWatching() const { return static_cast<bool>(thread_); }

private:
    struct WatchStart;
    bool Start(HANDLE process, DWORD pid, UniqueHandle owned, Callback callback);
    static DWORD WINAPI WatcherThread(void* param);

    Delegate* delegate_;
    Callback callback_;
    DWORD pid_ = 0;
    std::shared_ptr<Event> stopEvent_;
    UniqueHandle thread_;
    CriticalSection lock_;
};

}  // namespace base::process
