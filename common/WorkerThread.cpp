#include "common/WorkerThread.h"

namespace Common::Utils {

bool WorkerThread::Stop(bool runRemaining, DWORD timeoutMs) {
    if (!HasThread() || IsStopping()) return true;
    runRemainingOnStop_ = runRemaining;
    if (IsOwnThread()) {
        base::ScopedLock hold(lock_);
        stopping_ = true;
        return true;
    }
    const bool ended = SignalStopAndWait(timeoutMs == 0 ? kDefaultStopTimeoutMs : timeoutMs);
    if (runRemaining) RunPendingTasks();
    CloseEvents();
    return ended;
}

}  // namespace Common::Utils
