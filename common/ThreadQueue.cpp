#include "common/ThreadQueue.h"

namespace Common::Utils {

bool ThreadQueue::Stop() {
    if (!HasThread()) return true;
    if (IsOwnThread()) {
        ::EnterCriticalSection(&lock_);
        stopping_ = true;
        ::LeaveCriticalSection(&lock_);
        return true;
    }
    runRemainingOnStop_ = false;
    const bool ended = SignalStopAndWait(100);
    CloseEvents();
    return ended;
}

}  // namespace Common::Utils
