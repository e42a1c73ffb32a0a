#include "render/DeviceThread.h"

#include <utility>

#include "common/MessageWait.h"

DeviceThread::~DeviceThread() {
    // A job still running finishes first: a device abandoned half-made may hold the driver's lock.
    if (thread_.HasThread() && !thread_.Stop(false, kJobLimitMs)) thread_.Kill();
}

bool DeviceThread::Start(std::function<void()> job) {
    if (busy_.load()) return false;
    if (!done_) done_.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    busy_ = true;
    if (!done_ || (!thread_.HasThread() && !thread_.Start("device thread"))) {
        job();
        if (done_) ::SetEvent(done_.Get());
        return true;
    }
    ::ResetEvent(done_.Get());
    HANDLE done = done_.Get();
    if (!thread_.Post([job = std::move(job), done] {
            job();
            ::SetEvent(done);
        })) {
        busy_ = false;
        return false;
    }
    return true;
}

bool DeviceThread::Finish(DWORD timeoutMs) {
    if (!busy_.load()) return true;
    if (done_ && !base::WaitAnsweringSentMessages(done_.Get(), timeoutMs)) return false;
    busy_ = false;
    return true;
}
