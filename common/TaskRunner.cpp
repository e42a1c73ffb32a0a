#include "common/TaskRunner.h"

#include <process.h>

#include "common/MessageWait.h"
#include "common/ThreadName.h"
#include "common/GuardedStep.h"

namespace Common::Utils {

namespace {
void CloseIfSet(std::atomic<HANDLE>& slot) {
    if (HANDLE h = slot.exchange(nullptr)) ::CloseHandle(h);
}

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
    HANDLE stopEvent;
    HANDLE taskEvent;
};

TaskRunner::TaskRunner(bool runRemainingInThread) : runRemainingInThread_(runRemainingInThread) {
    ::InitializeCriticalSection(&lock_);
}

TaskRunner::~TaskRunner() {
    // Ended normally first: a thread killed while it still starts up may hold the loader's or the
    // heap's lock for good, and the next allocation anywhere would hang.
    if (thread_.load() && !IsOwnThread()) SignalStopAndWait(1000);
    Kill();
    CloseEvents();
    tasks_.Clear();
    ::DeleteCriticalSection(&lock_);
}

bool TaskRunner::Start(const std::string& name) {
    if (thread_.load()) return false;
    name_ = name;
    CloseEvents();
    stopEvent_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    taskEvent_ = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!stopEvent_.load() || !taskEvent_.load()) {
        CloseEvents();
        return false;
    }
    Overlay::Common::RunGuardedStep([this] { DiscardTasks(); });
    stopping_ = false;

    auto* start = new ThreadStart{this, Duplicate(stopEvent_.load()), Duplicate(taskEvent_.load())};
    if (!start->stopEvent || !start->taskEvent) {
        if (start->stopEvent) ::CloseHandle(start->stopEvent);
        if (start->taskEvent) ::CloseHandle(start->taskEvent);
        delete start;
        CloseEvents();
        return false;
    }
    // The id is published under the lock, before the thread can look at it.
    ::EnterCriticalSection(&lock_);
    unsigned id = 0;
    const uintptr_t h = _beginthreadex(nullptr, 0, &TaskRunner::ThreadProc, start, CREATE_SUSPENDED, &id);
    if (h) {
        thread_ = reinterpret_cast<HANDLE>(h);
        threadId_ = id;
    }
    ::LeaveCriticalSection(&lock_);
    if (!h) {
        ::CloseHandle(start->stopEvent);
        ::CloseHandle(start->taskEvent);
        delete start;
        CloseEvents();
        return false;
    }
    ::ResumeThread(reinterpret_cast<HANDLE>(h));
    return true;
}

bool TaskRunner::Post(Task task) {
    if (stopping_.load()) return false;
    bool posted = false;
    ::EnterCriticalSection(&lock_);
    if (thread_.load() && !stopping_.load()) {
        tasks_.PushBack(std::move(task));
        HANDLE ev = taskEvent_.load();
        posted = ev && ::SetEvent(ev) != FALSE;
    }
    ::LeaveCriticalSection(&lock_);
    return posted;
}

size_t TaskRunner::PendingTaskCount() {
    ::EnterCriticalSection(&lock_);
    const size_t n = tasks_.Size();
    ::LeaveCriticalSection(&lock_);
    return n;
}

void TaskRunner::Kill() {
    HANDLE h = thread_.exchange(nullptr);
    if (!h) return;
    ::TerminateThread(h, 0);
    ::WaitForSingleObject(h, INFINITE);
    ::CloseHandle(h);
    threadId_ = 0;
    CloseEvents();
}

bool TaskRunner::SignalStopAndWait(DWORD timeoutMs) {
    ::EnterCriticalSection(&lock_);
    stopping_ = true;
    HANDLE thread = Duplicate(thread_.load());
    ::LeaveCriticalSection(&lock_);
    if (HANDLE ev = stopEvent_.load()) ::SetEvent(ev);
    bool ended = true;
    if (thread) {
        // A task may be waiting on the stopping thread (a window of its own): waiting answers it.
        ended = base::WaitAnsweringSentMessages(thread, timeoutMs);
        ::CloseHandle(thread);
    }
    return ended;
}

void TaskRunner::RunPendingTasks() {
    for (;;) {
        Task task;
        ::EnterCriticalSection(&lock_);
        if (tasks_.Empty() || (stopping_.load() && !runRemainingOnStop_.load())) {
            ::LeaveCriticalSection(&lock_);
            return;
        }
        task = tasks_.PopFront();
        ::LeaveCriticalSection(&lock_);
        // A failing task is dropped; the ones behind it still run.
        Overlay::Common::DropExceptions([&task] {
            if (task) task();
        });
    }
}

void TaskRunner::DiscardTasks() {
    base::Ring<Task> dropped;
    ::EnterCriticalSection(&lock_);
    dropped.Swap(tasks_);
    ::LeaveCriticalSection(&lock_);
    // Destroyed here, outside the lock: a task's captures may post or lock on their way out.
}

void TaskRunner::CloseEvents() {
    CloseIfSet(stopEvent_);
    CloseIfSet(taskEvent_);
}

unsigned __stdcall TaskRunner::ThreadProc(void* param) {
    auto* start = static_cast<ThreadStart*>(param);
    TaskRunner* runner = start->runner;
    const HANDLE stopEvent = start->stopEvent;
    const HANDLE taskEvent = start->taskEvent;
    delete start;
    runner->ThreadBody(stopEvent, taskEvent);
    ::CloseHandle(stopEvent);
    ::CloseHandle(taskEvent);
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
    if (HANDLE self = thread_.exchange(nullptr)) ::CloseHandle(self);
}

}  // namespace Common::Utils
