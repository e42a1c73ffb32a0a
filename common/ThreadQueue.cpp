#include "common/ThreadQueue.h"

namespace Common::Utils {

bool ThreadQueue::Stop() {
    if (!HasThread()) return true;
    if (IsOwnThread()) {
        base::ScopedLock hold(lock_);
        stopping_ = true;
        return true;
    }
    runRemainingOnStop_ = false;
    const bool ended = SignalStopAndWait(100);
    CloseEvents();
    return ended;
}

}  // namespace Common::Utils
