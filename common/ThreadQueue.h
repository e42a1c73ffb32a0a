#pragma once
#include "common/TaskRunner.h"

namespace Common::Utils {

// The logger's task runner ("Logger").
class ThreadQueue : public TaskRunner {
public:
    ThreadQueue() : TaskRunner(true) {}
    ~ThreadQueue() override = default;

    // From another thread: waits at most 100 ms and reports whether the thread ended in time.
    // From the queue's own thread: only marks it stopping.
    bool Stop();
    void SetRunRemainingOnStop(bool run) { runRemainingOnStop_ = run; }
};

}  // namespace Common::Utils
