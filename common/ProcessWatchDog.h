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
    // Ends the watch without a report; joins the watcher thread. Not from a report.
    void Stop();

    DWORD ProcessId() const { return pid_; }
    bool IsWatching() const { return static_cast<bool>(thread_); }

private:
    struct WatchStart;
    bool Start(HANDLE process, DWORD pid, UniqueHandle owned, Callback callback);
    static DWORD WINAPI WatcherThread(void* param);
    void WatchOnce(HANDLE process);

    Delegate* delegate_;
    Callback callback_;
    DWORD pid_ = 0;
    std::shared_ptr<Event> stopEvent_;
    UniqueHandle thread_;
    CriticalSection lock_;
};

}  // namespace base::process
