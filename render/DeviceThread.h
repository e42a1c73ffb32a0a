#pragma once
#include <windows.h>

#include <atomic>
#include <functional>

#include "common/UniqueHandle.h"
#include "common/WorkerThread.h"

// Runs the slow part of a renderer's start or re-creation on a thread of its own (a device and its
// first frame take a good part of a second on some systems) while the window's thread keeps
// answering. One job at a time; while it runs, the job owns what it makes.
class DeviceThread {
public:
    DeviceThread() = default;
    ~DeviceThread();
    DeviceThread(const DeviceThread&) = delete;
    DeviceThread& operator=(const DeviceThread&) = delete;

    // False when a job is running already. Without a thread the job runs here and now.
    bool Start(std::function<void()> job);
    // A job was started and has not been collected by Finish.
    bool Busy() const { return busy_.load(); }
    // Waits at most `timeoutMs` for the job, answering what other threads send meanwhile; true
    // (and not busy from then on) when it has finished.
    bool Finish(DWORD timeoutMs);

    // A job that has not finished in this long is given up for this wait.
    static constexpr DWORD kJobLimitMs = 10000;

private:
    Common::Utils::WorkerThread thread_;
    base::UniqueHandle done_;
    std::atomic<bool> busy_{false};
};
