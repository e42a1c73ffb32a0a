#include "plugins/ProcessWatchDog.h"

#include "common/GuardedStep.h"

namespace base::process {

namespace {
struct WatchStart {
    ProcessWatchDog* watchdog;
    HANDLE process;
};
}  // namespace

ProcessWatchDog::ProcessWatchDog(Delegate* delegate) : delegate_(delegate) { ::InitializeCriticalSection(&lock_); }

ProcessWatchDog::~ProcessWatchDog() {
    Stop();
    stopEvent_.reset();
    thread_.reset();
    callback_ = nullptr;
    ::DeleteCriticalSection(&lock_);
}

bool ProcessWatchDog::Watch(DWORD pid, Callback callback) {
    // Only what watching needs, so a process of higher integrity can be watched too: waiting takes
    // SYNCHRONIZE, the exit code the limited query right when it is granted.
    HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) process = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!Start(process, pid, true, std::move(callback))) {
        if (process) ::CloseHandle(process);
        return false;
    }
    return true;
}

bool ProcessWatchDog::WatchHandle(HANDLE process, Callback callback) {
    return Start(process, 0, false, std::move(callback));
}

bool ProcessWatchDog::Start(HANDLE process, DWORD pid, bool closeHandle, Callback callback) {
    ::EnterCriticalSection(&lock_);
    bool started = false;
    if (process && !thread_) {
        pid_ = pid != 0 ? pid : ::GetProcessId(process);
        callback_ = std::move(callback);
        stopEvent_ = std::make_shared<Event>();
        stopEvent_->Create();
        closeHandle_ = closeHandle;
        auto* start = new WatchStart{this, process};
        HANDLE h = ::CreateThread(nullptr, 0, &ProcessWatchDog::WatcherThread, start, 0, nullptr);
        if (h) {
            thread_ = std::make_unique<UniqueHandle>(h);
            started = true;
        } else {
            delete start;
        }
    }
    ::LeaveCriticalSection(&lock_);
    return started;
}

DWORD WINAPI ProcessWatchDog::WatcherThread(void* param) {
    auto* start = static_cast<WatchStart*>(param);
    ProcessWatchDog* self = start->watchdog;
    const HANDLE process = start->process;
    delete start;
    self->WatchOnce(process);
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
    if (closeHandle_) ::CloseHandle(process);
}

void ProcessWatchDog::Stop() {
    ::EnterCriticalSection(&lock_);
    if (thread_) {
        if (stopEvent_ && stopEvent_->IsValid()) stopEvent_->Signal();
        ::WaitForSingleObject(thread_->Get(), INFINITE);
        thread_.reset();
    }
    ::LeaveCriticalSection(&lock_);
}

}  // namespace base::process
