#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "common/Locks.h"
#include "common/Ring.h"
#include "common/UniqueHandle.h"

namespace Common::Utils {

// One thread that runs posted tasks in order. ThreadQueue (the logger's) and WorkerThread (the
// overlay manager's) differ only in how they stop and whether the thread itself runs what is left.
class TaskRunner {
public:
    using Task = std::function<void()>;

    virtual ~TaskRunner();
    TaskRunner(const TaskRunner&) = delete;
    TaskRunner& operator=(const TaskRunner&) = delete;

    // False when a thread already exists or an event or the thread cannot be created.
    bool Start(const std::string& name);
    // False when the task was dropped (no thread, or stopping).
    bool Post(Task task);

    bool HasThread() const { return static_cast<bool>(thread_); }
    uint32_t ThreadId() const { return threadId_.load(); }
    bool IsStopping() const { return stopping_.load(); }
    const std::string& Name() const { return name_; }
    size_t PendingTaskCount();

    // Ends the thread at once (TerminateThread) and closes its handles. Only for a thread that did
    // not stop in time: whatever it held stays held.
    void Kill();

protected:
    explicit TaskRunner(bool runRemainingInThread);

    // Shared part of the two Stop operations; returns whether the thread ended within timeoutMs.
    bool SignalStopAndWait(DWORD timeoutMs);
    void RunPendingTasks();
    void DiscardTasks();
    void CloseEvents();
    bool IsOwnThread() const { return ::GetCurrentThreadId() == threadId_.load(); }

    base::AtomicUniqueHandle stopEvent_;
    base::AtomicUniqueHandle taskEvent_;
    base::AtomicUniqueHandle thread_;
    std::atomic<uint32_t> threadId_{0};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> runRemainingOnStop_{false};
    std::string name_;
    base::Ring<Task> tasks_;
    base::CriticalSection lock_;

private:
    struct ThreadStart;
    static unsigned __stdcall ThreadProc(void* param);
    void ThreadBody(HANDLE stopEvent, HANDLE taskEvent);

    const bool runRemainingInThread_;
};

}  // namespace Common::Utils
