#pragma once
#include "common/TaskRunner.h"

namespace Common::Utils {

// The overlay manager's task runner ("worker thread"). Unlike ThreadQueue, what is left at stop is
// run by the stopping thread, when asked.
class WorkerThread : public TaskRunner {
public:
    static constexpr DWORD kDefaultStopTimeoutMs = 10000;

    WorkerThread() : TaskRunner(false) {}
    ~WorkerThread() override = default;

    // timeoutMs 0 means kDefaultStopTimeoutMs. True when the thread ended in time, and when there
    // was nothing to stop.
    bool Stop(bool runRemaining, DWORD timeoutMs);
};

}  // namespace Common::Utils
