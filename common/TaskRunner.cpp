#include "common/TaskRunner.h"

#include <process.h>

#include <memory>

#include "common/GuardedStep.h"
#include "common/MessageWait.h"
#include "common/ThreadName.h"

namespace Common::Utils {

namespace {
HANDLE Duplicate(HANDLE h) {
    HANDLE copy = nullptr;
    if (!h || !::DuplicateHandle(::GetCurrentProcess(), h, ::GetCurrentProcess(), &copy, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}
}  // namespace

// The thread waits on its own copies of the two events, so that a Stop that gives up waiting can
// close the runner's handles without pulling them from under a wait.
struct TaskRunner::ThreadStart {
    TaskRunner* runner;
    base::UniqueHandle stopEvent;
    base::UniqueHandle taskEvent;
};

TaskRunner::TaskRunner(bool runRemainingInThread) : runRemainingInThread_(runRemainingInThread) {}

TaskRunner::~TaskRunner() {
    // Ended normally first: a thread killed while it still starts up may hold the loader's or the
    // heap's lock for good, and the next allocation anywhere would hang.
    if (thread_ && !IsOwnThread()) SignalStopAndWait(1000);
    Kill();
    CloseEvents();
    tasks_.Clear();
}

bool TaskRunner::Start(const std::string& name) {
    if (thread_) return false;
    name_ = name;
    CloseEvents();
    stopEvent_.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    taskEvent_.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!stopEvent_ || !taskEvent_) {
        CloseEvents();
        return false;
    }
    Overlay::Common::RunGuardedStep([this] { DiscardTasks(); });
    stopping_ = false;

    auto start = std::make_unique<ThreadStart>(
        ThreadStart{this, base::UniqueHandle(Duplicate(stopEvent_.Get())), base::UniqueHandle(Duplicate(taskEvent_.Get()))});
    if (!start->stopEvent || !start->taskEvent) {
        CloseEvents();
        return false;
    }
    uintptr_t h = 0;
    {
        // The id is published under the lock, before the thread can look at it.
        base::ScopedLock hold(lock_);
        unsigned id = 0;
        h = _beginthreadex(nullptr, 0, &TaskRunner::ThreadProc, start.get(), CREATE_SUSPENDED, &id);
        if (h) {
            start.release();  // the thread's now
            thread_.Reset(reinterpret_cast<HANDLE>(h));
            threadId_ = id;
        }
    }
    if (!h) {
        CloseEvents();
        return false;
    }
    ::ResumeThread(reinterpret_cast<HANDLE>(h));
    return true;
}

bool TaskRunner::Post(Task task) {
    if (stopping_.load()) return false;
    base::ScopedLock hold(lock_);
    if (!thread_ || stopping_.load()) return false;
    tasks_.PushBack(std::move(task));
    HANDLE ev = taskEvent_.Get();
    return ev && ::SetEvent(ev) != FALSE;
}

size_t TaskRunner::PendingTaskCount() {
    base::ScopedLock hold(lock_);
    return tasks_.Size();
}

void TaskRunner::Kill() {
    base::UniqueHandle thread(thread_.Release());
    if (!thread) return;
    ::TerminateThread(thread.Get(), 0);
    ::WaitForSingleObject(thread.Get(), INFINITE);
    thread.Reset();
    threadId_ = 0;
    CloseEvents();
}

bool TaskRunner::SignalStopAndWait(DWORD timeoutMs) {
    base::UniqueHandle thread;
    {
        base::ScopedLock hold(lock_);
        stopping_ = true;
        thread.Reset(Duplicate(thread_.Get()));
    }
    if (HANDLE ev = stopEvent_.Get()) ::SetEvent(ev);
    // A task may be waiting on the stopping thread (a window of its own): waiting answers it.
    return !thread || base::WaitAnsweringSentMessages(thread.Get(), timeoutMs);
}

void TaskRunner::RunPendingTasks() {
    for (;;) {
        Task task;
        {
            base::ScopedLock hold(lock_);
            if (tasks_.Empty() || (stopping_.load() && !runRemainingOnStop_.load())) return;
            task = tasks_.PopFront();
        }
        // A failing task is dropped; the ones behind it still run.
        Overlay::Common::DropExceptions([&task] {
            if (task) task();
        });
    }
}

void TaskRunner::DiscardTasks() {
    base::Ring<Task> dropped;
    {
        base::ScopedLock hold(lock_);
        dropped.Swap(tasks_);
    }
    // Destroyed here, outside the lock: a task's captures may post or lock on their way out.
}

void TaskRunner::CloseEvents() {
    stopEvent_.Reset();
    taskEvent_.Reset();
}

unsigned __stdcall TaskRunner::ThreadProc(void* param) {
    const std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(param));
    start->runner->ThreadBody(start->stopEvent.Get(), start->taskEvent.Get());
    return 0;
}

void TaskRunner::ThreadBody(HANDLE stopEvent, HANDLE taskEvent) {
    if (!name_.empty()) {
        Overlay::Common::RunGuardedStep([this] { base::SetCurrentThreadName(name_.c_str()); });
    }
    const HANDLE handles[2] = {stopEvent, taskEvent};
    while (!stopping_.load()) {
        const DWORD r = ::WaitForMultipleObjectsEx(2, handles, FALSE, INFINITE, TRUE);
        if (r == WAIT_OBJECT_0 + 1) {
            RunPendingTasks();
        } else if (r == WAIT_IO_COMPLETION) {
            continue;
        } else {
            break;
        }
    }
    if (runRemainingInThread_ && runRemainingOnStop_.load()) RunPendingTasks();
    Overlay::Common::RunGuardedStep([this] { DiscardTasks(); });
    CloseEvents();
    // Last touch of this object: after the handle is gone the runner may be destroyed.
    threadId_ = 0;
    thread_.Reset();
}

}  // namespace Common::Utils
