#include "common/ProcessWatchDog.h"

#include "common/GuardedStep.h"
#include "common/MessageWait.h"

namespace base::process {

// What the watcher thread gets, its own copies of all it uses: the handle it waits on (and again
// when the watch owns it, closed once the wait is over), the stop, and whom to report to. The
// watchdog may be gone before a slow report ends.
struct ProcessWatchDog::WatchStart {
    ProcessWatchDog* watchdog;
    HANDLE process;
    UniqueHandle owned;
    std::shared_ptr<Event> stop;
    Delegate* delegate;
    Callback callback;
    DWORD pid;
};

ProcessWatchDog::ProcessWatchDog(Delegate* delegate) : delegate_(delegate) {}

ProcessWatchDog::~ProcessWatchDog() {
    Stop();
    stopEvent_.reset();
    callback_ = nullptr;
}

bool ProcessWatchDog::Watch(DWORD pid, Callback callback) {
    // Only what watching needs, so a process of higher integrity can be watched too: waiting takes
    // SYNCHRONIZE, the exit code the limited query right when it is granted.
    UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) process.Reset(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    const HANDLE watched = process.Get();
    return Start(watched, pid, std::move(process), std::move(callback));
}

bool ProcessWatchDog::WatchHandle(HANDLE process, Callback callback) {
    return Start(process, 0, UniqueHandle(), std::move(callback));
}

bool ProcessWatchDog::Start(HANDLE process, DWORD pid, UniqueHandle owned, Callback callback) {
    ScopedLock hold(lock_);
    if (!process || thread_) return false;
    pid_ = pid != 0 ? pid : ::GetProcessId(process);
    callback_ = std::move(callback);
    stopEvent_ = std::make_shared<Event>();
    stopEvent_->Create();
    auto start = std::make_unique<WatchStart>(WatchStart{this, process, std::move(owned), stopEvent_, delegate_, callback_, pid_});
    thread_.Reset(::CreateThread(nullptr, 0, &ProcessWatchDog::WatcherThread, start.get(), 0, nullptr));
    if (!thread_) return false;  // the start block, and with it an owned handle, goes here
    start.release();             // the thread's now
    return true;
}

DWORD WINAPI ProcessWatchDog::WatcherThread(void* param) {
    const std::unique_ptr<WatchStart> start(static_cast<WatchStart*>(param));
    const HANDLE handles[2] = {start->stop->SignalHandle(), start->process};
    if (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return 0;
    DWORD exitCode = 0xFFFFFFFF;
    if (!::GetExitCodeProcess(start->process, &exitCode)) exitCode = 0xFFFFFFFF;
    // A report must not take the process down with it.
    Overlay::Common::DropExceptions([&] {
        if (start->delegate) start->delegate->ProcessClosed(start->watchdog, start->pid, exitCode);
        if (start->callback) start->callback(start->watchdog, start->pid, exitCode);
    });
    return 0;
}

bool ProcessWatchDog::Stop(DWORD waitMs) {
    ScopedLock hold(lock_);
    if (!thread_) return true;
    if (stopEvent_ && stopEvent_->IsValid()) stopEvent_->Signal();
    const bool ended = WaitAnsweringSentMessages(thread_.Get(), waitMs);
    thread_.Reset();
    return ended;
}

}  // namespace base::process
