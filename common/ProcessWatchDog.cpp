#include "common/ProcessWatchDog.h"

#include "common/GuardedStep.h"

namespace base::process {

// What the watcher thread gets: the handle it waits on, and that same handle again when the
// watch owns it (closed once the wait is over).
struct ProcessWatchDog::WatchStart {
    ProcessWatchDog* watchdog;
    HANDLE process;
    UniqueHandle owned;
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
    auto start = std::make_unique<WatchStart>(WatchStart{this, process, std::move(owned)});
    thread_.Reset(::CreateThread(nullptr, 0, &ProcessWatchDog::WatcherThread, start.get(), 0, nullptr));
    if (!thread_) return false;  // the start block, and with it an owned handle, goes here
    start.release();             // the thread's now
    return true;
}

DWORD WINAPI ProcessWatchDog::WatcherThread(void* param) {
    const std::unique_ptr<WatchStart> start(static_cast<WatchStart*>(param));
    start->watchdog->WatchOnce(start->process);
    return 0;
}

void ProcessWatchDog::WatchOnce(HANDLE process) {
    const std::shared_ptr<Event> stop = stopEvent_;
    const HANDLE handles[2] = {stop->SignalHandle(), process};
    const DWORD r = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0 + 1) {
        DWORD exitCode = 0xFFFFFFFF;
        if (!::GetExitCodeProcess(process, &exitCode)) exitCode = 0xFFFFFFFF;
        // A report must not take the process down with it.
        Overlay::Common::DropExceptions([&] {
            if (delegate_) delegate_->ProcessClosed(this, pid_, exitCode);
            if (callback_) callback_(this, pid_, exitCode);
        });
    }
}

void ProcessWatchDog::Stop() {
    ScopedLock hold(lock_);
    if (!thread_) return;
    if (stopEvent_ && stopEvent_->IsValid()) stopEvent_->Signal();
    ::WaitForSingleObject(thread_.Get(), INFINITE);
    thread_.Reset();
}

}  // namespace base::process
