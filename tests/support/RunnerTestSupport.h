#pragma once
#include <windows.h>

#include <memory>

#include "common/Event.h"
#include "common/TaskRunner.h"
#include "common/UniqueHandle.h"
#include "tests/support/TestSupport.h"

namespace test {

// Posts a task that keeps the runner's thread busy until `gate` is signalled (or closed), and
// returns once the thread is inside it.
inline bool HoldThread(Common::Utils::TaskRunner& runner, base::Event& gate) {
    auto holding = std::make_shared<base::Event>();
    if (!holding->Create() || !runner.Post([holding, &gate] {
            holding->Signal();
            gate.Wait(INFINITE);
        })) {
        return false;
    }
    return holding->Wait(5000);
}

// Waits up to 5 s for the runner's system thread to end; the runner lets go of it just before.
inline bool WaitForThreadEnd(const Common::Utils::TaskRunner& runner) {
    const DWORD id = runner.ThreadId();
    base::UniqueHandle thread(id ? ::OpenThread(SYNCHRONIZE, FALSE, id) : nullptr);
    if (thread) return ::WaitForSingleObject(thread.Get(), 5000) == WAIT_OBJECT_0 && !runner.HasThread();
    return WaitUntil([&runner] { return !runner.HasThread(); }, 5000);
}

}  // namespace test
